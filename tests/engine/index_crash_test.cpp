// A process killed anywhere in index segment creation, growth or an append leaves an
// index that opens (read-only and writable) with every acknowledged entry, and that takes
// new entries. The child ends itself at the k-th crash point, for every k.
#include <gtest/gtest.h>

#include <set>

#include "crash_test_util.h"
#include "index/index.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;

IndexEntry entry(int64_t ts) { return {ts, static_cast<uint64_t>(ts) * 5 + 2, static_cast<uint16_t>(ts & 0x3FF)}; }
constexpr uint64_t kSize = 128 + 32 * 4;  // 4 entries per segment, files grow from 1
constexpr uint64_t kInitial = 128 + 32;

// New latest entries with gaps (skipped segments in continuous mode), then out-of-order
// entries into a skipped segment (continuous only).
const std::vector<int64_t> kLatest = {10, 11, 12, 13, 14, 16, 30, 31, 33, 50};
const std::vector<int64_t> kOutOfOrder = {39, 38};

int run_workload(const std::string& dir, bool continuous, int fd) {
    auto idx = Index::create(dir, {kSize, kInitial, continuous, 3, 0});
    if (!idx.ok()) return 2;
    std::optional<int64_t> latest;
    for (int64_t t : kLatest) {
        if (!idx->append_latest(latest, t, entry(t).block_offset, entry(t).in_block).ok()) return 3;
        latest = t;
        if (!testing::ack<int64_t>(fd, t)) return 5;
    }
    if (continuous) {
        for (int64_t t : kOutOfOrder) {
            if (!idx->overwrite(t, entry(t).block_offset, entry(t).in_block).ok()) return 4;
            if (!testing::ack<int64_t>(fd, t)) return 5;
        }
    }
    return 0;
}

// Every acknowledged entry is there; the one in flight (-1: none) is there whole or not at all.
void check(Index& idx, const std::vector<int64_t>& acked, int64_t in_flight, long k) {
    for (int64_t t : acked) {
        auto hit = idx.lookup(t);
        ASSERT_TRUE(hit.ok()) << "crash point " << k << ": " << hit.error().to_string();
        EXPECT_EQ(*hit, entry(t)) << "crash point " << k << ", timestamp " << t;
    }
    auto all = idx.range(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(all.ok()) << "crash point " << k << ": " << all.error().to_string();
    size_t live = 0;
    for (const auto& e : *all) {
        if (e.is_sentinel()) continue;
        ++live;
        EXPECT_EQ(e, entry(e.timestamp)) << "crash point " << k;
        EXPECT_TRUE(std::count(acked.begin(), acked.end(), e.timestamp) == 1 || e.timestamp == in_flight)
            << "crash point " << k << ": unexpected " << e.timestamp;
    }
    EXPECT_GE(live, acked.size()) << "crash point " << k;
}

void run_crash_points(bool continuous) {
    long total = 0;
    {
        TempDir dir;
        std::set<std::string> steps;
        int rc = -1;
        total = testing::count_crash_points(
            {}, [&](int fd) { return run_workload(dir.path(), continuous, fd); }, &steps, &rc);
        ASSERT_EQ(rc, 0);
        for (const char* name : {"index.create.file", "index.create.header", "index.create.renamed",
                                 "index.grow.reserved", "index.grow.mapped", "index.append.entry"})
            EXPECT_TRUE(steps.count(name)) << "workload never reaches " << name;
    }
    ASSERT_GT(total, 20);

    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        auto run = testing::run_to_crash_point<int64_t>(
            {}, k, [&](int fd) { return run_workload(dir.path(), continuous, fd); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        std::vector<int64_t> acked = std::move(run.acks);
        std::vector<int64_t> ops = kLatest;
        if (continuous) ops.insert(ops.end(), kOutOfOrder.begin(), kOutOfOrder.end());
        const int64_t in_flight = acked.size() < ops.size() ? ops[acked.size()] : -1;

        {
            auto ro = Index::open(dir.path(), {kSize, kInitial, continuous, 3, 0, /*read_only=*/true});
            ASSERT_TRUE(ro.ok()) << "crash point " << k << ": " << ro.error().to_string();
            check(*ro, acked, in_flight, k);
        }
        {
            auto idx = Index::open(dir.path(), {kSize, kInitial, continuous, 3, 0});
            ASSERT_TRUE(idx.ok()) << "crash point " << k << ": " << idx.error().to_string();
            ASSERT_TRUE(idx->check_newest_readable().ok()) << "crash point " << k;
            check(*idx, acked, in_flight, k);
            auto names = list_dir(dir.path());
            ASSERT_TRUE(names.ok());
            for (const auto& name : names.value())
                EXPECT_TRUE(parse_index_segment_name(name).has_value()) << "crash point " << k << ": left " << name;
            // The index takes new entries, and they survive another reopen.
            Status st = idx->append_latest(idx->latest_timestamp(), 100, entry(100).block_offset, entry(100).in_block);
            ASSERT_TRUE(st.ok()) << "crash point " << k << ": " << st.error().to_string();
            acked.push_back(100);
        }
        auto again = Index::open(dir.path(), {kSize, kInitial, continuous, 3, 0});
        ASSERT_TRUE(again.ok());
        check(*again, acked, in_flight, k);
        if (::testing::Test::HasFailure()) return;
    }
}

// What kills under earlier versions left: a file under its temporary name, and a segment
// file that is empty or all zeros. A writable open removes the first, a create replaces
// the second; each with a warning.
TEST(IndexCrash, LeftoversOfInterruptedCreatesAreReplaced) {
    TempDir dir;
    testing::LogCapture logs(log::Level::Warn);
    const std::string name = index_segment_file_name(5);
    for (uint64_t len : {uint64_t{0}, kInitial}) {
        auto f = FileHandle::open(dir.file(name), FileHandle::Mode::CreateTruncate);
        ASSERT_TRUE(f.ok() && f->set_len(len).ok());
        auto seg = IndexSegment::create(dir.path(), 5, {kInitial, kSize, 3, 0});
        ASSERT_TRUE(seg.ok()) << seg.error().to_string();
        ASSERT_TRUE(seg->append_entry(entry(5)).ok());
    }
    EXPECT_EQ(logs.count("[IndexSegment create] replacing index segment file " + dir.file(name) +
                         " that holds no entry"),
              2u);
    ASSERT_TRUE(write_file_atomic(dir.file(name + ".tmp"), std::string(40, '\0')).ok());
    auto ro = Index::open(dir.path(), {kSize, kInitial, false, 3, 0, /*read_only=*/true});
    ASSERT_TRUE(ro.ok());
    EXPECT_TRUE(*path_exists(dir.file(name + ".tmp")));  // a reader changes nothing
    auto idx = Index::open(dir.path(), {kSize, kInitial, false, 3, 0});
    ASSERT_TRUE(idx.ok());
    EXPECT_FALSE(*path_exists(dir.file(name + ".tmp")));
    EXPECT_EQ(logs.count("[index] removing unfinished index segment file " + dir.file(name + ".tmp")), 1u);
    EXPECT_EQ(*idx->lookup(5), entry(5));
}

TEST(IndexCrash, EveryCrashPointLeavesAnOpenableIndexSparse) { run_crash_points(false); }
TEST(IndexCrash, EveryCrashPointLeavesAnOpenableIndexContinuous) { run_crash_points(true); }

}  // namespace
}  // namespace brenvale
