#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cache.h"
#include "dirty_list.h"
#include "segment/data.h"
#include "reference_codec.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::file_bytes;
using testing::frame_bytes;
using testing::LogCapture;
using testing::patch_u16;
using testing::patch_u32;
using testing::patch_u64;
using testing::pattern_bytes;
using testing::random_bytes;
using testing::TempDir;
namespace st = testing::seg_state_pos;

constexpr uint64_t kMiB = 1048576;

std::unique_ptr<DataSegment> make_segment(const std::string& path, uint64_t initial = 262144,
                                          uint64_t max = 64 * kMiB, uint8_t type = 0) {
    auto r = DataSegment::create(path, {0, initial, max, 3, type});
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? std::move(*r) : nullptr;
}

std::unique_ptr<DataSegment> reopen(const std::string& path, bool read_only = false) {
    auto r = DataSegment::open(path, 0, 64 * kMiB, read_only);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? std::move(*r) : nullptr;
}

// Appends, growing the file as the segment set would.
RecordLocation put(DataSegment& seg, int64_t ts, const std::vector<uint8_t>& data) {
    for (;;) {
        auto r = seg.append_record(ts, data, 3);
        if (r.ok()) return *r;
        EXPECT_EQ(r.error().kind(), ErrorKind::SegmentFull) << r.error().to_string();
        if (r.error().kind() != ErrorKind::SegmentFull) return {};
        auto g = seg.grow();
        EXPECT_TRUE(g.ok()) << g.error().to_string();
        if (!g.ok()) return {};
    }
}

BlockHeader block_at(const DataSegment& seg, uint64_t position) {
    return BlockHeader::read(seg.mapped_bytes(), seg.header_length() + position);
}

uint64_t state_field(const DataSegment& seg, uint64_t file_offset) {
    return load_u64(seg.mapped_bytes().data() + file_offset);
}

struct Written {
    int64_t ts;
    std::vector<uint8_t> data;
    RecordLocation loc;
};

void expect_readable(DataSegment& seg, const std::vector<Written>& records, BlockCache* cache) {
    for (const auto& w : records) {
        auto r = seg.read_record(7, w.loc.position, w.loc.in_block, cache);
        ASSERT_TRUE(r.ok()) << r.error().to_string();
        EXPECT_EQ(r->timestamp, w.ts);
        EXPECT_EQ(r->data, w.data);
        auto len = seg.read_length(7, w.loc.position, w.loc.in_block, cache);
        ASSERT_TRUE(len.ok()) << len.error().to_string();
        EXPECT_EQ(*len, (RecordLength{w.ts, static_cast<uint32_t>(w.data.size())}));
    }
}

TEST(DataSegment, NewFileHeaderAndTwoRecordLayout) {
    TempDir dir;
    const std::string path = dir.file("seg");
    auto seg = make_segment(path);
    ASSERT_TRUE(seg);
    EXPECT_EQ(seg->file_size(), 262144u);
    EXPECT_EQ(seg->written_length(), 0u);
    EXPECT_FALSE(seg->pending().has_value());
    EXPECT_EQ(state_field(*seg, st::kWrote), 124u);
    EXPECT_EQ(state_field(*seg, st::kPendPos), kNoPendingBlock);

    const auto a = random_bytes(100, 1);
    const auto b = random_bytes(5, 2);
    EXPECT_EQ(put(*seg, 10, a), (RecordLocation{0, 0}));
    EXPECT_EQ(put(*seg, -3, b), (RecordLocation{0, 28}));
    EXPECT_EQ(seg->written_length(), 148u);
    ASSERT_TRUE(seg->pending().has_value());
    EXPECT_EQ(*seg->pending(), (PendingBlock{0, 132, 2}));
    seg.reset();

    const auto f = file_bytes(path);
    ASSERT_EQ(f.size(), 262144u);
    EXPECT_EQ(load_i64(f.data() + st::kMin), -3);
    EXPECT_EQ(load_i64(f.data() + st::kMax), 10);
    EXPECT_EQ(load_u64(f.data() + st::kWrote), 272u);
    EXPECT_EQ(load_u64(f.data() + st::kCount), 2u);
    EXPECT_EQ(load_u64(f.data() + st::kRaw), 112u + 17u);
    EXPECT_EQ(load_u64(f.data() + st::kPendPos), 0u);
    EXPECT_EQ(load_u64(f.data() + st::kPendWrote), 132u);
    EXPECT_EQ(load_u64(f.data() + st::kPendCount), 2u);
    EXPECT_EQ(load_u64(f.data() + st::kInvalid), 0u);
    // Block header: payload 132, flags 0, count 2, uncompressed 132, zero.
    EXPECT_EQ(load_u32(f.data() + 124), 132u);
    EXPECT_EQ(load_u16(f.data() + 128), 0u);
    EXPECT_EQ(load_u16(f.data() + 130), 2u);
    EXPECT_EQ(load_u32(f.data() + 132), 132u);
    EXPECT_EQ(load_u32(f.data() + 136), 0u);
    auto fa = frame_bytes(10, a);
    auto fb = frame_bytes(-3, b);
    ASSERT_EQ(fb.size(), 20u);
    EXPECT_TRUE(std::equal(fa.begin(), fa.end(), f.begin() + 140));
    EXPECT_TRUE(std::equal(fb.begin(), fb.end(), f.begin() + 252));
    EXPECT_EQ(f[272], 0);
}

