#include "phys_limits.h"

#include <libdeflate.h>
#include <zstd.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "cache.h"
#include "codec.h"
#include "file.h"
#include "format/frame.h"
#include "index/segment.h"
#include "paths.h"
#include "segment/data.h"
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
        write_frame(block.data() + used, timestamp_of(kind, i), data);
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
    uint8_t* dst = file.data();
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) {
        const auto data = payload(kind, i);
        write_frame(dst, timestamp_of(kind, i), data);
        dst += framed_size(data.size());
    }
    LimitRun run{seconds_since(t0), n, total};
    file.close();
    BRVL_TRY(remove_file(join_path(dir, "copy")));
    return run;
}

Result<LimitRun> limit_compress(Kind kind, Codec codec, uint8_t level, bool fresh_context) {
    LimitRun run;
    run.records = record_count(kind);
    std::vector<uint8_t> out;
    if (codec == Codec::Zstd) {
        auto shared = BRVL_TRY(zstd_context(level));
        out.resize(ZSTD_compressBound(kBlockPayload));
        BRVL_TRY(for_each_block(kind, [&](std::span<const uint8_t> block) -> Status {
            const auto t0 = Clock::now();
            std::unique_ptr<ZSTD_CCtx, CCtxFree> own;
            if (fresh_context) own = BRVL_TRY(zstd_context(level));
            ZSTD_CCtx* cctx = fresh_context ? own.get() : shared.get();
            const size_t r = ZSTD_compress2(cctx, out.data(), out.size(), block.data(), block.size());
            own.reset();
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

namespace {

// The zstd blocks of a workload at a level, made on first use.
Result<const std::vector<std::vector<uint8_t>>*> compressed_blocks(Kind kind, uint8_t level) {
    static std::map<std::pair<Kind, uint8_t>, std::vector<std::vector<uint8_t>>> made;
    const auto key = std::make_pair(kind, level);
    if (auto it = made.find(key); it != made.end()) return &it->second;
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
    return &(made[key] = std::move(blocks));
}

}  // namespace

Result<LimitRun> limit_scan(Kind kind, uint8_t level, ScanLimit mode) {
    const auto* blocks = BRVL_TRY(compressed_blocks(kind, level));
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) return Error::decompression("zstd context");
    std::vector<std::unique_ptr<uint8_t[]>> kept;
    std::vector<size_t> lengths;
    kept.reserve(blocks->size());
    std::vector<uint8_t> reused(kBlockPayload);
    auto decompress = [&](const std::vector<uint8_t>& b, uint8_t* plain) -> Result<size_t> {
        const size_t len = ZSTD_decompressDCtx(dctx.get(), plain, kBlockPayload, b.data(), b.size());
        if (ZSTD_isError(len)) return Error::decompression(ZSTD_getErrorName(len));
        return len;
    };
    Digest digest;
    auto copy_out = [&](const uint8_t* plain, size_t len) -> Status {
        for (size_t pos = 0; pos + 12 <= len;) {
            const uint32_t dlen = load_u32(plain + pos);
            const int64_t ts = load_i64(plain + pos + 4);
            if (pos + 12 + dlen > len) return Error::invalid_data("frame beyond block");
            std::vector<uint8_t> data(plain + pos + 12, plain + pos + 12 + dlen);
            digest.add(ts, data);
            pos += framed_size(dlen);
        }
        return {};
    };
    if (mode == ScanLimit::CopyOnly) {
        for (const auto& b : *blocks) {
            kept.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlockPayload));
            lengths.push_back(BRVL_TRY(decompress(b, kept.back().get())));
        }
    }
    const auto t0 = Clock::now();
    if (mode == ScanLimit::CopyOnly) {
        for (size_t i = 0; i < kept.size(); ++i) BRVL_TRY(copy_out(kept[i].get(), lengths[i]));
    } else {
        for (const auto& b : *blocks) {
            uint8_t* plain = reused.data();
            if (mode == ScanLimit::NewBuffers) {
                kept.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlockPayload));
                plain = kept.back().get();
            }
            const size_t len = BRVL_TRY(decompress(b, plain));
            BRVL_TRY(copy_out(plain, len));
        }
    }
    LimitRun run{seconds_since(t0), digest.count, digest.bytes};
    if (digest.count != record_count(kind)) return Error::invalid_data("scan limit lost records");
    return run;
}

namespace {

// Block i of a workload brought into the cache as a read through it brings a block in: a
// new decompressor, a new buffer, the insertion.
Result<HotBlockPtr> cache_block(const std::vector<std::vector<uint8_t>>& blocks, size_t i, BlockCache& cache) {
    const std::vector<uint8_t>& stored = blocks[i];
    const unsigned long long size = ZSTD_getFrameContentSize(stored.data(), stored.size());
    if (size > kBlockPayload) return Error::invalid_data("block without its size");
    BlockBuffer plain = BRVL_TRY(codec::decompress_block(stored, 0, static_cast<size_t>(size)));
    return cache.insert(BlockKey{1, 0, i}, std::make_shared<const HotBlock>(std::move(plain)));
}

// Opens (and closes) every index segment of dir that holds part of [lo, hi]; the opens
// alone are timed.
Result<double> time_index_opens(const std::string& dir, int64_t lo, int64_t hi) {
    std::vector<std::pair<int64_t, std::string>> segments;
    for (std::string& name : BRVL_TRY(list_dir(dir))) {
        if (auto start = parse_index_segment_name(name)) segments.emplace_back(*start, join_path(dir, name));
    }
    std::sort(segments.begin(), segments.end());
    double seconds = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        const int64_t last = i + 1 < segments.size() ? segments[i + 1].first - 1 : INT64_MAX;
        if (segments[i].first > hi || last < lo) continue;
        std::error_code ec;
        const uint64_t size = std::filesystem::file_size(segments[i].second, ec);
        if (ec) return Error::io(ec.value());
        const auto t0 = Clock::now();
        IndexSegment seg = BRVL_TRY(IndexSegment::open(segments[i].second, segments[i].first, size));
        seconds += seconds_since(t0);
    }
    return seconds;
}

}  // namespace

