#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>

#include "dirty_list.h"
#include "file.h"
#include "index/index.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

IndexEntry entry(int64_t ts) { return {ts, static_cast<uint64_t>(ts) * 10 + 3, static_cast<uint16_t>(ts & 0x7FF)}; }
// Entries per segment for a size: 128 + 32 * n.
constexpr uint64_t size_for(uint64_t n) { return 128 + 32 * n; }

struct Settings {
    uint64_t size = 16384;
    uint64_t initial = 16384;
    bool continuous = false;
};

Index make_index(const std::string& dir, Settings s) {
    auto idx = Index::create(dir, {s.size, s.initial, s.continuous, 3, 0});
    EXPECT_TRUE(idx.ok());
    return std::move(idx).value();
}

Index open_index(const std::string& dir, Settings s) {
    auto idx = Index::open(dir, {s.size, s.initial, s.continuous, 3, 0});
    EXPECT_TRUE(idx.ok()) << idx.error().to_string();
    return std::move(idx).value();
}

void put(Index& idx, int64_t ts) { ASSERT_TRUE(idx.append(ts, entry(ts).block_offset, entry(ts).in_block).ok()) << ts; }

void put_latest(Index& idx, std::optional<int64_t> latest, int64_t ts) {
    Status st = idx.append_latest(latest, ts, entry(ts).block_offset, entry(ts).in_block);
    ASSERT_TRUE(st.ok()) << ts << ": " << st.error().to_string();
}

std::optional<IndexEntry> get(Index& idx, int64_t ts) {
    auto r = idx.lookup(ts);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() ? *r : std::nullopt;
}

std::vector<int64_t> starts(const Index& idx) {
    std::vector<int64_t> out;
    for (const auto& s : idx.slots()) out.push_back(s.start);
    return out;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Walks [lo, hi] the way the query iterators do: cursor kept, bounds narrowed.
std::vector<IndexEntry> scan(Index& idx, int64_t lo, int64_t hi, bool reverse, bool close_midway = false) {
    std::vector<IndexEntry> out;
    std::optional<IndexCursor> cursor;
    while (lo <= hi) {
        auto r = reverse ? idx.next_backward(lo, hi, cursor) : idx.next_forward(lo, hi, cursor);
        EXPECT_TRUE(r.ok()) << r.error().to_string();
        if (!r.ok() || !r->has_value()) break;
        const IndexHit& hit = **r;
        out.push_back(hit.entry);
        cursor = hit.cursor();
        if (close_midway && out.size() % 3 == 0) {
            EXPECT_TRUE(idx.close_segments().ok());
        }
        if (!reverse) {
            if (hit.entry.timestamp == kMax) break;
            lo = hit.entry.timestamp + 1;
        } else {
            if (hit.entry.timestamp == kMin) break;
            hi = hit.entry.timestamp - 1;
        }
    }
    return out;
}

std::vector<int64_t> stamps(const std::vector<IndexEntry>& es) {
    std::vector<int64_t> out;
    for (const auto& e : es) out.push_back(e.timestamp);
    return out;
}

struct RecordingSink : IndexRangeSink {
    std::vector<std::optional<std::pair<int64_t, int64_t>>> calls;
    Status update_range(std::optional<std::pair<int64_t, int64_t>> range) override {
        calls.push_back(range);
        return ok_status();
    }
};

// ---- continuous mode ----

TEST(ContinuousIndex, SegmentsHold508EntriesAt16384Bytes) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.continuous = true});
    EXPECT_EQ(*idx.entries_per_segment(), 508u);
    put_latest(idx, std::nullopt, 1000);
    put_latest(idx, 1000, 1507);
    put_latest(idx, 1507, 1508);
    EXPECT_EQ(idx.base_timestamp(), 1000);
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{1000, 1508}));
    EXPECT_EQ(*idx.continuous_segment_start(1507), 1000);
    EXPECT_EQ(*idx.continuous_segment_start(1508), 1508);
    IndexSegment* first = *idx.segment_at(1000);
    EXPECT_EQ(first->entry_count(), 508u);
    EXPECT_EQ(first->find(1507, true)->first, 507u);
    EXPECT_EQ((*idx.segment_at(1508))->find(1508, true)->first, 0u);
    EXPECT_EQ(get(idx, 1507), entry(1507));
    EXPECT_EQ(get(idx, 1508), entry(1508));
    EXPECT_EQ(get(idx, 1200), IndexEntry::sentinel(1200));
    EXPECT_TRUE(exists(dir.file("00000000000000001508")));
}

