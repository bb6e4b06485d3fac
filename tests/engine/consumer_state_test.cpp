#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dirty_list.h"
#include "file.h"
#include "queue/consumer_state.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::vector<uint8_t> file_bytes(const std::string& path) {
    auto s = read_file(path);
    EXPECT_TRUE(s.ok());
    return s.ok() ? std::vector<uint8_t>(s->begin(), s->end()) : std::vector<uint8_t>{};
}

void put_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(write_file_atomic(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())).ok());
}

// A page built by hand: header, the given entries, zeros.
std::vector<uint8_t> page(int64_t committed, const std::vector<PendingEntry>& entries, size_t count_field = SIZE_MAX) {
    std::vector<uint8_t> b(kQueueStatePageSize, 0);
    std::memcpy(b.data(), "QSTF", 4);
    store_u32(b.data() + 4, 1);
    store_u16(b.data() + 8, 8);
    store_i64(b.data() + 10, committed);
    store_u16(b.data() + 18, static_cast<uint16_t>(count_field == SIZE_MAX ? entries.size() : count_field));
    b[20] = 18;
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* p = b.data() + 21 + 18 * i;
        store_i64(p, entries[i].timestamp);
        store_i64(p + 8, entries[i].running_since);
        p[16] = entries[i].status;
        p[17] = entries[i].attempts;
    }
    return b;
}

PendingEntry pend(int64_t ts, int64_t since = 0, uint8_t status = 0, uint8_t attempts = 0) {
    return {ts, since, status, attempts};
}

std::vector<int64_t> stamps(const ConsumerGroupState& s) {
    std::vector<int64_t> out;
    for (const auto& e : s.pending()) out.push_back(e.timestamp);
    return out;
}

ConsumerGroupState open_ok(const std::string& path, int64_t initial = 0) {
    auto r = ConsumerGroupState::open_or_create(path, initial);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return std::move(r).value();
}

TEST(ConsumerState, PageLayoutByteForByte) {
    TempDir dir;
    const std::string path = dir.file("queue/sub/g1");  // missing directories are created
    auto s = open_ok(path, -2);
    EXPECT_TRUE(s.synced() && !s.dirty_queued() && s.pending().empty());
    auto b = file_bytes(path);
    const std::vector<uint8_t> head = {'Q', 'S', 'T', 'F', 1, 0, 0, 0, 8, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0, 0, 18};
    ASSERT_EQ(b.size(), 4096u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 21), head);
    EXPECT_EQ(std::count(b.begin() + 21, b.end(), 0), 4096 - 21);
    EXPECT_EQ(b, page(-2, {}));  // the page builder of these tests writes the same format

    const PendingEntry big = pend(0x0102030405060708LL, 0x1122334455667788LL, 0, 7);
    for (const auto& e : {big, pend(12, 5), pend(11)}) ASSERT_TRUE(s.push_pending(e).ok());
    EXPECT_EQ(file_bytes(path), page(-2, {}));  // the page changes only when written
    ASSERT_TRUE(s.write_page().ok());
    EXPECT_FALSE(s.synced());  // written, not persisted
    b = file_bytes(path);
    EXPECT_EQ(b, page(-2, {pend(11), pend(12, 5), big}));  // in timestamp order
    const std::vector<uint8_t> third = {8, 7, 6, 5, 4, 3, 2, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 7};
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 21 + 36, b.begin() + 21 + 54), third);

    ASSERT_TRUE(s.mark_done(11).ok());
    ASSERT_TRUE(s.mark_done(12).ok());
    ASSERT_TRUE(s.persist().ok());
    EXPECT_TRUE(s.synced());
    EXPECT_EQ(file_bytes(path), page(12, {big}));  // the tail behind the last entry is zero again
    EXPECT_EQ(open_ok(path, 99).committed(), 12);  // an existing file keeps its position
}

