// The sparse search of index segments (a guess interpolated from the first and last
// entry, then galloping and bisection), the state block located once per mapping, and
// a read-only segment that stays read-only when it is moved and mapped again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "file.h"
#include "format/header.h"
#include "index/segment.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

IndexEntry entry(int64_t ts) { return {ts, static_cast<uint64_t>(ts) * 3 + 1, static_cast<uint16_t>(ts & 0x7FFF)}; }

// Sorted timestamps with very uneven spacing: dense runs, huge jumps, both extremes.
std::vector<int64_t> uneven_timestamps() {
    std::vector<int64_t> ts{kMin, kMin + 1, -4000000000000000000};
    for (int64_t t = -1000; t < -900; ++t) ts.push_back(t);
    int64_t t = 0;
    for (int i = 0; i < 40; ++i) {
        t += int64_t{1} << i;  // gaps growing to 2^39
        ts.push_back(t);
    }
    for (int64_t k = 1; k <= 200; ++k) ts.push_back(t + k);  // a dense run after the jumps
    ts.push_back(4000000000000000000);
    ts.push_back(kMax - 1);
    ts.push_back(kMax);
    return ts;
}

void check_against_reference(const IndexSegment& seg, const std::vector<int64_t>& ts, int64_t probe) {
    const auto lb = static_cast<uint64_t>(std::lower_bound(ts.begin(), ts.end(), probe) - ts.begin());
    const auto ub = static_cast<uint64_t>(std::upper_bound(ts.begin(), ts.end(), probe) - ts.begin());
    EXPECT_EQ(seg.lower_bound(probe, false), lb) << "probe " << probe;
    EXPECT_EQ(seg.upper_bound(probe, false), ub) << "probe " << probe;
    const bool present = lb < ts.size() && ts[lb] == probe;
    EXPECT_EQ(seg.lookup_sparse(probe), present ? std::optional<IndexEntry>(entry(probe)) : std::nullopt)
        << "probe " << probe;
}

TEST(IndexSparseSearch, MatchesBinarySearchOnUnevenAndEvenSpacing) {
    TempDir dir;
    const std::vector<int64_t> uneven = uneven_timestamps();
    auto made = IndexSegment::create(dir.path(), uneven.front(), {65536, 65536, 6, 0});
    ASSERT_TRUE(made.ok()) << made.error().to_string();
    IndexSegment seg = std::move(made).value();
    for (int64_t t : uneven) ASSERT_TRUE(seg.append_entry(entry(t)).ok());
    for (int64_t t : uneven) {
        for (int64_t d : {-1, 0, 1}) {
            int64_t probe;
            if (!__builtin_add_overflow(t, d, &probe)) check_against_reference(seg, uneven, probe);
        }
    }
    for (int64_t probe : {int64_t{-950}, int64_t{-899}, int64_t{3}, int64_t{1} << 38, int64_t{1} << 62})
        check_against_reference(seg, uneven, probe);

    // Evenly spaced stamps (the common case) with one gap.
    auto even_made = IndexSegment::create(dir.path(), 1000, {65536, 65536, 6, 0});
    ASSERT_TRUE(even_made.ok());
    IndexSegment even = std::move(even_made).value();
    std::vector<int64_t> ts;
    for (int64_t i = 0; i < 1500; ++i) ts.push_back(1000 + i * 10 + (i >= 700 ? 5000 : 0));
    for (int64_t t : ts) ASSERT_TRUE(even.append_entry(entry(t)).ok());
    for (int64_t probe = 900; probe <= 25000; probe += 3) check_against_reference(even, ts, probe);
    const auto r = even.range(1005, 1041, false);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r.front(), entry(1010));
    EXPECT_EQ(r.back(), entry(1040));
    EXPECT_EQ(even.range_bound(1005, 1041, false), 4u);
}

TEST(IndexSparseSearch, WrotePositionFollowsEveryAppendAcrossGrowth) {
    TempDir dir;
    auto made = IndexSegment::create(dir.path(), 0, {256, 4096, 6, 0});  // 4 slots, grows to 124
    ASSERT_TRUE(made.ok());
    IndexSegment seg = std::move(made).value();
    const std::string path = seg.path();
    for (int64_t t = 0; t < 100; ++t) {
        ASSERT_TRUE(seg.append_entry_growing(entry(t)).ok());
        if (t % 7 == 0 || t == 99) {
            ASSERT_TRUE(seg.flush().ok());
            auto bytes = read_file(path);
            ASSERT_TRUE(bytes.ok());
            auto h = IndexHeader::read({reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()});
            ASSERT_TRUE(h.ok());
            EXPECT_EQ(h->wrote_position, kIndexEntryStart + static_cast<uint64_t>(t + 1) * kIndexEntrySize);
        }
    }
    // Unmapped and mapped again: the next append still lands in the new mapping's header.
    ASSERT_TRUE(seg.flush().ok());
    seg.unmap();
    ASSERT_TRUE(seg.ensure_open().ok());
    ASSERT_TRUE(seg.append_entry_growing(entry(100)).ok());
    ASSERT_TRUE(seg.flush().ok());
    auto reopened = IndexSegment::open(path, 0, 4096);
    ASSERT_TRUE(reopened.ok()) << reopened.error().to_string();
    EXPECT_EQ(reopened->entry_count(), 101u);
    EXPECT_EQ(reopened->lookup_sparse(100), entry(100));
}

TEST(IndexSparseSearch, ReadOnlySegmentStaysReadOnlyWhenMovedAndMappedAgain) {
    TempDir dir;
    std::string path;
    {
        auto made = IndexSegment::create(dir.path(), 0, {16384, 16384, 6, 0});
        ASSERT_TRUE(made.ok());
        path = made->path();
        ASSERT_TRUE(made->append_entry(entry(1)).ok());
    }
    auto opened = IndexSegment::open(path, 0, 16384, /*read_only=*/true);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    IndexSegment seg = std::move(opened).value();  // moved out of the Result
    IndexSegment moved(std::move(seg));
    for (int round = 0; round < 2; ++round) {
        auto st = moved.append_entry(entry(2));
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().to_string(), "invalid data: read-only index segment cannot be written");
        EXPECT_EQ(moved.lookup_sparse(1), entry(1));
        moved.unmap();
        ASSERT_TRUE(moved.ensure_open().ok());
    }
}

}  // namespace
}  // namespace brenvale
