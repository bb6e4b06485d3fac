// A process killed while it creates or rewrites a consumer state page must leave a file
// that loads, that counts no record as finished that was not finished, and that needs no
// second repair. A child runs a fixed workload and ends itself at the k-th crash point, for
// every k; the parent checks the raw page against the states before and after the step
// in flight, then loads it.
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "crash_test_util.h"
#include "file.h"
#include "queue/consumer_state.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

constexpr int64_t kInitial = 100;

struct Snapshot {
    int64_t committed = 0;
    std::vector<PendingEntry> pending;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snap(const ConsumerGroupState& s) { return {s.committed(), s.pending()}; }

// Each step changes the state and writes its page; `done` is told after each one.
int run_workload(const std::string& path, const std::function<void(const ConsumerGroupState&)>& done) {
    auto opened = ConsumerGroupState::open_or_create(path, kInitial);
    if (!opened.ok()) return 2;
    ConsumerGroupState s = std::move(opened).value();
    done(s);
    auto step = [&](bool ok, bool sync) {
        if (!ok) return false;
        if (!(sync ? s.persist() : s.write_page()).ok()) return false;
        done(s);
        return true;
    };
    bool ok = true;
    ok = ok && step(s.push_pending({101, 1000, 0, 0}).ok() && s.push_pending({103, 1000, 0, 0}).ok() &&
                        s.push_pending({105, 1000, 0, 0}).ok(),
                    true);
    ok = ok && step(s.push_pending({102, 1001, 0, 0}).ok(), false);  // lands between two pending entries
    ok = ok && step(s.mark_done(101).ok(), false);                    // committed moves to 101
    ok = ok && step(s.mark_done(103).ok(), true);                     // done behind 102
    ok = ok && step(s.mark_done(102).ok(), false);                    // committed jumps to 103
    ok = ok && step(s.next_pending(10, 3, 2000).position == 105, false);
    for (int64_t ts = 106; ok && ts <= 140; ++ts) ok = s.push_pending({ts, 2001, 0, 0}).ok();
    ok = ok && step(true, false);  // the page grows
    for (int64_t ts = 105; ok && ts <= 130; ++ts) ok = s.mark_done(ts).ok();
    ok = ok && step(true, true);  // the page shrinks: its tail is cleared
    if (!ok) return 3;
    // A reload releases the entries in flight and rewrites the page.
    auto reloaded = ConsumerGroupState::open_or_create(path, kInitial);
    if (!reloaded.ok()) return 4;
    s = std::move(reloaded).value();
    done(s);
    if (!step(s.mark_done(131).ok(), true)) return 5;
    return 0;
}

// The page as it lies on disk, read without the engine's loader.
struct RawPage {
    bool complete = false;
    Snapshot state;
};

RawPage read_raw(const std::string& path) {
    RawPage raw;
    auto bytes = read_file_if_exists(path);
    if (!bytes.ok() || !*bytes || (*bytes)->size() != kQueueStatePageSize) return raw;
    const auto* p = reinterpret_cast<const uint8_t*>((*bytes)->data());
    if (std::memcmp(p, "QSTF", 4) != 0) return raw;
    raw.complete = true;
    raw.state.committed = load_i64(p + 10);
    const uint16_t count = load_u16(p + 18);
    for (size_t i = 0; i < count && i < kMaxPendingEntries; ++i) {
        const uint8_t* e = p + 21 + 18 * i;
        raw.state.pending.push_back({load_i64(e), load_i64(e + 8), e[16], e[17]});
    }
    return raw;
}

TEST(ConsumerStateCrash, EveryCrashPointLeavesALoadableSafePage) {
    // A full run gives the state after every step and counts the crash points.
    std::vector<Snapshot> states;
    long total = 0;
    {
        TempDir dir;
        std::set<std::string> steps;
        int rc = -1;
        total = testing::count_crash_points(
            {},
            [&](int) {
                return run_workload(dir.file("queue/g"),
                                    [&](const ConsumerGroupState& s) { states.push_back(snap(s)); });
            },
            &steps, &rc);
        ASSERT_EQ(rc, 0);
        for (const char* name : {"queue_state.create.opened", "queue_state.create.written",
                                 "queue_state.write.count_cleared", "queue_state.write.entries",
                                 "queue_state.write.tail", "queue_state.write.committed"})
            EXPECT_TRUE(steps.count(name)) << "workload never reaches " << name;
    }
    ASSERT_EQ(states.size(), 11u);
    ASSERT_EQ(total, 2 + 10 * 4);

    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        const std::string path = dir.file("queue/g");
        const auto run = testing::run_to_crash_point<char>({}, k, [&](int fd) {
            return run_workload(path, [&](const ConsumerGroupState&) {
                if (!testing::ack<char>(fd, 1)) _exit(6);
            });
        });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const size_t completed = run.acks.size();

        const RawPage raw = read_raw(path);
        if (completed == 0) {
            const Snapshot fresh{kInitial, {}};
            EXPECT_TRUE(!raw.complete || raw.state == fresh) << "crash point " << k;
        } else {
            // The page holds the state before the step in flight, the state after it, or
            // either committed position with no pending entries.
            const Snapshot& before = states[completed - 1];
            const Snapshot& after = states[std::min(completed, states.size() - 1)];
            ASSERT_TRUE(raw.complete) << "crash point " << k;
            const Snapshot cleared_before{before.committed, {}};
            const Snapshot cleared_after{after.committed, {}};
            EXPECT_TRUE(raw.state == before || raw.state == after || raw.state == cleared_before ||
                        raw.state == cleared_after)
                << "crash point " << k << ": committed " << raw.state.committed << ", "
                << raw.state.pending.size() << " entries";
        }

        auto loaded = ConsumerGroupState::open_or_create(path, kInitial);
        ASSERT_TRUE(loaded.ok()) << "crash point " << k << ": " << loaded.error().to_string();
        if (completed == 0) {
            EXPECT_EQ(snap(*loaded), (Snapshot{kInitial, {}})) << "crash point " << k;
        } else {
            EXPECT_GE(loaded->committed(), raw.state.committed) << "crash point " << k;
            EXPECT_LE(loaded->committed(), states[std::min(completed, states.size() - 1)].committed);
            for (const auto& e : loaded->pending()) EXPECT_EQ(e.running_since, 0) << "crash point " << k;
        }
        const Snapshot first = snap(*loaded);
        loaded = Error::io(0);  // drop the mapping

        LogCapture logs;
        auto again = ConsumerGroupState::open_or_create(path, kInitial);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(snap(*again), first) << "crash point " << k;
        EXPECT_TRUE(again->synced()) << "crash point " << k;
        EXPECT_TRUE(logs.records().empty()) << "crash point " << k << ": repaired twice";
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace brenvale
