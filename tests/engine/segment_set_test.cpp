#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "cache.h"
#include "dirty_list.h"
#include "segment/set.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::file_bytes;
using testing::LogCapture;
using testing::pattern_bytes;
using testing::random_bytes;
using testing::TempDir;

constexpr uint64_t kMiB = 1048576;

struct FakeSink : SegmentStatsSink {
    uint64_t watermark = 0;
    std::vector<std::pair<uint64_t, std::vector<SegmentStats>>> calls;
    bool fail = false;
    uint64_t stats_watermark() const override { return watermark; }
    Status add_segment_stats(uint64_t w, const std::vector<SegmentStats>& stats) override {
        if (fail) return Error::io_message("sink refused");
        calls.emplace_back(w, stats);
        watermark = w;
        return ok_status();
    }
};

struct Stored {
    int64_t ts;
    std::vector<uint8_t> data;
    SegmentWrite at;
};

SegmentSet make_set(const TempDir& dir, uint64_t span, uint64_t initial = 262144, uint8_t type = 0) {
    auto r = SegmentSet::create_dir(dir.path(), {span, initial, 3, type});
    EXPECT_TRUE(r.ok());
    return std::move(*r);
}

SegmentSet open_set(const TempDir& dir, uint64_t span, uint64_t initial = 262144, bool read_only = false) {
    auto r = SegmentSet::open_dir(dir.path(), {span, initial, 3, 0, read_only});
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    return std::move(*r);
}

Stored write(SegmentSet& set, int64_t ts, std::vector<uint8_t> data, SegmentStatsSink* sink = nullptr) {
    auto r = set.write(ts, data, sink);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    if (r.ok() && sink != nullptr) (void)set.fold_finished(sink);  // as the dataset does after a change
    return Stored{ts, std::move(data), r.ok() ? *r : SegmentWrite{}};
}

void expect_all_readable(SegmentSet& set, const std::vector<Stored>& recs, BlockCache* cache = nullptr) {
    for (const auto& s : recs) {
        auto r = set.read_record(s.at.block_offset(), s.at.in_block, cache);
        ASSERT_TRUE(r.ok()) << r.error().to_string();
        EXPECT_EQ(r->timestamp, s.ts);
        EXPECT_EQ(r->data, s.data);
        struct {
            uint64_t block_offset;
            uint16_t in_block;
        } entry{s.at.block_offset(), s.at.in_block};
        auto len = set.read_length(entry, cache);
        ASSERT_TRUE(len.ok());
        EXPECT_EQ(len->length, s.data.size());
    }
}

// The segment files of the data directory (not the stage file beside them).
std::vector<std::string> data_files(const TempDir& dir) {
    auto names = list_dir(dir.file("data"));
    EXPECT_TRUE(names.ok());
    std::vector<std::string> out = names.ok() ? *names : std::vector<std::string>{};
    std::erase(out, std::string(paths::kStageFile));
    std::sort(out.begin(), out.end());
    return out;
}

// Writes 200000-byte random records until one lands in the second file.
std::vector<Stored> fill_until_rollover(SegmentSet& set, FakeSink* sink) {
    std::vector<Stored> recs;
    for (int i = 0; i < 20; ++i) {
        recs.push_back(write(set, i, random_bytes(200000, static_cast<uint64_t>(i)), sink));
        if (recs.back().at.base != 0) break;
    }
    return recs;
}

