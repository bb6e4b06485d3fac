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

}  // namespace brenvale