TEST(ContinuousIndex, FillersAreSentinelsThatCannotBeDeleted) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.continuous = true});
    put_latest(idx, std::nullopt, 1000);
    put_latest(idx, 1000, 1003);
    EXPECT_EQ(get(idx, 1001), IndexEntry::sentinel(1001));
    EXPECT_EQ(get(idx, 1002), IndexEntry::sentinel(1002));
    EXPECT_EQ(idx.delete_entry(1001).error().to_string(), "not found: no real data at timestamp 1001 (filler)");
    auto old = idx.delete_entry(1003);
    ASSERT_TRUE(old.ok());
    EXPECT_EQ(*old, entry(1003));
    EXPECT_EQ(get(idx, 1003), IndexEntry::sentinel(1003));
    EXPECT_EQ(idx.delete_entry(1003).error().to_string(), "not found: no real data at timestamp 1003 (filler)");
    EXPECT_EQ(idx.delete_entry(1004).error().to_string(), "not found: no entry at timestamp 1004 to delete");
    EXPECT_EQ(idx.delete_entry(5000).error().to_string(), "not found: no entry at timestamp 5000 to delete");
}

TEST(ContinuousIndex, GapsBetweenSegmentsAndOutOfOrderWritesIntoThem) {
    TempDir dir;
    RecordingSink sink;
    Index idx = make_index(dir.path(), {.continuous = true});
    put_latest(idx, std::nullopt, 1000);
    put_latest(idx, 1000, 1000 + 3 * 508);
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{1000, 2524}));
    EXPECT_EQ((*idx.segment_at(1000))->entry_count(), 508u);  // filled to its end
    EXPECT_EQ(get(idx, 1600), std::nullopt);
    EXPECT_EQ(get(idx, 2100), std::nullopt);
    EXPECT_EQ(get(idx, 2524), entry(2524));

    // Into the missing segment: created, filled from its start up to the timestamp.
    auto r = idx.overwrite(1600, 77, 5, &sink);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_EQ(*r, IndexEntry::sentinel(1600));
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0], (std::pair<int64_t, int64_t>{1000, 2524}));
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{1000, 1508, 2524}));
    EXPECT_EQ((*idx.segment_at(1508))->entry_count(), 93u);
    EXPECT_EQ(get(idx, 1508), IndexEntry::sentinel(1508));
    EXPECT_EQ(get(idx, 1600), (IndexEntry{1600, 77, 5}));
    EXPECT_EQ(get(idx, 1601), std::nullopt);

    EXPECT_EQ(*idx.overwrite(1600, 78, 6), (IndexEntry{1600, 77, 5}));    // replaces the record
    EXPECT_EQ(*idx.overwrite(1550, 79, 7), IndexEntry::sentinel(1550));   // replaces a filler
    EXPECT_EQ(*idx.overwrite(1700, 80, 8), IndexEntry::sentinel(1700));   // extends the hole
    EXPECT_EQ((*idx.segment_at(1508))->entry_count(), 193u);
    EXPECT_EQ(get(idx, 1650), IndexEntry::sentinel(1650));
    EXPECT_EQ(get(idx, 1700), (IndexEntry{1700, 80, 8}));
    EXPECT_EQ(get(idx, 2524), entry(2524));
}

TEST(ContinuousIndex, TimestampsBelowTheBaseAndWithoutBase) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.continuous = true});
    EXPECT_EQ(get(idx, 5), std::nullopt);
    EXPECT_EQ(idx.delete_entry(5).error().to_string(), "not found: continuous index base timestamp missing");
    put_latest(idx, std::nullopt, 1000);
    EXPECT_EQ(get(idx, 999), std::nullopt);
    auto r = idx.overwrite(999, 1, 1);
    EXPECT_EQ(r.error().to_string(), "not found: timestamp 999 is before continuous index base 1000");
    EXPECT_EQ(idx.delete_entry(999).error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(idx.append_latest(std::nullopt, 10, 1, 1).error().to_string(),
              "not found: timestamp 10 is before continuous index base 1000");
    EXPECT_EQ(get(idx, kMin), std::nullopt);
}

TEST(ContinuousIndex, NegativeStartsSurviveReopen) {
    TempDir dir;
    {
        Index idx = make_index(dir.path(), {.continuous = true});
        put_latest(idx, std::nullopt, -1000);
        put_latest(idx, -1000, -400);
        EXPECT_EQ(starts(idx), (std::vector<int64_t>{-1000, -492}));
    }
    EXPECT_TRUE(exists(dir.file("-0000000000000001000")));
    EXPECT_TRUE(exists(dir.file("-0000000000000000492")));
    Index idx = open_index(dir.path(), {.continuous = true});
    EXPECT_EQ(idx.base_timestamp(), -1000);
    EXPECT_EQ(idx.open_segment_count(), 0u);
    EXPECT_EQ(idx.latest_timestamp(), -400);
    EXPECT_EQ(get(idx, -400), entry(-400));
    EXPECT_EQ(get(idx, -1000), entry(-1000));
    EXPECT_EQ(get(idx, -450), IndexEntry::sentinel(-450));
    put_latest(idx, -400, -399);
    EXPECT_EQ(get(idx, -399), entry(-399));
}

