#include "format/stage.h"

#include <cstring>

#include "codec.h"
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

}  // namespace

Status write_stage(const FileHandle& file, const StageRecord& r, std::span<const std::span<const uint8_t>> pieces) {
    uint64_t length = 0;
    for (const auto& p : pieces) length += p.size();
    if (length > UINT32_MAX) return Error::invalid_data("staged copy exceeds u32");
    uint8_t head[kStageHeaderLen];
    encode_head(head, r, length);
    uint32_t crc = codec::crc32({head, stage_at::kCrc});
    for (const auto& p : pieces) crc = codec::crc32(crc, p);
    store_u32(head + stage_at::kCrc, crc);
    std::span<const uint8_t> all[8];
    if (pieces.size() + 1 > std::size(all)) return Error::invalid_data("staged copy in too many pieces");
    all[0] = {head, kStageHeaderLen};
    for (size_t i = 0; i < pieces.size(); ++i) all[i + 1] = pieces[i];
    return file.write_at(0, {all, pieces.size() + 1});
}

Result<std::optional<StageRecord>> read_stage(const std::string& path) {
    auto contents = BRVL_TRY(read_file_if_exists(path));
    if (!contents || contents->size() < kStageHeaderLen) return std::optional<StageRecord>();
    const auto* h = reinterpret_cast<const uint8_t*>(contents->data());
    if (std::memcmp(h + stage_at::kMagic, kStageMagic, sizeof kStageMagic) != 0) return std::optional<StageRecord>();
    const uint64_t length = load_u32(h + stage_at::kLength);
    if (contents->size() - kStageHeaderLen < length) return std::optional<StageRecord>();
    const uint32_t crc = codec::crc32(codec::crc32({h, stage_at::kCrc}), {h + kStageHeaderLen, length});
    if (crc != load_u32(h + stage_at::kCrc)) return std::optional<StageRecord>();
    StageRecord r;
    r.kind = load_u16(h + stage_at::kKind);
    r.base_offset = load_u64(h + stage_at::kBase);
    r.created_ms = load_u64(h + stage_at::kCreated);
    r.position = load_u64(h + stage_at::kPosition);
    r.record_count = load_u32(h + stage_at::kCount);
    r.payload_after = load_u32(h + stage_at::kPayloadAfter);
    r.frame_offset = load_u32(h + stage_at::kFrameOffset);
    r.raw_after = load_u64(h + stage_at::kRawAfter);
    r.staged.assign(h + kStageHeaderLen, h + kStageHeaderLen + length);
    return std::optional<StageRecord>(std::move(r));
}

}  // namespace brenvale
