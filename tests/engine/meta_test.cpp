#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "file.h"
#include "format/meta.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

DatasetMetaFile sample() {
    DatasetMetaFile m;
    m.data_segment_size = 1 << 20;
    m.index_segment_size = 1 << 16;
    m.compress_level = 7;
    m.compress_type = 1;
    m.create_time = 1700000000123;
    m.index_continuous = 1;
    m.initial_data_segment_size = 4096;
    m.initial_index_segment_size = 1024;
    m.retention_window = 3600;
    m.enable_journal = false;
    m.timestamp_units_per_seconds = 1000;
    return m;
}

std::string error_of(const std::vector<uint8_t>& bytes) {
    auto r = DatasetMetaFile::decode(bytes.data(), bytes.size());
    return r.ok() ? "ok" : r.error().to_string();
}

// A file header with the given area bytes.
std::vector<uint8_t> with_area(const std::vector<uint8_t>& area, uint16_t version = 1) {
    std::vector<uint8_t> b(8 + area.size());
    std::memcpy(b.data(), "BRVM", 4);
    store_u16(b.data() + 4, version);
    store_u16(b.data() + 6, static_cast<uint16_t>(area.size()));
    if (!area.empty()) std::memcpy(b.data() + 8, area.data(), area.size());
    return b;
}

void tlv(std::vector<uint8_t>& a, uint8_t tag, uint64_t v, uint16_t len) {
    a.push_back(tag);
    a.push_back(static_cast<uint8_t>(len));
    a.push_back(static_cast<uint8_t>(len >> 8));
    for (uint16_t i = 0; i < len; ++i) a.push_back(i < 8 ? static_cast<uint8_t>(v >> (8 * i)) : 0);
}

std::vector<uint8_t> minimal_area() {
    std::vector<uint8_t> a;
    tlv(a, 1, 1000, 8);
    tlv(a, 2, 500, 8);
    tlv(a, 9, 0, 1);
    return a;
}

TEST(MetaFileTest, WritesTheExact101ByteLayoutAndReadsItBack) {
    TempDir dir;
    DatasetMetaFile m = sample();
    ASSERT_TRUE(m.write(dir.file("meta")).ok());
    auto raw = read_file(dir.file("meta"));
    ASSERT_TRUE(raw.ok());
    ASSERT_EQ(raw->size(), 101u);
    const auto* b = reinterpret_cast<const uint8_t*>(raw->data());
    EXPECT_EQ(std::string(raw->data(), 4), "BRVM");
    EXPECT_EQ(load_u16(b + 4), 1);
    EXPECT_EQ(load_u16(b + 6), 93);
    // Tag order: 1, 2, 3, 9, 4, 5, 6, 7, 8, 10, 11.
    const size_t tag_at[] = {8, 19, 30, 34, 38, 49, 53, 64, 75, 86, 90};
    const uint8_t tags[] = {1, 2, 3, 9, 4, 5, 6, 7, 8, 10, 11};
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(b[tag_at[i]], tags[i]) << i;
    EXPECT_EQ(load_u64(b + 11), m.data_segment_size);
    EXPECT_EQ(b[33], 7);
    EXPECT_EQ(b[37], 1);
    EXPECT_EQ(load_u64(b + 41), m.create_time);
    EXPECT_EQ(b[89], 0);
    EXPECT_EQ(load_u64(b + 93), 1000u);
    auto back = DatasetMetaFile::read(dir.file("meta"));
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(*back, m);
}