TEST(ContinuousIndex, ExtremeTimestampsStayOnTheGrid) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.size = size_for(4), .initial = size_for(4), .continuous = true});
    put_latest(idx, std::nullopt, kMin);
    put_latest(idx, kMin, kMin + 5);
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{kMin, kMin + 4}));
    put_latest(idx, kMin + 5, kMax);
    EXPECT_EQ(*idx.continuous_segment_start(kMax), kMax - 3);  // 2^64 - 1 slots: the last segment is full
    EXPECT_EQ(get(idx, kMax), entry(kMax));
    EXPECT_EQ(get(idx, kMax - 1), IndexEntry::sentinel(kMax - 1));
    EXPECT_EQ(get(idx, kMin + 7), IndexEntry::sentinel(kMin + 7));
    EXPECT_EQ(stamps(scan(idx, kMax - 1, kMax, false)), (std::vector<int64_t>{kMax - 1, kMax}));
    EXPECT_EQ(stamps(scan(idx, kMin, kMin + 1, true)), (std::vector<int64_t>{kMin + 1, kMin}));
}

TEST(ContinuousIndex, WritesContinueAfterRetentionRemovedTheLatestSegment) {
    TempDir dir;
    const Settings s{.size = size_for(8), .initial = size_for(2), .continuous = true};
    Index idx = make_index(dir.path(), s);
    put_latest(idx, std::nullopt, 0);
    for (int64_t t = 1; t <= 5; ++t) put_latest(idx, t - 1, t);
    ASSERT_TRUE(idx.close_segments().ok());
    EXPECT_EQ(idx.reclaim(100), 1u);
    EXPECT_EQ(idx.segment_count(), 0u);
    EXPECT_EQ(idx.base_timestamp(), 0);
    // Same segment as the latest record, whose file is gone.
    put_latest(idx, 5, 7);
    EXPECT_EQ(get(idx, 7), entry(7));
    EXPECT_EQ(get(idx, 6), IndexEntry::sentinel(6));
    put_latest(idx, 7, 20);
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{0, 16}));
    ASSERT_TRUE(idx.close_segments().ok());
    EXPECT_EQ(idx.reclaim(100), 2u);
    // Next segment, the latest record's segment gone.
    put_latest(idx, 20, 30);
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{24}));
    EXPECT_EQ(get(idx, 30), entry(30));
    EXPECT_EQ(get(idx, 24), IndexEntry::sentinel(24));
}

TEST(ContinuousIndex, RollOverThroughFillersReportsTheRange) {
    TempDir dir;
    RecordingSink sink;
    Index idx = make_index(dir.path(), {.continuous = true});
    ASSERT_TRUE(idx.append_latest(std::nullopt, 1000, 1, 1, &sink).ok());
    ASSERT_TRUE(idx.append_latest(1000, 1000 + 508 + 5, 2, 2, &sink).ok());
    ASSERT_EQ(sink.calls.size(), 2u);
    EXPECT_EQ(sink.calls[0], std::nullopt);
    EXPECT_EQ(sink.calls[1], (std::pair<int64_t, int64_t>{1000, 1507}));
    EXPECT_EQ(idx.visible_range(), (std::pair<int64_t, int64_t>{1000, 1507}));
}

TEST(IndexSizes, TooSmallSegmentSizesAreRefused) {
    for (bool continuous : {false, true}) {
        TempDir dir;
        Index a = make_index(dir.path(), {.size = 128, .initial = 128, .continuous = continuous});
        EXPECT_EQ(a.append(1, 1, 1).error().to_string(), "invalid data: index segment size 128 is too small");
        Index b = make_index(dir.path(), {.size = 150, .initial = 128, .continuous = continuous});
        EXPECT_EQ(b.append_latest(std::nullopt, 1, 1, 1).error().to_string(),
                  "invalid data: index segment size 150 cannot hold an index entry");
        EXPECT_EQ(b.segment_count(), 0u);
        EXPECT_EQ(b.base_timestamp(), std::nullopt);
    }
}

// ---- sparse mode ----

TEST(SparseIndex, AppendsMustIncreaseAndDeletedLatestStillCounts) {
    TempDir dir;
    {
        Index idx = make_index(dir.path(), {});
        put(idx, 10);
        put(idx, 20);
        EXPECT_EQ(idx.append(15, 1, 1).error().to_string(),
                  "invalid data: non-continuous index append timestamp 15 must be greater than latest 20");
        EXPECT_EQ(idx.append(20, 1, 1).error().to_string(),
                  "invalid data: non-continuous index append timestamp 20 must be greater than latest 20");
        ASSERT_TRUE(idx.delete_entry(20).ok());
        EXPECT_FALSE(idx.append(20, 1, 1).ok());
        ASSERT_TRUE(idx.close_segments().ok());
        EXPECT_EQ(idx.latest_timestamp(), 20);
        EXPECT_FALSE(idx.append(20, 1, 1).ok());
        EXPECT_EQ(idx.open_segment_count(), 0u);  // the check maps nothing
    }
    Index idx = open_index(dir.path(), {});
    EXPECT_EQ(idx.latest_timestamp(), 20);
    EXPECT_FALSE(idx.append(19, 1, 1).ok());
    put(idx, 21);
    EXPECT_EQ(get(idx, 20), IndexEntry::sentinel(20));
    EXPECT_EQ(get(idx, 21), entry(21));
}