TEST(ConsumerState, HeaderFaultsAreRefusedWithTheirMessage) {
    struct Case {
        const char* name;
        size_t offset;
        std::vector<uint8_t> bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"magic", 0, {'Q', 'S', 'T', 'G'}, "invalid file magic: expected b\"BRVL\""},
        // A page with progress is never replaced, not even one whose magic is all zero.
        {"zero magic", 0, {0, 0, 0, 0}, "invalid file magic: expected b\"BRVL\""},
        {"version", 4, {2, 0, 0, 0}, "unsupported version: 2"},
        {"big version", 4, {1, 0, 1, 0}, "unsupported version: 65535"},
        {"state length", 8, {9, 0}, "invalid data: invalid queue state length: 9"},
        {"entry size", 20, {17}, "invalid data: invalid queue pending entry size: 17"},
        {"count", 18, {227, 0}, "invalid data: queue pending length exceeds capacity: 227"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        auto b = page(2, {pend(3, 100)});
        std::memcpy(b.data() + c.offset, c.bytes.data(), c.bytes.size());
        const std::string path = dir.file(c.name);
        put_file(path, b);
        auto r = ConsumerGroupState::open_or_create(path, 0);
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.error().to_string(), c.error) << c.name;
        EXPECT_EQ(file_bytes(path), b) << c.name << ": a refused file is left as it is";
    }
    for (size_t size : {4095u, 4097u, 1u}) {
        const std::string path = dir.file("len" + std::to_string(size));
        put_file(path, std::vector<uint8_t>(size, 'Q'));
        auto r = ConsumerGroupState::open_or_create(path, 0);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().to_string(), "invalid data: invalid queue state file length: " + std::to_string(size));
    }
    // Only a missing file is created: a directory, or a path below a plain file, is an I/O error.
    ASSERT_TRUE(create_dir_all(dir.file("adir")).ok());
    for (const char* name : {"adir", "len1/g"})
        EXPECT_EQ(ConsumerGroupState::open_or_create(dir.file(name), 0).error().kind(), ErrorKind::Io) << name;
    // A full page of 226 entries loads.
    std::vector<PendingEntry> full;
    for (int64_t i = 1; i <= 226; ++i) full.push_back(pend(i * 10, 0, 0, 1));
    put_file(dir.file("full"), page(0, full));
    auto s = open_ok(dir.file("full"));
    EXPECT_EQ(s.pending().size(), 226u);
    EXPECT_TRUE(s.synced());
}

