#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "file.h"
#include "journal/record.h"
#include "format/meta.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;
using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes le(uint64_t v, size_t width) {
    Bytes out;
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

Bytes encoded(const JournalRecord& r) {
    auto e = r.encode();
    EXPECT_TRUE(e.ok()) << e.error().to_string();
    return e.ok() ? *e : Bytes{};
}

std::string decode_error(const Bytes& b) {
    auto r = JournalRecord::decode(b);
    return r.ok() ? "ok" : r.error().to_string();
}

const JournalIndexInfo kIndex{0x0102030405060708LL, 0x1112131415161718ULL, 0x2122};
const Bytes kIndexBytes = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x18,
                           0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 0x22, 0x21};

TEST(JournalRecord, EncodingsByteForByte) {
    struct Case {
        const char* name;
        JournalRecord record;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"write id 300", JournalRecord::record_write(300, kIndex), cat({{17, 2, 0x2C, 0x01, 16}, kIndexBytes})},
        {"delete of a sentinel", JournalRecord::record_delete(1, {-1, ~uint64_t{0}, 0xFFFF}),
         cat({{18, 1, 1, 16}, Bytes(8, 0xFF), Bytes(8, 0xFF), {0xFF, 0xFF}})},
        {"append id 70000", JournalRecord::record_append(70000, kIndex, 10, 0x01020304),
         cat({{19, 3, 0x70, 0x11, 0x01, 0x00, 16}, kIndexBytes, {17, 10, 0, 0, 0, 4, 3, 2, 1}})},
        {"append that created the record", JournalRecord::record_append(5, {7, 0, 0}, 0, 9),
         cat({{19, 1, 5, 16}, le(7, 8), le(0, 8), {0, 0}, {17, 0, 0, 0, 0, 9, 0, 0, 0}})},
        {"create one-byte names, empty metadata", JournalRecord::create_dataset(uint64_t{1} << 40, "a", "b", {}),
         {1, 4, 0, 0, 0, 0, 0, 1, 0, 0, 16, 1, 0, 'a', 17, 1, 0, 'b', 18, 0, 0}},
        {"drop with metadata", JournalRecord::drop_dataset(7, "ds", "t1", {1, 8, 0}),
         {2, 1, 7, 16, 2, 0, 'd', 's', 17, 2, 0, 't', '1', 18, 3, 0, 1, 8, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoded(c.record), c.bytes) << c.name;
        auto back = JournalRecord::decode(c.bytes);
        ASSERT_TRUE(back.ok()) << c.name << ": " << back.error().to_string();
        EXPECT_EQ(*back, c.record) << c.name;
    }
    EXPECT_EQ(encoded(JournalRecord::record_write(300, kIndex)).size(), 23u);
}

TEST(JournalRecord, IdentifierWidths) {
    struct Case {
        uint64_t id;
        uint8_t code;
        size_t width;
    };
    for (const auto& c : std::vector<Case>{{1, 1, 1},
                                           {255, 1, 1},
                                           {256, 2, 2},
                                           {65535, 2, 2},
                                           {65536, 3, 4},
                                           {0xFFFFFFFFULL, 3, 4},
                                           {0x100000000ULL, 4, 8},
                                           {~uint64_t{0}, 4, 8}}) {
        EXPECT_EQ(journal_identifier_width_code(c.id), c.code) << c.id;
        for (const auto& r : {JournalRecord::record_write(c.id, kIndex), JournalRecord::record_delete(c.id, kIndex),
                              JournalRecord::record_append(c.id, kIndex, 1, 2),
                              JournalRecord::create_dataset(c.id, "n", "t", {9}),
                              JournalRecord::drop_dataset(c.id, "n", "t", {9})}) {
            Bytes b = encoded(r);
            ASSERT_GE(b.size(), 2 + c.width);
            EXPECT_EQ(b[0], static_cast<uint8_t>(r.type));
            EXPECT_EQ(b[1], c.code) << c.id;
            EXPECT_EQ(Bytes(b.begin() + 2, b.begin() + 2 + static_cast<std::ptrdiff_t>(c.width)), le(c.id, c.width));
            const size_t fields = r.type == JournalLogType::RecordAppend ? 28
                                  : r.index_info                         ? 19
                                                                         : 3 + 1 + 3 + 1 + 3 + 1;
            EXPECT_EQ(b.size(), 2 + c.width + fields) << c.id;
            // The room a journal reservation holds takes any record event.
            EXPECT_TRUE(!r.index_info || b.size() <= kJournalMaxRecordEventSize) << b.size();
            auto back = JournalRecord::decode(b);
            ASSERT_TRUE(back.ok()) << back.error().to_string();
            EXPECT_EQ(*back, r);
        }
    }
    // The largest of each: an append event, a dataset event with the longest parts.
    EXPECT_EQ(encoded(JournalRecord::record_append(~uint64_t{0}, kIndex, 1, 2)).size(), kJournalMaxRecordEventSize);
    EXPECT_EQ(encoded(JournalRecord::drop_dataset(~uint64_t{0}, std::string(kJournalNameMax, 'n'),
                                                  std::string(kJournalNameMax, 't'), Bytes(kJournalFieldValueMax)))
                  .size(),
              kJournalMaxRecordSize);
    // A wider code than needed still reads back.
    auto wide = JournalRecord::decode(cat({{17, 4}, le(5, 8), {16}, kIndexBytes}));
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ(*wide, JournalRecord::record_write(5, kIndex));
}