TEST(DataSegment, CreateRefusesBadArguments) {
    TempDir dir;
    EXPECT_SEG_ERROR(DataSegment::create(dir.file("a"), {0, 262144, kMiB, 3, 2}), ErrorKind::InvalidData,
                     "unknown compress_type 2");
    EXPECT_SEG_ERROR(DataSegment::create(dir.file("a"), {uint64_t{1} << 63, 262144, kMiB, 3, 0}),
                     ErrorKind::InvalidData, "data segment file_offset exceeds i64");
    EXPECT_SEG_ERROR(DataSegment::create(dir.file("a"), {0, 123, kMiB, 3, 0}), ErrorKind::InvalidData,
                     "initial data segment size 123 is smaller than header 124");
}

TEST(DataSegment, RecordSizeLimits) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"), 262144, 16 * kMiB);
    std::vector<uint8_t> too_big(kMaxRecordData + 1);
    EXPECT_SEG_ERROR(seg->append_record(1, too_big, 3), ErrorKind::InvalidData, "record data_len exceeds 4MiB limit");
    EXPECT_EQ(seg->written_length(), 0u);

    const auto max = random_bytes(kMaxRecordData, 3);
    const RecordLocation loc = put(*seg, 5, max);
    EXPECT_EQ(loc, (RecordLocation{0, 0}));
    const BlockHeader bh = block_at(*seg, 0);
    EXPECT_EQ(bh.flags, 7);
    EXPECT_EQ(bh.record_count, 1);
    EXPECT_EQ(bh.uncompressed_size, kMaxRecordData + 12);
    EXPECT_EQ(seg->written_length(), 16u + bh.payload_size);
    BlockCache cache(64 * kMiB);
    expect_readable(*seg, {{5, max, loc}}, nullptr);
    expect_readable(*seg, {{5, max, loc}}, &cache);
}

TEST(DataSegment, PendingCapacityBoundary) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"));
    // Framed size exactly 262144: into a pending block.
    const auto fits = random_bytes(262132, 4);
    ASSERT_EQ(framed_size(fits.size()), kMaxPendingPayload);
    const RecordLocation a = put(*seg, 1, fits);
    EXPECT_EQ(a, (RecordLocation{0, 0}));
    EXPECT_EQ(block_at(*seg, 0).flags, 0);
    EXPECT_EQ(*seg->pending(), (PendingBlock{0, 262144, 1}));

    // One more byte: framed 262148, a block of its own after sealing the pending block.
    const auto over = random_bytes(262133, 5);
    const RecordLocation b = put(*seg, 2, over);
    const BlockHeader sealed = block_at(*seg, 0);
    EXPECT_EQ(sealed.flags, 3);
    EXPECT_EQ(sealed.uncompressed_size, 262144u);
    EXPECT_EQ(b.position, 16u + sealed.payload_size);
    EXPECT_EQ(b.in_block, 0);
    const BlockHeader single = block_at(*seg, b.position);
    EXPECT_EQ(single.flags, 7);
    EXPECT_EQ(single.uncompressed_size, 262148u);
    EXPECT_FALSE(seg->pending().has_value());
    expect_readable(*seg, {{1, fits, a}, {2, over, b}}, nullptr);
}

// A sealed block holds the standard formats: a zstd frame or a raw DEFLATE stream.
class SealByType : public ::testing::TestWithParam<uint8_t> {};

TEST_P(SealByType, FullPendingBlockIsSealedAndANewOneStarts) {
    const uint8_t type = GetParam();
    TempDir dir;
    const std::string path = dir.file("seg");
    auto seg = make_segment(path, 262144, 64 * kMiB, type);
    std::vector<Written> recs;
    std::vector<uint8_t> expected_payload;
    for (int i = 0; i < 5; ++i) {
        auto d = pattern_bytes(50000, static_cast<uint8_t>(i));
        auto loc = put(*seg, i, d);
        EXPECT_EQ(loc.position, 0u);
        EXPECT_EQ(loc.in_block, i * 50012 / 4);
        auto fr = frame_bytes(i, d);
        expected_payload.insert(expected_payload.end(), fr.begin(), fr.end());
        recs.push_back({i, d, loc});
    }
    ASSERT_EQ(expected_payload.size(), 250060u);
    // The sixth no longer fits the 256 KiB payload.
    auto d6 = pattern_bytes(50000, 9);
    const RecordLocation l6 = put(*seg, 6, d6);
    recs.push_back({6, d6, l6});
    const BlockHeader bh = block_at(*seg, 0);
    EXPECT_EQ(bh.flags, 3);
    EXPECT_EQ(bh.record_count, 5);
    EXPECT_EQ(bh.uncompressed_size, 250060u);
    EXPECT_LT(bh.payload_size, 250060u);
    EXPECT_EQ(l6, (RecordLocation{16u + bh.payload_size, 0}));
    EXPECT_EQ(*seg->pending(), (PendingBlock{l6.position, 50012, 1}));
    EXPECT_EQ(seg->written_length(), l6.position + 16 + 50012);

    const uint8_t* payload = seg->mapped_bytes().data() + 124 + 16;
    EXPECT_EQ(testing::reference_decode(type, payload, bh.payload_size, 250060), expected_payload);

    BlockCache cache(16 * kMiB);
    expect_readable(*seg, recs, nullptr);
    expect_readable(*seg, recs, &cache);
    EXPECT_EQ(cache.len(), 1u);  // the raw pending block never enters the cache
    seg.reset();

    auto again = reopen(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again->pending(), (PendingBlock{l6.position, 50012, 1}));
    EXPECT_EQ(again->record_count(), 6u);
    expect_readable(*again, recs, nullptr);
    expect_readable(*again, recs, &cache);
}