// Loads that change the file: an ordinary load (done prefix compacted, entries in flight
// released) and the repairs, each rewriting the page once, unsynced.
TEST(ConsumerState, LoadCompactsReleasesAndRepairs) {
    const std::string order = "invalid queue pending timestamp order at entry ";
    auto kept = [](size_t n, size_t of) {
        return fmt::format("; keeping the first {} of {} pending entries, the others are delivered again", n, of);
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        int64_t committed;
        std::vector<PendingEntry> pending;
        std::string warning;  // after "[queue] state file <path>"
    };
    const std::vector<Case> cases = {
        {"done prefix and entries in flight",
         page(1, {pend(2, 50, 1), pend(3, 0, 1, 4), pend(4, 60, 0, 2), pend(6, 0, 1), pend(7)}), 3,
         {pend(4, 0, 0, 2), pend(6, 0, 1), pend(7)}, ""},
        {"first equals committed", page(5, {pend(5), pend(6)}), 5, {},
         ": " + order + "0: 5 <= 5" + kept(0, 2)},
        {"bad status", page(5, {pend(6, 9), pend(7, 0, 2)}), 5, {pend(6)},
         ": invalid queue pending status at entry 1: 2" + kept(1, 2)},
        {"out of order", page(5, {pend(6), pend(8, 0, 0, 2), pend(9), pend(7), pend(10)}), 5,
         {pend(6), pend(8, 0, 0, 2), pend(9)},
         ": " + order + "3: 7 <= 9" + kept(3, 5)},
        {"duplicate", page(5, {pend(6), pend(9), pend(9)}), 5, {pend(6), pend(9)},
         ": " + order + "2: 9 <= 9" + kept(2, 3)},
        {"torn tail", page(5, {pend(6, 100), pend(7)}, 0), 5, {},
         ": bytes after the last pending entry are not zero (an interrupted rewrite); pending entries lost with it "
         "are delivered again"},
        {"empty file", {}, 42, {}, " was not completely created; creating it again"},
        {"zero page", std::vector<uint8_t>(4096, 0), 42, {}, " was not completely created; creating it again"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.file("g");
        put_file(path, c.file);
        LogCapture logs;
        auto s = open_ok(path, 42);
        EXPECT_EQ(s.committed(), c.committed) << c.name;
        EXPECT_EQ(s.pending(), c.pending) << c.name;
        if (c.warning.empty()) {
            EXPECT_TRUE(logs.records().empty()) << c.name;
        } else {
            EXPECT_TRUE(logs.contains(log::Level::Warn, log::kQueue, "[queue] state file " + path + c.warning))
                << c.name << ": " << (logs.records().empty() ? "no warning" : logs.records()[0].message);
        }
        EXPECT_EQ(file_bytes(path), page(c.committed, c.pending)) << c.name;
        // Recreated files are synced; repaired ones are left for the queue's flush.
        EXPECT_EQ(s.synced(), c.committed == 42) << c.name;
        logs.clear();
        auto again = open_ok(path);
        EXPECT_TRUE(logs.records().empty()) << c.name;
        EXPECT_TRUE(again.synced()) << c.name;
    }
    // A released entry is handed out again at once.
    auto s = open_ok(dir.file("g2"));
    ASSERT_TRUE(s.push_pending(pend(4, 60, 0, 2)).ok());
    ASSERT_TRUE(s.persist().ok());
    auto reloaded = open_ok(dir.file("g2"));
    EXPECT_EQ(reloaded.next_pending(0, 0, 1000).position, 4);
}

TEST(ConsumerState, PushKeepsOrderAndRefusesWhatCannotLoad) {
    TempDir dir;
    const std::string path = dir.file("g");
    auto s = open_ok(path, 100);
    for (int64_t ts : {150, 120, 300, 101, 200}) ASSERT_TRUE(s.push_pending(pend(ts)).ok());
    EXPECT_EQ(stamps(s), (std::vector<int64_t>{101, 120, 150, 200, 300}));
    EXPECT_TRUE(s.is_pending(150));
    EXPECT_FALSE(s.is_pending(151));

    struct Bad {
        PendingEntry e;
        std::string error;
    };
    for (const auto& b : std::vector<Bad>{
             {pend(100), "invalid data: queue pending timestamp 100 is not after committed 100"},
             {pend(kMin), "invalid data: queue pending timestamp -9223372036854775808 is not after committed 100"},
             {pend(150), "invalid data: queue pending entry for timestamp 150 already exists"},
             {pend(151, 0, 2), "invalid data: invalid queue pending status: 2"},
         }) {
        auto r = s.push_pending(b.e);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().to_string(), b.error);
    }
    EXPECT_EQ(s.pending().size(), 5u);

    for (int64_t ts = 1000; s.pending().size() < 226; ++ts) ASSERT_TRUE(s.push_pending(pend(ts)).ok());
    auto full = s.push_pending(pend(5000));
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error().kind(), ErrorKind::PendingFull);
    EXPECT_EQ(full.error().to_string(), "pending entries full: " + path + " (226 entries)");
    EXPECT_EQ(s.pending().size(), 226u);
    ASSERT_TRUE(s.persist().ok());
    auto again = open_ok(path);
    EXPECT_EQ(again.pending(), s.pending());
    EXPECT_EQ(again.committed(), 100);
    EXPECT_TRUE(again.synced());
}

