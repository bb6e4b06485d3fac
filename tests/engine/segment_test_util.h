// Helpers shared by the data segment and segment set tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "file.h"
#include "segment/data.h"
#include "util.h"

namespace brenvale::testing {

// Incompressible bytes (xorshift), reproducible from the seed.
inline std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
    std::vector<uint8_t> out(n);
    uint64_t x = seed * 0x9e3779b97f4a7c15ULL + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// Compressible bytes.
inline std::vector<uint8_t> pattern_bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((i / 16) % 7 + seed);
    return out;
}

// The record frame bytes as they must appear inside a block payload.
inline std::vector<uint8_t> frame_bytes(int64_t ts, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(framed_size(data.size()), 0);
    store_u32(out.data(), static_cast<uint32_t>(data.size()));
    store_i64(out.data() + 4, ts);
    std::copy(data.begin(), data.end(), out.begin() + 12);
    return out;
}

inline std::vector<uint8_t> file_bytes(const std::string& path) {
    auto s = read_file(path);
    EXPECT_TRUE(s.ok());
    if (!s.ok()) return {};
    return std::vector<uint8_t>(s->begin(), s->end());
}

inline void patch_file(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

inline void patch_u64(const std::string& path, uint64_t offset, uint64_t v) {
    std::vector<uint8_t> b(8);
    store_u64(b.data(), v);
    patch_file(path, offset, b);
}
inline void patch_u32(const std::string& path, uint64_t offset, uint32_t v) {
    std::vector<uint8_t> b(4);
    store_u32(b.data(), v);
    patch_file(path, offset, b);
}
inline void patch_u16(const std::string& path, uint64_t offset, uint16_t v) {
    std::vector<uint8_t> b(2);
    store_u16(b.data(), v);
    patch_file(path, offset, b);
}

inline void truncate_file(const std::string& path, uint64_t len) { ASSERT_EQ(::truncate(path.c_str(), len), 0); }

// File offsets of the data segment state fields (header written by this system).
namespace seg_state_pos {
inline constexpr uint64_t kMin = kStatePos + data_state_at::kMin, kMax = kStatePos + data_state_at::kMax,
                          kWrote = kStatePos + data_state_at::kWrote, kCount = kStatePos + data_state_at::kCount,
                          kRaw = kStatePos + data_state_at::kRaw, kPendPos = kStatePos + data_state_at::kPendPos,
                          kPendWrote = kStatePos + data_state_at::kPendWrote,
                          kPendCount = kStatePos + data_state_at::kPendCount,
                          kInvalid = kStatePos + data_state_at::kInvalid;
}

#define EXPECT_SEG_ERROR(expr, kind_, detail_)                    \
    do {                                                          \
        auto brvl_r_ = (expr);                                    \
        ASSERT_FALSE(brvl_r_.ok()) << #expr " unexpectedly succeeded"; \
        EXPECT_EQ(brvl_r_.error().kind(), kind_);                 \
        EXPECT_EQ(brvl_r_.error().detail(), detail_);             \
    } while (0)

}  // namespace brenvale::testing
