#include "format/stage.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "codec.h"
#include "file.h"
#include "format/frame.h"
#include "util.h"

namespace brenvale {

namespace {

constexpr uint8_t kStageMagic[4] = {'B', 'R', 'V', 'S'};

namespace stage_at {
constexpr size_t kMagic = 0;
constexpr size_t kKind = 4;
constexpr size_t kBase = 8;
constexpr size_t kCreated = 16;
constexpr size_t kPosition = 24;
constexpr size_t kCount = 32;
constexpr size_t kPayloadAfter = 36;
constexpr size_t kFrameOffset = 40;
constexpr size_t kLength = 44;
constexpr size_t kRawAfter = 48;
constexpr size_t kCrc = 56;
}  // namespace stage_at

void encode_head(uint8_t* h, const StageRecord& r, uint64_t length) {
    std::memset(h, 0, kStageHeaderLen);
    std::memcpy(h + stage_at::kMagic, kStageMagic, sizeof kStageMagic);
    store_u16(h + stage_at::kKind, r.kind);
    store_u64(h + stage_at::kBase, r.base_offset);
    store_u64(h + stage_at::kCreated, r.created_ms);
    store_u64(h + stage_at::kPosition, r.position);
    store_u32(h + stage_at::kCount, r.record_count);
    store_u32(h + stage_at::kPayloadAfter, r.payload_after);
    store_u32(h + stage_at::kFrameOffset, r.frame_offset);
    store_u32(h + stage_at::kLength, static_cast<uint32_t>(length));
    store_u64(h + stage_at::kRawAfter, r.raw_after);
}

// Reads exactly out.size() bytes at offset; false at the end of the file.
Result<bool> read_exact(int fd, uint64_t offset, std::span<uint8_t> out) {
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error::io(errno);
        if (n == 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

uint64_t stage_file_length() {
    static const uint64_t length = kStageHeaderLen + codec::compress_bound(kMaxPendingPayload);
    return length;
}

Status encode_stage(std::span<uint8_t> out, const StageRecord& r, std::span<const std::span<const uint8_t>> pieces) {
    uint64_t length = 0;
    for (const auto& p : pieces) length += p.size();
    if (length > out.size() || out.size() - length < kStageHeaderLen)
        return invalid_data_fmt("staged copy of {} bytes exceeds the stage file", length);
    uint8_t head[kStageHeaderLen];
    encode_head(head, r, length);
    uint32_t crc = codec::crc32({head, stage_at::kCrc});
    uint8_t* at = out.data() + kStageHeaderLen;
    for (const auto& p : pieces) {
        if (!p.empty()) std::memcpy(at, p.data(), p.size());
        crc = codec::crc32(crc, p);
        at += p.size();
    }
    store_u32(head + stage_at::kCrc, crc);
    std::memcpy(out.data(), head, kStageHeaderLen);
    return ok_status();
}

Result<std::optional<StageRecord>> read_stage(const std::string& path) {
    auto fd = FileHandle::open(path, FileHandle::Mode::ReadOnly);
    if (!fd.ok()) {
        if (fd.error().is_io_code(ENOENT)) return std::optional<StageRecord>();
        return std::move(fd).error();
    }
    uint8_t h[kStageHeaderLen];
    if (!BRVL_TRY(read_exact(fd->fd(), 0, h))) return std::optional<StageRecord>();
    if (std::memcmp(h + stage_at::kMagic, kStageMagic, sizeof kStageMagic) != 0) return std::optional<StageRecord>();
    const uint64_t length = load_u32(h + stage_at::kLength);
    if (length > BRVL_TRY(fd->size()) - kStageHeaderLen) return std::optional<StageRecord>();
    StageRecord r;
    r.staged.resize(length);
    if (!BRVL_TRY(read_exact(fd->fd(), kStageHeaderLen, r.staged))) return std::optional<StageRecord>();
    const uint32_t crc = codec::crc32(codec::crc32({h, stage_at::kCrc}), r.staged);
    if (crc != load_u32(h + stage_at::kCrc)) return std::optional<StageRecord>();
    r.kind = load_u16(h + stage_at::kKind);
    r.base_offset = load_u64(h + stage_at::kBase);
    r.created_ms = load_u64(h + stage_at::kCreated);
    r.position = load_u64(h + stage_at::kPosition);
    r.record_count = load_u32(h + stage_at::kCount);
    r.payload_after = load_u32(h + stage_at::kPayloadAfter);
    r.frame_offset = load_u32(h + stage_at::kFrameOffset);
    r.raw_after = load_u64(h + stage_at::kRawAfter);
    return std::optional<StageRecord>(std::move(r));
}

}  // namespace brenvale