INSTANTIATE_TEST_SUITE_P(Types, SealByType, ::testing::Values(uint8_t{0}, uint8_t{1}));

// A record that does not fit changes nothing: the pending block stays raw, its last record
// open to appends and corrections.
TEST(DataSegment, SingleRecordBlockThatDoesNotFitLeavesPendingRaw) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"), 262144, 262144);
    const auto small = pattern_bytes(100, 1);
    const RecordLocation a = put(*seg, 1, small);
    EXPECT_SEG_ERROR(seg->append_record(2, random_bytes(300000, 6), 3), ErrorKind::SegmentFull, "");
    EXPECT_TRUE(seg->pending().has_value());
    EXPECT_EQ(block_at(*seg, 0).flags, 0);
    EXPECT_EQ(seg->record_count(), 1u);
    expect_readable(*seg, {{1, small, a}}, nullptr);
    EXPECT_SEG_ERROR(seg->grow(), ErrorKind::InvalidData, "segment already at max_file_size (262144)");
}

// A file that cannot grow seals its pending block in place when the next record does not
// fit it; the record then starts a new pending block behind the sealed one.
TEST(DataSegment, FullFileSealsInPlace) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"), 300000, 300000);
    std::vector<Written> recs;
    for (int i = 0; i < 6; ++i) {
        auto d = random_bytes(25000, static_cast<uint64_t>(i));
        if (i < 5) d.resize(50000, static_cast<uint8_t>(i));  // half of it compresses
        auto loc = seg->append_record(i, d, 3);
        ASSERT_TRUE(loc.ok()) << "record " << i << ": " << loc.error().to_string();
        recs.push_back({i, d, *loc});
    }
    const BlockHeader sealed = block_at(*seg, 0);
    EXPECT_EQ(std::make_pair(sealed.flags, sealed.uncompressed_size), std::make_pair(uint16_t{3}, 5u * 50012u));
    EXPECT_EQ(recs.back().loc, (RecordLocation{16u + sealed.payload_size, 0}));
    expect_readable(*seg, recs, nullptr);
    seg.reset();
    expect_readable(*reopen(dir.file("seg")), recs, nullptr);
}