TEST(SparseIndex, OutOfOrderWritesNeedAnEntry) {
    TempDir dir;
    Index idx = make_index(dir.path(), {});
    for (int64_t t : {10, 20, 30}) put(idx, t);
    EXPECT_EQ(idx.overwrite(15, 1, 1).error().to_string(),
              "not found: no index entry at timestamp 15 (required for out-of-order write)");
    EXPECT_EQ(idx.overwrite(5, 1, 1).error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(idx.delete_entry(5).error().to_string(), "not found: no entry at timestamp 5 to delete");
    EXPECT_EQ(idx.delete_entry(15).error().to_string(), "not found: no entry at timestamp 15 to delete");
    EXPECT_EQ(*idx.delete_entry(20), entry(20));
    EXPECT_EQ(idx.delete_entry(20).error().to_string(), "not found: no real data at timestamp 20 (filler)");
    EXPECT_EQ(*idx.overwrite(20, 9, 9), IndexEntry::sentinel(20));
    EXPECT_EQ(get(idx, 20), (IndexEntry{20, 9, 9}));
    EXPECT_EQ(*idx.overwrite(10, 8, 8), entry(10));
    EXPECT_EQ(get(idx, 15), std::nullopt);
}

TEST(SparseIndex, FullSegmentRollsOverToOneNamedByTheEntry) {
    TempDir dir;
    RecordingSink sink;
    Index idx = make_index(dir.path(), {.size = size_for(2), .initial = 128});
    for (int64_t t : {10, 20, 35, 40, 50}) ASSERT_TRUE(idx.append(t, 1, 1, &sink).ok()) << t;
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{10, 35, 50}));
    EXPECT_TRUE(exists(dir.file("00000000000000000035")));
    EXPECT_TRUE(exists(dir.file("00000000000000000050")));
    ASSERT_EQ(sink.calls.size(), 3u);
    EXPECT_EQ(sink.calls[0], std::nullopt);
    EXPECT_EQ(sink.calls[1], (std::pair<int64_t, int64_t>{10, 20}));
    EXPECT_EQ(sink.calls[2], (std::pair<int64_t, int64_t>{10, 40}));
    EXPECT_EQ(idx.visible_range(), (std::pair<int64_t, int64_t>{10, 40}));
    // The segment before the new one was flushed and its registration dropped.
    EXPECT_TRUE((*idx.segment_at(35))->is_clean());
    for (int64_t t : {10, 20, 35, 40, 50}) EXPECT_EQ(get(idx, t)->timestamp, t);
    EXPECT_EQ(get(idx, 30), std::nullopt);
}

TEST(SparseIndex, EmptyNewestSegmentIsReplacedByTheEntryTimestamp) {
    TempDir dir;
    {
        Index idx = make_index(dir.path(), {});
        put(idx, 10);
        put(idx, 20);
    }
    // A crash right after creating segment 100 left it empty.
    { ASSERT_TRUE(IndexSegment::create(dir.path(), 100, {16384, 16384, 0, 0}).ok()); }
    {
        Index idx = open_index(dir.path(), {});
        EXPECT_EQ(starts(idx), (std::vector<int64_t>{10, 100}));
        put(idx, 30);
        EXPECT_EQ(starts(idx), (std::vector<int64_t>{10, 30}));
        EXPECT_FALSE(exists(dir.file("00000000000000000100")));
        EXPECT_EQ(get(idx, 30), entry(30));
        put(idx, 150);
    }
    Index idx = open_index(dir.path(), {});
    EXPECT_EQ(get(idx, 30), entry(30));
    EXPECT_EQ(get(idx, 150), entry(150));
    EXPECT_EQ(get(idx, 20), entry(20));
}

TEST(SparseIndex, CreatingOverALeftoverEmptyFileReusesIt) {
    TempDir dir;
    Index idx = make_index(dir.path(), {});
    { ASSERT_TRUE(IndexSegment::create(dir.path(), 5, {16384, 16384, 0, 0}).ok()); }
    put(idx, 5);
    EXPECT_EQ(get(idx, 5), entry(5));
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{5}));
}

// ---- open ----

TEST(IndexOpen, DirectoryListingSkipsJunk) {
    TempDir dir;
    {
        Index idx = make_index(dir.path(), {});
        put(idx, 7);
        put(idx, 8);
    }
    ASSERT_EQ(::rename(dir.file("00000000000000000007").c_str(), dir.file("+7").c_str()), 0);
    ASSERT_TRUE(write_file_atomic(dir.file("abc"), "junk").ok());
    ASSERT_TRUE(write_file_atomic(dir.file("+"), "junk").ok());
    ASSERT_TRUE(write_file_atomic(dir.file("99999999999999999999"), "junk").ok());  // overflows
    ASSERT_TRUE(create_dir_all(dir.file("00000000000000000009")).ok());
    Index idx = open_index(dir.path(), {});
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{7}));
    EXPECT_EQ(idx.slots()[0].entry_count, 2u);
    EXPECT_EQ(idx.latest_timestamp(), 8);
    EXPECT_EQ(get(idx, 8), entry(8));
    put(idx, 9);
    EXPECT_EQ(get(idx, 9), entry(9));

    auto missing = Index::open(dir.file("nope"), {16384, 16384, false, 0, 0});
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(missing->segment_count(), 0u);
    EXPECT_EQ(missing->latest_timestamp(), std::nullopt);
}

