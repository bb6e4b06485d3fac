#include "format/state.h"

#include <cstring>

#include "util.h"

namespace brenvale {

namespace {
constexpr char kMagic[4] = {'D', 'S', 'S', 'F'};
}

void DatasetStateRecord::encode(uint8_t* out) const {
    std::memcpy(out + state_at::kMagic, kMagic, sizeof kMagic);
    store_u32(out + state_at::kVersion, kStateRecordVersion);
    store_u64(out + state_at::kWatermark, stats_watermark);
    store_i64(out + state_at::kMin, min_timestamp);
    store_i64(out + state_at::kMax, max_timestamp);
    store_u64(out + state_at::kRecords, total_record_count);
    store_u64(out + state_at::kDataSize, total_data_size);
    store_u64(out + state_at::kUncompressed, total_uncompressed_size);
    store_u64(out + state_at::kInvalid, total_invalid_record_count);
    store_i64(out + state_at::kRetentionFloor, retention_floor);
}

Result<std::pair<DatasetStateRecord, bool>> DatasetStateRecord::decode(const uint8_t* b, size_t len) {
    if (len != kStateRecordLength && len != kStateRecordLengthV1)
        return Error::invalid_data("invalid dataset state file size");
    if (std::memcmp(b + state_at::kMagic, kMagic, sizeof kMagic) != 0) return Error::invalid_magic();
    const uint32_t version = load_u32(b + state_at::kVersion);
    if (version != 1 && version != 2) return invalid_data_fmt("unsupported dataset state version {}", version);
    DatasetStateRecord f;
    f.stats_watermark = load_u64(b + state_at::kWatermark);
    f.min_timestamp = load_i64(b + state_at::kMin);
    f.max_timestamp = load_i64(b + state_at::kMax);
    f.total_record_count = load_u64(b + state_at::kRecords);
    f.total_data_size = load_u64(b + state_at::kDataSize);
    f.total_uncompressed_size = load_u64(b + state_at::kUncompressed);
    f.total_invalid_record_count = load_u64(b + state_at::kInvalid);
    const bool v1 = len == kStateRecordLengthV1 || version == 1;
    f.retention_floor = v1 ? INT64_MAX : load_i64(b + state_at::kRetentionFloor);
    return std::make_pair(f, v1);
}

}  // namespace brenvale
