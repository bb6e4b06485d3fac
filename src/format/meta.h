// The dataset `meta` file: the dataset's configuration, fixed at creation, written and
// read whole.
//
//   0  "BRVM"
//   4  u16 version (1)
//   6  u16 length L of the entry area
//   8  L bytes of entries: u8 tag, u16 length, value (the area the journal copies)
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.h"

namespace brenvale {

namespace meta_at {
inline constexpr size_t kMagic = 0;
inline constexpr size_t kVersion = 4;
inline constexpr size_t kAreaLength = 6;
inline constexpr size_t kArea = 8;
}  // namespace meta_at

struct DatasetMetaFile {
    static constexpr size_t kFileLength = 101;
    static constexpr uint16_t kAreaLength = 93;

    uint64_t data_segment_size = 0;
    uint64_t index_segment_size = 0;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
    uint64_t create_time = 0;
    uint8_t index_continuous = 0;
    uint64_t initial_data_segment_size = 0;
    uint64_t initial_index_segment_size = 0;
    uint64_t retention_window = 0;
    bool enable_journal = true;
    uint64_t timestamp_units_per_seconds = 0;

    bool operator==(const DatasetMetaFile&) const = default;

    // The 101 bytes of the file.
    std::vector<uint8_t> encode() const;
    // Writes the file whole; it replaces an existing file atomically.
    Status write(const std::string& path) const;
    static Result<DatasetMetaFile> read(const std::string& path);
    static Result<DatasetMetaFile> decode(const uint8_t* bytes, size_t len);
    // The entry area of a whole file's bytes ("meta file too short", "meta file truncated").
    static Result<std::span<const uint8_t>> entry_area(std::span<const uint8_t> file);
};

}  // namespace brenvale