TEST(IndexOpen, TwoNamesForOneStartKeepTheCanonicalOne) {
    TempDir dir;
    {
        Index idx = make_index(dir.path(), {});
        put(idx, 7);
        put(idx, 8);
    }
    { ASSERT_TRUE(IndexSegment::create(dir.file("other"), 7, {16384, 16384, 0, 0}).ok()); }
    ASSERT_EQ(::rename(dir.file("other/00000000000000000007").c_str(), dir.file("+7").c_str()), 0);
    LogCapture logs(log::Level::Warn);
    Index idx = open_index(dir.path(), {});
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{7}));
    EXPECT_EQ(idx.slots()[0].entry_count, 2u);
    EXPECT_EQ(logs.count("[index] ignoring segment file " + dir.file("+7") + ": start 7 is already held by " +
                         dir.file("00000000000000000007")),
              1u);
    put(idx, 9);
    EXPECT_EQ(get(idx, 9), entry(9));
    EXPECT_TRUE(exists(dir.file("+7")));
}

TEST(IndexOpen, DamagedSegmentIsKeptAsUnknownNotEmpty) {
    TempDir dir;
    {
        Index idx = make_index(dir.path(), {.size = size_for(2), .initial = size_for(2)});
        for (int64_t t : {10, 11, 20, 21, 30}) put(idx, t);
    }
    const std::string damaged = dir.file("00000000000000000020");
    {
        auto f = MappedFile::open(damaged, true);
        ASSERT_TRUE(f.ok());
        store_u64(f->data() + 52, 100);
    }
    Index idx = open_index(dir.path(), {.size = size_for(2), .initial = size_for(2)});
    ASSERT_EQ(idx.segment_count(), 3u);
    EXPECT_EQ(idx.slots()[1].last_timestamp, std::nullopt);
    EXPECT_FALSE(idx.lookup(21).ok());  // opening it reports the damage

    LogCapture logs(log::Level::Info);
    EXPECT_EQ(idx.reclaim(1000), 2u);
    EXPECT_TRUE(exists(damaged));
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{20}));
    EXPECT_EQ(logs.count("[retention] failed to read " + damaged +
                         ": invalid data: index wrote_position 100 is not aligned to 32-byte entries (keeping)"),
              1u);
    EXPECT_EQ(logs.count("[retention] deleted index segment: " + dir.file("00000000000000000010")), 1u);
}

// ---- retention, visible range, close ----

TEST(IndexReclaim, ThresholdBoundariesEmptySegmentsAndOpenSlots) {
    TempDir dir;
    const Settings s{.size = size_for(2), .initial = size_for(2)};
    {
        Index idx = make_index(dir.path(), s);
        for (int64_t t : {10, 20, 30, 40, 50, 60, 70}) put(idx, t);
    }
    { ASSERT_TRUE(IndexSegment::create(dir.path(), 5, {size_for(2), size_for(2), 0, 0}).ok()); }
    Index idx = open_index(dir.path(), s);
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{5, 10, 30, 50, 70}));
    EXPECT_EQ(idx.visible_range(), (std::pair<int64_t, int64_t>{10, 60}));
    ASSERT_TRUE(idx.segment_at(50).ok());  // open slots are never removed

    LogCapture logs(log::Level::Info);
    EXPECT_EQ(idx.reclaim(40), 2u);  // the empty one and [10, 20]; 40 is not below 40
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{30, 50, 70}));
    EXPECT_EQ(logs.count("[retention] deleted empty index segment: " + dir.file("00000000000000000005")), 1u);
    EXPECT_FALSE(exists(dir.file("00000000000000000010")));
    EXPECT_EQ(idx.reclaim(41), 1u);
    EXPECT_EQ(idx.reclaim(1000), 1u);  // 70; 50 stays open
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{50}));
    EXPECT_EQ(idx.visible_range(), std::nullopt);
    EXPECT_EQ(idx.latest_timestamp(), 60);
}

TEST(IndexClose, CloseThenLookupReopensOnlyOneSegment) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.size = size_for(4), .initial = size_for(4)});
    for (int64_t t = 1; t <= 20; ++t) put(idx, t * 10);
    EXPECT_EQ(idx.open_segment_count(), 5u);
    ASSERT_TRUE(idx.close_segments().ok());
    EXPECT_EQ(idx.open_segment_count(), 0u);
    const auto slots = idx.slots();
    ASSERT_EQ(slots.size(), 5u);
    EXPECT_EQ(slots[2].entry_count, 4u);
    EXPECT_EQ(slots[2].last_timestamp, 120);
    EXPECT_EQ(idx.visible_range(), (std::pair<int64_t, int64_t>{10, 160}));
    EXPECT_EQ(get(idx, 110), entry(110));
    EXPECT_EQ(idx.open_segment_count(), 1u);
    EXPECT_EQ(get(idx, 115), std::nullopt);
    EXPECT_EQ(idx.open_segment_count(), 1u);
    put(idx, 210);  // opens the full newest segment, then creates another
    EXPECT_EQ(idx.open_segment_count(), 3u);
    EXPECT_EQ(idx.range(130, 140)->size(), 2u);
    EXPECT_EQ(idx.open_segment_count(), 4u);
}

