// The data directory's stage file (<dataset>/data/stage): the copy that an in-place change
// of a data segment keeps outside the segment while it overwrites the segment's bytes, so
// that the change needs no room in the segment beyond its own result. One record at the
// start of the file, rewritten by every seal and every correction of the last record:
//
//   0   "BRVS"                       36  u32 block payload size after the change
//   4   u16 kind: 1 seal, 2 correction   40  u32 frame offset in the payload (correction)
//   6   u16 zero                     44  u32 staged length n
//   8   u64 segment base offset      48  u64 segment raw record bytes after (correction)
//   16  u64 segment creation time ms 56  u32 CRC-32 of bytes 0..56 and the n staged bytes
//   24  u64 block position           60  u32 zero
//   32  u32 block record count       64  n staged bytes: the sealed payload, or the new frame
//
// The file has a fixed length (stage_file_length), room for the largest copy, so that
// staging never needs disk space; bytes after the staged ones are left from longer records
// and ignored. The record names its segment by base offset and creation time; it is only
// ever used for the pending block it names, and only once the segment's own commit store
// says that the change passed its point of no return.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"

namespace brenvale {

inline constexpr size_t kStageHeaderLen = 64;

// The length of a stage file: the record header and the largest staged copy (a sealed
// block of a full pending payload at the compressors' bound).
uint64_t stage_file_length();

struct StageRecord {
    enum Kind : uint16_t { kSeal = 1, kCorrection = 2 };
    uint16_t kind = kSeal;
    uint64_t base_offset = 0;
    uint64_t created_ms = 0;
    uint64_t position = 0;
    uint32_t record_count = 0;
    uint32_t payload_after = 0;
    uint32_t frame_offset = 0;
    uint64_t raw_after = 0;
    std::vector<uint8_t> staged;  // filled by read_stage

    // Whether the record is for this block of this segment.
    bool names(uint16_t k, uint64_t base, uint64_t created, uint64_t pos) const {
        return kind == k && base_offset == base && created_ms == created && position == pos;
    }
};

// Writes the record with its staged bytes (given in pieces) at the start of `out`: the
// staged bytes first, the header with its CRC-32 last. Fails when they do not fit.
Status encode_stage(std::span<uint8_t> out, const StageRecord& record,
                    std::span<const std::span<const uint8_t>> pieces);
// The record of the stage file at path; nothing when there is no file or it holds no whole
// record (a stage written only in part, or never).
Result<std::optional<StageRecord>> read_stage(const std::string& path);

}  // namespace brenvale
