// brenvale_bench: the engine's Dataset against SQLite, LMDB and RocksDB and against the
// machine's physical limits, on the same records in one run. Each benchmark runs its
// workload once and reports the time of the measured part only (manual time); set-up,
// warm-up, flush and close stay outside it (their times are counters). The engine's
// benchmarks measure their physical limits in the same iteration, before and after the
// engine's run, so that "engine vs limit" compares runs under the same machine load.
//
//   brenvale_bench [--n=RECORDS] [--dir=SCRATCH] [--no-drop-caches] [Google Benchmark flags]
//
// Benchmark names are "<workload>/<store>"; bench/table.py turns the JSON output into
// the markdown table. The cold rows drop the OS page cache and run only as root (and
// without --no-drop-caches).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_common.h"
#include "config.h"
#include "dataset/dataset.h"
#include "journal/journal.h"
#include "phys_limits.h"

namespace brenvale::bench {

namespace {

using Clock = std::chrono::steady_clock;
using Opener = std::function<Result<std::unique_ptr<Store>>(const std::string& dir, bool create, Kind kind)>;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

constexpr uint64_t kNoRollSegment = 4ull << 30;  // larger than any workload: no roll-over
constexpr size_t kReadBatch = 1000;             // point reads per read transaction

struct StoreSpec {
    std::string key;           // column key in the table
    std::string read;          // key of its read benchmarks; empty: not used for reads
    uint8_t engine_level = 0;  // an engine configuration's compress level; 0 for the peers
    Opener open;
};

std::vector<StoreSpec> store_specs() {
    auto engine = [](EngineOptions o) {
        return [o](const std::string& d, bool c, Kind) { return open_engine(d, c, o); };
    };
    auto sqlite = [](uint32_t batch) {
        return [batch](const std::string& d, bool c, Kind k) {
            return open_sqlite(d, c, batch, sqlite_page_size(payload_size(k), batch));
        };
    };
    auto lmdb = [](uint32_t batch) { return [batch](const std::string& d, bool c, Kind) { return open_lmdb(d, c, batch); }; };
    auto rocks = [](uint32_t batch) {
        return [batch](const std::string& d, bool c, Kind) { return open_rocksdb(d, c, batch); };
    };
    return {
        {"engine", "engine", kDefaultLevel, engine({})},
        {"engine_cont", "", kDefaultLevel, engine({true, kDefaultLevel, 0})},
        {"engine_l1", "", 1, engine({false, 1, 0})},
        {"engine_l9", "", 9, engine({false, 9, 0})},
        {"engine_noroll", "", kDefaultLevel, engine({false, kDefaultLevel, kNoRollSegment})},
        {"sqlite_1", "", 0, sqlite(1)},
        {"sqlite_1000", "sqlite", 0, sqlite(1000)},
        {"lmdb_1", "", 0, lmdb(1)},
        {"lmdb_1000", "lmdb", 0, lmdb(1000)},
        {"rocksdb_1", "", 0, rocks(1)},
        {"rocksdb_1000", "rocksdb", 0, rocks(1000)},
    };
}

// What one run measured.
struct Measured {
    double seconds = 0;
    uint64_t ops = 0;
    std::map<std::string, double> counters;
};

void run_once(benchmark::State& state, const std::function<Result<Measured>()>& body) {
    for (auto _ : state) {
        // Start from clean page-cache state: the write-back of what the previous benchmark
        // left dirty would otherwise land in this one's timing.
        ::sync();
        Result<Measured> m = body();
        if (!m) {
            state.SkipWithError(m.error().to_string().c_str());
            break;
        }
        state.SetIterationTime(m->seconds);
        state.SetItemsProcessed(static_cast<int64_t>(m->ops));
        for (const auto& [name, value] : m->counters) state.counters[name] = value;
    }
}

benchmark::internal::Benchmark* add(const std::string& name, std::function<Result<Measured>()> body) {
    return benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State& state) { run_once(state, body); })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// Limit runs taken before and after the engine's: their rates are records over the mean
// of the two times.
class LimitPair {
public:
    void add(const std::string& name, const LimitRun& run) {
        auto& e = runs_[name];
        e.seconds += run.seconds;
        e.records = run.records;
        e.out_bytes = run.out_bytes;
        ++e.count;
    }
    void put_counters(Measured& m) const {
        for (const auto& [name, e] : runs_) {
            if (e.seconds <= 0) continue;
            m.counters[name + "_rate"] = static_cast<double>(e.records) * e.count / e.seconds;
            m.counters[name + "_bytes"] = static_cast<double>(e.out_bytes);
        }
    }

private:
    struct Entry {
        double seconds = 0;
        uint64_t records = 0;
        uint64_t out_bytes = 0;
        int count = 0;
    };
    std::map<std::string, Entry> runs_;
};

// The append limits at a compress level: copy into a mapping, compress with one
// compressor, compress with a new compressor per block.
Status measure_append_limits(Kind kind, uint8_t level, LimitPair& limits) {
    auto dir = BRVL_TRY(ScratchDir::make("copy"));
    limits.add("limit_copy", BRVL_TRY(limit_mapped_copy(kind, dir->path())));
    limits.add("limit_zstd", BRVL_TRY(limit_compress(kind, Codec::Zstd, level)));
    limits.add("limit_zstd_fresh", BRVL_TRY(limit_compress(kind, Codec::Zstd, level, true)));
    return {};
}

// Appends every record of the workload; returns the seconds of the puts (end_writes included).
Result<double> append_all(Store& store, Kind kind) {
    prepare_payloads(kind);
    const uint64_t n = record_count(kind);
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) BRVL_TRY(store.put(timestamp_of(kind, i), payload(kind, i)));
    BRVL_TRY(store.end_writes());
    return seconds_since(t0);
}