TEST(JournalRecord, EncodeRefusesWhatCannotBeEncoded) {
    auto with = [](JournalRecord r, auto change) {
        change(r);
        return r;
    };
    const auto create = JournalRecord::create_dataset(1, "n", "t", {});
    const auto append = JournalRecord::record_append(1, kIndex, 0, 1);
    struct Case {
        JournalRecord record;
        std::string error;
    };
    const std::vector<Case> cases = {
        {with(append, [](auto& r) { r.type = static_cast<JournalLogType>(3); }),
         "unknown journal log type cannot be encoded"},
        {with(append, [](auto& r) { r.identifier = 0; }), "journal dataset identifier must be > 0"},
        {with(append, [](auto& r) { r.index_info.reset(); }), "journal index_info is missing"},
        {with(append, [](auto& r) { r.append_info.reset(); }), "journal append_info is missing"},
        {with(create, [](auto& r) { r.name.reset(); }), "journal name is missing"},
        {with(create, [](auto& r) { r.dataset_type.reset(); }), "journal dataset type is missing"},
        {with(create, [](auto& r) { r.name = std::string(256, 'n'); }), "journal name must be at most 255 bytes"},
        {with(create, [](auto& r) { r.dataset_type = std::string(256, 't'); }),
         "journal dataset type must be at most 255 bytes"},
        {with(create, [](auto& r) { r.metadata.reset(); }), "journal metadata is missing"},
        {with(create, [](auto& r) { r.metadata = Bytes(65536, 1); }),
         "journal field value must be at most 65535 bytes"},
    };
    for (const auto& c : cases) {
        Bytes out = {0xAB};
        auto st = c.record.encode_into(out);
        ASSERT_FALSE(st.ok()) << c.error;
        EXPECT_EQ(st.error().to_string(), "invalid data: " + c.error);
        EXPECT_EQ(out, Bytes{0xAB});  // nothing written
    }
    // The limits themselves encode, and encode_into appends.
    auto biggest = JournalRecord::create_dataset(1, std::string(255, 'n'), std::string(255, 't'), Bytes(65535, 2));
    Bytes out = {0xAB};
    ASSERT_TRUE(biggest.encode_into(out).ok());
    EXPECT_EQ(out.size(), 1 + 3 + 3 + 255 + 3 + 255 + 3 + 65535u);
    EXPECT_EQ(Bytes(out.begin() + 1, out.end()), encoded(biggest));
    // A write record ignores parts it does not carry.
    auto extra = with(JournalRecord::record_write(1, kIndex), [](auto& r) { r.name = "x"; });
    EXPECT_EQ(encoded(extra), encoded(JournalRecord::record_write(1, kIndex)));
}

