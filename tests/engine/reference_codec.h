// Decoding with the reference libraries (zstd, zlib's raw inflate), independent of the
// engine's codec: proof that stored blocks are standard zstd frames and raw DEFLATE streams.
#pragma once

#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace brenvale::testing {

// Decodes n stored bytes of compress type `type` (0 zstd, 1 raw DEFLATE) expected to hold
// `expected` bytes (a little more room is given, so that an overlong output shows).
inline std::vector<uint8_t> reference_decode(uint8_t type, const uint8_t* p, size_t n, size_t expected) {
    std::vector<uint8_t> out(expected + 64);
    if (type == 0) {
        const size_t got = ZSTD_decompress(out.data(), out.size(), p, n);
        EXPECT_FALSE(ZSTD_isError(got)) << ZSTD_getErrorName(got);
        out.resize(ZSTD_isError(got) ? 0 : got);
        return out;
    }
    z_stream zs{};
    EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
    zs.next_in = const_cast<Bytef*>(p);
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return out;
}

}  // namespace brenvale::testing
