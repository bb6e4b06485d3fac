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

void IndexEntry::store_address(uint8_t* p) const {
    uint8_t* at = p + entry_at::kBlockOffset;
#if defined(__x86_64__) || (defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
    struct Bytes16 {
        uint8_t b[16];
    };
#endif
#if defined(__x86_64__)
    using V = long long __attribute__((vector_size(16)));
    const V v = {static_cast<long long>(block_offset), static_cast<long long>(in_block)};
    asm volatile("movdqu %1, %0" : "=m"(*reinterpret_cast<Bytes16*>(at)) : "x"(v));
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    asm volatile("stp %x1, %x2, %0" : "=Q"(*reinterpret_cast<Bytes16*>(at)) : "r"(block_offset), "r"(uint64_t{in_block}));
#else
    store_u64(at, block_offset);
    store_u16(at + 8, in_block);
    std::memset(at + 10, 0, 6);
#endif
}

}  // namespace brenvale
