// The physical limits of this machine for the engine's work on the same records: copying
// the framed records into a mapped file, compressing the framed stream in 256 KiB blocks
// (the seal cost), and for scans decompressing those blocks and copying each record out.
#pragma once

#include <cstdint>
#include <string>

#include "bench_common.h"

namespace brenvale::bench {

struct LimitRun {
    double seconds = 0;       // the timed work only
    uint64_t records = 0;
    uint64_t out_bytes = 0;   // bytes produced (mapped file, compressed blocks incl. block headers)
};

// Every framed record of the workload copied, in order, into a fresh mapped file whose
// blocks were reserved and whose pages were faulted in beforehand (memory bandwidth).
Result<LimitRun> limit_mapped_copy(Kind kind, const std::string& dir);

enum class Codec { Zstd, Deflate };
// The framed stream cut into blocks as the engine fills them (a frame never straddles
// two blocks), each compressed at `level` with a reused compressor; only the compression
// calls are timed.
Result<LimitRun> limit_compress(Kind kind, Codec codec, uint8_t level);

// The same zstd blocks decompressed with a reused decompressor, each record then copied
// out as an owned byte vector; the decompression and the copies are timed.
Result<LimitRun> limit_scan(Kind kind, uint8_t level);

}  // namespace brenvale::bench
