#include "format/index_entry.h"

#include <cstring>

#include "util.h"

namespace brenvale {

void IndexEntry::encode(uint8_t* p) const {
    store_i64(p + entry_at::kTimestamp, timestamp);
    store_u64(p + entry_at::kBlockOffset, block_offset);
    store_u16(p + entry_at::kInBlock, in_block);
    std::memset(p + entry_at::kReserved, 0, kIndexEntrySize - entry_at::kReserved);
}

IndexEntry IndexEntry::decode(const uint8_t* p) {
    return IndexEntry{load_i64(p + entry_at::kTimestamp), load_u64(p + entry_at::kBlockOffset),
                      load_u16(p + entry_at::kInBlock)};
}

int64_t IndexEntry::timestamp_at(const uint8_t* p) { return load_i64(p + entry_at::kTimestamp); }

bool IndexEntry::reserved_zero(const uint8_t* p) {
    // Bytes 18..25 and 24..31 together cover the 14 reserved bytes.
    return (load_u64(p + entry_at::kReserved) | load_u64(p + kIndexEntrySize - 8)) == 0;
}

}  // namespace brenvale
