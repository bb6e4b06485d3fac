// Block compression: zstd frames (streaming API, content checksum on) and raw DEFLATE
// streams (libdeflate). Decompression is always bounded: by the caller's expected size,
// or by kMaxUnknownDecompressedSize when the size is not known.
#include "codec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <libdeflate.h>
// For ZSTD_c_srcSizeHint, a parameter of the library's advanced API (zstd 1.4.4 and later).
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "test_hooks.h"

namespace brenvale::codec {

namespace {

constexpr size_t kZstdOutChunk = 32 * 1024;
constexpr int kZstdMaxLevel = 22;
constexpr int kDeflateMaxLevel = 9;
// First output allocation when the decoded size is not known in advance.
constexpr size_t kMinInitialOutput = 64 * 1024;
// DEFLATE cannot expand better than about 1032:1 (a 258-byte match per ~2 bits);
// an expected size beyond this bound cannot come from the given input.
constexpr size_t kDeflateMaxRatio = 1032;

struct CCtxDeleter {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxDeleter {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

Error unknown_type(uint8_t compress_type) { return invalid_data_fmt("unknown compress_type {}", compress_type); }

// ---- zstd ----

Error zstd_encode_error(std::string_view text) { return Error::compression(fmt::format("zstd encode error: {}", text)); }
Error zstd_decode_error(std::string_view text) {
    return Error::decompression(fmt::format("zstd decode error: {}", text));
}

// Output buffers of the compressors: a std::vector for callers of compress, a BlockBuffer
// (uninitialised, reused) for compress_block.
std::vector<uint8_t> new_output(std::vector<uint8_t>*, size_t n) { return std::vector<uint8_t>(n); }
BlockBuffer new_output(BlockBuffer*, size_t n) { return BlockBuffer::allocate(n); }
void shorten(std::vector<uint8_t>& out, size_t n) { out.resize(n); }
void shorten(BlockBuffer& out, size_t n) { out.truncate(n); }

// The frame is written straight into an output of ZSTD_compressBound bytes, which always
// holds it; the compressor is handed 32 KiB of it per step, as it was handed a 32 KiB
// buffer before, so nothing is copied after it.
template <typename Out>
Result<Out> zstd_compress(std::span<const uint8_t> payload, uint8_t level) {
    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
    if (!cctx) return zstd_encode_error("Allocation error : not enough memory");
    size_t r = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, std::min<int>(level, kZstdMaxLevel));
    if (ZSTD_isError(r)) return zstd_encode_error(ZSTD_getErrorName(r));
    r = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    if (ZSTD_isError(r)) {
        return Error::compression(fmt::format("zstd checksum config error: {}", ZSTD_getErrorName(r)));
    }
    // The payload size as a hint only (no content size in the frame header): the compressor
    // then sizes its window and tables for a block instead of for an unknown stream, which
    // saves most of its set-up. A library that does not know the hint compresses as before.
    if (payload.size() <= static_cast<size_t>(INT32_MAX)) {
        (void)ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_srcSizeHint, static_cast<int>(payload.size()));
    }