TEST(IndexDirty, SegmentsReportThemselvesAgainAfterEachFlush) {
    TempDir dir;
    auto list = std::make_shared<DirtyList>();
    Index idx = make_index(dir.path(), {});
    put(idx, 1);  // changed before the notifier exists
    idx.set_notifier(DirtyNotifier({"ds", "t"}, list));
    ASSERT_EQ(list->size(), 1u);
    put(idx, 2);
    EXPECT_EQ(list->size(), 1u);
    auto taken = list->take_all();
    EXPECT_EQ(taken[0].target, DirtyTarget::index_segment(1));
    ASSERT_TRUE(idx.flush().ok());  // a whole flush between the push and the taken entry
    ASSERT_TRUE(idx.flush_dirty(1).ok());
    ASSERT_TRUE(idx.flush_dirty(12345).ok());  // unknown start: nothing
    put(idx, 3);
    EXPECT_EQ(list->size(), 1u);
    ASSERT_TRUE(idx.close_segments().ok());
    ASSERT_TRUE(idx.flush_dirty(1).ok());  // closed: nothing
    put(idx, 4);  // reopened segment gets the notifier
    EXPECT_EQ(list->size(), 2u);
}

// ---- cursor scans ----

TEST(IndexScan, ForwardAndBackwardAcrossSegmentsWithSentinels) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.size = size_for(2), .initial = 128});
    for (int64_t t = 1; t <= 7; ++t) put(idx, t);
    ASSERT_TRUE(idx.delete_entry(3).ok());
    ASSERT_TRUE(idx.delete_entry(4).ok());
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{1, 3, 5, 7}));
    const std::vector<int64_t> all{1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(stamps(scan(idx, kMin, kMax, false)), all);
    EXPECT_EQ(stamps(scan(idx, kMin, kMax, true)), std::vector<int64_t>(all.rbegin(), all.rend()));
    EXPECT_EQ(stamps(scan(idx, 2, 5, false, true)), (std::vector<int64_t>{2, 3, 4, 5}));
    EXPECT_EQ(stamps(scan(idx, 2, 5, true, true)), (std::vector<int64_t>{5, 4, 3, 2}));
    auto s = scan(idx, 3, 4, false);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(s[0].is_sentinel());
    EXPECT_TRUE(scan(idx, 8, 100, false).empty());
    EXPECT_TRUE(scan(idx, -5, 0, true).empty());
}

TEST(IndexScan, SinglePointRangeYieldsOnce) {
    for (bool continuous : {false, true}) {
        TempDir dir;
        Index idx = make_index(dir.path(), {.size = size_for(2), .initial = 128, .continuous = continuous});
        put_latest(idx, std::nullopt, 1);
        for (int64_t t = 2; t <= 9; ++t) put_latest(idx, t - 1, t);
        for (bool reverse : {false, true}) {
            auto first = reverse ? idx.next_backward(5, 5, std::nullopt) : idx.next_forward(5, 5, std::nullopt);
            ASSERT_TRUE(first.ok() && first->has_value());
            EXPECT_EQ((*first)->entry, entry(5));
            EXPECT_EQ((*first)->segment_start, 5);
            // Resuming from the cursor, with or without narrowed bounds, ends the scan.
            const IndexCursor c = (*first)->cursor();
            auto again = reverse ? idx.next_backward(5, 5, c) : idx.next_forward(5, 5, c);
            ASSERT_TRUE(again.ok());
            EXPECT_FALSE(again->has_value());
            auto narrowed = reverse ? idx.next_backward(5, 4, c) : idx.next_forward(6, 5, c);
            ASSERT_TRUE(narrowed.ok());
            EXPECT_FALSE(narrowed->has_value());
            EXPECT_EQ(stamps(scan(idx, 5, 5, reverse)), (std::vector<int64_t>{5}));
        }
    }
}

