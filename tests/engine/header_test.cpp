#include "format/header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;

constexpr std::string_view kV2Warning = "File has version 2 but we know 1, parsing known fields only";

HeaderMeta sample_meta() {
    HeaderMeta m;
    m.created_ms = 1700000000123ULL;
    m.start_key = 0x0102030405060708ULL;
    m.size_limit = 67108864;
    m.compress_level = 6;
    m.compress_type = 1;
    return m;
}

DataSegmentState sample_state() {
    DataSegmentState s;
    s.min_timestamp = -5;
    s.max_timestamp = 99;
    s.wrote_position = 4096;
    s.record_count = 17;
    s.raw_record_bytes = 1234;
    s.pending_position = 77;
    s.pending_wrote_position = 88;
    s.pending_count = 3;
    s.invalid_record_count = 2;
    return s;
}

std::vector<uint8_t> data_file(size_t size = 256) {
    std::vector<uint8_t> b(size, 0);
    DataHeader::write(b, sample_meta(), sample_state());
    return b;
}

std::vector<uint8_t> index_file(size_t size = 256) {
    std::vector<uint8_t> b(size, 0);
    IndexHeader::write(b, sample_meta(), 160);
    return b;
}

// Builds a header with a hand-made metadata area: prefix, the given TLV bytes,
// state_length and a state block of `state_length` bytes filled with 0x11.
std::vector<uint8_t> custom_file(uint8_t file_type, uint16_t version, const std::vector<uint8_t>& tlv,
                                 uint16_t state_length, size_t total = 0) {
    const size_t state_pos = kHeaderPrefixLen + tlv.size() + 2;
    std::vector<uint8_t> b(std::max(state_pos + state_length, total), 0);
    std::memcpy(b.data(), "BRVL", 4);
    store_u16(b.data() + 4, version);
    b[6] = file_type;
    store_u16(b.data() + 7, static_cast<uint16_t>(tlv.size()));
    std::copy(tlv.begin(), tlv.end(), b.begin() + kHeaderPrefixLen);
    store_u16(b.data() + state_pos - 2, state_length);
    std::fill(b.begin() + state_pos, b.begin() + state_pos + state_length, 0x11);
    return b;
}

void tlv_u64(std::vector<uint8_t>& v, uint8_t tag, uint64_t value) {
    uint8_t buf[11];
    buf[0] = tag;
    store_u16(buf + 1, 8);
    store_u64(buf + 3, value);
    v.insert(v.end(), buf, buf + 11);
}

void tlv_raw(std::vector<uint8_t>& v, uint8_t tag, std::vector<uint8_t> value) {
    v.push_back(tag);
    v.push_back(static_cast<uint8_t>(value.size()));
    v.push_back(static_cast<uint8_t>(value.size() >> 8));
    v.insert(v.end(), value.begin(), value.end());
}

template <typename T>
std::string err_text(const Result<T>& r) {
    return r.ok() ? std::string("<ok>") : r.error().to_string();
}

