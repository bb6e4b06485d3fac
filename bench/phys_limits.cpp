#include "phys_limits.h"

#include <libdeflate.h>
#include <zstd.h>

#include <chrono>
#include <memory>
#include <vector>

#include "file.h"
#include "util.h"

namespace brenvale::bench {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
struct DeflateFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

constexpr size_t kBlockHeader = 16;

// Calls fn(block bytes) for each block of the workload's framed stream, filled as the
// engine fills its pending block.
template <typename Fn>
Status for_each_block(Kind kind, Fn&& fn) {
    std::vector<uint8_t> block(kBlockPayload);
    size_t used = 0;
    const uint64_t n = record_count(kind);
    for (uint64_t i = 0; i < n; ++i) {
        const auto data = payload(kind, i);
        const size_t f = framed_size(data.size());
        if (used + f > kBlockPayload) {
            BRVL_TRY(fn(std::span<const uint8_t>(block.data(), used)));
            used = 0;
        }
        write_frame(block.data() + used, timestamp_of(i), data);
        used += f;
    }
    if (used > 0) BRVL_TRY(fn(std::span<const uint8_t>(block.data(), used)));
    return {};
}

Result<std::unique_ptr<ZSTD_CCtx, CCtxFree>> zstd_context(uint8_t level) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return Error::compression("zstd context");
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1))) {
        return Error::compression("zstd parameters");
    }
    return cctx;
}

}  // namespace

Result<LimitRun> limit_mapped_copy(Kind kind, const std::string& dir) {
    const uint64_t n = record_count(kind);
    const uint64_t total = n * framed_size(payload_size(kind));
    MappedFile file = BRVL_TRY(MappedFile::create(join_path(dir, "copy"), total, true));
    // Fault every page in first: the limit is the memory bandwidth, not the file system's
    // page-fault path (which the engine meets only as its files grow).
    for (uint64_t off = 0; off < total; off += 4096) file.data()[off] = 0;
    uint8_t* dst = file.data();
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) {
        const auto data = payload(kind, i);
        write_frame(dst, timestamp_of(i), data);
        dst += framed_size(data.size());
    }
    LimitRun run{seconds_since(t0), n, total};
    file.close();
    return run;
}

Result<LimitRun> limit_compress(Kind kind, Codec codec, uint8_t level) {
    LimitRun run;
    run.records = record_count(kind);
    std::vector<uint8_t> out;
    if (codec == Codec::Zstd) {
        auto cctx = BRVL_TRY(zstd_context(level));
        out.resize(ZSTD_compressBound(kBlockPayload));
        BRVL_TRY(for_each_block(kind, [&](std::span<const uint8_t> block) -> Status {
            const auto t0 = Clock::now();
            const size_t r = ZSTD_compress2(cctx.get(), out.data(), out.size(), block.data(), block.size());
            run.seconds += seconds_since(t0);
            if (ZSTD_isError(r)) return Error::compression(ZSTD_getErrorName(r));
            run.out_bytes += r + kBlockHeader;
            return {};
        }));
    } else {
        std::unique_ptr<libdeflate_compressor, DeflateFree> c(libdeflate_alloc_compressor(level));
        if (!c) return Error::compression("libdeflate compressor");
        out.resize(libdeflate_deflate_compress_bound(c.get(), kBlockPayload));
        BRVL_TRY(for_each_block(kind, [&](std::span<const uint8_t> block) -> Status {
            const auto t0 = Clock::now();
            const size_t r = libdeflate_deflate_compress(c.get(), block.data(), block.size(), out.data(), out.size());
            run.seconds += seconds_since(t0);
            if (r == 0) return Error::compression("libdeflate output too small");
            run.out_bytes += r + kBlockHeader;
            return {};
        }));
    }
    return run;
}

Result<LimitRun> limit_scan(Kind kind, uint8_t level) {
    auto cctx = BRVL_TRY(zstd_context(level));
    std::vector<std::vector<uint8_t>> blocks;
    BRVL_TRY(for_each_block(kind, [&](std::span<const uint8_t> block) -> Status {
        std::vector<uint8_t> out(ZSTD_compressBound(block.size()));
        const size_t r = ZSTD_compress2(cctx.get(), out.data(), out.size(), block.data(), block.size());
        if (ZSTD_isError(r)) return Error::compression(ZSTD_getErrorName(r));
        out.resize(r);
        blocks.push_back(std::move(out));
        return {};
    }));

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) return Error::decompression("zstd context");
    std::vector<uint8_t> plain(kBlockPayload);
    Digest digest;
    const auto t0 = Clock::now();
    for (const auto& b : blocks) {
        const size_t len = ZSTD_decompressDCtx(dctx.get(), plain.data(), plain.size(), b.data(), b.size());
        if (ZSTD_isError(len)) return Error::decompression(ZSTD_getErrorName(len));
        for (size_t pos = 0; pos + 12 <= len;) {
            const uint32_t dlen = load_u32(plain.data() + pos);
            const int64_t ts = load_i64(plain.data() + pos + 4);
            if (pos + 12 + dlen > len) return Error::invalid_data("frame beyond block");
            std::vector<uint8_t> data(plain.data() + pos + 12, plain.data() + pos + 12 + dlen);
            digest.add(ts, data);
            pos += framed_size(dlen);
        }
    }
    LimitRun run{seconds_since(t0), digest.count, digest.bytes};
    if (digest.count != record_count(kind)) return Error::invalid_data("scan limit lost records");
    return run;
}

}  // namespace brenvale::bench