TEST(MetaFileTest, DefaultsForAbsentTags) {
    auto r = DatasetMetaFile::decode(with_area(minimal_area()).data(), with_area(minimal_area()).size());
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_TRUE(r->enable_journal);
    EXPECT_EQ(r->initial_data_segment_size, 1000u);
    EXPECT_EQ(r->initial_index_segment_size, 500u);
    EXPECT_EQ(r->create_time, 0u);
    EXPECT_EQ(r->timestamp_units_per_seconds, 0u);
    // An explicit initial size of 0 also takes the segment size; unknown tags are skipped;
    // a later duplicate overwrites.
    auto a = minimal_area();
    tlv(a, 6, 0, 8);
    tlv(a, 12, 99, 5);
    tlv(a, 1, 2000, 8);
    auto r2 = DatasetMetaFile::decode(with_area(a).data(), with_area(a).size());
    ASSERT_TRUE(r2.ok());
    EXPECT_EQ(r2->data_segment_size, 2000u);
    EXPECT_EQ(r2->initial_data_segment_size, 2000u);
}

TEST(MetaFileTest, RefusalsInOrder) {
    EXPECT_EQ(error_of({'B', 'R', 'V', 'M', 1, 0, 0}), "invalid data: meta file too short");
    EXPECT_EQ(error_of({'X', 'R', 'V', 'M', 1, 0, 0, 0}), "invalid data: invalid meta magic");
    EXPECT_EQ(error_of(with_area({})), "invalid data: meta missing data_segment_size");
    EXPECT_EQ(error_of(with_area({1, 0})), "invalid data: meta TLV data has trailing partial entry");
    auto truncated = with_area(minimal_area());
    truncated.resize(truncated.size() - 1);
    EXPECT_EQ(error_of(truncated), "invalid data: meta file truncated");

    auto a = minimal_area();
    a.push_back(1);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta TLV data has trailing partial entry");
    a = minimal_area();
    a.insert(a.end(), {4, 9, 0, 1, 2});
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta TLV entry truncated");
    a = minimal_area();
    tlv(a, 10, 2, 1);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta enable_journal must be 0 or 1");

    std::vector<uint8_t> short_tag1;
    tlv(short_tag1, 1, 1000, 4);  // wrong length: skipped
    tlv(short_tag1, 2, 500, 8);
    tlv(short_tag1, 9, 0, 1);
    EXPECT_EQ(error_of(with_area(short_tag1)), "invalid data: meta missing data_segment_size");
    std::vector<uint8_t> no_index;
    tlv(no_index, 1, 1000, 8);
    tlv(no_index, 9, 0, 1);
    EXPECT_EQ(error_of(with_area(no_index)), "invalid data: meta missing index_segment_size");
    a = minimal_area();
    tlv(a, 3, 10, 1);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta compress_level must be <= 9");
    std::vector<uint8_t> no_type;
    tlv(no_type, 1, 1000, 8);
    tlv(no_type, 2, 500, 8);
    EXPECT_EQ(error_of(with_area(no_type)), "invalid data: meta missing compress_type");
    a = minimal_area();
    tlv(a, 9, 2, 1);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: unknown compress_type 2");
    a = minimal_area();
    tlv(a, 5, 2, 1);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta index_continuous must be 0 or 1");
    a = minimal_area();
    tlv(a, 6, 1001, 8);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta initial_data_segment_size exceeds data_segment_size");
    a = minimal_area();
    tlv(a, 7, 501, 8);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: meta initial_index_segment_size exceeds index_segment_size");
    a = minimal_area();
    tlv(a, 8, uint64_t{1} << 63, 8);
    EXPECT_EQ(error_of(with_area(a)), "invalid data: retention_window must be <= i64::MAX, got 9223372036854775808");
}

TEST(MetaFileTest, NewerVersionWarnsAndIgnoresTrailingBytes) {
    LogCapture cap;
    auto b = with_area(minimal_area(), 2);
    b.push_back(0xEE);
    auto r = DatasetMetaFile::decode(b.data(), b.size());
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(cap.contains(log::Level::Warn, "brenvale::meta", "Meta file has version 2, expected 1"));
}

TEST(MetaFileTest, MissingFileIsAnIoError) {
    TempDir dir;
    auto r = DatasetMetaFile::read(dir.file("meta"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace brenvale