TEST(HeaderLayout, DataHeaderBytesAndRoundTrip) {
    auto b = data_file(200);
    EXPECT_EQ(0, std::memcmp(b.data(), "BRVL", 4));
    EXPECT_EQ(load_u16(&b[4]), 1);
    EXPECT_EQ(b[6], kFileTypeData);
    EXPECT_EQ(load_u16(&b[7]), 41);
    // The five metadata entries at fixed offsets.
    EXPECT_EQ(b[9], 1);
    EXPECT_EQ(load_u16(&b[10]), 8);
    EXPECT_EQ(load_u64(&b[12]), 1700000000123ULL);
    EXPECT_EQ(b[20], 2);
    EXPECT_EQ(load_u16(&b[21]), 8);
    EXPECT_EQ(load_u64(&b[23]), 0x0102030405060708ULL);
    EXPECT_EQ(b[31], 3);
    EXPECT_EQ(load_u64(&b[34]), 67108864u);
    EXPECT_EQ(b[42], 4);
    EXPECT_EQ(load_u16(&b[43]), 1);
    EXPECT_EQ(b[45], 6);
    EXPECT_EQ(b[46], 5);
    EXPECT_EQ(load_u16(&b[47]), 1);
    EXPECT_EQ(b[49], 1);
    // State block.
    EXPECT_EQ(load_u16(&b[50]), 72);
    EXPECT_EQ(load_i64(&b[52]), -5);
    EXPECT_EQ(load_i64(&b[60]), 99);
    EXPECT_EQ(load_u64(&b[68]), 4096u);
    EXPECT_EQ(load_u64(&b[76]), 17u);
    EXPECT_EQ(load_u64(&b[84]), 1234u);
    EXPECT_EQ(load_u64(&b[92]), 77u);
    EXPECT_EQ(load_u64(&b[100]), 88u);
    EXPECT_EQ(load_u64(&b[108]), 3u);
    EXPECT_EQ(load_u64(&b[116]), 2u);
    for (size_t i = kDataHeaderLen; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "byte " << i;

    auto h = DataHeader::read(b);
    ASSERT_TRUE(h.ok()) << err_text(h);
    EXPECT_EQ(h->prefix.version, 1);
    EXPECT_EQ(h->prefix.file_type, kFileTypeData);
    EXPECT_EQ(h->prefix.content_length, 41);
    EXPECT_EQ(h->meta.created_ms, 1700000000123ULL);
    EXPECT_EQ(h->meta.start_key, 0x0102030405060708ULL);
    EXPECT_EQ(h->meta.size_limit, 67108864u);
    EXPECT_EQ(h->meta.compress_level, 6);
    EXPECT_EQ(h->meta.compress_type, 1);
    EXPECT_EQ(h->state_length, 72);
    EXPECT_EQ(h->header_length, 124u);
    EXPECT_EQ(h->state.min_timestamp, -5);
    EXPECT_EQ(h->state.max_timestamp, 99);
    EXPECT_EQ(h->state.wrote_position, 4096u);
    EXPECT_EQ(h->state.record_count, 17u);
    EXPECT_EQ(h->state.raw_record_bytes, 1234u);
    EXPECT_EQ(h->state.pending_position, 77u);
    EXPECT_EQ(h->state.pending_wrote_position, 88u);
    EXPECT_EQ(h->state.pending_count, 3u);
    EXPECT_EQ(h->state.invalid_record_count, 2u);

    // A fresh state reads back with its creation values; exactly 124 bytes suffice.
    std::vector<uint8_t> fresh(kDataHeaderLen, 0);
    DataHeader::write(fresh, HeaderMeta{}, DataSegmentState{});
    auto f = DataHeader::read(fresh);
    ASSERT_TRUE(f.ok()) << err_text(f);
    EXPECT_EQ(f->state.min_timestamp, INT64_MAX);
    EXPECT_EQ(f->state.max_timestamp, INT64_MIN);
    EXPECT_EQ(f->state.wrote_position, 124u);
    EXPECT_EQ(f->state.pending_position, ~uint64_t{0});
}

TEST(HeaderLayout, IndexHeaderBytesAndRoundTrip) {
    std::vector<uint8_t> b(kIndexHeaderLen + 8, 0xEE);
    HeaderMeta m = sample_meta();
    m.start_key = static_cast<uint64_t>(int64_t{-42});
    m.compress_type = 0;
    IndexHeader::write(b, m, 160);
    EXPECT_EQ(b[6], kFileTypeIndex);
    EXPECT_EQ(load_u16(&b[50]), 8);
    EXPECT_EQ(load_u64(&b[52]), 160u);
    for (size_t i = 60; i < kIndexHeaderLen; ++i) ASSERT_EQ(b[i], 0) << "reserved byte " << i;
    for (size_t i = kIndexHeaderLen; i < b.size(); ++i) ASSERT_EQ(b[i], 0xEE) << "entry byte " << i;

    // Reserved bytes are not examined by the reader.
    b[100] = 0x5A;
    auto h = IndexHeader::read(b);
    ASSERT_TRUE(h.ok()) << err_text(h);
    EXPECT_EQ(static_cast<int64_t>(h->meta.start_key), -42);
    EXPECT_EQ(h->meta.size_limit, 67108864u);
    EXPECT_EQ(h->state_length, 8);
    EXPECT_EQ(h->wrote_position, 160u);
    EXPECT_EQ(h->header_length, 128u);
}

TEST(HeaderLayout, BlockHeaderRoundTripLeavesNeighboursAlone) {
    std::vector<uint8_t> b(64, 0xFF);
    BlockHeader in;
    in.payload_size = 0xA1B2C3D4;
    in.flags = BlockHeader::kSealed | BlockHeader::kCompressed | BlockHeader::kSingleRecord;
    in.record_count = 65535;
    in.uncompressed_size = 4194304;
    BlockHeader::write(b, 37, in);
    EXPECT_EQ(load_u32(&b[37]), 0xA1B2C3D4u);
    EXPECT_EQ(load_u16(&b[41]), 7);
    EXPECT_EQ(load_u16(&b[43]), 65535);
    EXPECT_EQ(load_u32(&b[45]), 4194304u);
    EXPECT_EQ(load_u32(&b[49]), 0u);
    EXPECT_EQ(b[36], 0xFF);
    EXPECT_EQ(b[53], 0xFF);
    BlockHeader out = BlockHeader::read(b, 37);
    EXPECT_EQ(out.payload_size, in.payload_size);
    EXPECT_EQ(out.flags, in.flags);
    EXPECT_EQ(out.record_count, in.record_count);
    EXPECT_EQ(out.uncompressed_size, in.uncompressed_size);
}

TEST(HeaderRefusal, PrefixTruncationAndMagic) {
    auto b = data_file();
    auto p8 = FileHeader::read_prefix(std::span<const uint8_t>(b.data(), 8));
    ASSERT_FALSE(p8.ok());
    EXPECT_EQ(p8.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(p8.error().to_string(), "invalid data: truncated fixed header prefix: need 9 bytes, got 8");
    EXPECT_EQ(err_text(DataHeader::read(std::span<const uint8_t>(b.data(), 8))),
              "invalid data: truncated fixed header prefix: need 9 bytes, got 8");
    EXPECT_EQ(err_text(IndexHeader::read(std::span<const uint8_t>())),
              "invalid data: truncated fixed header prefix: need 9 bytes, got 0");

    // The prefix alone is enough for read_prefix but not for the metadata.
    EXPECT_TRUE(FileHeader::read_prefix(std::span<const uint8_t>(b.data(), 9)).ok());
    EXPECT_EQ(err_text(DataHeader::read(std::span<const uint8_t>(b.data(), 49))),
              "invalid data: truncated meta tlv: need 50 bytes, got 49");

    b[3] = 'X';
    auto d = DataHeader::read(b);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind(), ErrorKind::InvalidMagic);
    EXPECT_EQ(d.error().to_string(), "invalid file magic: expected b\"BRVL\"");
    auto i = IndexHeader::read(b);
    ASSERT_FALSE(i.ok());
    EXPECT_EQ(i.error().kind(), ErrorKind::InvalidMagic);
    EXPECT_EQ(DataSegmentState::write_invalid_count(b, 1).error().kind(), ErrorKind::InvalidMagic);
}

TEST(HeaderVersion, NewerDataFileWarnsOnEveryReadAndUpdate) {
    LogCapture logs;
    auto b = data_file();
    store_u16(&b[4], 2);
    auto h = DataHeader::read(b);
    ASSERT_TRUE(h.ok()) << err_text(h);
    EXPECT_EQ(h->prefix.version, 2);
    EXPECT_EQ(h->state.record_count, 17u);
    EXPECT_TRUE(logs.contains(log::Level::Warn, log::kHeader, kV2Warning));
    EXPECT_EQ(logs.count(kV2Warning), 1u);

    ASSERT_TRUE(DataSegmentState::write_core(b, 1, 2, 300, 4, 50).ok());
    ASSERT_TRUE(DataSegmentState::write_pending(b, 10, 20, 1).ok());
    ASSERT_TRUE(DataSegmentState::write_invalid_count(b, 9).ok());
    EXPECT_EQ(logs.count(kV2Warning), 4u);
    ASSERT_TRUE(DataHeader::read(b).ok());
    EXPECT_EQ(logs.count(kV2Warning), 5u);
    EXPECT_EQ(load_u64(&b[116]), 9u);

    // Versions 0 and 1 are silent.
    logs.clear();
    store_u16(&b[4], 0);
    ASSERT_TRUE(DataHeader::read(b).ok());
    store_u16(&b[4], 1);
    ASSERT_TRUE(DataSegmentState::write_invalid_count(b, 1).ok());
    EXPECT_TRUE(logs.records().empty());
}

TEST(HeaderVersion, IndexFileOfAnotherVersionIsRefused) {
    LogCapture logs;
    auto b = index_file();
    store_u16(&b[4], 2);
    EXPECT_EQ(err_text(IndexHeader::read(b)), "invalid data: unsupported index file version 2, expected 1");
    EXPECT_TRUE(logs.contains(log::Level::Warn, log::kHeader, kV2Warning));

    // The version test comes before the metadata: a truncated area still reports the version.
    EXPECT_EQ(err_text(IndexHeader::read(std::span<const uint8_t>(b.data(), 20))),
              "invalid data: unsupported index file version 2, expected 1");

    logs.clear();
    store_u16(&b[4], 0);
    EXPECT_EQ(err_text(IndexHeader::read(b)), "invalid data: unsupported index file version 0, expected 1");
    EXPECT_TRUE(logs.records().empty());
}

TEST(HeaderMetaTlv, UnknownAndMalformedEntries) {
    // Unknown tag 9 (length 4) between tags 2 and 3: all five values still read.
    std::vector<uint8_t> tlv;
    tlv_u64(tlv, 1, 111);
    tlv_u64(tlv, 2, 222);
    tlv_raw(tlv, 9, {1, 2, 3, 4});
    tlv_u64(tlv, 3, 333);
    tlv_raw(tlv, 4, {7});
    tlv_raw(tlv, 5, {1});
    auto b = custom_file(kFileTypeData, 1, tlv, 72);
    auto h = DataHeader::read(b);
    ASSERT_TRUE(h.ok()) << err_text(h);
    EXPECT_EQ(h->meta.created_ms, 111u);
    EXPECT_EQ(h->meta.start_key, 222u);
    EXPECT_EQ(h->meta.size_limit, 333u);
    EXPECT_EQ(h->meta.compress_level, 7);
    EXPECT_EQ(h->meta.compress_type, 1);
    EXPECT_EQ(h->header_length, 11 + tlv.size() + 72);
    EXPECT_EQ(h->state.min_timestamp, 0x1111111111111111LL);

    // Tag 1 with length 4 is skipped; tag 4 with length 2 too.
    tlv.clear();
    tlv_raw(tlv, 1, {9, 9, 9, 9});
    tlv_u64(tlv, 2, 5);
    tlv_raw(tlv, 4, {3, 3});
    auto m = FileHeader::read_meta(custom_file(kFileTypeData, 1, tlv, 72), static_cast<uint16_t>(tlv.size()));
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m->created_ms, 0u);
    EXPECT_EQ(m->start_key, 5u);
    EXPECT_EQ(m->compress_level, 0);

    // A value running past the area ends the scan without error.
    tlv.clear();
    tlv_u64(tlv, 2, 5);
    tlv.insert(tlv.end(), {3, 8, 0, 1, 2});  // tag 3 claims 8 bytes, only 2 inside
    m = FileHeader::read_meta(custom_file(kFileTypeData, 1, tlv, 72), static_cast<uint16_t>(tlv.size()));
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m->start_key, 5u);
    EXPECT_EQ(m->size_limit, 0u);

    // An area shorter than one entry head yields all zeros.
    tlv = {1, 8};
    m = FileHeader::read_meta(custom_file(kFileTypeData, 1, tlv, 72), 2);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m->created_ms, 0u);
    EXPECT_EQ(m->compress_type, 0);
}