TEST(SegmentFileName, FormatAndParse) {
    EXPECT_EQ(segment_file_name(0), "00000000000000000000");
    EXPECT_EQ(segment_file_name(1048576), "00000000000001048576");
    EXPECT_EQ(segment_file_name(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(parse_segment_file_name("00000000000001048576"), 1048576u);
    EXPECT_EQ(parse_segment_file_name("+5"), 5u);
    EXPECT_EQ(parse_segment_file_name("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "+", "-1", "1a", " 1", "18446744073709551616", "notes.txt"})
        EXPECT_FALSE(parse_segment_file_name(bad).has_value()) << bad;
}

TEST(SegmentSet, FirstRecordCreatesTheFileOfBaseZero) {
    TempDir dir;
    SegmentSet set = make_set(dir, 64 * kMiB);
    EXPECT_TRUE(data_files(dir).empty());
    EXPECT_EQ(set.next_base(), 0u);
    FakeSink sink;
    Stored s = write(set, 5, {1, 2, 3}, &sink);
    EXPECT_EQ(s.at.base, 0u);
    EXPECT_EQ(s.at.position, 0u);
    EXPECT_EQ(s.at.in_block, 0);
    EXPECT_EQ(data_files(dir), std::vector<std::string>{"00000000000000000000"});
    EXPECT_EQ(file_bytes(dir.file("data/00000000000000000000")).size(), 262144u);
    EXPECT_EQ(set.next_base(), 64 * kMiB);
    EXPECT_TRUE(sink.calls.empty());
    expect_all_readable(set, {s});
}

TEST(SegmentSet, RollsOverAtTheSpanAndReportsStatistics) {
    TempDir dir;
    SegmentSet set = make_set(dir, kMiB);
    FakeSink sink;
    std::vector<Stored> recs = fill_until_rollover(set, &sink);
    ASSERT_EQ(recs.back().at.base, kMiB);
    EXPECT_EQ(recs.back().at.block_offset(), kMiB + recs.back().at.position);
    EXPECT_EQ(data_files(dir), (std::vector<std::string>{"00000000000000000000", "00000000000001048576"}));
    EXPECT_EQ(file_bytes(dir.file("data/00000000000000000000")).size(), kMiB);
    EXPECT_EQ(set.next_base(), 2 * kMiB);
    EXPECT_EQ(set.latest_base(), kMiB);
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].first, kMiB);
    ASSERT_EQ(sink.calls[0].second.size(), 1u);
    const SegmentStats& s0 = sink.calls[0].second[0];
    EXPECT_EQ(s0.base, 0u);
    EXPECT_EQ(s0.record_count, recs.size() - 1);
    EXPECT_EQ(s0.min_timestamp, 0);
    EXPECT_EQ(s0.max_timestamp, static_cast<int64_t>(recs.size()) - 2);
    EXPECT_EQ(s0.raw_record_bytes, (recs.size() - 1) * 200012);
    EXPECT_FALSE(set.find_open(0)->writable_head());
    EXPECT_TRUE(set.find_open(0)->is_clean());
    EXPECT_FALSE(set.find_open(0)->holds_descriptor());  // mapped still, for reads

    BlockCache cache(16 * kMiB);
    expect_all_readable(set, recs);
    expect_all_readable(set, recs, &cache);

    // After a reopen every record is still readable, and the newest file takes the next record.
    ASSERT_TRUE(set.close_all().ok());
    SegmentSet again = open_set(dir, kMiB);
    EXPECT_EQ(again.count(), 2u);
    EXPECT_EQ(again.open_count(), 0u);
    expect_all_readable(again, recs, &cache);
    Stored next = write(again, 100, {7}, &sink);
    EXPECT_EQ(next.at.base, kMiB);
    EXPECT_EQ(sink.calls.size(), 1u);
}

// Folding is no part of a write: a sink that refuses stops no record, and the totals are
// folded by the next fold that succeeds.
TEST(SegmentSet, StatisticsSinkErrorStopsNoWrite) {
    TempDir dir;
    SegmentSet set = make_set(dir, kMiB);
    FakeSink sink;
    sink.fail = true;
    std::vector<Stored> recs = fill_until_rollover(set, &sink);
    EXPECT_EQ(data_files(dir).size(), 2u);
    EXPECT_EQ(set.fold_finished(&sink).error().detail(), "sink refused");
    sink.fail = false;
    ASSERT_TRUE(set.fold_finished(&sink).ok());
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].first, kMiB);
    sink.calls.clear();
    sink.watermark = 5 * kMiB;  // everything below is already counted: the new file starts
    Stored s = write(set, 99, random_bytes(200000, 99), &sink);  // past it, adding nothing
    EXPECT_EQ(s.at.base, 6 * kMiB);
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].first, 6 * kMiB);
    EXPECT_TRUE(sink.calls[0].second.empty());
    recs.push_back(s);
    expect_all_readable(set, recs);
}