    const size_t bound = ZSTD_compressBound(payload.size());
    if (ZSTD_isError(bound)) return zstd_encode_error(ZSTD_getErrorName(bound));
    Out out = new_output(static_cast<Out*>(nullptr), bound);
    ZSTD_inBuffer in{payload.data(), payload.size(), 0};
    ZSTD_outBuffer ob{out.data(), 0, 0};
    for (;;) {
        ob.size = std::min(bound, ob.pos + kZstdOutChunk);
        const size_t remaining = ZSTD_compressStream2(cctx.get(), &ob, &in, ZSTD_e_end);
        if (ZSTD_isError(remaining)) return zstd_encode_error(ZSTD_getErrorName(remaining));
        if (remaining == 0) break;  // frame finished and flushed
        if (ob.pos == bound) return zstd_encode_error("Destination buffer is too small");
    }
    shorten(out, ob.pos);
    return out;
}

// Decodes one or more concatenated frames, producing at most `limit` bytes. With an
// expected size the result must be exactly that long.
Result<std::vector<uint8_t>> zstd_decompress(std::span<const uint8_t> stored, std::optional<size_t> expected) {
    const size_t limit = expected ? *expected : kMaxUnknownDecompressedSize;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    if (!dctx) return zstd_decode_error("Allocation error : not enough memory");

    size_t initial;
    if (expected) {
        initial = std::min(*expected, kMaxUnknownDecompressedSize);
    } else {
        initial = std::max(kMinInitialOutput, stored.size() * 4);
        const unsigned long long hint = ZSTD_getFrameContentSize(stored.data(), stored.size());
        if (hint != ZSTD_CONTENTSIZE_UNKNOWN && hint != ZSTD_CONTENTSIZE_ERROR) {
            initial = static_cast<size_t>(std::min<unsigned long long>(hint, limit));
        }
        initial = std::min(initial, limit);
    }
    std::vector<uint8_t> out(initial);
    size_t produced = 0;
    uint8_t probe = 0;  // one-byte sink used once the limit is reached, to detect excess output

    ZSTD_inBuffer in{stored.data(), stored.size(), 0};
    for (;;) {
        if (produced == out.size() && out.size() < limit) {
            const size_t grown = out.size() > limit / 2 ? limit : std::max(out.size() * 2, kMinInitialOutput);
            out.resize(std::min(grown, limit));
        }
        const bool at_limit = produced == limit;
        ZSTD_outBuffer ob = at_limit ? ZSTD_outBuffer{&probe, 1, 0} : ZSTD_outBuffer{out.data(), out.size(), produced};
        const size_t in_before = in.pos;
        const size_t out_before = ob.pos;
        const size_t ret = ZSTD_decompressStream(dctx.get(), &ob, &in);
        if (ZSTD_isError(ret)) return zstd_decode_error(ZSTD_getErrorName(ret));
        if (at_limit) {
            if (ob.pos != 0) {
                return zstd_decode_error(expected ? fmt::format("decoded size exceeds expected {}", limit)
                                                  : fmt::format("decoded size exceeds limit {}", limit));
            }
        } else {
            produced = ob.pos;
        }
        const bool input_done = in.pos == in.size;
        if (ret == 0 && input_done) break;  // last frame complete, checksum verified
        const bool output_full = ob.pos == ob.size;
        if (!output_full && (input_done || (in.pos == in_before && ob.pos == out_before))) {
            // The decoder wants more input than there is: a truncated frame.
            return zstd_decode_error("truncated frame: input ended before the frame was complete");
        }
    }
    if (expected && produced != *expected) {
        return zstd_decode_error(fmt::format("decoded size {} is below expected {}", produced, *expected));
    }
    out.resize(produced);
    return out;
}

// Decodes straight into out, which has room for expected + 1 bytes: with a stable output
// buffer the decoder keeps its window there instead of in buffers of its own and copies
// nothing. True when complete frames gave exactly expected bytes; anything else is left
// to zstd_decompress, which names the fault.
bool zstd_decode_stable(std::span<const uint8_t> stored, uint8_t* out, size_t expected) {
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    if (!dctx) return false;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_stableOutBuffer, 1))) return false;
    ZSTD_outBuffer ob{out, expected + 1, 0};
    ZSTD_inBuffer in{stored.data(), stored.size(), 0};
    for (;;) {
        const size_t in_before = in.pos;
        const size_t out_before = ob.pos;
        const size_t ret = ZSTD_decompressStream(dctx.get(), &ob, &in);
        if (ZSTD_isError(ret)) return false;
        if (ret == 0 && in.pos == in.size) return ob.pos == expected;
        if (in.pos == in_before && ob.pos == out_before) return false;
    }
}

// ---- raw DEFLATE ----

// The inflate failure detail keeps the inflater's diagnostic form: a status name and the
// output produced so far. libdeflate leaves its output buffer undefined on failure, so no
// partial output is kept and the list is always shown empty.
Error inflate_error(std::string_view status) {
    return Error::decompression(
        fmt::format("miniz_oxide inflate error: DecompressError {{ status: {}, output: [] }}", status));
}

template <typename Out>
Result<Out> deflate_compress(std::span<const uint8_t> payload, uint8_t level) {
    // Level 0 makes libdeflate emit stored (uncompressed) blocks only.
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> c(
        libdeflate_alloc_compressor(std::min<int>(level, kDeflateMaxLevel)));
    if (!c) return Error::compression("deflate encode error: compressor allocation failed");
    Out out = new_output(static_cast<Out*>(nullptr), libdeflate_deflate_compress_bound(c.get(), payload.size()));
    const size_t n = libdeflate_deflate_compress(c.get(), payload.data(), payload.size(), out.data(), out.size());
    if (n == 0) return Error::compression("deflate encode error: output exceeds compress bound");
    shorten(out, n);
    return out;
}

// Inflates into out, which must receive exactly `expected` bytes.
Status deflate_decode_exact(libdeflate_decompressor* d, std::span<const uint8_t> stored, uint8_t* out,
                            size_t expected) {
    size_t actual_in = 0;
    size_t actual_out = 0;
    const libdeflate_result r =
        libdeflate_deflate_decompress_ex(d, stored.data(), stored.size(), out, expected, &actual_in, &actual_out);
    switch (r) {
        case LIBDEFLATE_SUCCESS:
            // The stream ended before producing the expected bytes.
            if (actual_out != expected) return inflate_error("NeedsMoreInput");
            return ok_status();
        case LIBDEFLATE_INSUFFICIENT_SPACE: return inflate_error("HasMoreOutput");
        case LIBDEFLATE_SHORT_OUTPUT: return inflate_error("NeedsMoreInput");
        default: return inflate_error("Failed");
    }
}