TEST(HeaderRefusal, DataHeaderLengths) {
    std::vector<uint8_t> meta_area(41, 0);
    {
        std::vector<uint8_t> full(kDataHeaderLen, 0);
        FileHeader::write_prefix_and_meta(full, kFileTypeData, sample_meta());
        std::memcpy(meta_area.data(), full.data() + 9, 41);
    }
    // A longer state block is accepted; the extra bytes are skipped.
    auto b80 = custom_file(kFileTypeData, 1, meta_area, 80);
    store_u64(&b80[52 + 16], 4242);
    auto h = DataHeader::read(b80);
    ASSERT_TRUE(h.ok()) << err_text(h);
    EXPECT_EQ(h->state_length, 80);
    EXPECT_EQ(h->header_length, 132u);
    EXPECT_EQ(h->state.wrote_position, 4242u);
    EXPECT_EQ(h->state.invalid_record_count, 0x1111111111111111ULL);

    EXPECT_EQ(err_text(DataHeader::read(custom_file(kFileTypeData, 1, meta_area, 71))),
              "invalid data: data state_length 71 is smaller than v1 72");
    auto b = data_file(kDataHeaderLen);
    EXPECT_EQ(err_text(DataHeader::read(std::span<const uint8_t>(b.data(), 51))),
              "invalid data: truncated data state_length: need 52 bytes, got 51");
    EXPECT_EQ(err_text(DataHeader::read(std::span<const uint8_t>(b.data(), 123))),
              "invalid data: truncated data header: need 124 bytes, got 123");

    b[49] = 2;  // compress type
    auto r = DataHeader::read(b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().to_string(), "invalid data: unknown compress_type 2");
}