// A cursor continues inside the segment it remembers only while the index's slots are as
// they were; any change of the slots, or a cursor of another index, goes back to the search.
TEST(IndexScan, CursorFollowsSlotChanges) {
    for (bool continuous : {false, true}) {
        SCOPED_TRACE(continuous);
        TempDir dir;
        TempDir other_dir;
        Index idx = make_index(dir.path(), {.size = size_for(4), .initial = size_for(4), .continuous = continuous});
        std::optional<IndexCursor> cursor;
        {
            Index other = make_index(other_dir.path(), {.size = size_for(4), .initial = size_for(4),
                                                        .continuous = continuous});
            for (int64_t t = 0; t < 8; ++t) {
                put_latest(idx, t == 0 ? std::nullopt : std::optional<int64_t>(t - 1), t);
                put_latest(other, t == 0 ? std::nullopt : std::optional<int64_t>(t - 1), t);
            }
            auto hit = other.next_forward(0, 100, std::nullopt);
            ASSERT_TRUE(hit.ok() && hit->has_value());
            cursor = (*hit)->cursor();
        }  // the other index and its segments are gone: its cursor must not be followed
        auto r = idx.next_forward(1, 100, cursor);
        ASSERT_TRUE(r.ok() && r->has_value());
        EXPECT_EQ((*r)->entry, entry(1));
        cursor = (*r)->cursor();
        // Entries appended to the cursor's segment after the cursor was made are found.
        r = idx.next_forward(2, 100, cursor);
        ASSERT_TRUE(r.ok() && r->has_value());
        EXPECT_EQ((*r)->entry, entry(2));
        cursor = (*r)->cursor();
        // A moved index keeps its segments and its cursors.
        Index moved = std::move(idx);
        r = moved.next_forward(3, 100, cursor);
        ASSERT_TRUE(r.ok() && r->has_value());
        EXPECT_EQ((*r)->entry, entry(3));
        cursor = (*r)->cursor();
        // Retention removes the cursor's (closed) segment: the walk goes on in the next one.
        ASSERT_TRUE(moved.close_segments().ok());
        EXPECT_EQ(moved.reclaim(4), 1u);
        r = moved.next_forward(4, 100, cursor);
        ASSERT_TRUE(r.ok() && r->has_value());
        EXPECT_EQ((*r)->entry, entry(4));
        cursor = (*r)->cursor();
        ASSERT_TRUE(moved.delete_entry(5).ok());
        r = moved.next_forward(5, 100, cursor);
        ASSERT_TRUE(r.ok() && r->has_value());
        EXPECT_TRUE((*r)->entry.is_sentinel());
        // Backward from a cursor, across a close of every segment.
        ASSERT_TRUE(moved.close_segments().ok());
        r = moved.next_backward(4, 4, (*r)->cursor());
        ASSERT_TRUE(r.ok() && r->has_value());
        EXPECT_EQ((*r)->entry, entry(4));
    }
}

TEST(IndexScan, ContinuousGapsAreSkipped) {
    TempDir dir;
    Index idx = make_index(dir.path(), {.size = size_for(4), .initial = size_for(4), .continuous = true});
    put_latest(idx, std::nullopt, 0);
    put_latest(idx, 0, 2);
    put_latest(idx, 2, 17);  // segments 4, 8 and 12 are never created
    EXPECT_EQ(starts(idx), (std::vector<int64_t>{0, 16}));
    EXPECT_EQ(stamps(scan(idx, 1, 16, false)), (std::vector<int64_t>{1, 2, 3, 16}));
    EXPECT_EQ(stamps(scan(idx, 1, 16, true)), (std::vector<int64_t>{16, 3, 2, 1}));
    EXPECT_EQ(stamps(*idx.range(3, 17)), (std::vector<int64_t>{3, 16, 17}));
}

// ---- against a model ----

class IndexModelTest : public ::testing::TestWithParam<bool> {};

