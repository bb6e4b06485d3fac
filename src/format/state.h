// The dataset `state` record, 72 bytes (version 2; version 1 files are 64 bytes and have
// no retention floor):
//
//   0  "DSSF"                        32 u64 total record count
//   4  u32 version                   40 u64 total data size
//   8  u64 stats watermark           48 u64 total uncompressed size
//   16 i64 min timestamp             56 u64 total invalid record count
//   24 i64 max timestamp             64 i64 retention floor (i64::MAX: none)
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "error.h"

namespace brenvale {

namespace state_at {
inline constexpr size_t kMagic = 0;
inline constexpr size_t kVersion = 4;
inline constexpr size_t kWatermark = 8;
inline constexpr size_t kMin = 16;
inline constexpr size_t kMax = 24;
inline constexpr size_t kRecords = 32;
inline constexpr size_t kDataSize = 40;
inline constexpr size_t kUncompressed = 48;
inline constexpr size_t kInvalid = 56;
inline constexpr size_t kRetentionFloor = 64;
}  // namespace state_at

inline constexpr size_t kStateRecordLength = 72;
inline constexpr size_t kStateRecordLengthV1 = 64;
inline constexpr uint32_t kStateRecordVersion = 2;

// The values of the record.
struct DatasetStateRecord {
    uint64_t stats_watermark = 0;
    int64_t min_timestamp = INT64_MAX;
    int64_t max_timestamp = INT64_MIN;
    uint64_t total_record_count = 0;
    uint64_t total_data_size = 0;
    uint64_t total_uncompressed_size = 0;
    uint64_t total_invalid_record_count = 0;
    int64_t retention_floor = INT64_MAX;  // INT64_MAX: none

    bool operator==(const DatasetStateRecord&) const = default;

    // The 72 bytes of a version 2 record.
    void encode(uint8_t* out) const;
    // A whole record of either version; also whether it is a version 1 record.
    static Result<std::pair<DatasetStateRecord, bool>> decode(const uint8_t* bytes, size_t len);
};

}  // namespace brenvale
