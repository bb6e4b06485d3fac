#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>

#include "dirty_list.h"
#include "file.h"
#include "format/header.h"
#include "index/segment.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

constexpr uint64_t kLimit = 16384;

IndexEntry entry(int64_t ts) { return {ts, static_cast<uint64_t>(ts) * 100 + 7, static_cast<uint16_t>(ts & 0xFF)}; }

IndexSegment make(const TempDir& dir, int64_t start, uint64_t initial = 16384, uint64_t limit = kLimit) {
    auto seg = IndexSegment::create(dir.path(), start, {initial, limit, 6, 0});
    EXPECT_TRUE(seg.ok()) << seg.error().to_string();
    return std::move(seg).value();
}

std::string bytes_of(const std::string& path) {
    auto r = read_file(path);
    EXPECT_TRUE(r.ok());
    return r.ok() ? *r : std::string();
}

void patch(const std::string& path, size_t pos, const void* data, size_t len) {
    std::string b = bytes_of(path);
    ASSERT_LE(pos + len, b.size());
    std::memcpy(b.data() + pos, data, len);
    ASSERT_TRUE(write_file_atomic(path, b).ok());
}

void patch_u64(const std::string& path, size_t pos, uint64_t v) {
    uint8_t buf[8];
    store_u64(buf, v);
    patch(path, pos, buf, 8);
}

void truncate_to(const std::string& path, size_t len) {
    std::string b = bytes_of(path);
    ASSERT_TRUE(write_file_atomic(path, b.substr(0, len)).ok());
}

std::string err(const Error& e) { return e.to_string(); }