// The dataset each reading store reads a workload from: the one its append benchmark left
// behind, or a new one.
std::map<std::string, std::unique_ptr<ScratchDir>>& populated() {
    static std::map<std::string, std::unique_ptr<ScratchDir>> dirs;
    return dirs;
}

std::string populated_key(const StoreSpec& spec, Kind kind) { return spec.read + "/" + kind_key(kind); }

Result<std::string> populated_dir(const StoreSpec& spec, Kind kind) {
    auto& dirs = populated();
    if (auto it = dirs.find(populated_key(spec, kind)); it != dirs.end()) return it->second->path();
    auto dir = BRVL_TRY(ScratchDir::make(spec.read));
    auto store = BRVL_TRY(spec.open(dir->path(), true, kind));
    BRVL_TRY(append_all(*store, kind));
    BRVL_TRY(store->flush());
    BRVL_TRY(store->close());
    std::string path = dir->path();
    dirs[populated_key(spec, kind)] = std::move(dir);
    return path;
}

Result<Measured> bench_append(const StoreSpec& spec, Kind kind) {
    prepare_payloads(kind);
    LimitPair limits;
    if (spec.engine_level != 0) BRVL_TRY(measure_append_limits(kind, spec.engine_level, limits));
    auto dir = BRVL_TRY(ScratchDir::make(spec.key));
    Measured m;
    {
        auto store = BRVL_TRY(spec.open(dir->path(), true, kind));
        const SyncStats s0 = sync_stats();
        m.seconds = BRVL_TRY(append_all(*store, kind));
        const SyncStats s1 = sync_stats();
        const auto t0 = Clock::now();
        BRVL_TRY(store->flush());
        m.counters["flush_s"] = seconds_since(t0);
        const SyncStats s2 = sync_stats();
        BRVL_TRY(store->close());
        m.counters["sync_calls"] = static_cast<double>(s1.calls - s0.calls);
        m.counters["sync_s"] = s1.seconds - s0.seconds;
        m.counters["flush_sync_calls"] = static_cast<double>(s2.calls - s1.calls);
    }
    m.counters["put_s"] = m.seconds;
    m.ops = record_count(kind);
    const DiskUsage du = BRVL_TRY(disk_usage(dir->path()));
    m.counters["disk_bytes"] = static_cast<double>(du.allocated);
    m.counters["file_bytes"] = static_cast<double>(du.apparent);
    if (spec.engine_level != 0) {
        BRVL_TRY(measure_append_limits(kind, spec.engine_level, limits));
        limits.put_counters(m);
    }
    if (kind == Kind::Sensor100 && !spec.read.empty()) populated()[populated_key(spec, kind)] = std::move(dir);
    return m;
}

