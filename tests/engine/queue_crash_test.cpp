// A consumer process killed at any step of persisting its group, or right after acking,
// must leave a group that reloads with everything acknowledged and persisted still
// finished, nothing finished that was not acknowledged, and every other record delivered
// again. A child consumes a fixed dataset, reporting each ack and each persisted committed
// position through a pipe, and ends itself at the k-th consumer state crash point (or,
// past the last one, by SIGKILL after its last ack); the parent then drains the group.
#include <signal.h>

#include <gtest/gtest.h>

#include "crash_test_util.h"
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
        if (!testing::ack<Report>(fd, Report{kind, value})) _exit(6);
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

        const auto run =
            testing::run_to_crash_point<Report>({"queue_state."}, k, [&](int fd) { return consume(ds_dir, fd); });
        int64_t acked = INT64_MIN, persisted = INT64_MIN;
        for (const Report& r : run.acks) {
            if (r.kind == 'A') acked = r.value;
            if (r.kind == 'F') persisted = r.value;
        }
        const bool at_crash_point = run.exit_code == testing::kCrashExit;
        const bool killed_at_end = run.signal == SIGKILL;
        ASSERT_TRUE(at_crash_point || killed_at_end)
            << "crash point " << k << ", exit code " << run.exit_code << ", signal " << run.signal;
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