TEST(SegmentSet, LargeRecordGrowsTheFileInPlace) {
    TempDir dir;
    SegmentSet set = make_set(dir, 64 * kMiB);
    Stored s = write(set, 1, random_bytes(1000000, 1));
    EXPECT_EQ(s.at.base, 0u);
    EXPECT_EQ(s.at.position, 0u);
    EXPECT_EQ(set.find_open(0)->file_size(), kMiB);
    EXPECT_EQ(data_files(dir).size(), 1u);
    expect_all_readable(set, {s});
}

TEST(SegmentSet, NearlyFullLatestSegmentTakesNoFurtherRecord) {
    TempDir dir;
    SegmentSet set = make_set(dir, 1024, 2048);
    Stored a = write(set, 1, random_bytes(988, 1));  // block of 16 + 1000 bytes
    EXPECT_EQ(set.find_open(0)->written_length(), 1016u);
    Stored b = write(set, 2, {1});
    EXPECT_EQ(b.at.base, 1024u);
    EXPECT_EQ(b.at.position, 0u);
    expect_all_readable(set, {a, b});
}

TEST(SegmentSet, OpenDirListsClosedEntries) {
    TempDir dir;
    ASSERT_TRUE(create_dir_all(dir.file("data")).ok());
    {
        auto s0 = DataSegment::create(dir.file("data/00000000000000000000"), {0, 262144, 64 * kMiB, 3, 0});
        ASSERT_TRUE(s0.ok());
        ASSERT_TRUE((*s0)->append_record(5, std::vector<uint8_t>{1, 2}, 3).ok());
        ASSERT_TRUE((*s0)->append_record(9, std::vector<uint8_t>{3}, 3).ok());
        auto s1 = DataSegment::create(dir.file("data/00000000000067108864"), {67108864, 262144, 64 * kMiB, 3, 0});
        ASSERT_TRUE(s1.ok());
    }
    ASSERT_TRUE(write_file_atomic(dir.file("data/notes.txt"), "hello").ok());
    SegmentSet set = open_set(dir, 64 * kMiB);
    EXPECT_EQ(set.bases(), (std::vector<uint64_t>{0, 67108864}));
    EXPECT_EQ(set.next_base(), 134217728u);
    EXPECT_EQ(set.open_count(), 0u);
    const ClosedSegment* c0 = set.find_closed(0);
    ASSERT_NE(c0, nullptr);
    EXPECT_EQ(c0->file_size, 262144u);
    EXPECT_EQ(c0->stats.record_count, 2u);
    EXPECT_EQ(c0->stats.min_timestamp, 5);
    EXPECT_EQ(c0->stats.max_timestamp, 9);
    EXPECT_EQ(c0->stats.written_length, 16u + 16u + 16u);
    EXPECT_EQ(c0->stats.raw_record_bytes, 27u);
    ASSERT_TRUE(set.last_stats().has_value());
    EXPECT_EQ(set.last_stats()->base, 67108864u);
    EXPECT_EQ(set.last_stats()->record_count, 0u);
    auto seg = set.get(0);
    ASSERT_TRUE(seg.ok());
    EXPECT_EQ(set.open_count(), 1u);
    EXPECT_SEG_ERROR(set.get(5), ErrorKind::NotFound, "no segment at offset 5");

    // A missing data directory is an empty set.
    TempDir empty;
    SegmentSet none = open_set(empty, 64 * kMiB);
    EXPECT_EQ(none.count(), 0u);
    EXPECT_EQ(none.next_base(), 0u);
}

TEST(SegmentSet, UnreadableFilesOpenAsEmptyEntriesAndFailOnUse) {
    TempDir dir;
    ASSERT_TRUE(create_dir_all(dir.file("data")).ok());
    ASSERT_TRUE(write_file_atomic(dir.file("data/00000000000000000000"), "BRV").ok());
    ASSERT_TRUE(write_file_atomic(dir.file("data/+1048576"), std::string(200, 'x')).ok());
    SegmentSet set = open_set(dir, kMiB);
    EXPECT_EQ(set.bases(), (std::vector<uint64_t>{0, kMiB}));
    EXPECT_EQ(set.find_closed(0)->stats, SegmentStats{});
    EXPECT_EQ(set.find_closed(kMiB)->stats.max_timestamp, INT64_MIN);
    EXPECT_EQ(set.find_closed(kMiB)->path, dir.file("data/+1048576"));
    EXPECT_SEG_ERROR(set.get(0), ErrorKind::InvalidData, "truncated fixed header prefix: need 9 bytes, got 3");
    EXPECT_SEG_ERROR(set.locate(kMiB + 10), ErrorKind::NotFound, "no segment contains offset 1048586");
    EXPECT_SEG_ERROR(set.read_length(77 * kMiB, 0, nullptr), ErrorKind::NotFound,
                     "no segment contains offset 80740352");
}