Result<LimitRun> limit_scan_required(Kind kind, uint8_t level, const RequiredScan& scan) {
    const bool warm = scan.warm;
    const auto* blocks = BRVL_TRY(compressed_blocks(kind, level));
    BlockCache cache(kCacheBytes);
    std::mutex mu;  // stands for the dataset mutex
    HotBlockSlot slot;
    MonoInstant last_activity;
    auto key_of = [](size_t i) { return BlockKey{1, 0, i}; };
    auto load = [&](size_t i) { return cache_block(*blocks, i, cache); };
    if (warm) {
        for (size_t i = 0; i < blocks->size(); ++i) BRVL_TRY(load(i));
    }
    Digest digest;
    const auto t0 = Clock::now();
    for (size_t i = 0; i < blocks->size(); ++i) {
        size_t len = 0;
        {
            std::lock_guard lock(mu);
            HotBlockPtr block = warm ? cache.get(key_of(i)) : BRVL_TRY(load(i));
            if (!block) return Error::invalid_data("block not cached");
            slot.set(key_of(i), block);
            len = block->size();
        }
        for (size_t pos = 0; pos + kFrameHeadLen <= len;) {
            { std::lock_guard step(mu); }
            std::lock_guard lock(mu);
            HotBlockPtr block = slot.lookup(key_of(i));
            FrameRef f;
            if (!block || locate_frame(block->bytes(), in_block_of(pos), f) != FrameFault::None)
                return Error::invalid_data("frame beyond block");
            std::vector<uint8_t> data(f.data, f.data + f.len);
            last_activity = coarse_now();
            digest.add(f.timestamp, data);
            pos += framed_size(f.len);
        }
    }
    const double per_record = seconds_since(t0) / static_cast<double>(digest.count);
    if (digest.count != record_count(kind)) return Error::invalid_data("required scan lost records");
    LimitRun run{per_record * static_cast<double>(scan.records), scan.records,
                 digest.bytes / digest.count * scan.records};
    if (!warm) run.seconds += BRVL_TRY(time_index_opens(scan.index_dir, scan.lo, scan.hi));
    return run;
}

Result<LimitRun> limit_read_required(Kind kind, uint8_t level, bool warm, const std::string& index_dir) {
    const auto* blocks = BRVL_TRY(compressed_blocks(kind, level));
    // Every record's address as for_each_block places it: timestamp, block, in_block.
    constexpr size_t kEntry = 32;
    const uint64_t n = record_count(kind);
    std::vector<uint8_t> table(static_cast<size_t>(n) * kEntry);
    uint64_t block = 0;
    size_t used = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const size_t f = framed_size(payload(kind, i).size());
        if (used + f > kBlockPayload) {
            ++block;
            used = 0;
        }
        uint8_t* e = table.data() + i * kEntry;
        store_u64(e, static_cast<uint64_t>(timestamp_of(kind, i)));
        store_u64(e + 8, block);
        store_u16(e + 16, in_block_of(used));
        used += f;
    }
    if (block + 1 != blocks->size()) return Error::invalid_data("records and blocks disagree");
    BlockCache cache(kCacheBytes);
    std::mutex mu;  // stands for the dataset mutex
    MonoInstant last_activity;
    Digest digest;
    auto read_all = [&]() -> Status {
        for (uint64_t i : read_order()) {
            std::lock_guard lock(mu);
            const uint8_t* e = table.data() + i * kEntry;
            if (load_i64(e) != timestamp_of(kind, i)) return Error::invalid_data("entry of another timestamp");
            const uint64_t b = load_u64(e + 8);
            HotBlockPtr hot = cache.get(BlockKey{1, 0, b});
            if (!hot) hot = BRVL_TRY(cache_block(*blocks, b, cache));
            FrameRef f;
            if (locate_frame(hot->bytes(), load_u16(e + 16), f) != FrameFault::None)
                return Error::invalid_data("frame beyond block");
            std::vector<uint8_t> data(f.data, f.data + f.len);
            last_activity = coarse_now();
            digest.add(f.timestamp, data);
        }
        return {};
    };
    if (warm) BRVL_TRY(read_all());
    digest = Digest{};
    const auto t0 = Clock::now();
    BRVL_TRY(read_all());
    LimitRun run{seconds_since(t0), digest.count, digest.bytes};
    if (!warm) run.seconds += BRVL_TRY(time_index_opens(index_dir, INT64_MIN, INT64_MAX));
    return run;
}

Result<LimitRun> limit_cold_read(const std::string& dir, uint64_t records) {
    std::vector<std::string> files;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(it->path().string());
    }
    if (ec) return Error::io(ec.value());
    BRVL_TRY(drop_os_cache());
    std::vector<uint8_t> buf(1 << 20);
    LimitRun run;
    run.records = records;
    const auto t0 = Clock::now();
    for (const std::string& path : files) {
        FileHandle fd = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadOnly));
        for (;;) {
            const ssize_t got = ::read(fd.fd(), buf.data(), buf.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return Error::io(errno);
            if (got == 0) break;
            run.out_bytes += static_cast<uint64_t>(got);
        }
    }
    run.seconds = seconds_since(t0);
    return run;
}

}  // namespace brenvale::bench