// Where a read benchmark starts: the block cache filled by a first untimed pass (Warm),
// the store reopened with an empty cache and the OS page cache warm (Reopen), or the store
// reopened after the OS page cache was dropped (Cold).
enum class Cache { Warm, Reopen, Cold };

Result<Measured> bench_point_reads(const StoreSpec& spec, Kind kind, Cache cache) {
    const std::string dir = BRVL_TRY(populated_dir(spec, kind));
    // The required work, before and after the engine's run (not for the cold row: it
    // would run with the OS page cache warm).
    const bool engine = spec.engine_level != 0 && cache != Cache::Cold;
    LimitPair limits;
    if (engine) {
        limits.add("limit_read_required", BRVL_TRY(limit_read_required(kind, kDefaultLevel, cache == Cache::Warm,
                                                                       engine_index_dir(dir))));
    }
    if (cache == Cache::Cold) BRVL_TRY(drop_os_cache());
    auto store = BRVL_TRY(spec.open(dir, false, kind));
    const auto& order = read_order();
    auto read_all = [&]() -> Result<uint64_t> {
        uint64_t bytes = 0;
        for (size_t start = 0; start < order.size(); start += kReadBatch) {
            const size_t end = std::min(order.size(), start + kReadBatch);
            BRVL_TRY(store->begin_reads());
            for (size_t j = start; j < end; ++j) {
                const int64_t ts = timestamp_of(kind, order[j]);
                std::vector<uint8_t> out;
                const bool found = BRVL_TRY(store->get(ts, out));
                if (!found) return invalid_data_fmt("record {} not found", ts);
                bytes += out.size();
            }
            BRVL_TRY(store->end_reads());
        }
        return bytes;
    };
    if (cache == Cache::Warm) BRVL_TRY(read_all());
    Measured m;
    const auto t0 = Clock::now();
    const uint64_t bytes = BRVL_TRY(read_all());
    m.seconds = seconds_since(t0);
    m.ops = order.size();
    if (bytes != order.size() * kSmallPayload) return Error::invalid_data("point reads returned wrong sizes");
    BRVL_TRY(store->close());
    if (engine) {
        limits.add("limit_read_required", BRVL_TRY(limit_read_required(kind, kDefaultLevel, cache == Cache::Warm,
                                                                       engine_index_dir(dir))));
        limits.put_counters(m);
    }
    return m;
}

// The scan limits: decompress + copy out into new and into reused buffers, the copies out
// of blocks decompressed beforehand, and for the cold scan the sequential read of the
// engine's files after dropping the OS page cache.
Status measure_scan_limits(const std::string& dir, Cache cache, const RequiredScan& scan, LimitPair& limits) {
    limits.add("limit_scan_required", BRVL_TRY(limit_scan_required(Kind::Sensor100, kDefaultLevel, scan)));
    limits.add("limit_scan", BRVL_TRY(limit_scan(Kind::Sensor100, kDefaultLevel, ScanLimit::NewBuffers)));
    limits.add("limit_scan_reused", BRVL_TRY(limit_scan(Kind::Sensor100, kDefaultLevel, ScanLimit::ReusedBuffer)));
    limits.add("limit_scan_copy", BRVL_TRY(limit_scan(Kind::Sensor100, kDefaultLevel, ScanLimit::CopyOnly)));
    if (cache == Cache::Cold) limits.add("limit_cold_read", BRVL_TRY(limit_cold_read(dir, params().n)));
    return {};
}

