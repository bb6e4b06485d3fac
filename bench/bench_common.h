// Shared pieces of the benchmark program: run parameters, the record streams every store
// receives, scratch directories, disk usage, and the interface each store is driven by.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "error.h"

namespace brenvale::bench {

// Set from the command line before any benchmark runs.
struct Params {
    uint64_t n = 1000000;   // records of the 100-byte workloads
    std::string dir = "/tmp";  // where scratch directories are made
    bool drop_caches = true;   // cold rows may drop the OS page cache (as root only)
};
Params& params();

// Workload sizes derived from N.
inline uint64_t big_record_count() { return params().n / 5 > 0 ? params().n / 5 : 1; }  // 4 KiB workload
inline uint64_t point_read_count() { return params().n / 10 > 0 ? params().n / 10 : 1; }
inline uint64_t backward_scan_count() { return params().n / 10 > 0 ? params().n / 10 : 1; }

inline constexpr int64_t kFirstTimestamp = 1700000000000;  // milliseconds, a realistic epoch stamp
inline constexpr size_t kSmallPayload = 100;
inline constexpr size_t kBigPayload = 4096;
inline constexpr size_t kBlockPayload = 262144;  // the engine's pending block limit
inline constexpr uint8_t kDefaultLevel = 6;
inline constexpr uint64_t kCacheBytes = 256ull << 20;  // every store's read cache budget

// Sensor100Gaps: the sensor records with timestamps 1-1000 apart (uniform, fixed seed)
// instead of consecutive ones, so that a timestamp search cannot compute where a record is.
enum class Kind { Random100, Sensor100, Random4k, Sensor100Gaps };

const char* kind_key(Kind kind);
uint64_t record_count(Kind kind);
size_t payload_size(Kind kind);

// The payload of record i of a workload; the same bytes for every store. Built once, on
// first use, outside any timed region.
std::span<const uint8_t> payload(Kind kind, uint64_t i);
// Builds the payloads of a kind up front so that the first timed loop does not.
void prepare_payloads(Kind kind);

// The timestamp of record i of a workload.
int64_t timestamp_of(Kind kind, uint64_t i);

// The record indexes of the point-read workloads, in random order (fixed seed).
const std::vector<uint64_t>& read_order();

// The framed size of a record in the engine's blocks: 12 header bytes, data, padding to 4.
inline size_t framed_size(size_t data_len) { return (data_len + 15) & ~size_t{3}; }

// Writes the engine's record frame for (ts, data) at dst (framed_size bytes).
void write_frame(uint8_t* dst, int64_t ts, std::span<const uint8_t> data);

// A scratch directory below params().dir, removed with everything in it when dropped.
class ScratchDir {
    struct Made {};  // only make() can name it

public:
    static Result<std::unique_ptr<ScratchDir>> make(const std::string& label);
    ScratchDir(Made, std::string path) : path_(std::move(path)) {}
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Time spent waiting for the disk: every msync, fsync, fdatasync and sync_file_range of
// this process (all threads) since it started. Take the difference of two snapshots.
struct SyncStats {
    uint64_t calls = 0;
    double seconds = 0;
};
SyncStats sync_stats();

// Whether the cold rows can run: params().drop_caches and /proc/sys/vm/drop_caches
// writable (root). reason is set when they cannot.
bool can_drop_os_cache(std::string* reason);
// Writes dirty pages back (sync) and drops the OS page cache, dentries and inodes.
Status drop_os_cache();

struct DiskUsage {
    uint64_t allocated = 0;  // blocks the file system holds for the files
    uint64_t apparent = 0;   // the files' lengths
};
Result<DiskUsage> disk_usage(const std::string& dir);

// What reads hand back: every store gives the caller an owned copy of each record, as a
// Python caller would get a bytes object. The digest keeps the reads from being optimised
// away and lets the runs be cross-checked.
struct Digest {
    uint64_t count = 0;
    uint64_t bytes = 0;
    uint64_t mix = 0;
    void add(int64_t ts, const std::vector<uint8_t>& data) {
        ++count;
        bytes += data.size();
        mix += static_cast<uint64_t>(ts) ^ (data.empty() ? 0 : data.front() + (uint64_t{data.back()} << 8));
    }
};

// One store as the benchmarks drive it. Every call returns an error value; the benchmark
// that meets one reports it and stops.
class Store {
public:
    virtual ~Store() = default;
    // Adds a record with a timestamp above every earlier one.
    virtual Status put(int64_t ts, std::span<const uint8_t> data) = 0;
    // Commits what a batching store still holds.
    virtual Status end_writes() { return {}; }
    // The record of ts as an owned copy; false when there is none.
    virtual Result<bool> get(int64_t ts, std::vector<uint8_t>& out) = 0;
    // A batch of point reads lies between these two calls (a store may hold one read
    // transaction for the batch).
    virtual Status begin_reads() { return {}; }
    virtual Status end_reads() { return {}; }
    // Every record of [lo, hi], ascending or descending, into the digest.
    virtual Status scan(int64_t lo, int64_t hi, bool backward, Digest& digest) = 0;
    // Makes everything written reach the files (no sync beyond what the store's flush does).
    virtual Status flush() = 0;
    virtual Status close() = 0;
};

// The stores. `create` makes a new, empty store in dir; otherwise the store there is opened.
struct EngineOptions {
    bool continuous = false;
    uint8_t compress_level = kDefaultLevel;
    // 0: the default segment sizes (64 MiB data, 16 MiB index); otherwise the data segment
    // size, with the index segments a quarter of it.
    uint64_t segment_size = 0;
};
Result<std::unique_ptr<Store>> open_engine(const std::string& dir, bool create, EngineOptions options);
// batch: records per transaction or write batch (1 = autocommit, one statement or Put per
// record).
// page_size: the database page size SQLite is created with (a new database only).
Result<std::unique_ptr<Store>> open_sqlite(const std::string& dir, bool create, uint32_t batch, uint32_t page_size);
// The page size that suits records of payload_len bytes written `batch` per transaction
// (chosen by measuring 4-64 KiB pages on this machine).
uint32_t sqlite_page_size(size_t payload_len, uint32_t batch);
Result<std::unique_ptr<Store>> open_lmdb(const std::string& dir, bool create, uint32_t batch);
Result<std::unique_ptr<Store>> open_rocksdb(const std::string& dir, bool create, uint32_t batch);

// The engine's calls that no peer offers: every record of [lo, hi] in one list
// (query_all), and the existence bitmap over [lo, hi] (the number of bits set).
Status engine_scan_all(Store& store, int64_t lo, int64_t hi, Digest& digest);
// The directory of the engine's index segments in a store directory.
std::string engine_index_dir(const std::string& dir);
Result<uint64_t> engine_exist_bits(Store& store, int64_t lo, int64_t hi);

}  // namespace brenvale::bench
