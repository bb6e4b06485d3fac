#include "format/frame.h"

#include <cstring>

#include "util.h"

namespace brenvale {

void write_frame(uint8_t* dst, uint64_t key, std::span<const uint8_t> data, uint64_t framed) {
    if (!data.empty()) std::memcpy(dst + frame_at::kData, data.data(), data.size());
    std::memset(dst + frame_at::kData + data.size(), 0, framed - kFrameHeadLen - data.size());
    store_u64(dst + kFrameKeyOffset, key);
    store_u32(dst + frame_at::kLength, static_cast<uint32_t>(data.size()));
}

Error frame_fault_error(FrameFault fault, std::string_view prefix) {
    return invalid_data_fmt("{}record {} out of bounds", prefix, fault == FrameFault::Index ? "index" : "data");
}

std::optional<uint64_t> scan_frames(const RecordFraming& framing, const uint8_t* payload, uint64_t limit,
                                    uint64_t count) {
    uint64_t off = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (limit - off < kFrameHeadLen) return std::nullopt;
        const uint64_t len = load_u32(payload + off + frame_at::kLength);
        if (len > framing.max_data) return std::nullopt;
        const uint64_t f = framing.framed(len);
        if (f > limit - off) return std::nullopt;
        off += f;
    }
    return off;
}

}  // namespace brenvale