TEST(HeaderRefusal, IndexHeaderLengths) {
    std::vector<uint8_t> meta_area(41, 0);
    // State block ending at 129 (11 + 41 + 77).
    EXPECT_EQ(err_text(IndexHeader::read(custom_file(kFileTypeIndex, 1, meta_area, 77, 256))),
              "invalid data: index header content length 129 exceeds reserved entry start 128");
    // Ending exactly at 128 is accepted.
    auto ok = IndexHeader::read(custom_file(kFileTypeIndex, 1, meta_area, 76, 256));
    ASSERT_TRUE(ok.ok()) << err_text(ok);
    EXPECT_EQ(ok->header_length, 128u);
    EXPECT_EQ(err_text(IndexHeader::read(custom_file(kFileTypeIndex, 1, meta_area, 7, 256))),
              "invalid data: index state_length 7 is smaller than v1 8");

    auto b = index_file();
    EXPECT_EQ(err_text(IndexHeader::read(std::span<const uint8_t>(b.data(), 51))),
              "invalid data: truncated index state_length: need 52 bytes, got 51");
    EXPECT_EQ(err_text(IndexHeader::read(std::span<const uint8_t>(b.data(), 127))),
              "invalid data: truncated index header reserved area: need 128 bytes, got 127");
    b[49] = 2;
    EXPECT_EQ(err_text(IndexHeader::read(b)), "invalid data: unknown compress_type 2");
}

