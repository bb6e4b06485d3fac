// Block compression: zstd frames with the content checksum (type 0) and raw DEFLATE
// streams (type 1). Stateless: each call takes a whole payload and returns new bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "buffer.h"
#include "error.h"

namespace brenvale::codec {

inline constexpr uint8_t kZstd = 0;
inline constexpr uint8_t kDeflate = 1;

// Output cap for decompression when the caller does not know the payload size.
inline constexpr size_t kMaxUnknownDecompressedSize = size_t{64} << 20;

Result<std::vector<uint8_t>> compress(std::span<const uint8_t> payload, uint8_t level, uint8_t compress_type);
// The same into a block buffer (uninitialised, reused from released blocks where possible)
// of the compressor's bound, shortened to the stored length: the same bytes and errors.
Result<BlockBuffer> compress_block(std::span<const uint8_t> payload, uint8_t level, uint8_t compress_type);

// Decompresses a stored payload. With expected_size (a block header's uncompressed size)
// the output must be exactly that long: producing more or less is a decompression error,
// and no more than expected_size bytes are ever produced. Without it the output is capped
// at kMaxUnknownDecompressedSize.
Result<std::vector<uint8_t>> decompress(std::span<const uint8_t> stored, uint8_t compress_type,
                                        std::optional<size_t> expected_size = std::nullopt);

// The same for a block of known uncompressed size, into a new block buffer (uninitialised
// memory, reused from released blocks where possible): the same results and errors.
Result<BlockBuffer> decompress_block(std::span<const uint8_t> stored, uint8_t compress_type, size_t expected_size);

Status check_compress_type(uint8_t compress_type);

// The most bytes that compressing n bytes can give, whichever the type and level.
size_t compress_bound(size_t n);

// CRC-32 (the zlib polynomial) of the bytes; guards staged copies inside segment files.
uint32_t crc32(std::span<const uint8_t> bytes);
// The CRC-32 of earlier bytes (crc) continued over these.
uint32_t crc32(uint32_t crc, std::span<const uint8_t> bytes);

}  // namespace brenvale::codec
