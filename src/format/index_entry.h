// The 32-byte index entry of an index segment file and the entry area's arithmetic:
//
//   0   i64 timestamp
//   8   u64 block offset (dataset-wide)
//   16  u16 in_block
//   18  14 zero bytes (a non-zero byte makes the entry malformed)
//
// Entry i lies at byte 128 + 32 x i; the header's wrote_position is 128 + 32 x entries.
#pragma once

#include <cstdint>
#include <optional>

#include "format/header.h"
#include "util.h"

namespace brenvale {

inline constexpr uint64_t kIndexEntrySize = 32;
inline constexpr uint64_t kIndexEntryStart = kIndexHeaderLen;  // the first entry follows the header
inline constexpr uint64_t kSentinelBlockOffset = ~uint64_t{0};
inline constexpr uint16_t kSentinelInBlock = 0xFFFF;

namespace entry_at {
inline constexpr uint64_t kTimestamp = 0;
inline constexpr uint64_t kBlockOffset = 8;
inline constexpr uint64_t kInBlock = 16;
inline constexpr uint64_t kReserved = 18;
}  // namespace entry_at

// Where a record lies, in the order records are stored: its dataset-wide block offset,
// then its slot in the block.
struct RecordPlace {
    uint64_t block_offset = 0;
    uint16_t in_block = 0;
    auto operator<=>(const RecordPlace&) const = default;
};

// The address of one stored record.
struct IndexEntry {
    int64_t timestamp = 0;
    uint64_t block_offset = 0;
    uint16_t in_block = 0;  // payload offset inside the block divided by 4

    // A deleted record, and what a filler slot of a continuous index holds.
    static constexpr IndexEntry sentinel(int64_t ts) { return {ts, kSentinelBlockOffset, kSentinelInBlock}; }
    constexpr bool is_sentinel() const {
        return block_offset == kSentinelBlockOffset && in_block == kSentinelInBlock;
    }
    bool operator==(const IndexEntry&) const = default;
    RecordPlace place() const { return {block_offset, in_block}; }

    // The 32 bytes at p (reserved bytes written as zero).
    void encode(uint8_t* p) const;
    // Bytes 8..24 of the entry at p (block offset, in_block and six reserved zero bytes),
    // the timestamp left as it is: one store instruction where the platform has one, so
    // that a process killed at any instruction leaves the old address or the new one.
    void store_address(uint8_t* p) const;
    // The three fields at p; see reserved_zero for the check of the rest.
    static IndexEntry decode(const uint8_t* p);
    static int64_t timestamp_at(const uint8_t* p);
    // Whether the 14 reserved bytes of the entry at p are zero.
    static bool reserved_zero(const uint8_t* p);
};

inline IndexEntry IndexEntry::decode(const uint8_t* p) {
    return IndexEntry{load_i64(p + entry_at::kTimestamp), load_u64(p + entry_at::kBlockOffset),
                      load_u16(p + entry_at::kInBlock)};
}

inline int64_t IndexEntry::timestamp_at(const uint8_t* p) { return load_i64(p + entry_at::kTimestamp); }

inline bool IndexEntry::reserved_zero(const uint8_t* p) {
    // Bytes 18..25 and 24..31 together cover the 14 reserved bytes.
    return (load_u64(p + entry_at::kReserved) | load_u64(p + kIndexEntrySize - 8)) == 0;
}

// Entries that fit in a file of this length.
inline constexpr uint64_t index_slots_for(uint64_t file_len) {
    return file_len < kIndexEntryStart ? 0 : (file_len - kIndexEntryStart) / kIndexEntrySize;
}
// The file position of entry i.
inline constexpr uint64_t index_entry_pos(uint64_t i) { return kIndexEntryStart + i * kIndexEntrySize; }
// The entry count a wrote_position stands for; nothing when it does not end a whole entry.
inline constexpr std::optional<uint64_t> index_entry_count(uint64_t wrote_position) {
    if (wrote_position < kIndexEntryStart || (wrote_position - kIndexEntryStart) % kIndexEntrySize != 0)
        return std::nullopt;
    return (wrote_position - kIndexEntryStart) / kIndexEntrySize;
}

}  // namespace brenvale