TEST_P(IndexModelTest, MatchesAnOrderedMapOverRandomOperations) {
    const bool continuous = GetParam();
    constexpr int64_t n = 16;
    const Settings s{.size = size_for(n), .initial = size_for(2), .continuous = continuous};
    TempDir dir;
    std::optional<Index> idx = make_index(dir.path(), s);
    std::map<int64_t, IndexEntry> model;
    std::optional<int64_t> latest, base;
    std::mt19937_64 rng(continuous ? 20240611 : 19700101);
    auto rnd = [&](uint64_t m) { return static_cast<int64_t>(rng() % m); };
    auto value = [&](int64_t ts) {
        return IndexEntry{ts, rng() % 1000000000, static_cast<uint16_t>(rng() % 0xFFFF)};
    };
    auto seg_start = [&](int64_t ts) { return *base + (ts - *base) / n * n; };
    auto fill = [&](int64_t from, int64_t to) {
        for (int64_t t = from; t <= to; ++t) model[t] = IndexEntry::sentinel(t);
    };
    auto pick = [&]() -> int64_t {
        if (!model.empty() && rnd(10) < 7) return std::next(model.begin(), rnd(model.size()))->first;
        const int64_t lo = model.empty() ? -50 : model.begin()->first - 5;
        const int64_t hi = latest ? *latest + 5 : 50;
        return lo + rnd(static_cast<uint64_t>(hi - lo + 1));
    };
    auto expect_range = [&](int64_t a, int64_t b, const std::vector<IndexEntry>& got, bool reverse) {
        std::vector<IndexEntry> want;
        for (auto it = model.lower_bound(a); it != model.end() && it->first <= b; ++it) want.push_back(it->second);
        if (reverse) std::reverse(want.begin(), want.end());
        ASSERT_EQ(got, want) << "[" << a << ", " << b << "] reverse=" << reverse;
    };

    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const int op = rnd(100);
        if (op < 30) {  // new latest record
            const int64_t t = latest ? *latest + 1 + (rnd(4) == 0 ? rnd(40) : rnd(3)) : -20;
            const IndexEntry e = value(t);
            if (continuous) {
                ASSERT_TRUE(idx->append_latest(latest, t, e.block_offset, e.in_block).ok());
                if (!base) base = t;
                if (latest) {
                    const int64_t sl = seg_start(*latest), st = seg_start(t);
                    if (sl == st) fill(*latest + 1, t - 1);
                    else {
                        fill(*latest + 1, sl + n - 1);
                        fill(st, t - 1);
                    }
                }
            } else {
                ASSERT_TRUE(idx->append(t, e.block_offset, e.in_block).ok());
            }
            model[t] = e;
            latest = t;
        } else if (op < 34) {  // sparse: appends not above the latest are refused
            if (continuous || !latest) continue;
            const int64_t t = *latest - rnd(5);
            Status st = idx->append(t, 1, 1);
            ASSERT_FALSE(st.ok());
            EXPECT_EQ(st.error().kind(), ErrorKind::InvalidData);
        } else if (op < 50) {  // out-of-order write
            if (!latest) continue;
            const int64_t t = std::min(pick(), *latest);
            const IndexEntry e = value(t);
            auto r = idx->overwrite(t, e.block_offset, e.in_block);
            auto it = model.find(t);
            if (it != model.end()) {
                ASSERT_TRUE(r.ok()) << r.error().to_string();
                EXPECT_EQ(*r, it->second);
                it->second = e;
            } else if (!continuous || t < *base) {
                ASSERT_FALSE(r.ok());
                EXPECT_EQ(r.error().kind(), ErrorKind::NotFound);
            } else {
                ASSERT_TRUE(r.ok()) << r.error().to_string();
                EXPECT_EQ(*r, IndexEntry::sentinel(t));
                const int64_t st = seg_start(t);
                int64_t k = 0;
                for (auto m = model.lower_bound(st); m != model.end() && m->first < st + n; ++m) ++k;
                fill(st + k, t - 1);
                model[t] = e;
            }
        } else if (op < 60) {  // delete
            const int64_t t = pick();
            auto r = idx->delete_entry(t);
            auto it = model.find(t);
            if (it == model.end()) {
                ASSERT_FALSE(r.ok());
                EXPECT_EQ(r.error().kind(), ErrorKind::NotFound);
                if (!continuous || (base && t >= *base)) {
                    EXPECT_EQ(r.error().detail(), fmt::format("no entry at timestamp {} to delete", t));
                }
            } else if (it->second.is_sentinel()) {
                ASSERT_FALSE(r.ok());
                EXPECT_EQ(r.error().detail(), fmt::format("no real data at timestamp {} (filler)", t));
            } else {
                ASSERT_TRUE(r.ok()) << r.error().to_string();
                EXPECT_EQ(*r, it->second);
                it->second = IndexEntry::sentinel(t);
            }
        } else if (op < 75) {  // lookup
            const int64_t t = pick();
            auto r = idx->lookup(t);
            ASSERT_TRUE(r.ok()) << r.error().to_string();
            auto it = model.find(t);
            if (it == model.end()) EXPECT_EQ(*r, std::nullopt) << t;
            else EXPECT_EQ(*r, it->second) << t;
        } else if (op < 82) {  // range
            int64_t a = pick(), b = pick();
            if (a > b) std::swap(a, b);
            auto r = idx->range(a, b);
            ASSERT_TRUE(r.ok()) << r.error().to_string();
            expect_range(a, b, *r, false);
        } else if (op < 90) {  // cursor scans
            int64_t a = pick(), b = pick();
            if (a > b) std::swap(a, b);
            const bool reverse = rnd(2) == 1;
            expect_range(a, b, scan(*idx, a, b, reverse, rnd(4) == 0), reverse);
        } else if (op < 94) {
            ASSERT_TRUE(idx->close_segments().ok());
            EXPECT_EQ(idx->open_segment_count(), 0u);
        } else if (op < 97) {  // reopen from the files
            idx.reset();
            idx = open_index(dir.path(), s);
            if (continuous) {
                EXPECT_EQ(idx->base_timestamp(), base);
            }
        } else {
            ASSERT_TRUE(idx->flush().ok());
        }
        if (!continuous) {
            ASSERT_EQ(idx->latest_timestamp(), latest);
        } else if (latest) {
            ASSERT_EQ(idx->latest_timestamp(), model.rbegin()->first);
        }
    }

    ASSERT_FALSE(model.empty());
    idx.reset();
    idx = open_index(dir.path(), s);
    const int64_t lo = model.begin()->first - 3, hi = model.rbegin()->first + 3;
    for (int64_t t = lo; t <= hi; ++t) {
        auto r = idx->lookup(t);
        ASSERT_TRUE(r.ok());
        auto it = model.find(t);
        ASSERT_EQ(*r, it == model.end() ? std::nullopt : std::optional<IndexEntry>(it->second)) << t;
    }
    expect_range(kMin, kMax, *idx->range(kMin, kMax), false);
    expect_range(kMin, kMax, scan(*idx, kMin, kMax, true), true);
    EXPECT_GT(idx->segment_count(), 20u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, IndexModelTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Continuous" : "Sparse"; });

}  // namespace
}  // namespace brenvale