// all_at_once: the engine's query_all instead of its iterator (forward only). with_open:
// the store's open counts in the time (what a first read after reopening pays).
Result<Measured> bench_scan(const StoreSpec& spec, Cache cache, bool backward, bool all_at_once = false,
                            bool with_open = false) {
    const std::string dir = BRVL_TRY(populated_dir(spec, Kind::Sensor100));
    const bool engine = spec.engine_level != 0;
    LimitPair limits;
    const uint64_t n = params().n;
    const uint64_t first = backward ? n - backward_scan_count() : 0;
    const int64_t lo = timestamp_of(Kind::Sensor100, first);
    const int64_t hi = timestamp_of(Kind::Sensor100, n - 1);
    const RequiredScan required{cache == Cache::Warm, engine_index_dir(dir), lo, hi, n - first};
    if (engine) BRVL_TRY(measure_scan_limits(dir, cache, required, limits));
    if (cache == Cache::Cold) BRVL_TRY(drop_os_cache());
    const auto opening = Clock::now();
    auto store = BRVL_TRY(spec.open(dir, false, Kind::Sensor100));
    const double open_seconds = seconds_since(opening);
    auto scan = [&](Digest& digest) -> Status {
        if (all_at_once) return engine_scan_all(*store, lo, hi, digest);
        return store->scan(lo, hi, backward, digest);
    };
    if (cache == Cache::Warm) {
        Digest first_pass;
        BRVL_TRY(scan(first_pass));
    }
    Digest digest;
    Measured m;
    const auto t0 = Clock::now();
    BRVL_TRY(scan(digest));
    m.seconds = seconds_since(t0) + (with_open ? open_seconds : 0);
    m.ops = digest.count;
    if (digest.count != n - first || digest.bytes != (n - first) * kSmallPayload) {
        return invalid_data_fmt("scan returned {} records, expected {}", digest.count, n - first);
    }
    BRVL_TRY(store->close());
    if (engine) {
        BRVL_TRY(measure_scan_limits(dir, cache, required, limits));
        limits.put_counters(m);
    }
    return m;
}

Result<Measured> bench_exist(const StoreSpec& spec) {
    const std::string dir = BRVL_TRY(populated_dir(spec, Kind::Sensor100));
    auto store = BRVL_TRY(spec.open(dir, false, Kind::Sensor100));
    const uint64_t n = params().n;
    Measured m;
    const auto t0 = Clock::now();
    const uint64_t bits = BRVL_TRY(
        engine_exist_bits(*store, timestamp_of(Kind::Sensor100, 0), timestamp_of(Kind::Sensor100, n - 1)));
    m.seconds = seconds_since(t0);
    m.ops = n;
    if (bits != n) return invalid_data_fmt("existence bitmap has {} bits set, expected {}", bits, n);
    BRVL_TRY(store->close());
    return m;
}

// A range of journal records read in one call, as Store.journal_query reads it: 10,000
// record writes (the journal's common event) in a journal of the default configuration,
// read after reopening. The count does not follow N.
constexpr uint64_t kJournalRangeRecords = 10000;

Result<Measured> bench_journal_range() {
    auto dir = BRVL_TRY(ScratchDir::make("journal"));
    const StoreConfig config;
    {
        auto journal = BRVL_TRY(Journal::open(dir->path(), config));
        for (uint64_t i = 0; i < kJournalRangeRecords; ++i) {
            const JournalIndexInfo at{timestamp_of(Kind::Sensor100, i), i / 2000 * kBlockPayload,
                                      static_cast<uint16_t>(i % 2000)};
            BRVL_TRY(journal->append(JournalRecord::record_write(1 + i % 8, at)));
        }
        BRVL_TRY(journal->flush());
    }
    auto journal = BRVL_TRY(Journal::open(dir->path(), config));
    Measured m;
    const auto t0 = Clock::now();
    const std::vector<JournalEntry> got = BRVL_TRY(journal->query(1, kJournalRangeRecords));
    m.seconds = seconds_since(t0);
    m.ops = got.size();
    if (got.size() != kJournalRangeRecords)
        return invalid_data_fmt("journal range returned {} records, expected {}", got.size(), kJournalRangeRecords);
    return m;
}

// A journal consumer group draining sealed records, as a group that fell behind catches up:
// 100,000 record writes (and 10,000 more, so that every block the group reads is sealed),
// each polled without waiting and acknowledged. The count does not follow N.
constexpr uint64_t kJournalDrainRecords = 100000;

