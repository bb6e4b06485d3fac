// The 16-byte block header that opens every block of a data or journal segment:
//
//   0  u32 payload size        8  u32 uncompressed size
//   4  u16 flags               12 u32 change counter (zero in a new block)
//   6  u16 record count
//
// A data segment's pending block counts its in-place changes in bytes 12..16: odd while one
// runs, so that a reader in another process can tell a copy that raced with one. A sealed
// block's value there is never read; journal blocks keep it zero.
// The flags 0x8000 mark a data segment's pending block whose last record is being
// corrected from the stage file (format/stage.h); files of earlier versions carry them on
// a trailer that names a correction staged behind the block (same shape).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brenvale {

inline constexpr size_t kBlockHeaderLen = 16;

namespace block_at {
inline constexpr size_t kPayloadSize = 0;
inline constexpr size_t kFlags = 4;
inline constexpr size_t kRecordCount = 6;
inline constexpr size_t kUncompressedSize = 8;
inline constexpr size_t kChangeCount = 12;  // the change counter in a block header
inline constexpr size_t kReserved = 12;     // the CRC-32 in a trailer
}  // namespace block_at

struct BlockHeader {
    static constexpr uint16_t kSealed = 0x1;
    static constexpr uint16_t kCompressed = 0x2;
    static constexpr uint16_t kSingleRecord = 0x4;
    // The flags a sealed block of several records and a single-record block carry.
    static constexpr uint16_t kSealedFlags = kSealed | kCompressed;
    static constexpr uint16_t kSingleFlags = kSealedFlags | kSingleRecord;
    // On a pending block: the correction of its last record staged in the stage file is
    // committed. On a trailer behind the block (earlier versions): payload = the new framed
    // size, record count = in_block, uncompressed = the block's new payload size, reserved
    // = CRC-32 of the frame staged before the trailer.
    static constexpr uint16_t kStagedCorrection = 0x8000;

    uint32_t payload_size = 0;
    uint16_t flags = 0;
    uint16_t record_count = 0;
    uint32_t uncompressed_size = 0;

    bool operator==(const BlockHeader&) const = default;

    static BlockHeader make(uint64_t payload, uint16_t flags, uint64_t count, uint64_t uncompressed) {
        return BlockHeader{static_cast<uint32_t>(payload), flags, static_cast<uint16_t>(count),
                           static_cast<uint32_t>(uncompressed)};
    }

    // The caller guarantees that the 16 bytes at position lie inside bytes. The change
    // counter is written as zero (a new block).
    static void write(std::span<uint8_t> bytes, size_t position, const BlockHeader& header);
    // The same for a block that already exists: its change counter stays.
    static void rewrite(std::span<uint8_t> bytes, size_t position, const BlockHeader& header);
    static BlockHeader read(std::span<const uint8_t> bytes, size_t position);
};

}  // namespace brenvale