TEST(IndexSegmentName, SignedTwentyCharacterNamesAndStrictParse) {
    EXPECT_EQ(index_segment_file_name(42), "00000000000000000042");
    EXPECT_EQ(index_segment_file_name(-5), "-0000000000000000005");
    EXPECT_EQ(index_segment_file_name(0), "00000000000000000000");
    EXPECT_EQ(index_segment_file_name(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(index_segment_file_name(std::numeric_limits<int64_t>::max()), "09223372036854775807");

    EXPECT_EQ(parse_index_segment_name("+7"), 7);
    EXPECT_EQ(parse_index_segment_name("-0000000000000000005"), -5);
    EXPECT_EQ(parse_index_segment_name("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(parse_index_segment_name("9223372036854775807"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(parse_index_segment_name("9223372036854775808"), std::nullopt);
    EXPECT_EQ(parse_index_segment_name("-9223372036854775809"), std::nullopt);
    for (const char* bad : {"", "+", "-", "12a", " 7", "7 ", "+-7", "0x10"}) {
        EXPECT_EQ(parse_index_segment_name(bad), std::nullopt) << bad;
    }
}

TEST(IndexSegmentCreate, HeaderAndEntryBytesAreExact) {
    TempDir dir;
    IndexSegment seg = make(dir, 42);
    const std::string path = dir.file("00000000000000000042");
    EXPECT_EQ(seg.path(), path);
    EXPECT_EQ(seg.capacity(), 508u);
    EXPECT_EQ(seg.file_size(), 16384u);
    EXPECT_EQ(seg.entry_count(), 0u);
    EXPECT_TRUE(seg.is_clean());

    ASSERT_TRUE(seg.append_entry({-3, 0x0102030405060708ULL, 0xBEEF}).ok());
    ASSERT_TRUE(seg.flush().ok());
    const std::string b = bytes_of(path);
    ASSERT_EQ(b.size(), 16384u);
    const auto* p = reinterpret_cast<const uint8_t*>(b.data());
    EXPECT_EQ(std::memcmp(p, "BRVL", 4), 0);
    EXPECT_EQ(load_u16(p + 4), 1);
    EXPECT_EQ(p[6], 1);                  // index segment
    EXPECT_EQ(load_u16(p + 7), 41);      // metadata length
    EXPECT_EQ(p[20], 2);                 // start key tag
    EXPECT_EQ(load_i64(p + 23), 42);     // start
    EXPECT_EQ(load_u64(p + 34), kLimit); // size limit
    EXPECT_EQ(p[45], 6);                 // compress level
    EXPECT_EQ(p[49], 0);                 // compress type
    EXPECT_EQ(load_u16(p + 50), 8);      // state length
    EXPECT_EQ(load_u64(p + 52), 160u);   // wrote_position after one entry
    for (size_t i = 60; i < 128; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(load_i64(p + 128), -3);
    EXPECT_EQ(load_u64(p + 136), 0x0102030405060708ULL);
    EXPECT_EQ(load_u16(p + 144), 0xBEEF);
    for (size_t i = 146; i < 160; ++i) ASSERT_EQ(p[i], 0) << i;
}

TEST(IndexSegmentCreate, CapacityFromOddSizesAndGrowthFromZero) {
    TempDir dir;
    {
        IndexSegment seg = make(dir, 1, 200);
        EXPECT_EQ(seg.file_size(), 192u);
        EXPECT_EQ(seg.capacity(), 2u);
    }
    {
        IndexSegment seg = make(dir, 2, 128, 1000);
        EXPECT_EQ(seg.capacity(), 0u);
        EXPECT_EQ(seg.append_entry(entry(2)).error().kind(), ErrorKind::SegmentFull);
        EXPECT_EQ(seg.entry_count(), 0u);
        ASSERT_TRUE(seg.append_entry_growing(entry(2)).ok());
        EXPECT_EQ(seg.file_size(), 256u);
        EXPECT_EQ(seg.capacity(), 4u);
        // 256 -> 512 -> 1000 (the limit, not a whole number of entries)
        for (int64_t t = 3; t <= 28; ++t) ASSERT_TRUE(seg.append_entry_growing(entry(t)).ok()) << t;
        EXPECT_EQ(seg.file_size(), 1000u);
        EXPECT_EQ(seg.capacity(), 27u);
        EXPECT_EQ(seg.entry_count(), 27u);
        EXPECT_EQ(seg.append_entry_growing(entry(29)).error().kind(), ErrorKind::SegmentFull);
    }
    auto bad_type = IndexSegment::create(dir.path(), 3, {16384, kLimit, 0, 2});
    EXPECT_EQ(err(bad_type.error()), "invalid data: unknown compress_type 2");
    auto small = IndexSegment::create(dir.path(), 3, {127, kLimit, 0, 0});
    EXPECT_EQ(err(small.error()), "invalid data: initial index segment size 127 is smaller than header 128");
}

TEST(IndexSegmentCreate, FullAtLimitReportsSegmentFullAndFlushes) {
    TempDir dir;
    auto list = std::make_shared<DirtyList>();
    IndexSegment seg = make(dir, 0, 128, 200);
    seg.set_notifier(DirtyNotifier({"n", "t"}, list));
    ASSERT_TRUE(seg.append_entry_growing(entry(0)).ok());
    ASSERT_TRUE(seg.append_entry_growing(entry(1)).ok());
    EXPECT_EQ(seg.file_size(), 200u);
    EXPECT_EQ(seg.capacity(), 2u);
    EXPECT_FALSE(seg.is_clean());
    EXPECT_TRUE(seg.dirty_registered());

    Status full = seg.append_entry_growing(entry(2));
    EXPECT_EQ(full.error().kind(), ErrorKind::SegmentFull);
    EXPECT_EQ(seg.entry_count(), 2u);
    EXPECT_TRUE(seg.is_clean());
    EXPECT_FALSE(seg.dirty_registered());
    EXPECT_EQ(err(seg.grow().error()), "invalid data: index segment already at max_file_size (200)");
}

TEST(IndexSegmentEntries, OutOfRangeIndexAndUnmappedWrites) {
    TempDir dir;
    IndexSegment seg = make(dir, 10);
    ASSERT_TRUE(seg.append_entry(entry(10)).ok());
    ASSERT_TRUE(seg.append_entry(entry(11)).ok());
    EXPECT_EQ(err(seg.read_entry(2).error()), "invalid data: entry index 2 out of range [0, 2)");
    EXPECT_EQ(err(seg.write_entry(2, entry(12)).error()), "invalid data: entry index 2 out of range [0, 2)");
    ASSERT_TRUE(seg.read_entry(1).ok());
    EXPECT_EQ(*seg.read_entry(1), entry(11));
    ASSERT_TRUE(seg.write_entry(1, IndexEntry::sentinel(11)).ok());
    EXPECT_TRUE(seg.read_entry(1)->is_sentinel());

    seg.unmap();
    EXPECT_FALSE(seg.is_mapped());
    EXPECT_EQ(seg.lookup_sparse(10), std::nullopt);  // searches never map
    EXPECT_EQ(err(seg.append_entry(entry(12)).error()), "mmap error: index segment closed");
    EXPECT_EQ(err(seg.write_entry(0, entry(10)).error()), "mmap error: index segment closed");
    auto e = seg.read_entry(0);  // maps by itself
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(*e, entry(10));
    EXPECT_TRUE(seg.is_mapped());
}

TEST(IndexSegmentEntries, ReopenRestoresEntriesAndDetectsCorruption) {
    TempDir dir;
    const std::string path = dir.file("00000000000000000005");
    {
        IndexSegment seg = make(dir, 5, 192);
        ASSERT_TRUE(seg.append_entry(entry(5)).ok());
    }  // dropped: flushed and unmapped
    {
        auto seg = IndexSegment::open(path, 5, kLimit);
        ASSERT_TRUE(seg.ok()) << seg.error().to_string();
        EXPECT_EQ(seg->entry_count(), 1u);
        EXPECT_EQ(seg->capacity(), 2u);
        EXPECT_EQ(seg->last_timestamp(), 5);
        EXPECT_EQ(seg->lookup_sparse(5), entry(5));
    }
    // The name says 5: a header start of 6 is refused, header value first.
    auto wrong = IndexSegment::open(path, 6, kLimit);
    EXPECT_EQ(err(wrong.error()), "invalid data: index segment header start 5 does not match file name start 6");

    // A non-zero reserved byte past wrote_position is ignored...
    const uint8_t one = 1;
    patch(path, 160 + 31, &one, 1);
    EXPECT_TRUE(IndexSegment::open(path, 5, kLimit).ok());
    // ...inside it the whole file is refused.
    patch(path, 128 + 20, &one, 1);
    EXPECT_EQ(err(IndexSegment::open(path, 5, kLimit).error()),
              "invalid data: index segment " + path +
                  " entry 0 malformed: invalid data: index entry reserved bytes must be zero");
}

TEST(IndexSegmentEntries, WrotePositionChecks) {
    TempDir dir;
    const std::string path = dir.file("00000000000000000000");
    { IndexSegment seg = make(dir, 0, 192); }
    patch_u64(path, 52, 140);
    EXPECT_EQ(err(IndexSegment::open(path, 0, kLimit).error()),
              "invalid data: index wrote_position 140 is not aligned to 32-byte entries");
    patch_u64(path, 52, 100);  // below the entry area: would wrap around
    EXPECT_EQ(err(IndexSegment::open(path, 0, kLimit).error()),
              "invalid data: index wrote_position 100 is not aligned to 32-byte entries");
    patch_u64(path, 52, 224);  // three entries in a two-entry file
    EXPECT_EQ(err(IndexSegment::open(path, 0, kLimit).error()),
              "invalid data: index entry 2 at 192 is beyond file bounds");

    truncate_to(path, 160);
    patch_u64(path, 52, 160);
    auto seg = IndexSegment::open(path, 0, kLimit);
    ASSERT_TRUE(seg.ok()) << seg.error().to_string();
    EXPECT_EQ(seg->entry_count(), 1u);
    EXPECT_EQ(seg->capacity(), 1u);
}

TEST(IndexSegmentEntries, ForeignHeadersAreRefused) {
    TempDir dir;
    const std::string path = dir.file("00000000000000000000");
    { IndexSegment seg = make(dir, 0, 192); }
    uint8_t two[2];
    store_u16(two, 2);
    patch(path, 4, two, 2);
    EXPECT_EQ(err(IndexSegment::open(path, 0, kLimit).error()),
              "invalid data: unsupported index file version 2, expected 1");
    store_u16(two, 1);
    patch(path, 4, two, 2);
    const uint8_t data_type = 2;
    patch(path, 6, &data_type, 1);
    EXPECT_EQ(err(IndexSegment::open(path, 0, kLimit).error()), "invalid data: unexpected file_type 2");
    patch(path, 0, "BRVX", 4);
    EXPECT_EQ(IndexSegment::open(path, 0, kLimit).error().kind(), ErrorKind::InvalidMagic);
    EXPECT_EQ(IndexSegment::open(dir.file("missing"), 0, kLimit).error().kind(), ErrorKind::Io);
}

TEST(IndexSegmentSearch, SparseAndContinuousLookupsAndBounds) {
    TempDir dir;
    IndexSegment sparse = make(dir, 10);
    for (int64_t t : {10, 20, 30, 40}) ASSERT_TRUE(sparse.append_entry(entry(t)).ok());
    ASSERT_TRUE(sparse.write_entry(2, IndexEntry::sentinel(30)).ok());
    EXPECT_EQ(sparse.lookup_sparse(20), entry(20));
    EXPECT_EQ(sparse.lookup_sparse(10), entry(10));
    EXPECT_EQ(sparse.lookup_sparse(40), entry(40));
    EXPECT_EQ(sparse.lookup_sparse(25), std::nullopt);
    EXPECT_EQ(sparse.lookup_sparse(5), std::nullopt);
    EXPECT_EQ(sparse.lookup_sparse(45), std::nullopt);
    EXPECT_EQ(sparse.lookup_sparse(30), IndexEntry::sentinel(30));  // deleted entries are found
    EXPECT_EQ(sparse.find(40, false)->first, 3u);
    EXPECT_EQ(sparse.upper_bound(9, false), 0u);
    EXPECT_EQ(sparse.upper_bound(20, false), 2u);
    EXPECT_EQ(sparse.upper_bound(25, false), 2u);
    EXPECT_EQ(sparse.upper_bound(100, false), 4u);
    EXPECT_EQ(sparse.lower_bound(20, false), 1u);
    EXPECT_EQ(sparse.lower_bound(21, false), 2u);
    EXPECT_EQ(sparse.lower_bound(41, false), 4u);
    auto r = sparse.range(15, 35, false);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], entry(20));
    EXPECT_EQ(r[1], IndexEntry::sentinel(30));
    EXPECT_TRUE(sparse.range(41, 100, false).empty());
    EXPECT_TRUE(sparse.range(30, 20, false).empty());

    IndexSegment cont = make(dir, -5);
    EXPECT_EQ(cont.path(), dir.file("-0000000000000000005"));
    for (int64_t t = -5; t <= -2; ++t) ASSERT_TRUE(cont.append_entry(entry(t)).ok());
    EXPECT_EQ(cont.lookup_continuous(-5), entry(-5));
    EXPECT_EQ(cont.lookup_continuous(-2), entry(-2));
    EXPECT_EQ(cont.lookup_continuous(-1), std::nullopt);  // start + entry_count
    EXPECT_EQ(cont.lookup_continuous(-6), std::nullopt);
    EXPECT_EQ(cont.lookup_continuous(std::numeric_limits<int64_t>::max()), std::nullopt);
    EXPECT_EQ(cont.find(-3, true, 2), std::nullopt);  // outside the limit
    EXPECT_EQ(cont.find(-4, true, 2)->first, 1u);
    EXPECT_EQ(cont.upper_bound(-6, true), 0u);
    EXPECT_EQ(cont.upper_bound(-4, true), 2u);
    EXPECT_EQ(cont.upper_bound(std::numeric_limits<int64_t>::max(), true), 4u);
    EXPECT_EQ(cont.lower_bound(std::numeric_limits<int64_t>::min(), true), 0u);
    EXPECT_EQ(cont.lower_bound(-3, true), 2u);
    EXPECT_EQ(cont.lower_bound(100, true), 4u);
    auto cr = cont.range(-4, -3, true);
    ASSERT_EQ(cr.size(), 2u);
    EXPECT_EQ(cr[0].timestamp, -4);
}

TEST(IndexSegmentSearch, MalformedSlotCountsAsAbsent) {
    TempDir dir;
    const std::string path = dir.file("00000000000000000000");
    IndexSegment seg = make(dir, 0);
    for (int64_t t = 0; t < 3; ++t) ASSERT_TRUE(seg.append_entry(entry(t)).ok());
    // Damage entry 1 through the mapping's file (shared pages).
    {
        auto f = MappedFile::open(path, true);
        ASSERT_TRUE(f.ok());
        f->data()[128 + 32 + 25] = 9;
    }
    EXPECT_EQ(seg.lookup_continuous(1), std::nullopt);
    EXPECT_EQ(seg.lookup_sparse(1), std::nullopt);
    EXPECT_EQ(seg.range(0, 2, true).size(), 2u);
    EXPECT_EQ(err(seg.read_entry(1).error()), "invalid data: index entry reserved bytes must be zero");
}

TEST(IndexSegmentLastTimestamp, ReadsWithoutOpeningAndRefusesDamage) {
    TempDir dir;
    const std::string path = dir.file("00000000000000000000");
    { IndexSegment seg = make(dir, 0, 256); }
    auto none = IndexSegment::read_last_timestamp(path);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(*none, std::nullopt);
    {
        auto seg = IndexSegment::open(path, 0, kLimit);
        ASSERT_TRUE(seg.ok());
        for (int64_t t : {3, 7, 9}) ASSERT_TRUE(seg->append_entry(entry(t)).ok());
    }
    EXPECT_EQ(*IndexSegment::read_last_timestamp(path), 9);

    patch_u64(path, 52, 100);  // damaged: unreadable, never "no entry"
    EXPECT_EQ(err(IndexSegment::read_last_timestamp(path).error()),
              "invalid data: index wrote_position 100 is not aligned to 32-byte entries");
    patch_u64(path, 52, 150);
    EXPECT_FALSE(IndexSegment::read_last_timestamp(path).ok());
    patch_u64(path, 52, 128 + 32 * 8);  // last entry beyond the 256-byte file
    EXPECT_EQ(err(IndexSegment::read_last_timestamp(path).error()), "invalid data: truncated last index entry");

    const std::string tiny = dir.file("00000000000000000001");
    ASSERT_TRUE(write_file_atomic(tiny, "BRV").ok());
    EXPECT_EQ(*IndexSegment::read_last_timestamp(tiny), std::nullopt);
    EXPECT_EQ(IndexSegment::read_last_timestamp(dir.file("none")).error().kind(), ErrorKind::Io);
}

TEST(IndexSegmentDirty, RegistersOnceUntilFlushed) {
    TempDir dir;
    auto list = std::make_shared<DirtyList>();
    IndexSegment seg = make(dir, 7);
    ASSERT_TRUE(seg.append_entry(entry(7)).ok());
    EXPECT_FALSE(seg.is_clean());
    EXPECT_EQ(list->size(), 0u);
    // A notifier installed on an unflushed segment reports it at once.
    seg.set_notifier(DirtyNotifier({"a", "b"}, list));
    EXPECT_EQ(list->size(), 1u);
    ASSERT_TRUE(seg.append_entry(entry(8)).ok());
    ASSERT_TRUE(seg.write_entry(0, IndexEntry::sentinel(7)).ok());
    EXPECT_EQ(list->size(), 1u);
    auto taken = list->take_all();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].target, DirtyTarget::index_segment(7));
    EXPECT_EQ(taken[0].key, (DataSetKey{"a", "b"}));

    // A full flush in between leaves the segment clean; taking the list entry must still
    // allow the next change to report the segment.
    ASSERT_TRUE(seg.flush().ok());
    EXPECT_TRUE(seg.is_clean());
    ASSERT_TRUE(seg.flush_dirty().ok());
    EXPECT_FALSE(seg.dirty_registered());
    ASSERT_TRUE(seg.append_entry(entry(9)).ok());
    EXPECT_EQ(list->size(), 1u);
    ASSERT_TRUE(seg.flush_dirty().ok());
    EXPECT_TRUE(seg.is_clean());
}

TEST(IndexSegmentCreate, NeverTruncatesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.file("00000000000000000003");
    { IndexSegment seg = make(dir, 3); }
    {
        LogCapture logs(log::Level::Warn);
        // An empty valid segment of this start (an interrupted create) is taken over.
        auto again = IndexSegment::create(dir.path(), 3, {16384, kLimit, 0, 0});
        ASSERT_TRUE(again.ok()) << again.error().to_string();
        EXPECT_EQ(again->entry_count(), 0u);
        ASSERT_TRUE(again->append_entry(entry(3)).ok());
        EXPECT_EQ(logs.count("[IndexSegment create] reusing empty segment file " + path), 1u);
    }
    auto taken = IndexSegment::create(dir.path(), 3, {16384, kLimit, 0, 0});
    ASSERT_FALSE(taken.ok());
    EXPECT_EQ(taken.error().kind(), ErrorKind::AlreadyExists);
    EXPECT_EQ(*IndexSegment::read_last_timestamp(path), 3);  // untouched

    const std::string junk = dir.file("00000000000000000004");
    ASSERT_TRUE(write_file_atomic(junk, std::string(300, 'x')).ok());
    EXPECT_EQ(IndexSegment::create(dir.path(), 4, {16384, kLimit, 0, 0}).error().kind(), ErrorKind::InvalidMagic);
    EXPECT_EQ(bytes_of(junk), std::string(300, 'x'));
}

}  // namespace
}  // namespace brenvale
