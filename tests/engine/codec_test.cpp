#include "codec.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include "reference_codec.h"

#include <string>
#include <vector>

namespace brenvale {
namespace {

using Bytes = std::vector<uint8_t>;

// Deterministic incompressible bytes.
Bytes random_bytes(size_t n, uint64_t seed = 0x9E3779B97F4A7C15ULL) {
    Bytes b(n);
    uint64_t x = seed;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<uint8_t>(x >> 32);
    }
    return b;
}

// Record-like, compressible bytes.
Bytes text_bytes(size_t n) {
    Bytes b;
    b.reserve(n);
    for (size_t i = 0; b.size() < n; ++i) {
        std::string line = "ts=" + std::to_string(1700000000 + i) + " temp=" + std::to_string(i % 37) + ";";
        for (char ch : line) {
            if (b.size() == n) break;
            b.push_back(static_cast<uint8_t>(ch));
        }
    }
    return b;
}

Bytes must_compress(const Bytes& p, uint8_t level, uint8_t type) {
    auto r = codec::compress(p, level, type);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? *r : Bytes{};
}

template <typename T>
std::string err_text(const Result<T>& r) {
    return r.ok() ? std::string("<ok>") : r.error().to_string();
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

constexpr std::string_view kZstdPrefix = "decompression error: zstd decode error: ";
constexpr std::string_view kInflatePrefix = "decompression error: miniz_oxide inflate error: DecompressError { status: ";

// Inflates a raw DEFLATE stream with zlib.
Bytes zlib_inflate_raw(const Bytes& stored, size_t out_size) {
    return testing::reference_decode(codec::kDeflate, stored.data(), stored.size(), out_size);
}

TEST(CodecRoundTrip, BothTypesAllLevels) {
    const Bytes payloads[] = {Bytes{}, Bytes{42}, text_bytes(70000), random_bytes(5000)};
    for (uint8_t type : {codec::kZstd, codec::kDeflate}) {
        for (int level : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 30, 255}) {
            for (const auto& p : payloads) {
                SCOPED_TRACE(::testing::Message() << "type " << int(type) << " level " << level << " size " << p.size());
                Bytes c = must_compress(p, static_cast<uint8_t>(level), type);
                auto sized = codec::decompress(c, type, p.size());
                ASSERT_TRUE(sized.ok()) << err_text(sized);
                EXPECT_EQ(*sized, p);
                auto unsized = codec::decompress(c, type);
                ASSERT_TRUE(unsized.ok()) << err_text(unsized);
                EXPECT_EQ(*unsized, p);
            }
        }
    }
}

TEST(CodecRoundTrip, LargePayload) {
    Bytes p = text_bytes(4 << 20);
    auto noise = random_bytes(1 << 20);
    std::copy(noise.begin(), noise.end(), p.begin() + (1 << 20));
    for (uint8_t type : {codec::kZstd, codec::kDeflate}) {
        Bytes c = must_compress(p, 6, type);
        EXPECT_LT(c.size(), p.size());
        auto d = codec::decompress(c, type, p.size());
        ASSERT_TRUE(d.ok()) << err_text(d);
        EXPECT_TRUE(*d == p);
        auto u = codec::decompress(c, type);
        ASSERT_TRUE(u.ok()) << err_text(u);
        EXPECT_TRUE(*u == p);
    }
}

TEST(CodecLevels, ClampedPerMethod) {
    const Bytes p = text_bytes(200000);
    EXPECT_EQ(must_compress(p, 30, codec::kZstd), must_compress(p, 22, codec::kZstd));
    EXPECT_NE(must_compress(p, 1, codec::kZstd), must_compress(p, 22, codec::kZstd));
    EXPECT_EQ(must_compress(p, 30, codec::kDeflate), must_compress(p, 9, codec::kDeflate));
    EXPECT_EQ(must_compress(p, 10, codec::kDeflate), must_compress(p, 9, codec::kDeflate));
}

TEST(CodecLevels, DeflateLevelZeroWritesStoredBlocksOnly) {
    const Bytes p = text_bytes(150000);  // highly compressible, yet stored as is
    Bytes c = must_compress(p, 0, codec::kDeflate);
    ASSERT_GT(c.size(), p.size());
    // Walk the blocks: each is a stored block (BTYPE 00), byte-aligned header + LEN/NLEN.
    size_t pos = 0;
    size_t total = 0;
    bool final_seen = false;
    while (!final_seen) {
        ASSERT_LT(pos + 5, c.size() + 1);
        const uint8_t head = c[pos];
        EXPECT_EQ((head >> 1) & 3, 0) << "block at " << pos << " is not stored";
        final_seen = head & 1;
        const uint16_t len = static_cast<uint16_t>(c[pos + 1] | (c[pos + 2] << 8));
        const uint16_t nlen = static_cast<uint16_t>(c[pos + 3] | (c[pos + 4] << 8));
        ASSERT_EQ(static_cast<uint16_t>(~len), nlen);
        ASSERT_TRUE(std::equal(c.begin() + pos + 5, c.begin() + pos + 5 + len, p.begin() + total));
        total += len;
        pos += 5 + len;
    }
    EXPECT_EQ(total, p.size());
    EXPECT_EQ(pos, c.size());
    EXPECT_LT(must_compress(p, 1, codec::kDeflate).size(), p.size() / 4);
}

TEST(CodecFormat, StandardDecodersReadOurOutput) {
    const Bytes p = text_bytes(100000);
    // zstd: one frame with the content checksum, readable by the one-shot API.
    Bytes z = must_compress(p, 3, codec::kZstd);
    ASSERT_GE(z.size(), 5u);
    EXPECT_EQ(z[0], 0x28);
    EXPECT_EQ(z[3], 0xFD);
    EXPECT_TRUE(z[4] & 0x04) << "content checksum flag not set";
    EXPECT_EQ(ZSTD_findFrameCompressedSize(z.data(), z.size()), z.size());
    Bytes out(p.size());
    const size_t n = ZSTD_decompress(out.data(), out.size(), z.data(), z.size());
    ASSERT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
    EXPECT_EQ(n, p.size());
    EXPECT_EQ(out, p);

    // DEFLATE: a raw stream (no zlib header) that zlib inflates with windowBits -15.
    for (uint8_t level : {0, 6, 9}) {
        Bytes d = must_compress(p, level, codec::kDeflate);
        EXPECT_EQ(zlib_inflate_raw(d, p.size()), p) << "level " << int(level);
    }
    EXPECT_EQ(zlib_inflate_raw(must_compress({}, 6, codec::kDeflate), 0), Bytes{});
}

TEST(CodecCorruption, ZstdFaults) {
    const Bytes p = random_bytes(20000);  // stored raw inside the frame: only the checksum sees a flip
    Bytes z = must_compress(p, 3, codec::kZstd);

    Bytes flipped = z;
    flipped[z.size() / 2] ^= 0x01;
    for (auto expected : {std::optional<size_t>(), std::optional<size_t>(p.size())}) {
        auto r = codec::decompress(flipped, codec::kZstd, expected);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
        EXPECT_EQ(r.error().to_string(), "decompression error: zstd decode error: Restored data doesn't match checksum");
    }

    // Compressible content: a flip inside the entropy-coded data fails too.
    Bytes t = must_compress(text_bytes(50000), 5, codec::kZstd);
    for (size_t at = 20; at < t.size(); at += t.size() / 7) {
        Bytes bad = t;
        bad[at] ^= 0x40;
        auto r = codec::decompress(bad, codec::kZstd, 50000);
        ASSERT_FALSE(r.ok()) << "flip at " << at;
        EXPECT_TRUE(starts_with(r.error().to_string(), kZstdPrefix)) << r.error().to_string();
    }

    // Every truncation fails, with and without an expected size.
    for (size_t cut : {size_t{0}, size_t{1}, size_t{4}, size_t{6}, z.size() / 2, z.size() - 4, z.size() - 1}) {
        Bytes shortened(z.begin(), z.begin() + cut);
        for (auto expected : {std::optional<size_t>(), std::optional<size_t>(p.size())}) {
            auto r = codec::decompress(shortened, codec::kZstd, expected);
            ASSERT_FALSE(r.ok()) << "cut " << cut;
            EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
            EXPECT_TRUE(starts_with(r.error().to_string(), kZstdPrefix)) << r.error().to_string();
        }
    }

    // Trailing garbage after a complete frame is refused.
    Bytes trailing = z;
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_TRUE(starts_with(err_text(codec::decompress(trailing, codec::kZstd, p.size())), kZstdPrefix));
    Bytes tail2 = z;
    tail2.insert(tail2.end(), {0x28, 0xB5});
    EXPECT_TRUE(starts_with(err_text(codec::decompress(tail2, codec::kZstd)), kZstdPrefix));

    // DEFLATE bytes are not mistaken for zstd.
    Bytes d = must_compress(p, 6, codec::kDeflate);
    auto r = codec::decompress(d, codec::kZstd);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
    EXPECT_EQ(r.error().to_string(), "decompression error: zstd decode error: Unknown frame descriptor");
}

TEST(CodecCorruption, ZstdConcatenatedFrames) {
    const Bytes a = text_bytes(3000);
    const Bytes b = random_bytes(2000);
    Bytes both = must_compress(a, 3, codec::kZstd);
    Bytes zb = must_compress(b, 3, codec::kZstd);
    both.insert(both.end(), zb.begin(), zb.end());
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    auto r = codec::decompress(both, codec::kZstd, joined.size());
    ASSERT_TRUE(r.ok()) << err_text(r);
    EXPECT_EQ(*r, joined);
    auto u = codec::decompress(both, codec::kZstd);
    ASSERT_TRUE(u.ok()) << err_text(u);
    EXPECT_EQ(*u, joined);
    // The limit counts the output of all frames.
    EXPECT_TRUE(starts_with(err_text(codec::decompress(both, codec::kZstd, a.size())), kZstdPrefix));
}

TEST(CodecCorruption, DeflateFaults) {
    // BTYPE 11 is reserved: the first block is invalid.
    const Bytes bad = {0xFF, 0xFF, 0xFF, 0xFF};
    for (auto expected : {std::optional<size_t>(), std::optional<size_t>(4)}) {
        auto r = codec::decompress(bad, codec::kDeflate, expected);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
        EXPECT_EQ(r.error().to_string(),
                  "decompression error: miniz_oxide inflate error: DecompressError { status: Failed, output: [] }");
    }

    // Truncated streams never decode to the full payload.
    const Bytes p = text_bytes(40000);
    for (uint8_t level : {0, 6}) {
        Bytes d = must_compress(p, level, codec::kDeflate);
        for (size_t cut : {size_t{0}, size_t{1}, d.size() / 3, d.size() / 2, d.size() - 3}) {
            Bytes shortened(d.begin(), d.begin() + cut);
            auto sized = codec::decompress(shortened, codec::kDeflate, p.size());
            ASSERT_FALSE(sized.ok()) << "level " << int(level) << " cut " << cut;
            EXPECT_EQ(sized.error().kind(), ErrorKind::Decompression);
            EXPECT_TRUE(starts_with(sized.error().to_string(), kInflatePrefix)) << sized.error().to_string();
            auto unsized = codec::decompress(shortened, codec::kDeflate);
            if (unsized.ok()) {
                EXPECT_NE(*unsized, p);
            } else {
                EXPECT_TRUE(starts_with(unsized.error().to_string(), kInflatePrefix));
            }
        }
    }
}

TEST(CodecBounds, ExpectedSizeMismatch) {
    const Bytes p = text_bytes(10000);
    const Bytes z = must_compress(p, 3, codec::kZstd);
    const Bytes d = must_compress(p, 6, codec::kDeflate);

    EXPECT_EQ(err_text(codec::decompress(z, codec::kZstd, p.size() - 1)),
              "decompression error: zstd decode error: decoded size exceeds expected 9999");
    EXPECT_EQ(err_text(codec::decompress(z, codec::kZstd, 0)),
              "decompression error: zstd decode error: decoded size exceeds expected 0");
    EXPECT_EQ(err_text(codec::decompress(z, codec::kZstd, p.size() + 1)),
              "decompression error: zstd decode error: decoded size 10000 is below expected 10001");
    // A huge claimed size (a corrupt block header) is an error, not a success.
    EXPECT_TRUE(starts_with(err_text(codec::decompress(z, codec::kZstd, size_t{100} << 20)), kZstdPrefix));

    EXPECT_EQ(err_text(codec::decompress(d, codec::kDeflate, p.size() - 1)),
              "decompression error: miniz_oxide inflate error: DecompressError { status: HasMoreOutput, output: [] }");
    EXPECT_EQ(err_text(codec::decompress(d, codec::kDeflate, p.size() + 1)),
              "decompression error: miniz_oxide inflate error: DecompressError { status: NeedsMoreInput, output: [] }");
    EXPECT_EQ(err_text(codec::decompress(d, codec::kDeflate, 0xFFFFFFFFu)),
              "decompression error: miniz_oxide inflate error: DecompressError { status: NeedsMoreInput, output: [] }");

    // Empty payloads with expected size 0.
    for (uint8_t type : {codec::kZstd, codec::kDeflate}) {
        auto r = codec::decompress(must_compress({}, 6, type), type, 0);
        ASSERT_TRUE(r.ok()) << err_text(r);
        EXPECT_TRUE(r->empty());
        EXPECT_FALSE(codec::decompress(Bytes{}, type).ok());
    }
}

TEST(CodecBounds, UnknownSizeIsCapped) {
    const size_t cap = codec::kMaxUnknownDecompressedSize;
    const Bytes zeros(cap + 1, 0);
    const std::span<const uint8_t> exact(zeros.data(), cap);
    for (uint8_t type : {codec::kZstd, codec::kDeflate}) {
        SCOPED_TRACE(int(type));
        auto at_cap = codec::compress(exact, 1, type);
        ASSERT_TRUE(at_cap.ok());
        auto ok = codec::decompress(*at_cap, type);
        ASSERT_TRUE(ok.ok()) << err_text(ok);
        EXPECT_EQ(ok->size(), cap);

        auto over = codec::compress(zeros, 1, type);
        ASSERT_TRUE(over.ok());
        auto r = codec::decompress(*over, type);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), ErrorKind::Decompression);
        // The caller's own size lifts the cap.
        auto sized = codec::decompress(*over, type, cap + 1);
        ASSERT_TRUE(sized.ok()) << err_text(sized);
        EXPECT_EQ(sized->size(), cap + 1);
    }
    auto z = codec::compress(zeros, 1, codec::kZstd);
    EXPECT_EQ(err_text(codec::decompress(*z, codec::kZstd)),
              "decompression error: zstd decode error: decoded size exceeds limit 67108864");
    auto d = codec::compress(zeros, 1, codec::kDeflate);
    EXPECT_EQ(err_text(codec::decompress(*d, codec::kDeflate)),
              "decompression error: miniz_oxide inflate error: DecompressError { status: HasMoreOutput, output: [] }");
}

