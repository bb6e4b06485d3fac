// Journal segment files: layout byte for byte, the pending block and its limits, sealing
// (decoded independently with the reference zstd and zlib libraries), growth and
// segment-full, and the rebuild on open of stale, torn and damaged files.
#include <gtest/gtest.h>

#include "journal/segment.h"
#include "reference_codec.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::file_bytes;
using testing::LogCapture;
using testing::patch_u16;
using testing::patch_u32;
using testing::patch_u64;
using testing::pattern_bytes;
using testing::random_bytes;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kState = kStatePos;  // 52

std::unique_ptr<JournalSegment> make(const std::string& path, uint64_t base = 1, uint64_t initial = 4 * kKiB,
                                     uint64_t max = 4 * 1024 * kKiB, uint8_t type = 0) {
    auto seg = JournalSegment::create(path, {base, initial, max, 3, type});
    EXPECT_TRUE(seg.ok()) << seg.error().to_string();
    return seg.ok() ? std::move(*seg) : nullptr;
}

Bytes payload_of(uint64_t seq, size_t n) { return seq % 2 ? random_bytes(n, seq) : pattern_bytes(n, uint8_t(seq)); }

void expect_reads(JournalSegment& seg, uint64_t first, const std::vector<Bytes>& payloads) {
    for (size_t i = 0; i < payloads.size(); ++i) {
        auto r = seg.read_record(first + i);
        ASSERT_TRUE(r.ok()) << r.error().to_string();
        ASSERT_TRUE(r->has_value()) << "sequence " << first + i;
        EXPECT_EQ(**r, payloads[i]) << "sequence " << first + i;
    }
    for (uint64_t absent : {first - 1, first + payloads.size()}) {
        auto r = seg.read_record(absent);
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(r->has_value()) << absent;
    }
}


TEST(JournalSegment, NewFileAndFirstRecordLayout) {
    TempDir dir;
    const std::string path = dir.file("logs/data/00000000000000000007");
    auto seg = make(path, 7, 4 * kKiB, 1 << 20);
    ASSERT_TRUE(seg);
    EXPECT_TRUE(seg->flushed());
    Bytes b = file_bytes(path);
    ASSERT_EQ(b.size(), 4 * kKiB);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 7), (Bytes{'B', 'R', 'V', 'L', 1, 0, 3}));
    EXPECT_EQ(load_u16(b.data() + 7), 41);
    EXPECT_EQ(load_u64(b.data() + 23), 7u);        // base sequence
    EXPECT_EQ(load_u64(b.data() + 34), 1u << 20);  // file size limit
    EXPECT_EQ(load_u16(b.data() + 50), 56);
    EXPECT_EQ(JournalSegmentState::read(b.data() + kState),
              (JournalSegmentState{4 * kKiB, 108, 0, 0, kNoPendingBlock, 0, 0}));
    EXPECT_FALSE(*path_exists(path + ".tmp"));

    const Bytes p = {1, 2, 3, 4, 5};
    ASSERT_TRUE(seg->append(7, p).ok());
    EXPECT_FALSE(seg->flushed());
    b = file_bytes(path);
    const BlockHeader bh = BlockHeader::read(b, 108);
    EXPECT_EQ(bh.flags, 0);
    EXPECT_EQ(bh.record_count, 1);
    EXPECT_EQ(bh.payload_size, 17u);
    EXPECT_EQ(bh.uncompressed_size, 17u);
    EXPECT_EQ(load_u32(b.data() + 124), 5u);  // frame: length, sequence, payload, no padding
    EXPECT_EQ(load_u64(b.data() + 128), 7u);
    EXPECT_EQ(Bytes(b.begin() + 136, b.begin() + 141), p);
    EXPECT_EQ(JournalSegmentState::read(b.data() + kState),
              (JournalSegmentState{4 * kKiB, 141, 1, 17, 0, 17, 1}));
    EXPECT_SEG_ERROR(seg->append(9, p), ErrorKind::InvalidData,
                     "journal sequence 9 is not next for segment 7 record_count 1");
    EXPECT_EQ(file_bytes(path), b);
    expect_reads(*seg, 7, {p});
}