TEST(DataSegment, AppendToLastRecord) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"), 262144, kMiB);
    const auto first = pattern_bytes(40, 1);
    const RecordLocation l1 = put(*seg, 1, first);
    const RecordLocation l2 = put(*seg, 2, {1, 2, 3, 4});
    ASSERT_EQ(l2, (RecordLocation{0, 13}));  // 52 / 4
    const uint64_t written = seg->written_length();
    const uint64_t raw = seg->raw_record_bytes();

    auto before = seg->append_to_record(0, l2.in_block, std::vector<uint8_t>{5, 6, 7, 8, 9, 10, 11, 12});
    ASSERT_TRUE(before.ok()) << before.error().to_string();
    EXPECT_EQ(*before, 4u);
    EXPECT_EQ(seg->written_length(), written + 8);  // frame 16 -> 24
    EXPECT_EQ(seg->raw_record_bytes(), raw + 8);
    EXPECT_EQ(block_at(*seg, 0).payload_size, 52u + 24u);
    EXPECT_EQ(block_at(*seg, 0).uncompressed_size, 52u + 24u);
    EXPECT_EQ(seg->pending()->wrote_position, 76u);
    EXPECT_EQ(seg->record_count(), 2u);
    expect_readable(*seg, {{1, first, l1}, {2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, l2}}, nullptr);

    // 12 -> 13 bytes grows the frame by 4; 13 -> 15 bytes stays inside its padding.
    ASSERT_TRUE(seg->append_to_record(0, l2.in_block, std::vector<uint8_t>{13}).ok());
    EXPECT_EQ(seg->written_length(), written + 12);
    ASSERT_TRUE(seg->append_to_record(0, l2.in_block, std::vector<uint8_t>{14, 15}).ok());
    EXPECT_EQ(seg->written_length(), written + 12);
    EXPECT_EQ(seg->pending()->wrote_position, 80u);

    EXPECT_SEG_ERROR(seg->append_to_record(0, l1.in_block, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "append: target record is not the last in block");
    EXPECT_SEG_ERROR(seg->append_to_record(seg->file_size(), 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "block header out of bounds");
    EXPECT_SEG_ERROR(seg->append_to_record(0, l2.in_block, random_bytes(262144, 1)), ErrorKind::InvalidData,
                     "append: final record exceeds pending block capacity");
    EXPECT_SEG_ERROR(seg->append_to_record(0, l2.in_block, std::vector<uint8_t>(kMaxRecordData)),
                     ErrorKind::InvalidData, "record data_len exceeds 4MiB limit");
    // Fill the pending block nearly to capacity: the aggregated payload no longer fits.
    const RecordLocation l3 = put(*seg, 3, random_bytes(262144 - 80 - 12 - 8, 3));
    EXPECT_EQ(seg->pending()->wrote_position, 262144u - 8);
    EXPECT_SEG_ERROR(seg->append_to_record(0, l3.in_block, std::vector<uint8_t>(12)), ErrorKind::InvalidData,
                     "append: aggregated block payload exceeds pending block capacity");
    EXPECT_TRUE(seg->append_to_record(0, l3.in_block, std::vector<uint8_t>(8)).ok());

    // A file that cannot hold the growth: SegmentFull (the segment set grows the file).
    auto tiny = make_segment(dir.file("tiny"), 1024, 1024);
    const RecordLocation t = put(*tiny, 1, random_bytes(868, 1));
    EXPECT_EQ(tiny->written_length(), 896u);
    EXPECT_SEG_ERROR(tiny->append_to_record(0, t.in_block, std::vector<uint8_t>(8)), ErrorKind::SegmentFull, "");
    EXPECT_EQ(tiny->written_length(), 896u);
    EXPECT_TRUE(tiny->append_to_record(0, t.in_block, std::vector<uint8_t>(4)).ok());

    // Once the block is sealed it takes no appends.
    auto seg2 = make_segment(dir.file("seg2"));
    const RecordLocation m1 = put(*seg2, 1, {1});
    ASSERT_TRUE(seg2->seal_pending(3).ok());
    EXPECT_SEG_ERROR(seg2->append_to_record(m1.position, m1.in_block, std::vector<uint8_t>{2}),
                     ErrorKind::InvalidData, "append: target block is not pending");
    const RecordLocation m2 = put(*seg2, 2, {1});
    EXPECT_SEG_ERROR(seg2->append_to_record(m1.position, m1.in_block, std::vector<uint8_t>{2}),
                     ErrorKind::InvalidData, "append: target block is not the last in segment");
    EXPECT_TRUE(seg2->append_to_record(m2.position, m2.in_block, std::vector<uint8_t>{2}).ok());
}

TEST(DataSegment, CorrectLastRecordShrinksAndGrows) {
    TempDir dir;
    const std::string path = dir.file("seg");
    auto seg = make_segment(path);
    const auto first = pattern_bytes(30, 1);
    const RecordLocation l1 = put(*seg, 1, first);
    const RecordLocation l2 = put(*seg, 2, random_bytes(100, 2));
    const uint64_t written = seg->written_length();  // 16 + 44 + 112

    ASSERT_TRUE(seg->correct_record(0, l2.in_block, std::vector<uint8_t>{9, 9, 9}).ok());
    EXPECT_EQ(seg->written_length(), written - 112 + 16);
    EXPECT_EQ(block_at(*seg, 0).payload_size, 44u + 16u);
    EXPECT_EQ(seg->pending()->wrote_position, 60u);
    EXPECT_EQ(seg->raw_record_bytes(), 42u + 15u);
    EXPECT_EQ(seg->record_count(), 2u);
    expect_readable(*seg, {{1, first, l1}, {2, {9, 9, 9}, l2}}, nullptr);

    const auto longer = random_bytes(1000, 3);
    ASSERT_TRUE(seg->correct_record(0, l2.in_block, longer).ok());
    EXPECT_EQ(seg->written_length(), 16u + 44u + 1012u);
    expect_readable(*seg, {{1, first, l1}, {2, longer, l2}}, nullptr);

    EXPECT_SEG_ERROR(seg->correct_record(0, l1.in_block, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "correction write: target record is not the last in block");
    EXPECT_SEG_ERROR(seg->correct_record(1u << 30, 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "block header out of bounds");
    EXPECT_SEG_ERROR(seg->correct_record(0, l2.in_block, random_bytes(262144, 1)), ErrorKind::InvalidData,
                     "correction write: oversized record requires exclusive block");
    seg.reset();
    auto again = reopen(path);
    expect_readable(*again, {{1, first, l1}, {2, longer, l2}}, nullptr);

    // A sealed last block is not corrected.
    auto seg2 = make_segment(dir.file("seg2"));
    const RecordLocation big = put(*seg2, 1, random_bytes(300000, 4));
    EXPECT_SEG_ERROR(seg2->correct_record(big.position, 0, std::vector<uint8_t>{1}), ErrorKind::InvalidData,
                     "correction write: target block is not pending");
}

// A file that cannot grow takes a shorter record in place; only a longer record that would
// end past the file is segment-full.
TEST(DataSegment, FullFileShrinksCorrectionsInPlace) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"), 1024, 1024);
    const std::vector<Written> recs = {{1, pattern_bytes(400, 1), {}}, {2, random_bytes(100, 3), {}}};
    const RecordLocation l1 = put(*seg, 1, recs[0].data), l2 = put(*seg, 2, random_bytes(440, 2));
    EXPECT_EQ(seg->written_length(), 16u + 412u + 452u);  // 20 bytes short of the file end
    ASSERT_TRUE(seg->correct_record(0, l2.in_block, recs[1].data).ok());
    EXPECT_EQ(seg->written_length(), 16u + 412u + 112u);
    EXPECT_SEG_ERROR(seg->correct_record(0, l2.in_block, random_bytes(500, 4)), ErrorKind::SegmentFull, "");
    seg.reset();
    expect_readable(*reopen(dir.file("seg")), {{1, recs[0].data, l1}, {2, recs[1].data, l2}}, nullptr);
}

TEST(DataSegment, GrowDoublesUpToTheLimitAndNeverShrinks) {
    TempDir dir;
    auto seg = make_segment(dir.file("seg"), 262144, 67108864);
    ASSERT_TRUE(seg->grow().ok());
    EXPECT_EQ(seg->file_size(), 524288u);
    auto capped = make_segment(dir.file("capped"), 262144, 300000);
    ASSERT_TRUE(capped->grow().ok());
    EXPECT_EQ(capped->file_size(), 300000u);
    EXPECT_SEG_ERROR(capped->grow(), ErrorKind::InvalidData, "segment already at max_file_size (300000)");

    // A file already above its limit keeps its size.
    auto above = make_segment(dir.file("above"), kMiB, 262144);
    const RecordLocation loc = put(*above, 1, {1, 2, 3});
    EXPECT_SEG_ERROR(above->grow(), ErrorKind::InvalidData, "segment already at max_file_size (262144)");
    EXPECT_EQ(above->file_size(), kMiB);
    EXPECT_EQ(file_bytes(dir.file("above")).size(), kMiB);
    expect_readable(*above, {{1, {1, 2, 3}, loc}}, nullptr);
}

// A grow the file system refuses leaves the segment mapped and usable (run in a child,
// whose file size limit makes the extension fail).
TEST(DataSegment, FailedGrowKeepsTheMapping) {
    TempDir dir;
    const std::string path = dir.file("seg");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim{400000, 400000};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(10);
        auto seg = DataSegment::create(path, {0, 262144, kMiB, 3, 0});
        if (!seg.ok()) _exit(11);
        const std::vector<uint8_t> a(1000, 1);
        auto la = (*seg)->append_record(1, a, 3);
        if (!la.ok()) _exit(12);
        Status g = (*seg)->grow();
        if (g.ok() || g.error().kind() != ErrorKind::Io) _exit(13);
        if (!(*seg)->is_mapped() || (*seg)->file_size() != 262144) _exit(14);
        auto r = (*seg)->read_record(1, la->position, la->in_block, nullptr);
        if (!r.ok() || r->data != a) _exit(15);
        if (!(*seg)->append_record(2, a, 3).ok()) _exit(16);
        // A record that needs the file to grow is refused as full, and nothing changed.
        auto big = (*seg)->append_record(3, std::vector<uint8_t>(262000, 2), 3);
        if (big.ok() || big.error().kind() != ErrorKind::SegmentFull) _exit(17);
        if ((*seg)->record_count() != 2) _exit(18);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DataSegment, DirtyNotificationOncePerFlush) {
    TempDir dir;
    auto list = std::make_shared<DirtyList>();
    DirtyNotifier notifier(DataSetKey{"n", "t"}, list);
    auto seg = make_segment(dir.file("seg"));
    seg->set_notifier(notifier);
    EXPECT_EQ(list->size(), 0u);  // a fresh segment is clean
    put(*seg, 1, {1});
    put(*seg, 2, {2});
    ASSERT_TRUE(seg->mark_invalid().ok());
    EXPECT_EQ(list->size(), 1u);
    auto taken = list->take_all();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].target, DirtyTarget::data_segment(0));
    put(*seg, 3, {3});
    EXPECT_EQ(list->size(), 0u);  // still registered until flushed
    ASSERT_TRUE(seg->flush_dirty().ok());
    EXPECT_TRUE(seg->is_clean());
    put(*seg, 4, {4});
    EXPECT_EQ(list->size(), 1u);

    // A changed segment without a notifier registers as soon as one is installed.
    auto other = make_segment(dir.file("other"));
    put(*other, 1, {1});
    other->set_notifier(notifier);
    EXPECT_EQ(list->size(), 2u);
    other->set_notifier(notifier);
    EXPECT_EQ(list->size(), 2u);
}