// The block path (uninitialised, reused buffers; zstd decoding straight into them) gives
// exactly what the vector path gives: the same bytes or the same error text.
TEST(CodecBlock, MatchesDecompress) {
    const Bytes text = text_bytes(262144);
    const Bytes rnd = random_bytes(20000);
    const Bytes zt = must_compress(text, 6, codec::kZstd);
    const Bytes zr = must_compress(rnd, 3, codec::kZstd);
    const Bytes dt = must_compress(text, 6, codec::kDeflate);
    Bytes flipped = zr;
    flipped[zr.size() / 2] ^= 0x01;
    Bytes flipped_text = zt;
    flipped_text[zt.size() / 3] ^= 0x40;
    Bytes trailing = zr;
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    Bytes two = must_compress(text_bytes(3000), 3, codec::kZstd);
    const Bytes second = must_compress(rnd, 3, codec::kZstd);
    two.insert(two.end(), second.begin(), second.end());
    struct Case {
        Bytes stored;
        uint8_t type;
        size_t expected;
    };
    const std::vector<Case> cases = {
        {zt, codec::kZstd, text.size()},
        {zt, codec::kZstd, text.size() - 1},
        {zt, codec::kZstd, text.size() + 1},
        {zt, codec::kZstd, 0},
        {zr, codec::kZstd, rnd.size()},
        {flipped, codec::kZstd, rnd.size()},
        {flipped_text, codec::kZstd, text.size()},
        {Bytes(zr.begin(), zr.begin() + zr.size() / 2), codec::kZstd, rnd.size()},
        {Bytes{}, codec::kZstd, 0},
        {trailing, codec::kZstd, rnd.size()},
        {two, codec::kZstd, 3000 + rnd.size()},
        {two, codec::kZstd, 3000},
        {must_compress({}, 6, codec::kZstd), codec::kZstd, 0},
        {dt, codec::kZstd, text.size()},
        {dt, codec::kDeflate, text.size()},
        {dt, codec::kDeflate, text.size() - 1},
        {dt, codec::kDeflate, text.size() + 1},
        {dt, codec::kDeflate, 0xFFFFFFFFu},
        {Bytes(dt.begin(), dt.begin() + dt.size() / 2), codec::kDeflate, text.size()},
        {zt, 2, text.size()},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        auto want = codec::decompress(c.stored, c.type, c.expected);
        auto got = codec::decompress_block(c.stored, c.type, c.expected);
        ASSERT_EQ(got.ok(), want.ok()) << err_text(got) << " / " << err_text(want);
        if (!want.ok()) {
            EXPECT_EQ(got.error().to_string(), want.error().to_string());
            EXPECT_EQ(got.error().kind(), want.error().kind());
            continue;
        }
        EXPECT_EQ(Bytes(got->bytes().begin(), got->bytes().end()), *want);
    }
}

