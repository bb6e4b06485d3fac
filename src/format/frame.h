// The record frames inside block payloads. A data segment frame:
//
//   0   u32 data length (at most 4 MiB)
//   4   i64 timestamp
//   12  data, then zero padding up to a multiple of 4
//
// addressed by in_block, its frame's payload offset divided by 4. A journal segment frame:
//
//   0   u32 payload length
//   4   u64 sequence
//   12  payload, no padding
//
// Both share the 12-byte head (length, 8-byte key); `RecordFraming` says how they differ.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "error.h"
#include "format/block.h"
#include "util.h"

namespace brenvale {

namespace frame_at {
inline constexpr uint64_t kLength = 0;
inline constexpr uint64_t kTimestamp = 4;
inline constexpr uint64_t kData = 12;
}  // namespace frame_at

namespace journal_frame_at {
inline constexpr uint64_t kLength = 0;
inline constexpr uint64_t kSequence = 4;
inline constexpr uint64_t kPayload = 12;
}  // namespace journal_frame_at

inline constexpr uint64_t kFrameHeadLen = 12;
inline constexpr uint64_t kFrameKeyOffset = 4;  // the timestamp or sequence
inline constexpr uint64_t kMaxRecordData = 4194304;     // 4 MiB, inclusive
inline constexpr uint64_t kMaxPendingPayload = 262144;  // 256 KiB, inclusive
inline constexpr uint64_t kMaxPendingCount = 0xFFFF;    // records of one block (u16)
// The smallest block: a block header and an empty frame.
inline constexpr uint64_t kMinBlockLen = kBlockHeaderLen + kFrameHeadLen;

// How a block file frames its records: the head above, the data, and zero padding up to
// a multiple of `align`.
struct RecordFraming {
    uint64_t align = 1;     // 4 for data frames, 1 (no padding) for journal frames
    uint64_t max_data = 0;  // the largest record data, inclusive

    constexpr uint64_t framed(uint64_t data_len) const {
        return (data_len + kFrameHeadLen + align - 1) / align * align;
    }
    constexpr uint64_t max_framed() const { return framed(max_data); }
};
inline constexpr RecordFraming kDataFraming{4, kMaxRecordData};
// A journal frame's whole length fits a block header's u32 sizes.
inline constexpr RecordFraming kJournalFraming{1, UINT32_MAX - kFrameHeadLen};

// A frame's byte offset inside its payload, and back (frames start at multiples of 4).
inline constexpr uint64_t frame_offset(uint16_t in_block) { return uint64_t{in_block} * 4; }
inline constexpr uint16_t in_block_of(uint64_t frame_offset) { return static_cast<uint16_t>(frame_offset / 4); }

// 12 + data length rounded up to a multiple of 4.
inline constexpr uint64_t framed_size(uint64_t data_len) { return kDataFraming.framed(data_len); }

// Writes one frame at dst (`framed` bytes): data, zero padding, the key (timestamp or
// sequence), and the data length last (for in-place changes of a last record the length
// is the commit store).
void write_frame(uint8_t* dst, uint64_t key, std::span<const uint8_t> data, uint64_t framed);
inline void write_frame(uint8_t* dst, int64_t timestamp, std::span<const uint8_t> data, uint64_t framed) {
    write_frame(dst, static_cast<uint64_t>(timestamp), data, framed);
}

struct FrameRef {
    int64_t timestamp = 0;
    const uint8_t* data = nullptr;
    uint32_t len = 0;
};

// Why a frame cannot be read: its head lies past the payload (Index) or its data does (Data).
enum class FrameFault : uint8_t { None, Index, Data };

// The frame of record in_block inside a block payload, into out; nothing is read past the
// payload. Inline: every record read and iterator step decodes one frame.
inline FrameFault locate_frame(std::span<const uint8_t> payload, uint16_t in_block, FrameRef& out) {
    const uint64_t off = frame_offset(in_block);
    if (!range_within(off, kFrameHeadLen, payload.size())) return FrameFault::Index;
    const uint8_t* head = payload.data() + off;
    const uint32_t len = load_u32(head + frame_at::kLength);
    if (!range_within(off + frame_at::kData, len, payload.size())) return FrameFault::Data;
    out = FrameRef{load_i64(head + frame_at::kTimestamp), head + frame_at::kData, len};
    return FrameFault::None;
}

// "{prefix}record index out of bounds" or "{prefix}record data out of bounds".
[[gnu::cold]] Error frame_fault_error(FrameFault fault, std::string_view prefix);

// locate_frame with its failure as the error above.
inline Result<FrameRef> read_frame(std::span<const uint8_t> payload, uint16_t in_block, std::string_view prefix = {}) {
    FrameRef f;
    if (const FrameFault fault = locate_frame(payload, in_block, f); fault != FrameFault::None)
        return frame_fault_error(fault, prefix);
    return f;
}

// Walks `count` frames from the start of a payload of at most `limit` bytes; their total
// framed size, or nothing when they do not fit.
std::optional<uint64_t> scan_frames(const RecordFraming& framing, const uint8_t* payload, uint64_t limit,
                                    uint64_t count);
inline std::optional<uint64_t> scan_frames(const uint8_t* payload, uint64_t limit, uint64_t count) {
    return scan_frames(kDataFraming, payload, limit, count);
}

}  // namespace brenvale
