#include "format/meta.h"

#include <string_view>

#include "codec.h"
#include "config.h"
#include "file.h"
#include "log.h"
#include "util.h"

namespace brenvale {

namespace {

constexpr uint8_t kTagDataSegmentSize = 1;
constexpr uint8_t kTagIndexSegmentSize = 2;
constexpr uint8_t kTagCompressLevel = 3;
constexpr uint8_t kTagCreateTime = 4;
constexpr uint8_t kTagIndexContinuous = 5;
constexpr uint8_t kTagInitialDataSegmentSize = 6;
constexpr uint8_t kTagInitialIndexSegmentSize = 7;
constexpr uint8_t kTagRetentionWindow = 8;
constexpr uint8_t kTagCompressType = 9;
constexpr uint8_t kTagEnableJournal = 10;
constexpr uint8_t kTagTimestampUnits = 11;

void put_u64(std::vector<uint8_t>& out, uint8_t tag, uint64_t v) {
    out.push_back(tag);
    out.push_back(8);
    out.push_back(0);
    uint8_t b[8];
    store_u64(b, v);
    out.insert(out.end(), b, b + 8);
}

void put_u8(std::vector<uint8_t>& out, uint8_t tag, uint8_t v) {
    out.push_back(tag);
    out.push_back(1);
    out.push_back(0);
    out.push_back(v);
}

}  // namespace

std::vector<uint8_t> DatasetMetaFile::encode() const {
    std::vector<uint8_t> out;
    out.reserve(kFileLength);
    out.insert(out.end(), {'B', 'R', 'V', 'M'});
    out.push_back(1);  // version
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(kAreaLength & 0xff));
    out.push_back(static_cast<uint8_t>(kAreaLength >> 8));
    put_u64(out, kTagDataSegmentSize, data_segment_size);
    put_u64(out, kTagIndexSegmentSize, index_segment_size);
    put_u8(out, kTagCompressLevel, compress_level);
    put_u8(out, kTagCompressType, compress_type);  // written fourth, before the creation time
    put_u64(out, kTagCreateTime, create_time);
    put_u8(out, kTagIndexContinuous, index_continuous);
    put_u64(out, kTagInitialDataSegmentSize, initial_data_segment_size);
    put_u64(out, kTagInitialIndexSegmentSize, initial_index_segment_size);
    put_u64(out, kTagRetentionWindow, retention_window);
    put_u8(out, kTagEnableJournal, enable_journal ? 1 : 0);
    put_u64(out, kTagTimestampUnits, timestamp_units_per_seconds);
    return out;
}

Status DatasetMetaFile::write(const std::string& path) const {
    auto bytes = encode();
    return write_file_atomic(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<DatasetMetaFile> DatasetMetaFile::read(const std::string& path) {
    std::string bytes = BRVL_TRY(read_file(path));
    return decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Result<std::span<const uint8_t>> DatasetMetaFile::entry_area(std::span<const uint8_t> file) {
    if (file.size() < meta_at::kArea) return Error::invalid_data("meta file too short");
    // (Byte by byte: g++ 12 at -O3 misreads a 2-byte load from a short string's buffer.)
    const size_t len = size_t{file[meta_at::kAreaLength]} | size_t{file[meta_at::kAreaLength + 1]} << 8;
    if (file.size() - meta_at::kArea < len) return Error::invalid_data("meta file truncated");
    return file.subspan(meta_at::kArea, len);
}

Result<DatasetMetaFile> DatasetMetaFile::decode(const uint8_t* b, size_t len) {
    if (len < meta_at::kArea) return Error::invalid_data("meta file too short");
    if (std::string_view(reinterpret_cast<const char*>(b) + meta_at::kMagic, 4) != "BRVM")
        return Error::invalid_data("invalid meta magic");
    uint16_t version = load_u16(b + meta_at::kVersion);
    if (version > 1) log::warn(log::kMeta, "Meta file has version {}, expected {}", version, 1);
    size_t area = load_u16(b + meta_at::kAreaLength);
    if (meta_at::kArea + area > len) return Error::invalid_data("meta file truncated");
    if (area == 0) return Error::invalid_data("meta missing data_segment_size");
    if (area < 3) return Error::invalid_data("meta TLV data has trailing partial entry");

    std::optional<uint64_t> data_size, index_size, create_time, initial_data, initial_index, retention, units;
    std::optional<uint8_t> level, ctype, continuous;
    std::optional<bool> journal;

    const size_t end = meta_at::kArea + area;
    size_t pos = meta_at::kArea;
    while (true) {
        uint8_t tag = b[pos];
        size_t vlen = load_u16(b + pos + 1);
        size_t value = pos + 3;
        if (vlen > end - value) return Error::invalid_data("meta TLV entry truncated");
        if (vlen == 8) {
            uint64_t v = load_u64(b + value);
            switch (tag) {
                case kTagDataSegmentSize: data_size = v; break;
                case kTagIndexSegmentSize: index_size = v; break;
                case kTagCreateTime: create_time = v; break;
                case kTagInitialDataSegmentSize: initial_data = v; break;
                case kTagInitialIndexSegmentSize: initial_index = v; break;
                case kTagRetentionWindow: retention = v; break;
                case kTagTimestampUnits: units = v; break;
                default: break;
            }
        } else if (vlen == 1) {
            uint8_t v = b[value];
            switch (tag) {
                case kTagCompressLevel: level = v; break;
                case kTagIndexContinuous: continuous = v; break;
                case kTagCompressType: ctype = v; break;
                case kTagEnableJournal:
                    if (v > 1) return Error::invalid_data("meta enable_journal must be 0 or 1");
                    journal = v == 1;
                    break;
                default: break;
            }
        }
        pos = value + vlen;
        size_t left = end - pos;
        if (left == 0) break;
        if (left < 3) return Error::invalid_data("meta TLV data has trailing partial entry");
    }

    DatasetMetaFile m;
    if (!data_size || *data_size == 0) return Error::invalid_data("meta missing data_segment_size");
    if (!index_size || *index_size == 0) return Error::invalid_data("meta missing index_segment_size");
    m.data_segment_size = *data_size;
    m.index_segment_size = *index_size;
    m.compress_level = level.value_or(0);
    if (m.compress_level >= 10) return Error::invalid_data("meta compress_level must be <= 9");
    if (!ctype) return Error::invalid_data("meta missing compress_type");
    BRVL_TRY(codec::check_compress_type(*ctype));
    m.compress_type = *ctype;
    m.index_continuous = continuous.value_or(0);
    if (m.index_continuous > 1) return Error::invalid_data("meta index_continuous must be 0 or 1");
    m.initial_data_segment_size = initial_data.value_or(0) == 0 ? m.data_segment_size : *initial_data;
    if (m.initial_data_segment_size > m.data_segment_size)
        return Error::invalid_data("meta initial_data_segment_size exceeds data_segment_size");
    m.initial_index_segment_size = initial_index.value_or(0) == 0 ? m.index_segment_size : *initial_index;
    if (m.initial_index_segment_size > m.index_segment_size)
        return Error::invalid_data("meta initial_index_segment_size exceeds index_segment_size");
    m.retention_window = retention.value_or(0);
    BRVL_TRY(check_retention_window(m.retention_window));
    m.create_time = create_time.value_or(0);
    m.timestamp_units_per_seconds = units.value_or(0);
    m.enable_journal = journal.value_or(true);
    return m;
}

}  // namespace brenvale