Result<Measured> bench_journal_drain() {
    auto dir = BRVL_TRY(ScratchDir::make("journal_drain"));
    const StoreConfig config;
    // The store's block cache, as a store opens its journal.
    auto journal = BRVL_TRY(
        Journal::open(dir->path(), config, nullptr, std::make_shared<BlockCache>(config.cache_max_memory)));
    JournalQueue queue = BRVL_TRY(journal->open_queue());
    // Opened on the empty journal: the group receives every record.
    JournalQueueConsumer consumer = BRVL_TRY(queue.open_consumer("drain", ConsumerConfig{900, 3}));
    for (uint64_t i = 0; i < kJournalDrainRecords + 10000; ++i) {
        const JournalIndexInfo at{timestamp_of(Kind::Sensor100, i), i / 2000 * kBlockPayload,
                                  static_cast<uint16_t>(i % 2000)};
        BRVL_TRY(journal->append(JournalRecord::record_write(1 + i % 8, at)));
    }
    BRVL_TRY(journal->flush());
    Measured m;
    const auto t0 = Clock::now();
    for (uint64_t s = 1; s <= kJournalDrainRecords; ++s) {
        const std::optional<JournalEntry> got = BRVL_TRY(consumer.poll(0));
        if (!got || got->sequence != s) return invalid_data_fmt("journal drain: sequence {} not handed out", s);
        BRVL_TRY(consumer.ack(static_cast<int64_t>(s)));
    }
    m.seconds = seconds_since(t0);
    m.ops = kJournalDrainRecords;
    BRVL_TRY(queue.close());
    return m;
}

// What opening and inspecting a dataset costs as it grows: N sensor records in one data
// segment, then a writable open (with its close), and a read-only dataset's inspect, each
// timed over kOpenRounds calls. Variants: the newest record deleted, and an index of about
// 1,600 segment files. The rate is calls per second.
constexpr uint64_t kOpenRounds = 20;

enum class OpenCase { Present, NewestDeleted, ManyIndexSegments };

Result<std::unique_ptr<ScratchDir>> open_case_dataset(OpenCase c, const DataSetKey& key) {
    auto dir = BRVL_TRY(ScratchDir::make("open_inspect"));
    prepare_payloads(Kind::Sensor100);
    const uint64_t n = params().n;
    DatasetConfig cfg;
    cfg.data_segment_size = kNoRollSegment;
    cfg.initial_data_segment_size = 64ull << 20;
    if (c == OpenCase::ManyIndexSegments) {
        const uint64_t per_segment = std::max<uint64_t>(1, n / 1600);
        cfg.index_segment_size = cfg.initial_index_segment_size = 128 + 32 * per_segment;
    }
    Dataset d = BRVL_TRY(Dataset::create(key, dir->path(), cfg));
    for (uint64_t i = 0; i < n; ++i) BRVL_TRY(d.write(timestamp_of(Kind::Sensor100, i), payload(Kind::Sensor100, i)));
    if (c == OpenCase::NewestDeleted) BRVL_TRY(d.delete_record(timestamp_of(Kind::Sensor100, n - 1)));
    BRVL_TRY(d.close());
    return dir;
}

Result<Measured> bench_open(OpenCase c, bool inspect_read_only) {
    const DataSetKey key{"bench", "open"};
    auto dir = BRVL_TRY(open_case_dataset(c, key));
    Measured m;
    if (inspect_read_only) {
        Dataset d = BRVL_TRY(Dataset::open_read_only(key, dir->path()));
        BRVL_TRY(d.inspect());
        const auto t0 = Clock::now();
        for (uint64_t i = 0; i < kOpenRounds; ++i) BRVL_TRY(d.inspect());
        m.seconds = seconds_since(t0);
    } else {
        BRVL_TRY(BRVL_TRY(Dataset::open(key, dir->path())).close());
        const auto t0 = Clock::now();
        for (uint64_t i = 0; i < kOpenRounds; ++i) {
            Dataset d = BRVL_TRY(Dataset::open(key, dir->path()));
            BRVL_TRY(d.inspect());
            BRVL_TRY(d.close());
        }
        m.seconds = seconds_since(t0);
    }
    m.ops = kOpenRounds;
    return m;
}