TEST(DataSegment, ReopenRestoresStateAndReadsThroughCacheAndSlot) {
    TempDir dir;
    const std::string path = dir.file("seg");
    std::vector<Written> recs;
    {
        auto seg = make_segment(path);
        for (int i = 0; i < 12; ++i) {
            auto d = pattern_bytes(30000 + i, static_cast<uint8_t>(i));
            recs.push_back({i * 10, d, put(*seg, i * 10, d)});
        }
        ASSERT_TRUE(seg->mark_invalid().ok());
    }
    auto seg = reopen(path);
    ASSERT_TRUE(seg);
    EXPECT_EQ(seg->record_count(), 12u);
    EXPECT_EQ(seg->min_timestamp(), 0);
    EXPECT_EQ(seg->max_timestamp(), 110);
    EXPECT_EQ(seg->invalid_record_count(), 1u);
    ASSERT_TRUE(seg->pending().has_value());
    EXPECT_EQ(seg->pending()->position, recs.back().loc.position);
    EXPECT_GT(seg->pending()->position, 0u);
    EXPECT_TRUE(seg->is_clean());
    expect_readable(*seg, recs, nullptr);
    BlockCache cache(16 * kMiB);
    expect_readable(*seg, recs, &cache);

    // Through a slot: a compressed block is kept by key; a raw block never is.
    HotBlockSlot slot;
    auto r0 = seg->read_record_hot(7, recs[0].loc.position, recs[0].loc.in_block, &cache, slot);
    ASSERT_TRUE(r0.ok());
    EXPECT_EQ(r0->data, recs[0].data);
    ASSERT_TRUE(slot.has_key);
    EXPECT_EQ(slot.key, (BlockKey{7, 0, 0}));
    HotBlockPtr held = slot.lookup(slot.key);
    ASSERT_TRUE(held);
    EXPECT_TRUE(cache.remove(slot.key));
    auto l1 = seg->read_length_hot(7, recs[1].loc.position, recs[1].loc.in_block, &cache, slot);
    ASSERT_TRUE(l1.ok());
    EXPECT_EQ(l1->length, recs[1].data.size());
    EXPECT_EQ(cache.len(), 0u);  // served by the slot, the cache was not asked
    held.reset();
    auto r1 = seg->read_record_hot(7, recs[1].loc.position, recs[1].loc.in_block, &cache, slot);
    ASSERT_TRUE(r1.ok());
    EXPECT_EQ(r1->data, recs[1].data);
    EXPECT_EQ(cache.len(), 1u);  // decompressed again and cached
    const Written& last = recs.back();
    HotBlockSlot raw_slot;
    ASSERT_TRUE(seg->read_record_hot(7, last.loc.position, last.loc.in_block, &cache, raw_slot).ok());
    EXPECT_FALSE(raw_slot.has_key);
    // A disabled cache keeps nothing alive, so the slot is not set.
    BlockCache off(0);
    HotBlockSlot off_slot;
    ASSERT_TRUE(seg->read_record_hot(7, 0, 0, &off, off_slot).ok());
    EXPECT_FALSE(off_slot.has_key);

    // The segment keeps taking records after the reopen.
    auto d = pattern_bytes(10, 1);
    recs.push_back({500, d, put(*seg, 500, d)});
    EXPECT_EQ(recs.back().loc.position, last.loc.position);
    expect_readable(*seg, recs, nullptr);
    seg->unmap();
    EXPECT_SEG_ERROR(seg->read_record(7, 0, 0, nullptr), ErrorKind::Mmap, "segment is closed, cannot read");
    EXPECT_SEG_ERROR(seg->append_record(1, d, 3), ErrorKind::Mmap, "segment closed during write");
    ASSERT_TRUE(seg->ensure_mapped().ok());
    expect_readable(*seg, recs, nullptr);
}