TEST(ConsumerState, NextPendingHandOutRules) {
    // Entry A (10) is in flight since t=100, entry B (20) is not in flight; now = 130.
    struct Case {
        uint16_t expired;
        uint8_t max_retry;
        uint8_t attempts_a, attempts_b;
        std::optional<int64_t> handed;
        std::vector<PendingEntry> after;
    };
    const std::vector<Case> cases = {
        {0, 0, 0, 0, 20, {pend(10, 100, 0, 0), pend(20, 130, 0, 1)}},        // in flight never expires
        {30, 0, 0, 0, 10, {pend(10, 130, 0, 1), pend(20, 0, 0, 0)}},         // expired exactly now
        {31, 0, 0, 0, 20, {pend(10, 100, 0, 0), pend(20, 130, 0, 1)}},       // not yet expired
        {30, 2, 1, 0, 10, {pend(10, 130, 0, 2), pend(20, 0, 0, 0)}},         // below the limit
        {30, 2, 2, 0, 20, {pend(20, 130, 0, 1)}},                            // A dropped and compacted, B handed
        {0, 2, 0, 2, std::nullopt, {pend(10, 100, 0, 0), pend(20, 0, 1, 2)}},  // B dropped behind A in flight
        {0, 0, 255, 255, 20, {pend(10, 100, 0, 255), pend(20, 130, 0, 255)}},  // attempts saturate
    };
    TempDir dir;
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        auto s = open_ok(dir.file(fmt::format("g{}", i)), 0);
        ASSERT_TRUE(s.push_pending(pend(10, 100, 0, c.attempts_a)).ok());
        ASSERT_TRUE(s.push_pending(pend(20, 0, 0, c.attempts_b)).ok());
        ASSERT_TRUE(s.persist().ok());
        auto n = s.next_pending(c.expired, c.max_retry, 130);
        EXPECT_EQ(n.position, c.handed) << "case " << i;
        EXPECT_TRUE(n.changed) << "case " << i;
        EXPECT_FALSE(s.synced()) << "case " << i;
        EXPECT_EQ(s.pending(), c.after) << "case " << i;
        EXPECT_EQ(s.committed(), c.after.size() == 1 && c.after[0].timestamp == 20 ? 10 : 0) << "case " << i;
    }
    // Nothing eligible: unchanged, still synced.
    auto s = open_ok(dir.file("idle"), 0);
    ASSERT_TRUE(s.push_pending(pend(5, 100)).ok());
    ASSERT_TRUE(s.persist().ok());
    auto n = s.next_pending(0, 3, 200);
    EXPECT_FALSE(n.position);
    EXPECT_FALSE(n.changed);
    EXPECT_TRUE(s.synced());
    // The age saturates instead of overflowing, in both directions.
    ASSERT_TRUE(s.push_pending(pend(6, kMin + 1)).ok());
    EXPECT_EQ(s.next_pending(65535, 0, kMax).position, 5);
    EXPECT_EQ(s.next_pending(65535, 0, kMax).position, 6);
    EXPECT_FALSE(s.next_pending(1, 0, kMin).position);
}

TEST(ConsumerState, RetryLimitDropsAndCommittedPassesTheRecord) {
    TempDir dir;
    auto s = open_ok(dir.file("g"), 0);
    int64_t now = 1000;
    ASSERT_TRUE(s.push_pending(pend(1, now)).ok());  // the fresh hand-out
    ASSERT_TRUE(s.push_pending(pend(2, now)).ok());
    ASSERT_TRUE(s.mark_done(2).ok());  // waits behind 1
    EXPECT_EQ(s.committed(), 0);
    int handed = 0;
    for (int round = 0; round < 10; ++round) {
        now += 60;
        auto n = s.next_pending(60, 3, now);
        if (!n.position) break;
        EXPECT_EQ(*n.position, 1);
        ++handed;
        EXPECT_EQ(s.pending()[0].attempts, handed);
    }
    EXPECT_EQ(handed, 3);
    EXPECT_TRUE(s.pending().empty());
    EXPECT_EQ(s.committed(), 2);
}

