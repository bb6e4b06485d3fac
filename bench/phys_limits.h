// The physical limits of this machine for the engine's work on the same records: copying
// the framed records into a mapped file, compressing the framed stream in 256 KiB blocks
// (the seal cost), for scans decompressing those blocks and copying each record out, and
// for cold scans reading the files from the disk. The benchmarks measure them next to the
// engine, in the same iteration, so that both meet the same machine load.
#pragma once

#include <cstdint>
#include <string>

#include "bench_common.h"

namespace brenvale::bench {

struct LimitRun {
    double seconds = 0;       // the timed work only
    uint64_t records = 0;
    uint64_t out_bytes = 0;   // bytes produced (mapped file, compressed blocks incl. block headers, bytes read)
};

// Every framed record of the workload copied, in order, into a new mapped file whose
// blocks were reserved beforehand; its pages are faulted in by the copy, as the engine's
// are by its writes.
Result<LimitRun> limit_mapped_copy(Kind kind, const std::string& dir);

enum class Codec { Zstd, Deflate };
// The framed stream cut into blocks as the engine fills them (a frame never straddles
// two blocks), each compressed at `level`; only the compression calls are timed.
// fresh_context: a new compressor per block (its creation timed too), as the engine makes
// one; otherwise one compressor for all blocks.
Result<LimitRun> limit_compress(Kind kind, Codec codec, uint8_t level, bool fresh_context = false);

// The same zstd blocks (made once per workload and level, untimed) decompressed with a
// reused decompressor, each record then copied out as an owned byte vector.
enum class ScanLimit {
    // Decompression and copies timed; each block goes into a newly allocated buffer that
    // is kept until the scan ends, as a cache holding the whole dataset keeps it (the page
    // faults of new memory included).
    NewBuffers,
    // Decompression and copies timed; every block goes into the same, already touched
    // buffer (the lower bound of decompressing).
    ReusedBuffer,
    // Only the copies timed: the blocks were decompressed beforehand, as in a block cache
    // that holds them all.
    CopyOnly,
};
Result<LimitRun> limit_scan(Kind kind, uint8_t level, ScanLimit mode);

// A scan as the required-work limit below models it.
struct RequiredScan {
    bool warm = false;          // the blocks are cached and the index segments open already
    std::string index_dir;      // the engine's index segments (opened when not warm)
    int64_t lo = 0, hi = 0;     // the scanned timestamps
    uint64_t records = 0;       // the records the scan reads
};

// What the design requires of an iterator's scan, with none of the engine's own work (no
// index walk, no dataset): each block decompressed by a new decompressor into a new buffer
// and inserted into a block cache, as a read through the cache does; for each record the
// dataset lock taken and released twice (the entry's step, the record's read), the hot
// block's liveness checked through its non-owning reference, the frame read, the data
// copied out as an owned byte vector and the access clock read; and each index segment
// that holds part of the range opened, which checks every entry it has written. The
// per-record work runs over every block and is scaled to the scan's records. Warm: the
// blocks were cached beforehand (untimed) and only the per-record work counts.
Result<LimitRun> limit_scan_required(Kind kind, uint8_t level, const RequiredScan& scan);

// What the design requires of the point reads of read_order(), with none of the engine's
// own work: per read the dataset lock, one probe of a 32-byte entry in a table of every
// record's address (the fewest accesses any index search can make), a block cache lookup,
// on a miss the block decompressed whole by a new decompressor into a new buffer and
// inserted, the frame read, the owned copy and the access clock. Not warm: the index
// segments of the engine's dataset in index_dir are opened too, which checks every entry
// they hold. Warm: every read is made once beforehand (untimed).
Result<LimitRun> limit_read_required(Kind kind, uint8_t level, bool warm, const std::string& index_dir);

// Drops the OS page cache, then reads every file below dir from start to end with 1 MiB
// read() calls; only the reads are timed. records: what the files hold, for the rate.
Result<LimitRun> limit_cold_read(const std::string& dir, uint64_t records);

}  // namespace brenvale::bench