TEST(HeaderStateUpdate, InPlaceWritersTouchOnlyTheirFields) {
    auto b = data_file();
    const auto before = b;
    ASSERT_TRUE(DataSegmentState::write_core(b, INT64_MIN, INT64_MAX, 9000, 5, 600).ok());
    EXPECT_EQ(load_i64(&b[52]), INT64_MIN);
    EXPECT_EQ(load_i64(&b[60]), INT64_MAX);
    EXPECT_EQ(load_u64(&b[68]), 9000u);
    EXPECT_EQ(load_u64(&b[76]), 5u);
    EXPECT_EQ(load_u64(&b[84]), 600u);
    EXPECT_TRUE(std::equal(b.begin() + 92, b.end(), before.begin() + 92));
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 52, before.begin()));

    ASSERT_TRUE(DataSegmentState::write_pending(b, kNoPendingBlock, 0, 0).ok());
    EXPECT_EQ(load_u64(&b[92]), kNoPendingBlock);
    EXPECT_EQ(load_u64(&b[100]), 0u);
    EXPECT_EQ(load_u64(&b[108]), 0u);
    EXPECT_EQ(load_u64(&b[116]), 2u);
    ASSERT_TRUE(DataSegmentState::write_invalid_count(b, 31).ok());
    EXPECT_EQ(load_u64(&b[116]), 31u);
    EXPECT_TRUE(std::equal(b.begin() + 124, b.end(), before.begin() + 124));

    // The state block follows a metadata area of another length.
    std::vector<uint8_t> tlv;
    tlv_u64(tlv, 1, 1);
    tlv_raw(tlv, 9, {0, 0});
    auto c = custom_file(kFileTypeData, 1, tlv, 72);
    auto pos = FileHeader::locate_state(c, kFileTypeData, 64);
    ASSERT_TRUE(pos.ok()) << err_text(pos);
    EXPECT_EQ(*pos, 11 + tlv.size());
    ASSERT_TRUE(DataSegmentState::write_invalid_count(c, 12).ok());
    EXPECT_EQ(load_u64(&c[*pos + 64]), 12u);
}