TEST(ConsumerState, AckResetAndDirtyBookkeeping) {
    TempDir dir;
    const std::string path = dir.file("g");
    auto s = open_ok(path, 0);
    for (int64_t ts : {1, 2, 3}) ASSERT_TRUE(s.push_pending(pend(ts, 500)).ok());
    ASSERT_TRUE(s.persist().ok());
    EXPECT_FALSE(s.claim_dirty());  // synced: nothing to flush

    auto missing = s.mark_done(7);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().to_string(), "not found: pending entry for timestamp 7");
    EXPECT_TRUE(s.synced());

    // Two acknowledgements before a flush put one entry on the dirty list.
    auto list = std::make_shared<DirtyList>();
    DirtyNotifier notifier(DataSetKey{"n", "t"}, list);
    ASSERT_TRUE(s.mark_done(2).ok());
    EXPECT_EQ(s.committed(), 0);  // 2 waits behind 1
    if (s.claim_dirty()) notifier.mark_dirty(DirtyTarget::queue_state("g"));
    ASSERT_TRUE(s.mark_done(1).ok());
    EXPECT_EQ(s.committed(), 2);
    if (s.claim_dirty()) notifier.mark_dirty(DirtyTarget::queue_state("g"));
    EXPECT_EQ(list->size(), 1u);
    EXPECT_TRUE(s.dirty_queued());
    auto again = s.mark_done(1);  // compacted away
    EXPECT_EQ(again.error().to_string(), "not found: pending entry for timestamp 1");

    ASSERT_TRUE(s.persist().ok());
    EXPECT_FALSE(s.dirty_queued());
    s.reset_running();
    EXPECT_EQ(s.pending(), (std::vector<PendingEntry>{pend(3)}));
    EXPECT_TRUE(s.claim_dirty());  // released entries need a new flush
    EXPECT_EQ(list->take_for(DataSetKey{"n", "t"}), std::vector<DirtyTarget>{DirtyTarget::queue_state("g")});
    s.reset_running();
    ASSERT_TRUE(s.persist().ok());
    s.reset_running();  // nothing in flight: still synced
    EXPECT_TRUE(s.synced());
    EXPECT_EQ(file_bytes(path), page(2, {pend(3)}));
}

TEST(ConsumerState, FlushSyncsOnlyAPageWithChanges) {
    TempDir dir;
    const std::string path = dir.file("g");
    auto s = open_ok(path, 0);
    ASSERT_TRUE(s.push_pending(pend(5, 500)).ok());
    {
        testing::ScopedIoFaults count(io_op::kMsync, UINT64_MAX, EIO);
        ASSERT_TRUE(s.flush().ok());
        EXPECT_TRUE(s.synced());
        ASSERT_TRUE(s.flush().ok());  // nothing changed since: no second msync
        EXPECT_EQ(io_calls_seen(), 1u);
    }
    EXPECT_EQ(file_bytes(path), page(0, {pend(5, 500)}));

    // A failed sync keeps the change unsynced and queued; the next flush syncs it.
    ASSERT_TRUE(s.mark_done(5).ok());
    EXPECT_TRUE(s.claim_dirty());
    {
        testing::ScopedIoFaults fail(io_op::kMsync, 0, EIO);
        EXPECT_FALSE(s.flush().ok());
    }
    EXPECT_FALSE(s.synced());
    EXPECT_TRUE(s.dirty_queued());
    ASSERT_TRUE(s.flush().ok());
    EXPECT_TRUE(s.synced());
    EXPECT_FALSE(s.dirty_queued());
    EXPECT_EQ(file_bytes(path), page(5, {}));
}

TEST(ConsumerState, ClockAndDeadlinesSaturate) {
    EXPECT_GT(queue_clock_seconds(), 1600000000);
    set_wall_clock_offset(-std::chrono::seconds(queue_clock_seconds() + 10));
    EXPECT_EQ(queue_clock_seconds(), 0);
    set_wall_clock_offset(std::chrono::nanoseconds(0));

    const MonoInstant now = MonoClock::now();
    EXPECT_EQ(saturating_deadline(now, 1500), now + std::chrono::milliseconds(1500));
    EXPECT_EQ(saturating_deadline(now, 0), now);
    EXPECT_EQ(saturating_deadline(now, std::numeric_limits<uint64_t>::max()), MonoInstant::max());
    EXPECT_EQ(saturating_deadline(now, uint64_t{1} << 62), MonoInstant::max());
    EXPECT_EQ(saturating_deadline(MonoInstant::max() - std::chrono::milliseconds(1), 2), MonoInstant::max());
}

}  // namespace
}  // namespace brenvale
