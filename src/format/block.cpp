#include "format/block.h"

#include "util.h"

namespace brenvale {

void BlockHeader::write(std::span<uint8_t> bytes, size_t position, const BlockHeader& header) {
    rewrite(bytes, position, header);
    store_u32(bytes.data() + position + block_at::kChangeCount, 0);
}

void BlockHeader::rewrite(std::span<uint8_t> bytes, size_t position, const BlockHeader& header) {
    uint8_t* p = bytes.data() + position;
    store_u32(p + block_at::kPayloadSize, header.payload_size);
    store_u16(p + block_at::kFlags, header.flags);
    store_u16(p + block_at::kRecordCount, header.record_count);
    store_u32(p + block_at::kUncompressedSize, header.uncompressed_size);
}

BlockHeader BlockHeader::read(std::span<const uint8_t> bytes, size_t position) {
    const uint8_t* p = bytes.data() + position;
    BlockHeader h;
    h.payload_size = load_u32(p + block_at::kPayloadSize);
    h.flags = load_u16(p + block_at::kFlags);
    h.record_count = load_u16(p + block_at::kRecordCount);
    h.uncompressed_size = load_u32(p + block_at::kUncompressedSize);
    return h;
}

}  // namespace brenvale