TEST(SegmentSet, AppendAndCorrectionTargetTheLatestSegmentOnly) {
    TempDir dir;
    {
        SegmentSet empty = make_set(dir, kMiB);
        EXPECT_SEG_ERROR(empty.correction_write(0, 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                         "no segment available for correction write");
    }
    SegmentSet set = make_set(dir, kMiB);
    std::vector<Stored> recs = fill_until_rollover(set, nullptr);
    const Stored& old = recs.front();
    EXPECT_SEG_ERROR(set.append_at(old.at.block_offset(), old.at.in_block, std::vector<uint8_t>{1}),
                     ErrorKind::InvalidData, "append: target block is not in the latest segment");
    EXPECT_SEG_ERROR(set.correction_write(old.at.block_offset(), old.at.in_block, std::vector<uint8_t>{1}),
                     ErrorKind::InvalidData,
                     fmt::format("correction write: block_offset {} is not in the latest segment {}",
                                 old.at.block_offset(), kMiB));
    const uint64_t end = kMiB + set.find_open(kMiB)->written_length();
    EXPECT_SEG_ERROR(set.append_at(end, 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "append: block_offset is outside latest segment data");
    EXPECT_SEG_ERROR(set.correction_write(end, 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     fmt::format("correction write: block_offset {} is not in the latest segment [{}, {})", end,
                                 kMiB, end));

    Stored last = write(set, 50, {1, 2, 3});
    auto before = set.append_at(last.at.block_offset(), last.at.in_block, std::vector<uint8_t>{4, 5});
    ASSERT_TRUE(before.ok()) << before.error().to_string();
    EXPECT_EQ(*before, 3u);
    last.data = {1, 2, 3, 4, 5};
    recs.push_back(last);
    expect_all_readable(set, recs);
    ASSERT_TRUE(set.correction_write(last.at.block_offset(), last.at.in_block, std::vector<uint8_t>{9}).ok());
    recs.back().data = {9};
    expect_all_readable(set, recs);
}

TEST(SegmentSet, AppendToTheLastRecordGrowsTheFile) {
    TempDir dir;
    SegmentSet set = make_set(dir, kMiB);
    Stored s = write(set, 1, random_bytes(261988, 1));  // the block ends 4 bytes before the file end
    DataSegment* seg = set.find_open(0);
    EXPECT_EQ(seg->written_length(), 262016u);
    EXPECT_EQ(seg->file_size(), 262144u);
    auto more = random_bytes(100, 2);
    auto before = set.append_at(s.at.block_offset(), s.at.in_block, more);
    ASSERT_TRUE(before.ok()) << before.error().to_string();
    EXPECT_EQ(*before, 261988u);
    EXPECT_EQ(seg->file_size(), 524288u);
    s.data.insert(s.data.end(), more.begin(), more.end());
    expect_all_readable(set, {s});
}

TEST(SegmentSet, RecordThatFitsNoSegmentCreatesNoEmptyFiles) {
    TempDir dir;
    SegmentSet set = make_set(dir, 262144);
    const auto huge = random_bytes(kMaxRecordData, 1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_SEG_ERROR(set.write(1, huge, nullptr), ErrorKind::SegmentFull, "");
        EXPECT_EQ(data_files(dir).size(), 0u);
    }
    Stored small = write(set, 2, {1, 2});
    EXPECT_EQ(small.at.base, 0u);
    // With records in the file, the file made by the roll-over goes again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_SEG_ERROR(set.write(3, huge, nullptr), ErrorKind::SegmentFull, "");
        EXPECT_EQ(data_files(dir).size(), 1u);
    }
    Stored next = write(set, 4, {3});
    EXPECT_EQ(next.at.base, 0u);
    expect_all_readable(set, {small, next});
}

TEST(SegmentSet, UnusableLatestSegmentDoesNotBlockWrites) {
    TempDir dir;
    std::vector<Stored> recs;
    {
        SegmentSet set = make_set(dir, kMiB);
        recs.push_back(write(set, 1, {1, 2, 3}));
        recs.push_back(write(set, 2, {4}));
    }
    testing::patch_u16(dir.file("data/00000000000000000000"), 124 + 4, 3);  // pending block marked sealed
    SegmentSet set = open_set(dir, kMiB);
    LogCapture logs;
    Stored s = write(set, 3, {5});
    EXPECT_EQ(s.at.base, kMiB);
    EXPECT_EQ(logs.count(fmt::format("[segment] cannot use data segment {} (invalid data: pending block has non-raw "
                                     "flags: 0x3); starting a new segment",
                                     dir.file("data/00000000000000000000"))),
              1u);
    expect_all_readable(set, {s});
    EXPECT_SEG_ERROR(set.read_record(0, 0, nullptr), ErrorKind::NotFound, "no segment contains offset 0");
    Stored t = write(set, 4, {6});
    EXPECT_EQ(t.at.base, kMiB);
}

TEST(SegmentSet, ReclaimRemovesExpiredClosedSegments) {
    TempDir dir;
    ASSERT_TRUE(create_dir_all(dir.file("data")).ok());
    auto make = [&](uint64_t base, std::optional<int64_t> ts) {
        auto s = DataSegment::create(dir.file("data/" + segment_file_name(base)), {base, 4096, kMiB, 3, 0});
        ASSERT_TRUE(s.ok());
        if (ts) {
            ASSERT_TRUE((*s)->append_record(*ts, std::vector<uint8_t>{1}, 3).ok());
        }
    };
    make(0, 99);
    make(kMiB, 100);
    make(2 * kMiB, std::nullopt);
    make(3 * kMiB, 5);
    SegmentSet set = open_set(dir, kMiB, 4096);
    ASSERT_TRUE(set.get(3 * kMiB).ok());  // open entries are never removed
    LogCapture logs;
    std::vector<SegmentStats> removed = set.reclaim(100);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].base, 0u);
    EXPECT_EQ(removed[0].max_timestamp, 99);
    EXPECT_EQ(removed[0].record_count, 1u);
    EXPECT_TRUE(logs.contains(log::Level::Info, log::kSegment,
                              "[retention] deleted data segment: " + dir.file("data/00000000000000000000")));
    EXPECT_EQ(set.bases(), (std::vector<uint64_t>{kMiB, 2 * kMiB, 3 * kMiB}));
    EXPECT_EQ(data_files(dir).size(), 3u);
    EXPECT_EQ(set.next_base(), 4 * kMiB);

    // The newest file removed by retention: the next record starts a new file.
    ASSERT_TRUE(set.close_all().ok());
    removed = set.reclaim(100);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].base, 3 * kMiB);
    Stored s = write(set, 500, {1});
    EXPECT_EQ(s.at.base, 4 * kMiB);
}