TEST(JournalSegment, CreateRefusesBadArguments) {
    TempDir dir;
    const std::string f = dir.file("s");
    EXPECT_SEG_ERROR(JournalSegment::create(f, {0, 4096, 8192, 3, 0}), ErrorKind::InvalidData,
                     "journal base_sequence must be positive");
    EXPECT_SEG_ERROR(JournalSegment::create(f, {uint64_t{1} << 63, 4096, 8192, 3, 0}), ErrorKind::InvalidData,
                     "journal base_sequence must be positive");
    EXPECT_SEG_ERROR(JournalSegment::create(f, {1, 4096, 8192, 3, 2}), ErrorKind::InvalidData, "unknown compress_type 2");
    EXPECT_SEG_ERROR(JournalSegment::create(f, {1, 107, 8192, 3, 0}), ErrorKind::InvalidData,
                     "initial journal segment size 107 is smaller than header 108");
}

// Where a record goes at the pending block's limits, by the room left in it.
TEST(JournalSegment, PendingBlockLimits) {
    struct Case {
        const char* name;
        std::vector<size_t> before;  // payloads appended first
        size_t payload;
        uint16_t first_flags;  // of the first block afterwards
        uint16_t last_flags;   // of the block holding the new record
    };
    const Case cases[] = {
        {"a frame of exactly 256 KiB is pending", {}, 262144 - 12, 0, 0},
        {"one byte more gets a block of its own", {}, 262144 - 11, 7, 7},
        {"a full pending block is sealed first", {262144 - 16}, 8, 3, 0},
        {"a record that fits joins the pending block", {262144 - 24}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto seg = make(dir.file("s"));
        std::vector<Bytes> all;
        for (size_t n : c.before) all.push_back(random_bytes(n, all.size() + 1));
        all.push_back(random_bytes(c.payload, 99));
        for (size_t i = 0; i < all.size(); ++i) ASSERT_TRUE(seg->append(1 + i, all[i]).ok());
        const auto b = seg->mapped_bytes();
        EXPECT_EQ(BlockHeader::read(b, 108).flags, c.first_flags);
        uint64_t pos = 0, last = 0;
        while (pos < seg->written_length()) {
            last = pos;
            pos += 16 + BlockHeader::read(b, 108 + pos).payload_size;
        }
        EXPECT_EQ(BlockHeader::read(b, 108 + last).flags, c.last_flags);
        EXPECT_EQ(seg->record_count(), all.size());
        expect_reads(*seg, 1, all);
        auto reopened = JournalSegment::open(dir.file("s"), 1, 1 << 20);
        ASSERT_TRUE(reopened.ok());
        EXPECT_EQ((*reopened)->written_length(), seg->written_length());
        expect_reads(**reopened, 1, all);
    }
}

// A sealed block is a standard zstd frame or raw DEFLATE stream of unpadded frames.
class JournalSealByType : public ::testing::TestWithParam<uint8_t> {};

TEST_P(JournalSealByType, SealedBlockDecodesWithTheReferenceLibrary) {
    const uint8_t type = GetParam();
    TempDir dir;
    auto seg = make(dir.file("s"), 40, 4 * kKiB, 4 * 1024 * kKiB, type);
    std::vector<Bytes> all;
    Bytes frames;
    for (uint64_t seq = 40; seq < 40 + 300; ++seq) {
        all.push_back(payload_of(seq, 1000 + seq % 7));
        ASSERT_TRUE(seg->append(seq, all.back()).ok());
        if (seg->pending() && seg->pending()->position == 0) {
            Bytes f(12);
            store_u32(f.data(), static_cast<uint32_t>(all.back().size()));
            store_u64(f.data() + 4, seq);
            f.insert(f.end(), all.back().begin(), all.back().end());
            frames.insert(frames.end(), f.begin(), f.end());
        }
    }
    const auto b = seg->mapped_bytes();
    const BlockHeader sealed = BlockHeader::read(b, 108);
    ASSERT_EQ(sealed.flags, 3);
    EXPECT_EQ(sealed.uncompressed_size, frames.size());
    EXPECT_EQ(testing::reference_decode(type, b.data() + 124, sealed.payload_size, frames.size()), frames);
    expect_reads(*seg, 40, all);
}

INSTANTIATE_TEST_SUITE_P(Types, JournalSealByType, ::testing::Values(uint8_t{0}, uint8_t{1}));

TEST(JournalSegment, GrowsByDoublingThenReportsSegmentFull) {
    TempDir dir;
    auto seg = make(dir.file("s"), 1, 4 * kKiB, 20 * kKiB);
    std::vector<Bytes> all;
    std::vector<uint64_t> sizes;
    Status st;
    while (st.ok()) {
        Bytes p = random_bytes(1500, all.size() + 1);
        st = seg->append(1 + all.size(), p);
        if (st.ok()) all.push_back(p);
        if (sizes.empty() || sizes.back() != seg->file_size()) sizes.push_back(seg->file_size());
    }
    EXPECT_EQ(st.error().kind(), ErrorKind::SegmentFull);
    EXPECT_EQ(sizes, (std::vector<uint64_t>{4 * kKiB, 8 * kKiB, 16 * kKiB, 20 * kKiB}));
    EXPECT_EQ(load_u64(seg->mapped_bytes().data() + kState), 20 * kKiB);  // current file size
    expect_reads(*seg, 1, all);
    auto ro = JournalSegment::open_read_only(dir.file("s"), 1, 0);
    ASSERT_TRUE(ro.ok());
    expect_reads(**ro, 1, all);
    EXPECT_SEG_ERROR((*ro)->append(1 + all.size(), Bytes{1}), ErrorKind::InvalidData,
                     "read-only journal segment cannot be modified");
}

// The stored state is not trusted: the blocks decide, and a torn raw block keeps its
// whole frames with consecutive sequences.
TEST(JournalSegment, OpenRebuildsTheStateFromTheBlocks) {
    struct Case {
        const char* name;
        std::function<void(const std::string&, uint64_t pending_at)> damage;
        size_t kept;  // of the 6 records
        size_t lost;  // counted by the state and not kept
    };
    // Records 1-4 in a sealed block, 5-6 in the pending block behind it.
    const Case cases[] = {
        {"stale counters", [](const std::string& p, uint64_t) {
             patch_u64(p, kState + journal_state_at::kCount, 2);
             patch_u64(p, kState + journal_state_at::kPendCount, 0);
             patch_u64(p, kState + journal_state_at::kWrote, 108);
         }, 6, 0},
        {"pending header claims more than the file", [](const std::string& p, uint64_t at) {
             patch_u32(p, 108 + at, 1u << 30);
             patch_u16(p, 108 + at + 6, 9);
         }, 6, 0},
        {"pending header torn between its stores", [](const std::string& p, uint64_t at) {
             patch_u16(p, 108 + at + 6, 1);
         }, 6, 0},
        {"a frame with a wrong sequence cuts the block there", [](const std::string& p, uint64_t at) {
             patch_u64(p, 108 + at + 16 + 12 + 700 + 4, 77);
         }, 5, 1},
        {"a sealed block decoding to another size ends the scan", [](const std::string& p, uint64_t) {
             patch_u32(p, 108 + 8, 5);
         }, 0, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("s");
        std::vector<Bytes> all;
        uint64_t pending_at = 0;
        {
            auto seg = make(path);
            for (uint64_t s = 1; s <= 4; ++s) {
                all.push_back(pattern_bytes(700, uint8_t(s)));
                ASSERT_TRUE(seg->append(s, all.back()).ok());
            }
            ASSERT_TRUE(seg->seal_pending(3).ok());
            pending_at = seg->written_length();
            for (uint64_t s = 5; s <= 6; ++s) {
                all.push_back(pattern_bytes(700, uint8_t(s)));
                ASSERT_TRUE(seg->append(s, all.back()).ok());
            }
        }
        c.damage(path, pending_at);
        const Bytes before = file_bytes(path);
        auto ro = JournalSegment::open_read_only(path, 1, 1 << 20);
        ASSERT_TRUE(ro.ok());
        EXPECT_EQ((*ro)->record_count(), c.kept);
        EXPECT_EQ(file_bytes(path), before);  // a reader repairs nothing

        auto seg = JournalSegment::open(path, 1, 1 << 20);
        ASSERT_TRUE(seg.ok()) << seg.error().to_string();
        EXPECT_EQ((*seg)->record_count(), c.kept);
        // The stored count (6) is a high-water mark: records it counted and the blocks lost
        // are reported, so that the log never hands their sequences out again.
        EXPECT_EQ((*seg)->lost_records(), c.lost);
        all.resize(c.kept);
        expect_reads(**seg, 1, all);
        // New records go after the kept ones and survive another open.
        all.push_back(Bytes{42});
        ASSERT_TRUE((*seg)->append(c.kept + 1, all.back()).ok());
        seg->reset();
        auto again = JournalSegment::open(path, 1, 1 << 20);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ((*again)->lost_records(), 0u);
        expect_reads(**again, 1, all);
    }
}

TEST(JournalSegment, HeaderChecksInOrder) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        ErrorKind kind;
        const char* text;
    };
    const Case cases[] = {
        {"short file", [](const std::string& p) { testing::truncate_file(p, 107); }, ErrorKind::InvalidData,
         "journal segment header truncated"},
        {"magic", [](const std::string& p) { patch_u32(p, 0, 0); }, ErrorKind::InvalidMagic, ""},
        {"file type", [](const std::string& p) { testing::patch_file(p, 6, {2}); }, ErrorKind::InvalidData,
         "unexpected journal file_type 2"},
        {"state length field beyond the file", [](const std::string& p) { patch_u16(p, 7, 60000); },
         ErrorKind::InvalidData, "journal segment state length truncated"},
        {"state length", [](const std::string& p) { patch_u16(p, 50, 55); }, ErrorKind::InvalidData,
         "journal state_length 55 is smaller than 56"},
        {"state beyond the file", [](const std::string& p) { patch_u16(p, 50, 60000); }, ErrorKind::InvalidData,
         "journal state truncated"},
        {"entry past the area", [](const std::string& p) { patch_u16(p, 47, 9); }, ErrorKind::InvalidData,
         "journal meta TLV truncated"},
        {"base sequence of another width", [](const std::string& p) { patch_u16(p, 21, 4); },
         ErrorKind::InvalidData, "journal meta TLV truncated"},
        {"no base sequence", [](const std::string& p) { testing::patch_file(p, 20, {9}); }, ErrorKind::InvalidData,
         "journal base_sequence meta missing"},
        {"no file size", [](const std::string& p) { testing::patch_file(p, 31, {9}); }, ErrorKind::InvalidData,
         "journal file_size meta missing"},
        {"no level", [](const std::string& p) { testing::patch_file(p, 42, {9}); }, ErrorKind::InvalidData,
         "journal compress_level meta missing"},
        {"no type", [](const std::string& p) { testing::patch_file(p, 46, {9}); }, ErrorKind::InvalidData,
         "journal compress_type meta missing"},
        {"empty area", [](const std::string& p) { patch_u16(p, 7, 0); }, ErrorKind::InvalidData,
         "journal base_sequence meta missing"},
        {"type", [](const std::string& p) { testing::patch_file(p, 49, {7}); }, ErrorKind::InvalidData,
         "unknown compress_type 7"},
        {"base sequence", [](const std::string& p) { patch_u64(p, 23, 2); }, ErrorKind::InvalidData,
         "journal segment base_sequence mismatch: expected 1, got 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("s");
        ASSERT_TRUE(make(path));
        c.damage(path);
        EXPECT_SEG_ERROR(JournalSegment::open(path, 1, 1 << 20), c.kind, c.text);
        EXPECT_SEG_ERROR(JournalSegment::open_read_only(path, 1, 1 << 20), c.kind, c.text);
    }
    // A newer version is read for the known fields, with a warning.
    TempDir dir;
    const std::string path = dir.file("s");
    ASSERT_TRUE(make(path)->append(1, Bytes{7}).ok());
    patch_u16(path, 4, 2);
    LogCapture logs;
    auto seg = JournalSegment::open(path, 1, 1 << 20);
    ASSERT_TRUE(seg.ok());
    EXPECT_TRUE(logs.contains(log::Level::Warn, log::kJournalSegment,
                              "Journal segment has version 2 but current version is 1"));
    expect_reads(**seg, 1, {Bytes{7}});
}

}  // namespace
}  // namespace brenvale