TEST(JournalRecord, DecodeRefusesCorruptRecords) {
    const Bytes write = cat({{17, 1, 9, 16}, kIndexBytes});
    const Bytes append = cat({{19, 1, 9, 16}, kIndexBytes, {17, 1, 0, 0, 0, 2, 0, 0, 0}});
    struct Case {
        Bytes bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, "journal record truncated: 1 bytes needed at offset 0, 0 left"},
        {{3, 1, 1}, "unknown journal log type: 3"},
        {{0}, "unknown journal log type: 0"},
        {{17}, "journal record truncated: 1 bytes needed at offset 1, 0 left"},
        {{17, 0, 1}, "invalid journal identifier width code: 0"},
        {{17, 5, 1}, "invalid journal identifier width code: 5"},
        {{17, 3, 1, 2}, "journal record truncated: 4 bytes needed at offset 2, 2 left"},
        {cat({{17, 1, 0, 16}, kIndexBytes}), "journal dataset identifier must be > 0"},
        {{17, 1, 9}, "journal index_info is missing"},
        {cat({{18, 1, 9, 17}, kIndexBytes}), "journal index_info is missing"},
        {{17, 1, 9, 16, 1, 2, 3, 4, 5}, "journal record truncated: 18 bytes needed at offset 4, 5 left"},
        {cat({write, {0}}), "journal record has 1 trailing bytes"},
        {cat({{19, 1, 9, 16}, kIndexBytes}), "journal append_info is missing"},
        {cat({{19, 1, 9, 16}, kIndexBytes, {16}}), "journal append_info is missing"},
        {Bytes(append.begin(), append.end() - 1), "journal record truncated: 8 bytes needed at offset 23, 7 left"},
        {cat({append, {1, 2}}), "journal record has 2 trailing bytes"},
        {{1, 1, 9, 17, 1, 0, 't', 18, 0, 0}, "journal name is missing"},
        {{1, 1, 9, 16, 1, 0, 'n', 18, 0, 0}, "journal dataset type is missing"},
        {{2, 1, 9, 16, 1, 0, 'n', 17, 1, 0, 't'}, "journal metadata is missing"},
        {{1, 1, 9, 16, 1, 0, 'n', 19, 0, 0}, "unknown journal field tag: 19"},
        {{1, 1, 9, 16, 1, 0, 'n', 16, 1, 0, 'm'}, "duplicate journal field tag: 16"},
        {{1, 1, 9, 16, 0xFF, 0xFF, 'n'}, "journal record truncated: 65535 bytes needed at offset 6, 1 left"},
        {{1, 1, 9, 16, 1}, "journal record truncated: 2 bytes needed at offset 4, 1 left"},
        {cat({{1, 1, 9, 16, 0, 1}, Bytes(256, 'n'), {17, 1, 0, 't', 18, 0, 0}}),
         "journal name must be at most 255 bytes"},
        {cat({{1, 1, 9, 16, 1, 0, 'n', 17, 0, 1}, Bytes(256, 't'), {18, 0, 0}}),
         "journal dataset type must be at most 255 bytes"},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_error(c.bytes), "invalid data: " + c.error);

    // Every proper prefix of every record is refused; random damage never reads out of bounds.
    const std::vector<Bytes> valid = {write, append, encoded(JournalRecord::record_delete(70000, kIndex)),
                                      encoded(JournalRecord::create_dataset(300, "name", "type", {1, 2, 3})),
                                      encoded(JournalRecord::drop_dataset(~uint64_t{0}, "n", "t", Bytes(40, 7)))};
    for (const auto& v : valid) {
        for (size_t n = 0; n < v.size(); ++n) {
            auto r = JournalRecord::decode(std::span<const uint8_t>(v.data(), n));
            ASSERT_FALSE(r.ok()) << "prefix " << n;
            EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
        }
    }
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        Bytes b = valid[rng() % valid.size()];
        for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        b.resize(b.size() - rng() % 2);
        auto r = JournalRecord::decode(b);
        if (r.ok()) EXPECT_EQ(r->identifier == 0, false);
        else EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    }
}

TEST(JournalRecord, ValidateDatasetEvent) {
    struct Case {
        uint64_t id;
        size_t name, type, meta;
        std::string error;
    };
    for (const auto& c : std::vector<Case>{
             {1, 255, 255, 65535, "ok"},
             {0, 1, 1, 0, "invalid data: journal dataset identifier must be > 0"},
             {1, 256, 1, 0, "invalid data: journal name must be at most 255 bytes"},
             {1, 1, 256, 0, "invalid data: journal dataset type must be at most 255 bytes"},
             {1, 1, 1, 65536, "invalid data: journal metadata must be at most 65535 bytes"},
         }) {
        auto st = validate_dataset_event(c.id, DataSetKey{std::string(c.name, 'n'), std::string(c.type, 't')}, c.meta);
        EXPECT_EQ(st.ok() ? "ok" : st.error().to_string(), c.error);
    }
}

TEST(JournalRecord, ReadMetaTlvArea) {
    TempDir dir;
    DatasetMetaFile meta;
    meta.data_segment_size = 1 << 20;
    meta.compress_level = 3;
    meta.create_time = 1700000000000;
    const std::string path = dir.file("meta");
    ASSERT_TRUE(meta.write(path).ok());
    auto area = read_meta_tlv_area(path);
    ASSERT_TRUE(area.ok()) << area.error().to_string();
    const Bytes file = meta.encode();
    EXPECT_EQ(*area, Bytes(file.begin() + 8, file.end()));
    EXPECT_EQ(area->size(), DatasetMetaFile::kAreaLength);

    struct Case {
        Bytes bytes;
        std::string result;  // the area as text, or the error
    };
    for (const auto& c : std::vector<Case>{
             {{}, "invalid data: meta file too short"},
             {{'B', 'R', 'V', 'M', 1, 0, 0}, "invalid data: meta file too short"},
             {{'B', 'R', 'V', 'M', 1, 0, 5, 0, 'a', 'b', 'c', 'd'}, "invalid data: meta file truncated"},
             {{'B', 'R', 'V', 'M', 1, 0, 0, 1, 'a'}, "invalid data: meta file truncated"},
             {{'B', 'R', 'V', 'M', 1, 0, 0, 0}, ""},
             {{'B', 'R', 'V', 'M', 1, 0, 3, 0, 'x', 'y', 'z', 'w'}, "xyz"},
         }) {
        ASSERT_TRUE(write_file_atomic(path, std::string(c.bytes.begin(), c.bytes.end())).ok());
        auto r = read_meta_tlv_area(path);
        EXPECT_EQ(r.ok() ? std::string(r->begin(), r->end()) : r.error().to_string(), c.result);
    }
    auto missing = read_meta_tlv_area(dir.file("absent"));
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.error().is_io_code(ENOENT));
}

}  // namespace
}  // namespace brenvale
