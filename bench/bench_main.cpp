// brenvale_bench: the engine's Dataset against SQLite, LMDB and RocksDB and against the
// machine's physical limits, on the same records in one run. Each benchmark runs its
// workload once and reports the time of the measured part only (manual time); set-up,
// warm-up, flush and close stay outside it.
//
//   brenvale_bench [--n=RECORDS] [--dir=SCRATCH] [Google Benchmark flags]
//
// Benchmark names are "<workload>/<store>"; bench/table.py turns the JSON output into
// the markdown table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench_common.h"
#include "phys_limits.h"

namespace brenvale::bench {

namespace {

using Clock = std::chrono::steady_clock;
using Opener = std::function<Result<std::unique_ptr<Store>>(const std::string& dir, bool create)>;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct StoreSpec {
    std::string key;   // column key in the table
    std::string read;  // key of its read benchmarks; empty: not used for reads
    Opener open;
};

std::vector<StoreSpec> store_specs() {
    return {
        {"engine", "engine", [](const std::string& d, bool c) { return open_engine(d, c, {}); }},
        {"engine_cont", "", [](const std::string& d, bool c) { return open_engine(d, c, {true, kDefaultLevel}); }},
        {"engine_l1", "", [](const std::string& d, bool c) { return open_engine(d, c, {false, 1}); }},
        {"engine_l9", "", [](const std::string& d, bool c) { return open_engine(d, c, {false, 9}); }},
        {"sqlite_1", "", [](const std::string& d, bool c) { return open_sqlite(d, c, 1); }},
        {"sqlite_1000", "sqlite", [](const std::string& d, bool c) { return open_sqlite(d, c, 1000); }},
        {"lmdb_1", "", [](const std::string& d, bool c) { return open_lmdb(d, c, 1); }},
        {"lmdb_1000", "lmdb", [](const std::string& d, bool c) { return open_lmdb(d, c, 1000); }},
        {"rocksdb", "rocksdb", [](const std::string& d, bool c) { return open_rocksdb(d, c); }},
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

// Appends every record of the workload; returns the seconds of the puts (end_writes included).
Result<double> append_all(Store& store, Kind kind) {
    prepare_payloads(kind);
    const uint64_t n = record_count(kind);
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) BRVL_TRY(store.put(timestamp_of(i), payload(kind, i)));
    BRVL_TRY(store.end_writes());
    return seconds_since(t0);
}

// The sensor dataset each reading store is read from: the one its append benchmark left
// behind, or a new one.
std::map<std::string, std::unique_ptr<ScratchDir>>& populated() {
    static std::map<std::string, std::unique_ptr<ScratchDir>> dirs;
    return dirs;
}

Result<std::string> populated_dir(const StoreSpec& spec) {
    auto& dirs = populated();
    if (auto it = dirs.find(spec.read); it != dirs.end()) return it->second->path();
    auto dir = BRVL_TRY(ScratchDir::make(spec.read));
    auto store = BRVL_TRY(spec.open(dir->path(), true));
    BRVL_TRY(append_all(*store, Kind::Sensor100));
    BRVL_TRY(store->flush());
    BRVL_TRY(store->close());
    std::string path = dir->path();
    dirs[spec.read] = std::move(dir);
    return path;
}

Result<Measured> bench_append(const StoreSpec& spec, Kind kind) {
    prepare_payloads(kind);
    auto dir = BRVL_TRY(ScratchDir::make(spec.key));
    Measured m;
    {
        auto store = BRVL_TRY(spec.open(dir->path(), true));
        m.seconds = BRVL_TRY(append_all(*store, kind));
        BRVL_TRY(store->flush());
        BRVL_TRY(store->close());
    }
    m.ops = record_count(kind);
    const DiskUsage du = BRVL_TRY(disk_usage(dir->path()));
    m.counters["disk_bytes"] = static_cast<double>(du.allocated);
    m.counters["file_bytes"] = static_cast<double>(du.apparent);
    if (kind == Kind::Sensor100 && !spec.read.empty()) populated()[spec.read] = std::move(dir);
    return m;
}

Result<Measured> bench_point_reads(const StoreSpec& spec, bool warm) {
    const std::string dir = BRVL_TRY(populated_dir(spec));
    auto store = BRVL_TRY(spec.open(dir, false));
    const auto& order = read_order();
    auto read_all = [&]() -> Result<uint64_t> {
        uint64_t bytes = 0;
        for (uint64_t i : order) {
            std::vector<uint8_t> out;
            const bool found = BRVL_TRY(store->get(timestamp_of(i), out));
            if (!found) return invalid_data_fmt("record {} not found", timestamp_of(i));
            bytes += out.size();
        }
        return bytes;
    };
    if (warm) BRVL_TRY(read_all());
    Measured m;
    const auto t0 = Clock::now();
    const uint64_t bytes = BRVL_TRY(read_all());
    m.seconds = seconds_since(t0);
    m.ops = order.size();
    if (bytes != order.size() * kSmallPayload) return Error::invalid_data("point reads returned wrong sizes");
    BRVL_TRY(store->close());
    return m;
}

// all_at_once: the engine's query_all instead of its iterator (forward only).
Result<Measured> bench_scan(const StoreSpec& spec, bool backward, bool all_at_once = false) {
    const std::string dir = BRVL_TRY(populated_dir(spec));
    auto store = BRVL_TRY(spec.open(dir, false));
    const uint64_t n = params().n;
    const uint64_t first = backward ? n - backward_scan_count() : 0;
    Digest digest;
    Measured m;
    const auto t0 = Clock::now();
    if (all_at_once) {
        BRVL_TRY(engine_scan_all(*store, timestamp_of(first), timestamp_of(n - 1), digest));
    } else {
        BRVL_TRY(store->scan(timestamp_of(first), timestamp_of(n - 1), backward, digest));
    }
    m.seconds = seconds_since(t0);
    m.ops = digest.count;
    if (digest.count != n - first || digest.bytes != (n - first) * kSmallPayload) {
        return invalid_data_fmt("scan returned {} records, expected {}", digest.count, n - first);
    }
    BRVL_TRY(store->close());
    return m;
}

Result<Measured> bench_exist(const StoreSpec& spec) {
    const std::string dir = BRVL_TRY(populated_dir(spec));
    auto store = BRVL_TRY(spec.open(dir, false));
    const uint64_t n = params().n;
    Measured m;
    const auto t0 = Clock::now();
    const uint64_t bits = BRVL_TRY(engine_exist_bits(*store, timestamp_of(0), timestamp_of(n - 1)));
    m.seconds = seconds_since(t0);
    m.ops = n;
    if (bits != n) return invalid_data_fmt("existence bitmap has {} bits set, expected {}", bits, n);
    BRVL_TRY(store->close());
    return m;
}

Measured from_limit(const LimitRun& run) {
    Measured m;
    m.seconds = run.seconds;
    m.ops = run.records;
    m.counters["out_bytes"] = static_cast<double>(run.out_bytes);
    return m;
}

void register_all() {
    const std::vector<StoreSpec> specs = store_specs();
    const Kind kinds[] = {Kind::Random100, Kind::Sensor100, Kind::Random4k};

    // The physical limits first: they need nothing but the records.
    for (Kind kind : kinds) {
        const std::string w = std::string("append_") + kind_key(kind);
        add(w + "/limit_copy", [kind]() -> Result<Measured> {
            prepare_payloads(kind);
            auto dir = BRVL_TRY(ScratchDir::make("copy"));
            return from_limit(BRVL_TRY(limit_mapped_copy(kind, dir->path())));
        });
        add(w + "/limit_zstd", [kind]() -> Result<Measured> {
            prepare_payloads(kind);
            return from_limit(BRVL_TRY(limit_compress(kind, Codec::Zstd, kDefaultLevel)));
        });
        add(w + "/limit_deflate", [kind]() -> Result<Measured> {
            prepare_payloads(kind);
            return from_limit(BRVL_TRY(limit_compress(kind, Codec::Deflate, kDefaultLevel)));
        });
        if (kind == Kind::Random4k) continue;
        // The seal cost of the engine's other compress levels.
        for (uint8_t level : {uint8_t{1}, uint8_t{9}}) {
            add(w + "/limit_zstd" + std::to_string(level), [kind, level]() -> Result<Measured> {
                prepare_payloads(kind);
                return from_limit(BRVL_TRY(limit_compress(kind, Codec::Zstd, level)));
            });
        }
    }
    add("scan/limit_scan", []() -> Result<Measured> {
        prepare_payloads(Kind::Sensor100);
        return from_limit(BRVL_TRY(limit_scan(Kind::Sensor100, kDefaultLevel)));
    });

    // Appends: every store on every kind; the engine's other configurations on the 100-byte kinds.
    for (Kind kind : kinds) {
        for (const StoreSpec& spec : specs) {
            const bool variant = spec.key.rfind("engine_", 0) == 0;
            if (variant && kind == Kind::Random4k) continue;
            add(std::string("append_") + kind_key(kind) + "/" + spec.key,
                [spec, kind]() { return bench_append(spec, kind); });
        }
    }

    // Reads of the sensor dataset by the stores that read.
    for (const StoreSpec& spec : specs) {
        if (spec.read.empty()) continue;
        add("read_warm/" + spec.read, [spec]() { return bench_point_reads(spec, true); });
        add("read_cold/" + spec.read, [spec]() { return bench_point_reads(spec, false); });
        add("scan_forward/" + spec.read, [spec]() { return bench_scan(spec, false); });
        add("scan_backward/" + spec.read, [spec]() { return bench_scan(spec, true); });
        if (spec.read == "engine") {
            add("scan_forward/engine_all", [spec]() { return bench_scan(spec, false, true); });
            add("exist/engine", [spec]() { return bench_exist(spec); });
        }
    }
}

// Takes --n= and --dir= out of argv before Google Benchmark sees it.
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
