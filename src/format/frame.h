// The record frame inside a data segment block payload:
//
//   0   u32 data length (at most 4 MiB)
//   4   i64 timestamp
//   12  data, then zero padding up to a multiple of 4
//
// A record is addressed by in_block, its frame's payload offset divided by 4.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "error.h"
#include "format/block.h"

namespace brenvale {

namespace frame_at {
inline constexpr uint64_t kLength = 0;
inline constexpr uint64_t kTimestamp = 4;
inline constexpr uint64_t kData = 12;
}  // namespace frame_at

inline constexpr uint64_t kFrameHeadLen = 12;
inline constexpr uint64_t kMaxRecordData = 4194304;     // 4 MiB, inclusive
inline constexpr uint64_t kMaxPendingPayload = 262144;  // 256 KiB, inclusive
inline constexpr uint64_t kMaxPendingCount = 0xFFFF;    // records of one block (u16)
// The smallest block: a block header and an empty frame.
inline constexpr uint64_t kMinBlockLen = kBlockHeaderLen + kFrameHeadLen;

// A frame's byte offset inside its payload, and back (frames start at multiples of 4).
inline constexpr uint64_t frame_offset(uint16_t in_block) { return uint64_t{in_block} * 4; }
inline constexpr uint16_t in_block_of(uint64_t frame_offset) { return static_cast<uint16_t>(frame_offset / 4); }

// 12 + data length rounded up to a multiple of 4.
inline constexpr uint64_t framed_size(uint64_t data_len) { return (data_len + 15) & ~uint64_t{3}; }
// Framed size of the largest record: the largest uncompressed size a block may claim.
inline constexpr uint64_t kMaxFramedRecord = framed_size(kMaxRecordData);

// Writes one frame at dst (`framed` bytes): data, zero padding, timestamp, and the data
// length last (for in-place changes of a last record the length is the commit store).
void write_frame(uint8_t* dst, int64_t timestamp, std::span<const uint8_t> data, uint64_t framed);

struct FrameRef {
    int64_t timestamp = 0;
    const uint8_t* data = nullptr;
    uint32_t len = 0;
};

// The frame of record in_block inside a block payload. Failures: "{prefix}record index out
// of bounds" (frame head past the payload) and "{prefix}record data out of bounds".
Result<FrameRef> read_frame(std::span<const uint8_t> payload, uint16_t in_block, std::string_view prefix = {});

// Walks `count` frames from the start of a payload of at most `limit` bytes; their total
// framed size, or nothing when they do not fit.
std::optional<uint64_t> scan_frames(const uint8_t* payload, uint64_t limit, uint64_t count);

}  // namespace brenvale