TEST(DataSegment, MarkInvalidWritesTheCounter) {
    TempDir dir;
    const std::string path = dir.file("seg");
    {
        auto seg = make_segment(path);
        ASSERT_TRUE(seg->mark_invalid().ok());
        ASSERT_TRUE(seg->mark_invalid().ok());
        EXPECT_EQ(state_field(*seg, st::kInvalid), 2u);
    }
    auto ro = reopen(path, true);
    EXPECT_EQ(ro->invalid_record_count(), 2u);
    EXPECT_SEG_ERROR(ro->mark_invalid(), ErrorKind::InvalidData, "data segment is opened read-only");
    EXPECT_SEG_ERROR(ro->append_record(1, std::vector<uint8_t>{1}, 3), ErrorKind::InvalidData,
                     "data segment is opened read-only");
}

TEST(DataSegment, NewerVersionIsReadWithWarnings) {
    TempDir dir;
    const std::string path = dir.file("seg");
    RecordLocation loc;
    {
        auto seg = make_segment(path);
        loc = put(*seg, 1, {1, 2});
    }
    patch_u16(path, 4, 2);
    LogCapture logs;
    auto seg = reopen(path);
    ASSERT_TRUE(seg);
    EXPECT_TRUE(logs.contains(log::Level::Warn, log::kSegmentData,
                              "Opening file with version 2, expected 1. Parsing known fields."));
    const size_t warned = logs.count("File has version 2 but we know 1, parsing known fields only");
    EXPECT_GE(warned, 1u);
    put(*seg, 2, {3});
    EXPECT_GT(logs.count("File has version 2 but we know 1, parsing known fields only"), warned);
    expect_readable(*seg, {{1, {1, 2}, loc}}, nullptr);
}

