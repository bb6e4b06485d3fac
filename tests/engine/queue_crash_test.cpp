// A consumer process killed at any step of persisting its group, or right after acking,
// must leave a group that reloads with everything acknowledged and persisted still
// finished, nothing finished that was not acknowledged, and every other record delivered
// again. A child consumes a fixed dataset, reporting each ack and each persisted committed
// position through a pipe, and ends itself at the k-th consumer state crash point (or,
// past the last one, by SIGKILL after its last ack); the parent then drains the group.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include <gtest/gtest.h>

#include "dataset/dataset.h"
#include "queue/queue.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::TempDir;

constexpr int64_t kRecords = 20;
const DataSetKey kKey{"jobs", "work"};

struct Report {
    char kind;  // 'A': about to ack value; 'F': committed value persisted
    int64_t value;
};

long g_crash_at = 0;
long g_hits = 0;

void crash_hook(const char* step) {
    if (std::string_view(step).starts_with("queue_state.") && ++g_hits == g_crash_at) _exit(77);
}

Dataset equip(Dataset d, const DirtyListPtr& dirty) {
    DatasetRuntime rt;
    rt.dirty_list = dirty;
    (void)d.set_identifier(1);
    (void)d.attach_runtime(rt);
    return d;
}

// The child: consume every record one by one, persisting by turns through the consumer's
// flush and through the dataset's flush of its dirty entries.
int consume(const std::string& ds_dir, int fd) {
    auto send = [fd](char kind, int64_t value) {
        Report r{kind, value};
        if (::write(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(6);
    };
    auto dirty = std::make_shared<DirtyList>();
    auto opened = Dataset::open(kKey, ds_dir);
    if (!opened.ok()) return 2;
    Dataset d = equip(std::move(*opened), dirty);
    auto q = d.open_queue();
    if (!q.ok()) return 3;
    auto c = q->open_consumer("g", ConsumerConfig{});
    if (!c.ok()) return 4;
    for (int64_t n = 1;; ++n) {
        auto r = c->poll(0);
        if (!r.ok()) return 5;
        if (!r->has_value()) break;
        const int64_t ts = (*r)->timestamp;
        send('A', ts);
        if (!c->ack(ts).ok()) return 7;
        if (n % 3 == 0 && !c->flush().ok()) return 8;
        if (n % 3 == 0) send('F', c->inspect()->committed);
        if (n % 5 == 0 && !d.flush().ok()) return 9;
        if (n % 5 == 0) send('F', c->inspect()->committed);
    }
    ::raise(SIGKILL);
    return 10;
}

TEST(QueueCrash, KilledConsumerReloadsWithoutLoss) {
    for (long k = 1; k < 500; ++k) {
        TempDir dir;
        const std::string ds_dir = dir.file("jobs/work");
        {
            DatasetConfig cfg;
            cfg.data_segment_size = 1 << 20;
            cfg.initial_data_segment_size = 4096;
            cfg.index_segment_size = 16384;
            cfg.initial_index_segment_size = 1024;
            auto created = Dataset::create(kKey, ds_dir, cfg);
            ASSERT_TRUE(created.ok());
            Dataset d = equip(std::move(*created), nullptr);
            auto q = d.open_queue();
            ASSERT_TRUE(q.ok());
            ASSERT_TRUE(q->open_consumer("g", ConsumerConfig{}).ok());  // starts on the empty dataset
            for (int64_t i = 1; i <= kRecords; ++i) ASSERT_TRUE(q->push(std::vector<uint8_t>{1, 2, 3}).ok());
            ASSERT_TRUE(d.close().ok());
        }

        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        g_hits = 0;
        g_crash_at = k;
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            set_crash_hook(crash_hook);
            _exit(consume(ds_dir, fds[1]));
        }
        ::close(fds[1]);
        int64_t acked = INT64_MIN, persisted = INT64_MIN;
        Report r;
        while (::read(fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
            if (r.kind == 'A') acked = r.value;
            if (r.kind == 'F') persisted = r.value;
        }
        ::close(fds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        const bool at_crash_point = WIFEXITED(status) && WEXITSTATUS(status) == 77;
        const bool killed_at_end = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        ASSERT_TRUE(at_crash_point || killed_at_end) << "crash point " << k << ", status " << status;
        if (killed_at_end) {
            EXPECT_EQ(acked, kRecords);
        }

        auto dirty = std::make_shared<DirtyList>();
        auto opened = Dataset::open(kKey, ds_dir);
        ASSERT_TRUE(opened.ok()) << opened.error().to_string();
        Dataset d = equip(std::move(*opened), dirty);
        auto q = d.open_queue();
        ASSERT_TRUE(q.ok());
        auto c = q->open_consumer("g", ConsumerConfig{});
        ASSERT_TRUE(c.ok()) << "crash point " << k << ": " << c.error().to_string();
        const int64_t committed = c->inspect()->committed;
        EXPECT_GE(committed, persisted) << "crash point " << k;
        EXPECT_LE(committed, acked) << "crash point " << k;
        // Everything after committed comes again, in order, each once.
        int64_t expect = committed == INT64_MIN ? 1 : committed + 1;
        for (;;) {
            auto got = c->poll(0);
            ASSERT_TRUE(got.ok());
            if (!got->has_value()) break;
            ASSERT_EQ((*got)->timestamp, expect) << "crash point " << k;
            ASSERT_TRUE(c->ack(expect).ok());
            ++expect;
        }
        EXPECT_EQ(expect, kRecords + 1) << "crash point " << k;
        ASSERT_TRUE(d.close().ok());
        if (killed_at_end || ::testing::Test::HasFailure()) return;
    }
    FAIL() << "the workload never finished";
}

}  // namespace
}  // namespace brenvale