void register_all() {
    const std::vector<StoreSpec> specs = store_specs();
    const Kind kinds[] = {Kind::Random100, Kind::Sensor100, Kind::Random4k};
    std::string cold_skipped;
    const bool cold = can_drop_os_cache(&cold_skipped);
    benchmark::AddCustomContext("cold_rows", cold ? "run" : "skipped: " + cold_skipped);

    // Appends: every store on every kind; the engine's other compress levels and index
    // kind on the 100-byte kinds only.
    for (Kind kind : kinds) {
        const std::string w = std::string("append_") + kind_key(kind);
        for (const StoreSpec& spec : specs) {
            const bool variant = spec.engine_level != 0 && spec.key != "engine" && spec.key != "engine_noroll";
            if (variant && kind == Kind::Random4k) continue;
            add(w + "/" + spec.key, [spec, kind]() { return bench_append(spec, kind); });
        }
        // Another codec's cost on the same blocks, for reference.
        add(w + "/limit_deflate", [kind]() -> Result<Measured> {
            prepare_payloads(kind);
            const LimitRun run = BRVL_TRY(limit_compress(kind, Codec::Deflate, kDefaultLevel));
            Measured m;
            m.seconds = run.seconds;
            m.ops = run.records;
            m.counters["out_bytes"] = static_cast<double>(run.out_bytes);
            return m;
        });
    }

    // Reads by the stores that read.
    for (const StoreSpec& spec : specs) {
        if (spec.read.empty()) continue;
        const std::string& r = spec.read;
        add("read_warm/" + r, [spec]() { return bench_point_reads(spec, Kind::Sensor100, Cache::Warm); });
        add("read_reopen/" + r, [spec]() { return bench_point_reads(spec, Kind::Sensor100, Cache::Reopen); });
        if (cold) add("read_cold/" + r, [spec]() { return bench_point_reads(spec, Kind::Sensor100, Cache::Cold); });
        add("read_warm_gaps/" + r, [spec]() { return bench_point_reads(spec, Kind::Sensor100Gaps, Cache::Warm); });
        add("read_reopen_gaps/" + r, [spec]() { return bench_point_reads(spec, Kind::Sensor100Gaps, Cache::Reopen); });
        add("scan_forward_warm/" + r, [spec]() { return bench_scan(spec, Cache::Warm, false); });
        add("scan_forward/" + r, [spec]() { return bench_scan(spec, Cache::Reopen, false); });
        if (cold) add("scan_forward_cold/" + r, [spec]() { return bench_scan(spec, Cache::Cold, false); });
        add("scan_backward/" + r, [spec]() { return bench_scan(spec, Cache::Reopen, true); });
        if (r == "engine") {
            add("scan_forward/engine_all", [spec]() { return bench_scan(spec, Cache::Reopen, false, true); });
            add("scan_backward/engine_open", [spec]() { return bench_scan(spec, Cache::Reopen, true, false, true); });
            add("exist/engine", [spec]() { return bench_exist(spec); });
        }
    }
    add("journal_range/engine", []() { return bench_journal_range(); });
    add("journal_drain/engine", []() { return bench_journal_drain(); });
    const std::pair<const char*, OpenCase> open_cases[] = {{"engine", OpenCase::Present},
                                                           {"engine_deleted", OpenCase::NewestDeleted},
                                                           {"engine_index", OpenCase::ManyIndexSegments}};
    for (const auto& [store, c] : open_cases) {
        add(std::string("open_writable/") + store, [c]() { return bench_open(c, false); });
        add(std::string("inspect_read_only/") + store, [c]() { return bench_open(c, true); });
    }
}

// Takes --n=, --dir= and --no-drop-caches out of argv before Google Benchmark sees it.
bool take_own_flags(int& argc, char** argv) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strncmp(a, "--n=", 4) == 0) {
            char* end = nullptr;
            const unsigned long long v = std::strtoull(a + 4, &end, 10);
            if (end == a + 4 || *end != '\0' || v < 10) {
                std::fprintf(stderr, "brenvale_bench: --n must be a number of at least 10, got '%s'\n", a + 4);
                return false;
            }
            params().n = v;
        } else if (std::strncmp(a, "--dir=", 6) == 0) {
            params().dir = a + 6;
        } else if (std::strcmp(a, "--no-drop-caches") == 0) {
            params().drop_caches = false;
        } else {
            argv[out++] = argv[i];
        }
    }
    argc = out;
    return true;
}

}  // namespace

}  // namespace brenvale::bench

int main(int argc, char** argv) {
    using namespace brenvale::bench;
    if (!take_own_flags(argc, argv)) return 2;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::AddCustomContext("records", std::to_string(params().n));
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    populated().clear();
    return 0;
}