// ---- damaged files ----

struct Fixture {
    TempDir dir;
    std::string path = dir.file("seg");
    std::vector<Written> recs;
    uint64_t sealed_payload = 0;

    // Two sealed blocks (one of several records, one single-record) and a pending block.
    Fixture() {
        auto seg = make_segment(path, kMiB, kMiB);
        for (int i = 0; i < 3; ++i) {
            auto d = pattern_bytes(1000, static_cast<uint8_t>(i));
            recs.push_back({i, d, put(*seg, i, d)});
        }
        EXPECT_TRUE(seg->seal_pending(3).ok());
        sealed_payload = block_at(*seg, 0).payload_size;
        auto big = random_bytes(270000, 9);
        recs.push_back({3, big, put(*seg, 3, big)});
        for (int i = 4; i < 6; ++i) {
            auto d = pattern_bytes(50, static_cast<uint8_t>(i));
            recs.push_back({i, d, put(*seg, i, d)});
        }
    }
    uint64_t single_pos() const { return recs[3].loc.position; }
    uint64_t pending_pos() const { return recs[4].loc.position; }
};

TEST(DataSegmentDamage, TruncatedFilesAreRefused) {
    for (uint64_t len : {0, 8, 9, 50, 123}) {
        Fixture fx;
        testing::truncate_file(fx.path, len);
        auto r = DataSegment::open(fx.path, 0, kMiB);
        ASSERT_FALSE(r.ok()) << len;
        EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData) << len;
    }
    Fixture fx;
    testing::truncate_file(fx.path, 8);
    EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                     "truncated fixed header prefix: need 9 bytes, got 8");
}

TEST(DataSegmentDamage, TruncatedInsideTheBlocks) {
    Fixture fx;
    testing::truncate_file(fx.path, 124 + fx.pending_pos() + 20);
    EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                     fmt::format("data segment wrote_position {} is outside the file (header 124, size {})",
                                 124 + fx.pending_pos() + 16 + 2 * 64, 124 + fx.pending_pos() + 20));
}

TEST(DataSegmentDamage, HeaderFields) {
    {
        Fixture fx;
        testing::patch_file(fx.path, 0, {'X'});
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidMagic, "");
    }
    {
        Fixture fx;
        testing::patch_file(fx.path, 49, {7});  // compress type value
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData, "unknown compress_type 7");
    }
    {
        Fixture fx;
        patch_u64(fx.path, st::kWrote, 100);
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                         "data segment wrote_position 100 is outside the file (header 124, size 1048576)");
    }
    {
        Fixture fx;
        patch_u64(fx.path, st::kPendPos, UINT64_MAX - 10);
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                         "pending block position overflow");
    }
    {
        Fixture fx;
        patch_u64(fx.path, st::kPendWrote, 2 * kMiB);
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                         "pending block extends beyond segment file size");
    }
    {
        Fixture fx;
        patch_u64(fx.path, st::kPendCount, uint64_t{1} << 40);
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                         "pending block record_count does not match header state");
    }
    {
        Fixture fx;
        patch_u64(fx.path, st::kPendCount, 1);
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                         "pending block payload_size does not match pending_wrote_position");
    }
    {
        Fixture fx;
        patch_u64(fx.path, st::kPendPos, 0);  // points at the sealed block
        EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                         "pending block has non-raw flags: 0x3");
    }
}

TEST(DataSegmentDamage, BadPendingFlagsAreRefused) {
    Fixture fx;
    patch_u16(fx.path, 124 + fx.pending_pos() + 4, 3);
    EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                     "pending block has non-raw flags: 0x3");
    patch_u16(fx.path, 124 + fx.pending_pos() + 4, 0x10);
    EXPECT_SEG_ERROR(DataSegment::open(fx.path, 0, kMiB), ErrorKind::InvalidData,
                     "pending block has non-raw flags: 0x10");
}

TEST(DataSegmentDamage, BlockHeaderAheadOfTheStateIsCutBack) {
    Fixture fx;
    // A block header that claims more than the state committed (a torn tail).
    patch_u32(fx.path, 124 + fx.pending_pos(), 64 + 64 + 64);
    patch_u16(fx.path, 124 + fx.pending_pos() + 6, 3);
    LogCapture logs;
    auto seg = reopen(fx.path);
    ASSERT_TRUE(seg);
    EXPECT_EQ(logs.count(fmt::format("[DataSegment open] repaired the pending block of {} after an interrupted write",
                                     fx.path)),
              1u);
    EXPECT_EQ(block_at(*seg, fx.pending_pos()).payload_size, 128u);
    EXPECT_EQ(block_at(*seg, fx.pending_pos()).record_count, 2u);
    expect_readable(*seg, fx.recs, nullptr);
    seg.reset();
    logs.clear();
    auto again = reopen(fx.path);
    EXPECT_EQ(logs.records().size(), 0u);  // the repair was written back
}

