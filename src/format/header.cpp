// Segment file header, data/index header layouts and in-place state writers.
#include "format/header.h"

#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "codec.h"
#include "log.h"
#include "util.h"

namespace brenvale {

namespace {

constexpr uint8_t kMagic[4] = {'B', 'R', 'V', 'L'};

// Tags of the five metadata entries.
constexpr uint8_t kTagCreated = 1;
constexpr uint8_t kTagStartKey = 2;
constexpr uint8_t kTagSizeLimit = 3;
constexpr uint8_t kTagCompressLevel = 4;
constexpr uint8_t kTagCompressType = 5;

constexpr size_t kTlvHeadLen = kMetaEntryHeadLen;
constexpr size_t kTlvU64Len = kTlvHeadLen + 8;
constexpr size_t kTlvU8Len = kTlvHeadLen + 1;

uint8_t* write_tlv_u64(uint8_t* p, uint8_t tag, uint64_t value) {
    p[0] = tag;
    store_u16(p + 1, 8);
    store_u64(p + kTlvHeadLen, value);
    return p + kTlvU64Len;
}

uint8_t* write_tlv_u8(uint8_t* p, uint8_t tag, uint8_t value) {
    p[0] = tag;
    store_u16(p + 1, 1);
    p[kTlvHeadLen] = value;
    return p + kTlvU8Len;
}

void write_state_fields(uint8_t* s, const DataSegmentState& st) {
    store_i64(s + data_state_at::kMin, st.min_timestamp);
    store_i64(s + data_state_at::kMax, st.max_timestamp);
    store_u64(s + data_state_at::kWrote, st.wrote_position);
    store_u64(s + data_state_at::kCount, st.record_count);
    store_u64(s + data_state_at::kRaw, st.raw_record_bytes);
    store_u64(s + data_state_at::kPendPos, st.pending_position);
    store_u64(s + data_state_at::kPendWrote, st.pending_wrote_position);
    store_u64(s + data_state_at::kPendCount, st.pending_count);
    store_u64(s + data_state_at::kInvalid, st.invalid_record_count);
}

std::span<const uint8_t> as_const(std::span<uint8_t> bytes) { return {bytes.data(), bytes.size()}; }

// The state length that follows a metadata area of content_length bytes ("{kind}
// state_length ..."); returns the position of the state block.
Result<size_t> read_state_length(std::span<const uint8_t> bytes, uint16_t content_length, std::string_view kind,
                                 uint16_t minimum, uint16_t* state_length) {
    const size_t state_pos = kHeaderPrefixLen + size_t{content_length} + 2;
    BRVL_TRY(check_available(fmt::format("{} state_length", kind), state_pos, bytes.size()));
    *state_length = load_u16(bytes.data() + state_pos - 2);
    if (*state_length < minimum)
        return invalid_data_fmt("{} state_length {} is smaller than v1 {}", kind, *state_length, minimum);
    return state_pos;
}

}  // namespace

Status check_available(std::string_view name, size_t need, size_t have) {
    if (have < need) return invalid_data_fmt("truncated {}: need {} bytes, got {}", name, need, have);
    return ok_status();
}

Result<HeaderPrefix> FileHeader::read_prefix(std::span<const uint8_t> bytes) {
    BRVL_TRY(check_available("fixed header prefix", kHeaderPrefixLen, bytes.size()));
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return Error::invalid_magic();
    HeaderPrefix prefix;
    prefix.version = version(bytes);
    prefix.file_type = bytes[header_at::kFileType];
    prefix.content_length = load_u16(bytes.data() + header_at::kContentLength);
    if (prefix.version > kHeaderVersion) {
        log::warn(log::kHeader, "File has version {} but we know {}, parsing known fields only", prefix.version,
                  kHeaderVersion);
    }
    return prefix;
}

Result<HeaderMeta> FileHeader::read_meta(std::span<const uint8_t> bytes, uint16_t content_length) {
    const size_t end = kHeaderPrefixLen + content_length;
    BRVL_TRY(check_available("meta tlv", end, bytes.size()));
    HeaderMeta meta;
    if (content_length < kTlvHeadLen) return meta;
    size_t pos = kHeaderPrefixLen;
    while (pos < end) {
        const size_t value = pos + kTlvHeadLen;
        const size_t len = value <= end ? load_u16(bytes.data() + pos + 1) : 0;
        if (value > end || value + len > end) {  // an entry running past the area ends the scan
            meta.truncated = true;
            break;
        }
        const uint8_t tag = bytes[pos];
        const uint8_t* v = bytes.data() + value;
        if (len == 8) {
            switch (tag) {
                case kTagCreated: meta.created_ms = load_u64(v); meta.present |= HeaderMeta::kHasCreated; break;
                case kTagStartKey: meta.start_key = load_u64(v); meta.present |= HeaderMeta::kHasStartKey; break;
                case kTagSizeLimit: meta.size_limit = load_u64(v); meta.present |= HeaderMeta::kHasSizeLimit; break;
                default: break;
            }
        } else if (len == 1) {
            if (tag == kTagCompressLevel) {
                meta.compress_level = v[0];
                meta.present |= HeaderMeta::kHasCompressLevel;
            } else if (tag == kTagCompressType) {
                meta.compress_type = v[0];
                meta.present |= HeaderMeta::kHasCompressType;
            }
        }
        pos = value + len;
    }
    return meta;
}

void FileHeader::write_prefix_and_meta(std::span<uint8_t> bytes, uint8_t file_type, const HeaderMeta& meta) {
    uint8_t* p = bytes.data();
    std::memcpy(p + header_at::kMagic, kMagic, sizeof kMagic);
    store_u16(p + header_at::kVersion, kHeaderVersion);
    p[header_at::kFileType] = file_type;
    store_u16(p + header_at::kContentLength, kMetaContentLength);
    uint8_t* t = p + kHeaderPrefixLen;
    t = write_tlv_u64(t, kTagCreated, meta.created_ms);
    t = write_tlv_u64(t, kTagStartKey, meta.start_key);
    t = write_tlv_u64(t, kTagSizeLimit, meta.size_limit);
    t = write_tlv_u8(t, kTagCompressLevel, meta.compress_level);
    write_tlv_u8(t, kTagCompressType, meta.compress_type);
}

uint16_t FileHeader::version(std::span<const uint8_t> bytes) { return load_u16(bytes.data() + header_at::kVersion); }

Result<size_t> FileHeader::locate_state(std::span<const uint8_t> bytes, uint8_t expected_file_type,
                                        size_t field_offset) {
    const HeaderPrefix prefix = BRVL_TRY(read_prefix(bytes));
    if (prefix.file_type != expected_file_type) return invalid_data_fmt("unexpected file_type {}", prefix.file_type);
    const size_t state_pos = kHeaderPrefixLen + size_t{prefix.content_length} + 2;
    BRVL_TRY(check_available("state_length", state_pos, bytes.size()));
    const size_t state_length = load_u16(bytes.data() + state_pos - 2);
    BRVL_TRY(check_available("state", state_pos + state_length, bytes.size()));
    if (field_offset > state_length || state_length - field_offset < 8) {
        return invalid_data_fmt("state field offset {} exceeds state_length {}", field_offset, state_length);
    }
    return state_pos;
}

Result<size_t> StateLocator::relocate(std::span<const uint8_t> bytes, uint8_t file_type, size_t field_offset,
                                      bool once_for_newer) {
    const size_t pos = BRVL_TRY(FileHeader::locate_state(bytes, file_type, field_offset));
    const bool keep = once_for_newer || FileHeader::version(bytes) <= kHeaderVersion;
    map_ = keep ? bytes.data() : nullptr;
    len_ = bytes.size();
    pos_ = pos;
    return pos;
}

Status DataSegmentState::write_core(std::span<uint8_t> bytes, int64_t min_ts, int64_t max_ts,
                                    uint64_t wrote_position, uint64_t record_count, uint64_t raw_record_bytes) {
    const size_t s = BRVL_TRY(FileHeader::locate_state(as_const(bytes), kFileTypeData, data_state_at::kRaw));
    uint8_t* p = bytes.data() + s;
    store_i64(p + data_state_at::kMin, min_ts);
    store_i64(p + data_state_at::kMax, max_ts);
    store_u64(p + data_state_at::kWrote, wrote_position);
    store_u64(p + data_state_at::kCount, record_count);
    store_u64(p + data_state_at::kRaw, raw_record_bytes);
    return ok_status();
}

Status DataSegmentState::write_pending(std::span<uint8_t> bytes, uint64_t position, uint64_t pending_wrote_position,
                                       uint64_t pending_count) {
    const size_t s = BRVL_TRY(FileHeader::locate_state(as_const(bytes), kFileTypeData, data_state_at::kPendCount));
    uint8_t* p = bytes.data() + s;
    store_u64(p + data_state_at::kPendPos, position);
    store_u64(p + data_state_at::kPendWrote, pending_wrote_position);
    store_u64(p + data_state_at::kPendCount, pending_count);
    return ok_status();
}

Status DataSegmentState::write_invalid_count(std::span<uint8_t> bytes, uint64_t invalid_record_count) {
    const size_t s = BRVL_TRY(FileHeader::locate_state(as_const(bytes), kFileTypeData, data_state_at::kInvalid));
    store_u64(bytes.data() + s + data_state_at::kInvalid, invalid_record_count);
    return ok_status();
}

void DataHeader::write(std::span<uint8_t> bytes, const HeaderMeta& meta, const DataSegmentState& state) {
    FileHeader::write_prefix_and_meta(bytes, kFileTypeData, meta);
    store_u16(bytes.data() + kStateLengthPos, kDataStateLength);
    write_state_fields(bytes.data() + kStatePos, state);
}

Result<DataHeader> DataHeader::read(std::span<const uint8_t> bytes) {
    DataHeader h;
    h.prefix = BRVL_TRY(FileHeader::read_prefix(bytes));
    h.meta = BRVL_TRY(FileHeader::read_meta(bytes, h.prefix.content_length));
    BRVL_TRY(codec::check_compress_type(h.meta.compress_type));
    const size_t state_pos = BRVL_TRY(read_state_length(bytes, h.prefix.content_length, "data", kDataStateLength,
                                                        &h.state_length));
    h.header_length = state_pos + h.state_length;
    BRVL_TRY(check_available("data header", h.header_length, bytes.size()));
    const uint8_t* s = bytes.data() + state_pos;
    h.state.min_timestamp = load_i64(s + data_state_at::kMin);
    h.state.max_timestamp = load_i64(s + data_state_at::kMax);
    h.state.wrote_position = load_u64(s + data_state_at::kWrote);
    h.state.record_count = load_u64(s + data_state_at::kCount);
    h.state.raw_record_bytes = load_u64(s + data_state_at::kRaw);
    h.state.pending_position = load_u64(s + data_state_at::kPendPos);
    h.state.pending_wrote_position = load_u64(s + data_state_at::kPendWrote);
    h.state.pending_count = load_u64(s + data_state_at::kPendCount);
    h.state.invalid_record_count = load_u64(s + data_state_at::kInvalid);
    return h;
}

void JournalSegmentState::write(uint8_t* s, const JournalSegmentState& f) {
    store_u64(s + journal_state_at::kFileSize, f.current_file_size);
    store_u64(s + journal_state_at::kWrote, f.wrote_position);
    store_u64(s + journal_state_at::kCount, f.record_count);
    store_u64(s + journal_state_at::kRaw, f.raw_record_bytes);
    store_u64(s + journal_state_at::kPendPos, f.pending_position);
    store_u64(s + journal_state_at::kPendWrote, f.pending_wrote_position);
    store_u64(s + journal_state_at::kPendCount, f.pending_record_count);
}

JournalSegmentState JournalSegmentState::read(const uint8_t* s) {
    JournalSegmentState f;
    f.current_file_size = load_u64(s + journal_state_at::kFileSize);
    f.wrote_position = load_u64(s + journal_state_at::kWrote);
    f.record_count = load_u64(s + journal_state_at::kCount);
    f.raw_record_bytes = load_u64(s + journal_state_at::kRaw);
    f.pending_position = load_u64(s + journal_state_at::kPendPos);
    f.pending_wrote_position = load_u64(s + journal_state_at::kPendWrote);
    f.pending_record_count = load_u64(s + journal_state_at::kPendCount);
    return f;
}

void JournalHeader::write(std::span<uint8_t> bytes, const HeaderMeta& meta, const JournalSegmentState& state) {
    FileHeader::write_prefix_and_meta(bytes, kFileTypeJournal, meta);
    store_u16(bytes.data() + kStateLengthPos, kJournalStateLength);
    JournalSegmentState::write(bytes.data() + kStatePos, state);
}

Result<JournalHeader> JournalHeader::read(std::span<const uint8_t> bytes) {
    if (bytes.size() < kJournalHeaderLen) return Error::invalid_data("journal segment header truncated");
    JournalHeader h;
    h.prefix = BRVL_TRY(FileHeader::read_prefix(bytes));
    if (h.prefix.file_type != kFileTypeJournal)
        return invalid_data_fmt("unexpected journal file_type {}", h.prefix.file_type);
    const size_t state_pos = kHeaderPrefixLen + size_t{h.prefix.content_length} + 2;
    if (bytes.size() < state_pos) return Error::invalid_data("journal segment state length truncated");
    h.state_length = load_u16(bytes.data() + state_pos - 2);
    if (h.state_length < kJournalStateLength)
        return invalid_data_fmt("journal state_length {} is smaller than {}", h.state_length, kJournalStateLength);
    if (bytes.size() < state_pos + h.state_length) return Error::invalid_data("journal state truncated");
    h.meta = BRVL_TRY(FileHeader::read_meta(bytes, h.prefix.content_length));
    if (h.meta.truncated) return Error::invalid_data("journal meta TLV truncated");
    static constexpr std::pair<uint8_t, const char*> kRequired[] = {
        {HeaderMeta::kHasStartKey, "journal base_sequence meta missing"},
        {HeaderMeta::kHasSizeLimit, "journal file_size meta missing"},
        {HeaderMeta::kHasCompressLevel, "journal compress_level meta missing"},
        {HeaderMeta::kHasCompressType, "journal compress_type meta missing"},
    };
    for (const auto& [bit, text] : kRequired)
        if ((h.meta.present & bit) == 0) return Error::invalid_data(text);
    BRVL_TRY(codec::check_compress_type(h.meta.compress_type));
    h.state_position = state_pos;
    h.state = JournalSegmentState::read(bytes.data() + state_pos);
    return h;
}

void IndexHeader::write(std::span<uint8_t> bytes, const HeaderMeta& meta, uint64_t wrote_position) {
    FileHeader::write_prefix_and_meta(bytes, kFileTypeIndex, meta);
    store_u16(bytes.data() + kStateLengthPos, kIndexStateLength);
    store_u64(bytes.data() + kStatePos + index_state_at::kWrote, wrote_position);
    const size_t reserved = kStatePos + kIndexStateLength;
    std::memset(bytes.data() + reserved, 0, kIndexHeaderLen - reserved);
}

Result<IndexHeader> IndexHeader::read(std::span<const uint8_t> bytes) {
    IndexHeader h;
    h.prefix = BRVL_TRY(FileHeader::read_prefix(bytes));
    if (h.prefix.version != kHeaderVersion) {
        return invalid_data_fmt("unsupported index file version {}, expected {}", h.prefix.version, kHeaderVersion);
    }
    h.meta = BRVL_TRY(FileHeader::read_meta(bytes, h.prefix.content_length));
    BRVL_TRY(codec::check_compress_type(h.meta.compress_type));
    const size_t state_pos = BRVL_TRY(read_state_length(bytes, h.prefix.content_length, "index", kIndexStateLength,
                                                        &h.state_length));
    const size_t state_end = state_pos + h.state_length;
    if (state_end > kIndexHeaderLen) {
        return invalid_data_fmt("index header content length {} exceeds reserved entry start {}", state_end,
                                kIndexHeaderLen);
    }
    BRVL_TRY(check_available("index header reserved area", kIndexHeaderLen, bytes.size()));
    h.wrote_position = load_u64(bytes.data() + state_pos + index_state_at::kWrote);
    h.header_length = kIndexHeaderLen;
    return h;
}

}  // namespace brenvale