// compress_block writes the same bytes as compress (its output steps are the same 32 KiB).
TEST(CodecBlock, CompressMatchesCompress) {
    const std::vector<Bytes> payloads = {Bytes{}, text_bytes(100), text_bytes(262144), random_bytes(262144),
                                         random_bytes(40000)};
    for (uint8_t type : {codec::kZstd, codec::kDeflate}) {
        for (uint8_t level : {0, 1, 6, 9}) {
            for (const Bytes& p : payloads) {
                SCOPED_TRACE(::testing::Message() << int(type) << "/" << int(level) << "/" << p.size());
                auto want = codec::compress(p, level, type);
                auto got = codec::compress_block(p, level, type);
                ASSERT_TRUE(want.ok() && got.ok());
                EXPECT_EQ(Bytes(got->bytes().begin(), got->bytes().end()), *want);
            }
        }
    }
    EXPECT_EQ(err_text(codec::compress_block(text_bytes(10), 6, 2)), "invalid data: unknown compress_type 2");
}

TEST(CodecType, UnknownTypeRefusedBeforeWork) {
    const Bytes p = text_bytes(100);
    for (uint8_t type : {2, 3, 255}) {
        const std::string want = "invalid data: unknown compress_type " + std::to_string(type);
        auto c = codec::compress(p, 6, type);
        ASSERT_FALSE(c.ok());
        EXPECT_EQ(c.error().kind(), ErrorKind::InvalidData);
        EXPECT_EQ(c.error().to_string(), want);
        EXPECT_EQ(err_text(codec::decompress(p, type)), want);
        EXPECT_EQ(err_text(codec::decompress(p, type, 100)), want);
        EXPECT_EQ(err_text(codec::check_compress_type(type)), want);
    }
    EXPECT_TRUE(codec::check_compress_type(0).ok());
    EXPECT_TRUE(codec::check_compress_type(1).ok());
}

}  // namespace
}  // namespace brenvale