TEST(HeaderStateUpdate, Refusals) {
    auto idx = index_file();
    EXPECT_EQ(err_text(DataSegmentState::write_core(idx, 0, 0, 0, 0, 0)), "invalid data: unexpected file_type 1");
    EXPECT_EQ(err_text(FileHeader::locate_state(idx, kFileTypeJournal, 0)), "invalid data: unexpected file_type 1");

    std::vector<uint8_t> meta_area(41, 0);
    auto small = custom_file(kFileTypeData, 1, meta_area, 60);
    EXPECT_EQ(err_text(DataSegmentState::write_invalid_count(small, 1)),
              "invalid data: state field offset 64 exceeds state_length 60");
    EXPECT_EQ(err_text(DataSegmentState::write_pending(small, 1, 1, 1)),
              "invalid data: state field offset 56 exceeds state_length 60");
    const auto untouched = small;
    EXPECT_EQ(small, untouched);
    // The last field of write_core ends at 40: a 40-byte state block takes it.
    auto forty = custom_file(kFileTypeData, 1, meta_area, 40);
    ASSERT_TRUE(DataSegmentState::write_core(forty, 1, 2, 3, 4, 5).ok());
    EXPECT_EQ(load_u64(&forty[52 + 32]), 5u);

    auto b = data_file(kDataHeaderLen);
    EXPECT_EQ(err_text(DataSegmentState::write_core(std::span<uint8_t>(b.data(), 51), 0, 0, 0, 0, 0)),
              "invalid data: truncated state_length: need 52 bytes, got 51");
    EXPECT_EQ(err_text(DataSegmentState::write_core(std::span<uint8_t>(b.data(), 100), 0, 0, 0, 0, 0)),
              "invalid data: truncated state: need 124 bytes, got 100");
    // A failed update writes nothing.
    auto copy = b;
    EXPECT_FALSE(DataSegmentState::write_pending(std::span<uint8_t>(b.data(), 123), 1, 1, 1).ok());
    EXPECT_EQ(b, copy);
}

TEST(HeaderCheck, CheckAvailable) {
    EXPECT_TRUE(check_available("x", 10, 10).ok());
    EXPECT_TRUE(check_available("x", 0, 0).ok());
    auto r = check_available("block", 16, 15);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "invalid data: truncated block: need 16 bytes, got 15");
}

}  // namespace
}  // namespace brenvale