// Inflates a stream of known size into a new output; a size that the input cannot
// produce is refused before anything is allocated for it.
template <typename Out>
Result<Out> deflate_decompress_known(std::span<const uint8_t> stored, size_t expected) {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d) return inflate_error("Failed");
    if (expected / kDeflateMaxRatio > stored.size()) return inflate_error("NeedsMoreInput");
    Out out = new_output(static_cast<Out*>(nullptr), expected);
    BRVL_TRY(deflate_decode_exact(d.get(), stored, out.data(), expected));
    return out;
}

Result<std::vector<uint8_t>> deflate_decompress(std::span<const uint8_t> stored, std::optional<size_t> expected) {
    if (expected) return deflate_decompress_known<std::vector<uint8_t>>(stored, *expected);
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d) return inflate_error("Failed");

    // Unknown size: retry with a doubling buffer up to the cap (libdeflate decodes in one call).
    const size_t limit = kMaxUnknownDecompressedSize;
    size_t size = std::min(limit, std::max(kMinInitialOutput, stored.size() * 4));
    std::vector<uint8_t> out;
    for (;;) {
        out.resize(size);
        size_t actual_in = 0;
        size_t actual_out = 0;
        const libdeflate_result r = libdeflate_deflate_decompress_ex(d.get(), stored.data(), stored.size(), out.data(),
                                                                     out.size(), &actual_in, &actual_out);
        if (r == LIBDEFLATE_SUCCESS) {
            out.resize(actual_out);
            return out;
        }
        if (r != LIBDEFLATE_INSUFFICIENT_SPACE) return inflate_error("Failed");
        if (size == limit) return inflate_error("HasMoreOutput");
        size = size > limit / 2 ? limit : size * 2;
    }
}

}  // namespace

Status check_compress_type(uint8_t compress_type) {
    if (compress_type != kZstd && compress_type != kDeflate) return unknown_type(compress_type);
    return ok_status();
}

Result<std::vector<uint8_t>> compress(std::span<const uint8_t> payload, uint8_t level, uint8_t compress_type) {
    switch (compress_type) {
        case kZstd: return zstd_compress<std::vector<uint8_t>>(payload, level);
        case kDeflate: return deflate_compress<std::vector<uint8_t>>(payload, level);
        default: return unknown_type(compress_type);
    }
}

Result<BlockBuffer> compress_block(std::span<const uint8_t> payload, uint8_t level, uint8_t compress_type) {
    switch (compress_type) {
        case kZstd: return zstd_compress<BlockBuffer>(payload, level);
        case kDeflate: return deflate_compress<BlockBuffer>(payload, level);
        default: return unknown_type(compress_type);
    }
}

Result<std::vector<uint8_t>> decompress(std::span<const uint8_t> stored, uint8_t compress_type,
                                        std::optional<size_t> expected_size) {
    note_decompression();
    switch (compress_type) {
        case kZstd: return zstd_decompress(stored, expected_size);
        case kDeflate: return deflate_decompress(stored, expected_size);
        default: return unknown_type(compress_type);
    }
}

Result<BlockBuffer> decompress_block(std::span<const uint8_t> stored, uint8_t compress_type, size_t expected_size) {
    if (expected_size > kMaxUnknownDecompressedSize) {
        std::vector<uint8_t> v = BRVL_TRY(decompress(stored, compress_type, expected_size));
        return BlockBuffer::copy_of(v);
    }
    note_decompression();
    switch (compress_type) {
        case kZstd: {
            BlockBuffer out = BlockBuffer::allocate(expected_size, expected_size + 1);
            if (zstd_decode_stable(stored, out.data(), expected_size)) return out;
            // The buffered decoder reports the fault (and decodes what the stable path
            // might have refused without one).
            std::vector<uint8_t> v = BRVL_TRY(zstd_decompress(stored, expected_size));
            if (!v.empty()) std::memcpy(out.data(), v.data(), v.size());
            return out;
        }
        case kDeflate: return deflate_decompress_known<BlockBuffer>(stored, expected_size);
        default: return unknown_type(compress_type);
    }
}

uint32_t crc32(std::span<const uint8_t> bytes) { return crc32(0, bytes); }

uint32_t crc32(uint32_t crc, std::span<const uint8_t> bytes) {
    return static_cast<uint32_t>(libdeflate_crc32(crc, bytes.data(), bytes.size()));
}

size_t compress_bound(size_t n) {
    return std::max<size_t>(ZSTD_compressBound(n), libdeflate_deflate_compress_bound(nullptr, n));
}

}  // namespace brenvale::codec
