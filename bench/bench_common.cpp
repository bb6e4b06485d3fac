#include "bench_common.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "file.h"
#include "util.h"

namespace brenvale::bench {

Params& params() {
    static Params p;
    return p;
}

namespace {

// xoshiro256** with a splitmix64 seed: fast, deterministic, good enough for test data.
class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& w : s_) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            w = z ^ (z >> 31);
        }
    }
    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in [-1, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-52 - 1.0; }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

constexpr size_t kMaxRandomPool = 128u << 20;

// Incompressible bytes; record i of a random kind is a window of this pool.
const std::vector<uint8_t>& random_pool() {
    static const std::vector<uint8_t> pool = [] {
        const uint64_t want = params().n * kSmallPayload + kBigPayload;
        std::vector<uint8_t> p(static_cast<size_t>(std::min<uint64_t>(want, kMaxRandomPool)));
        Rng rng(0x5eed0001);
        size_t i = 0;
        for (; i + 8 <= p.size(); i += 8) store_u64(p.data() + i, rng.next());
        for (; i < p.size(); ++i) p[i] = static_cast<uint8_t>(rng.next());
        return p;
    }();
    return pool;
}

// Sensor-like records: a 100-byte JSON object per reading of one device whose values
// drift slowly (random walks), padded with spaces to a fixed length.
const std::vector<uint8_t>& sensor_records() {
    static const std::vector<uint8_t> all = [] {
        const uint64_t n = params().n;
        std::vector<uint8_t> out(static_cast<size_t>(n * kSmallPayload), ' ');
        Rng rng(0x5eed0002);
        double temp = 21.5, hum = 40.0, pres = 1013.25, volt = 3.30;
        int state_ticks = 0;
        bool alarm = false;
        char line[256];
        for (uint64_t i = 0; i < n; ++i) {
            temp += rng.unit() * 0.02;
            hum = std::clamp(hum + rng.unit() * 0.05, 0.0, 100.0);
            pres += rng.unit() * 0.01;
            volt = std::clamp(volt + rng.unit() * 0.001, 2.8, 3.6);
            if (++state_ticks >= 5000) {
                state_ticks = 0;
                alarm = (rng.next() & 7) == 0;
            }
            const int len = std::snprintf(line, sizeof line,
                                          "{\"dev\":17,\"seq\":%llu,\"temp\":%.2f,\"hum\":%.2f,\"pres\":%.2f,"
                                          "\"volt\":%.3f,\"st\":\"%s\"}",
                                          static_cast<unsigned long long>(i), temp, hum, pres, volt,
                                          alarm ? "alarm" : "ok");
            const size_t used = std::min<size_t>(static_cast<size_t>(std::max(len, 0)), kSmallPayload);
            std::memcpy(out.data() + i * kSmallPayload, line, used);
        }
        return out;
    }();
    return all;
}

}  // namespace

const char* kind_key(Kind kind) {
    switch (kind) {
        case Kind::Random100: return "random100";
        case Kind::Sensor100: return "sensor100";
        case Kind::Random4k: return "random4k";
        case Kind::Sensor100Gaps: return "sensor100gaps";
    }
    return "?";
}

int64_t timestamp_of(Kind kind, uint64_t i) {
    if (kind != Kind::Sensor100Gaps) return kFirstTimestamp + static_cast<int64_t>(i);
    static const std::vector<int64_t> stamps = [] {
        std::vector<int64_t> t(static_cast<size_t>(params().n));
        Rng rng(0x5eed0004);
        int64_t ts = kFirstTimestamp;
        for (auto& v : t) {
            v = ts;
            ts += 1 + static_cast<int64_t>(rng.next() % 1000);
        }
        return t;
    }();
    return stamps[static_cast<size_t>(i)];
}

uint64_t record_count(Kind kind) { return kind == Kind::Random4k ? big_record_count() : params().n; }

size_t payload_size(Kind kind) { return kind == Kind::Random4k ? kBigPayload : kSmallPayload; }

std::span<const uint8_t> payload(Kind kind, uint64_t i) {
    if (kind == Kind::Sensor100 || kind == Kind::Sensor100Gaps) {
        return {sensor_records().data() + i * kSmallPayload, kSmallPayload};
    }
    const auto& pool = random_pool();
    const size_t len = payload_size(kind);
    const size_t windows = pool.size() - len + 1;
    return {pool.data() + static_cast<size_t>((i * len) % windows), len};
}

void prepare_payloads(Kind kind) {
    (void)payload(kind, 0);
    (void)timestamp_of(kind, 0);
}

const std::vector<uint64_t>& read_order() {
    static const std::vector<uint64_t> order = [] {
        std::vector<uint64_t> o(point_read_count());
        Rng rng(0x5eed0003);
        for (auto& v : o) v = rng.next() % params().n;
        return o;
    }();
    return order;
}

void write_frame(uint8_t* dst, int64_t ts, std::span<const uint8_t> data) {
    store_u32(dst, static_cast<uint32_t>(data.size()));
    store_i64(dst + 4, ts);
    std::memcpy(dst + 12, data.data(), data.size());
    const size_t framed = framed_size(data.size());
    std::memset(dst + 12 + data.size(), 0, framed - 12 - data.size());
}

namespace {
constexpr const char* kDropCaches = "/proc/sys/vm/drop_caches";
}

bool can_drop_os_cache(std::string* reason) {
    std::string why;
    if (!params().drop_caches) {
        why = "turned off (--no-drop-caches)";
    } else if (::geteuid() != 0 || ::access(kDropCaches, W_OK) != 0) {
        why = "needs root to write /proc/sys/vm/drop_caches";
    }
    if (reason != nullptr) *reason = why;
    return why.empty();
}

Status drop_os_cache() {
    ::sync();
    FileHandle fd(::open(kDropCaches, O_WRONLY | O_CLOEXEC));
    if (!fd.valid()) return Error::io(errno);
    if (::write(fd.fd(), "3", 1) != 1) return Error::io(errno);
    return {};
}

Result<std::unique_ptr<ScratchDir>> ScratchDir::make(const std::string& label) {
    BRVL_TRY(create_dir_all(params().dir));
    std::string tmpl = join_path(params().dir, "brvl-bench-" + label + "-XXXXXX");
    if (::mkdtemp(tmpl.data()) == nullptr) return Error::io(errno);
    return std::make_unique<ScratchDir>(Made{}, std::move(tmpl));
}

ScratchDir::~ScratchDir() { (void)remove_dir_all(path_); }

Result<DiskUsage> disk_usage(const std::string& dir) {
    namespace fs = std::filesystem;
    DiskUsage u;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec), end;
    if (ec) return Error::io(ec.value());
    for (; it != end; it.increment(ec)) {
        if (ec) return Error::io(ec.value());
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0) return Error::io(errno);
        if (!S_ISREG(st.st_mode)) continue;
        u.allocated += static_cast<uint64_t>(st.st_blocks) * 512;
        u.apparent += static_cast<uint64_t>(st.st_size);
    }
    if (ec) return Error::io(ec.value());
    return u;
}

}  // namespace brenvale::bench