TEST(DataSegmentDamage, ReadersRefuseBadBlocks) {
    Fixture fx;
    const uint64_t single = fx.single_pos();
    auto check = [&](auto&& patch, uint64_t pos, uint16_t in_block, ErrorKind kind, const std::string& msg) {
        Fixture f;
        patch(f);
        auto seg = reopen(f.path);
        ASSERT_TRUE(seg);
        BlockCache cache(kMiB);
        for (BlockCache* c : {static_cast<BlockCache*>(nullptr), &cache}) {
            EXPECT_SEG_ERROR(seg->read_record(1, pos, in_block, c), kind, msg);
            EXPECT_SEG_ERROR(seg->read_length(1, pos, in_block, c), kind, msg);
            HotBlockSlot slot;
            EXPECT_SEG_ERROR(seg->read_record_hot(1, pos, in_block, c, slot), kind, msg);
        }
    };
    auto none = [](Fixture&) {};
    check(none, fx.pending_pos() + 16 + 128, 0, ErrorKind::InvalidData, "block header out of bounds");
    check(none, 1u << 19, 0, ErrorKind::InvalidData, "block header out of bounds");
    check(none, UINT64_MAX - 4, 0, ErrorKind::InvalidData, "block header out of bounds");
    check(none, 0, 60000, ErrorKind::InvalidData, "record index out of bounds");
    check(none, fx.pending_pos(), 40, ErrorKind::InvalidData, "record index out of bounds");
    // in_block 4 lands inside the first record's data, which reads as a huge length.
    check(none, fx.pending_pos(), 4, ErrorKind::InvalidData, "record data out of bounds");
    check([](Fixture& f) { patch_u32(f.path, 124, 0xFFFFFF00u); }, 0, 0, ErrorKind::InvalidData,
          "block payload out of bounds");
    check([](Fixture& f) { patch_u32(f.path, 124 + 8, 0x7FFFFFFFu); }, 0, 0, ErrorKind::InvalidData,
          "block uncompressed_size 2147483647 exceeds the block limit");
    check([](Fixture& f) { patch_u32(f.path, 124 + f.single_pos() + 8, 5000000); }, single, 0,
          ErrorKind::InvalidData, "block uncompressed_size 5000000 exceeds the block limit");
    check([](Fixture& f) { patch_u16(f.path, 124 + 4, 1); }, 0, 0, ErrorKind::InvalidData,
          "invalid block flags: SEALED and COMPRESSED must be paired (0x1)");
    check([](Fixture& f) { patch_u16(f.path, 124 + 4, 4); }, 0, 0, ErrorKind::InvalidData,
          "invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED (0x4)");
    // A flipped payload byte and a wrong uncompressed size fail decompression.
    for (uint64_t at : {uint64_t{16 + 20}, fx.sealed_payload / 2 + 16}) {
        Fixture f;
        auto bytes = file_bytes(f.path);
        testing::patch_file(f.path, 124 + at, {static_cast<uint8_t>(bytes[124 + at] ^ 0x5a)});
        auto seg = reopen(f.path);
        auto r = seg->read_record(1, 0, 0, nullptr);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
    }
    {
        Fixture f;
        patch_u32(f.path, 124 + 8, 3000);
        auto seg = reopen(f.path);
        auto r = seg->read_record(1, 0, 0, nullptr);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
        // The other blocks are still readable.
        expect_readable(*seg, {f.recs[3], f.recs[4], f.recs[5]}, nullptr);
    }
}

TEST(DataSegmentDamage, RandomByteFlipsNeverCrash) {
    Fixture fx;
    const auto original = file_bytes(fx.path);
    const uint64_t end = 124 + fx.pending_pos() + 16 + 128;
    uint64_t x = 12345;
    for (int round = 0; round < 200; ++round) {
        testing::patch_file(fx.path, 0, original);
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        const uint64_t at = (x >> 20) % end;
        testing::patch_file(fx.path, at, {static_cast<uint8_t>(original[at] ^ (1u << ((x >> 8) % 8)))});
        auto seg = DataSegment::open(fx.path, 0, kMiB);
        if (!seg.ok()) continue;
        BlockCache cache(kMiB);
        for (const auto& w : fx.recs) {
            (void)(*seg)->read_record(1, w.loc.position, w.loc.in_block, &cache);
            (void)(*seg)->read_length(1, w.loc.position, w.loc.in_block, nullptr);
        }
        (void)(*seg)->append_record(9, std::vector<uint8_t>{1, 2, 3}, 3);
    }
}

}  // namespace
}  // namespace brenvale