TEST(SegmentSet, MarkInvalidInOpenAndClosedSegments) {
    TempDir dir;
    SegmentSet set = make_set(dir, kMiB);
    Stored s = write(set, 1, {1});
    ASSERT_TRUE(set.close_all().ok());
    auto closed = set.mark_invalid(s.at.block_offset());
    ASSERT_TRUE(closed.ok());
    EXPECT_TRUE(*closed);
    EXPECT_EQ(set.find_closed(0)->stats.invalid_record_count, 1u);
    EXPECT_EQ(load_u64(file_bytes(dir.file("data/00000000000000000000")).data() + testing::seg_state_pos::kInvalid), 1u);
    ASSERT_TRUE(set.get(0).ok());
    auto open = set.mark_invalid(s.at.block_offset());
    ASSERT_TRUE(open.ok());
    EXPECT_FALSE(*open);
    EXPECT_EQ(set.find_open(0)->invalid_record_count(), 2u);
    EXPECT_SEG_ERROR(set.mark_invalid(7 * kMiB), ErrorKind::NotFound, "no segment contains offset 7340032");
}

// However many segments seal blocks, the set holds one descriptor of the stage file, lent
// to them all, and gives it back when its files are released.
TEST(SegmentSet, OneStageDescriptorForEverySegment) {
    TempDir dir;
    auto set = SegmentSet::create_dir(dir.path(), {kMiB, kMiB, 1, 0});
    ASSERT_TRUE(set.ok());
    auto stage_descriptors = [&] {
        int n = 0;
        const auto fds = list_dir("/proc/self/fd");
        for (const std::string& fd : *fds) {
            char target[4096];
            const ssize_t len = ::readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target);
            n += len > 0 && std::string(target, static_cast<size_t>(len)) == dir.file("data/stage");
        }
        return n;
    };
    for (int i = 0; set->count() < 12; ++i) ASSERT_TRUE(set->write(i, random_bytes(1000, i), nullptr).ok());
    EXPECT_EQ(stage_descriptors(), 1);
    ASSERT_TRUE(set->close_all().ok());
    EXPECT_EQ(stage_descriptors(), 0);
    for (int i = 0; stage_descriptors() == 0; ++i) ASSERT_TRUE(set->write(100000 + i, random_bytes(1000, i), nullptr).ok());
    EXPECT_EQ(stage_descriptors(), 1);
}

TEST(SegmentSet, FlushCloseAndDirtyTracking) {
    TempDir dir;
    SegmentSet set = make_set(dir, kMiB);
    auto list = std::make_shared<DirtyList>();
    set.set_notifier(DirtyNotifier(DataSetKey{"a", "b"}, list));
    std::vector<Stored> recs{write(set, 1, {1}), write(set, 2, {2})};
    EXPECT_EQ(list->size(), 1u);
    auto targets = list->take_for(DataSetKey{"a", "b"});
    ASSERT_EQ(targets.size(), 1u);
    ASSERT_TRUE(set.flush_dirty(targets[0].data_base).ok());
    EXPECT_TRUE(set.find_open(0)->is_clean());
    ASSERT_TRUE(set.flush_dirty(5 * kMiB).ok());  // absent: skipped
    recs.push_back(write(set, 3, {3}));
    EXPECT_EQ(list->size(), 1u);
    ASSERT_TRUE(set.flush_all().ok());
    EXPECT_TRUE(set.find_open(0)->is_clean());

    ASSERT_TRUE(set.close_all().ok());
    EXPECT_EQ(set.open_count(), 0u);
    EXPECT_EQ(set.find_closed(0)->stats.record_count, 3u);
    EXPECT_EQ(set.last_stats()->record_count, 3u);
    expect_all_readable(set, recs);  // opened again on use
    EXPECT_EQ(set.open_count(), 1u);
    list->take_all();
    recs.push_back(write(set, 4, {4}));
    EXPECT_EQ(list->size(), 1u);  // the reopened segment got the notifier
    expect_all_readable(set, recs);
}

TEST(SegmentSet, ReadOnlySetReadsAndChangesNothing) {
    TempDir dir;
    std::vector<Stored> recs;
    {
        SegmentSet set = make_set(dir, kMiB);
        for (int i = 0; i < 3; ++i) recs.push_back(write(set, i, pattern_bytes(40, static_cast<uint8_t>(i))));
    }
    const std::string path = dir.file("data/00000000000000000000");
    testing::patch_u32(path, 124, 500);  // block header ahead of the state: repaired in memory only
    const auto before = file_bytes(path);
    SegmentSet set = open_set(dir, kMiB, 262144, /*read_only=*/true);
    expect_all_readable(set, recs);
    EXPECT_SEG_ERROR(set.write(9, std::vector<uint8_t>{1}, nullptr), ErrorKind::InvalidData,
                     "data segment set is opened read-only");
    EXPECT_SEG_ERROR(set.append_at(0, 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "data segment set is opened read-only");
    ASSERT_TRUE(set.close_all().ok());
    EXPECT_EQ(file_bytes(path), before);
}

}  // namespace
}  // namespace brenvale
