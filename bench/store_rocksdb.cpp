// RocksDB through its C API, set up as its experts would for time series: the WAL on and
// never synced per write, the bytewise comparator over 8-byte big-endian keys (sign bit
// flipped), IncreaseParallelism (one background thread per core) and
// OptimizeLevelStyleCompaction with the 256 MiB budget every store gets (64 MiB memtables),
// zstd on every level (that optimisation alone would leave levels 0 and 1 uncompressed),
// 32 KiB blocks with a 10-bit bloom filter, and a 256 MiB block cache (the engine's cache
// budget). One Put per record, or a WriteBatch of `batch` records.
#include <rocksdb/c.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace brenvale::bench {

namespace {

template <auto Fn>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Fn(p);
    }
};
using DbPtr = std::unique_ptr<rocksdb_t, Deleter<rocksdb_close>>;
using OptionsPtr = std::unique_ptr<rocksdb_options_t, Deleter<rocksdb_options_destroy>>;
using TableOptionsPtr =
    std::unique_ptr<rocksdb_block_based_table_options_t, Deleter<rocksdb_block_based_options_destroy>>;
using CachePtr = std::unique_ptr<rocksdb_cache_t, Deleter<rocksdb_cache_destroy>>;
using WriteOptionsPtr = std::unique_ptr<rocksdb_writeoptions_t, Deleter<rocksdb_writeoptions_destroy>>;
using ReadOptionsPtr = std::unique_ptr<rocksdb_readoptions_t, Deleter<rocksdb_readoptions_destroy>>;
using FlushOptionsPtr = std::unique_ptr<rocksdb_flushoptions_t, Deleter<rocksdb_flushoptions_destroy>>;
using IteratorPtr = std::unique_ptr<rocksdb_iterator_t, Deleter<rocksdb_iter_destroy>>;
using PinnedPtr = std::unique_ptr<rocksdb_pinnableslice_t, Deleter<rocksdb_pinnableslice_destroy>>;
using BatchPtr = std::unique_ptr<rocksdb_writebatch_t, Deleter<rocksdb_writebatch_destroy>>;

constexpr size_t kBlockSize = 32768;
constexpr double kBloomBitsPerKey = 10;

// An error string the library allocated; freed when dropped.
class ErrText {
public:
    ErrText() = default;
    ErrText(const ErrText&) = delete;
    ErrText& operator=(const ErrText&) = delete;
    ~ErrText() { rocksdb_free(p_); }
    char** out() { return &p_; }
    bool failed() const { return p_ != nullptr; }
    Error error(const char* what) const { return invalid_data_fmt("rocksdb {}: {}", what, p_ ? p_ : "?"); }

private:
    char* p_ = nullptr;
};

void encode_key(int64_t ts, char out[8]) {
    uint64_t v = static_cast<uint64_t>(ts) ^ (uint64_t{1} << 63);
    for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<char>(static_cast<uint8_t>(v));
}

int64_t decode_key(const char* p, size_t len) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8 && i < len; ++i) v = (v << 8) | static_cast<uint8_t>(p[i]);
    return static_cast<int64_t>(v ^ (uint64_t{1} << 63));
}

class RocksStore final : public Store {
public:
    static Result<std::unique_ptr<Store>> open(const std::string& dir, bool create, uint32_t batch) {
        auto store = std::make_unique<RocksStore>(batch);
        BRVL_TRY(store->init(dir, create));
        return std::unique_ptr<Store>(std::move(store));
    }

    explicit RocksStore(uint32_t batch) : batch_size_(batch) {}

    Status put(int64_t ts, std::span<const uint8_t> data) override {
        char key[8];
        encode_key(ts, key);
        const auto* value = reinterpret_cast<const char*>(data.data());
        if (batch_size_ > 1) {
            rocksdb_writebatch_put(batch_.get(), key, sizeof key, value, data.size());
            if (++pending_ >= batch_size_) return commit();
            return {};
        }
        ErrText err;
        rocksdb_put(db_.get(), write_.get(), key, sizeof key, value, data.size(), err.out());
        if (err.failed()) return err.error("put");
        return {};
    }

    Status end_writes() override { return pending_ > 0 ? commit() : Status(); }

    Result<bool> get(int64_t ts, std::vector<uint8_t>& out) override {
        char key[8];
        encode_key(ts, key);
        ErrText err;
        PinnedPtr v(rocksdb_get_pinned(db_.get(), read_.get(), key, sizeof key, err.out()));
        if (err.failed()) return err.error("get");
        if (!v) return false;
        size_t len = 0;
        const auto* p = reinterpret_cast<const uint8_t*>(rocksdb_pinnableslice_value(v.get(), &len));
        if (!p) return false;
        out.assign(p, p + len);
        return true;
    }

    Status scan(int64_t lo, int64_t hi, bool backward, Digest& digest) override {
        IteratorPtr it(rocksdb_create_iterator(db_.get(), read_.get()));
        char key[8];
        encode_key(backward ? hi : lo, key);
        if (backward) {
            rocksdb_iter_seek_for_prev(it.get(), key, sizeof key);
        } else {
            rocksdb_iter_seek(it.get(), key, sizeof key);
        }
        while (rocksdb_iter_valid(it.get())) {
            size_t klen = 0, vlen = 0;
            const char* k = rocksdb_iter_key(it.get(), &klen);
            const int64_t ts = decode_key(k, klen);
            if (backward ? ts < lo : ts > hi) break;
            const auto* v = reinterpret_cast<const uint8_t*>(rocksdb_iter_value(it.get(), &vlen));
            std::vector<uint8_t> data(v, v + vlen);
            digest.add(ts, data);
            if (backward) {
                rocksdb_iter_prev(it.get());
            } else {
                rocksdb_iter_next(it.get());
            }
        }
        ErrText err;
        rocksdb_iter_get_error(it.get(), err.out());
        if (err.failed()) return err.error("iterate");
        return {};
    }

    // Turns the memtable into a table file, so that the bytes on disk are the compressed ones.
    Status flush() override {
        BRVL_TRY(end_writes());
        FlushOptionsPtr fo(rocksdb_flushoptions_create());
        rocksdb_flushoptions_set_wait(fo.get(), 1);
        ErrText err;
        rocksdb_flush(db_.get(), fo.get(), err.out());
        if (err.failed()) return err.error("flush");
        return {};
    }

    Status close() override {
        BRVL_TRY(end_writes());
        db_.reset();
        return {};
    }

private:
    Status init(const std::string& dir, bool create) {
        options_.reset(rocksdb_options_create());
        rocksdb_options_set_create_if_missing(options_.get(), create ? 1 : 0);
        const unsigned cores = std::thread::hardware_concurrency();
        rocksdb_options_increase_parallelism(options_.get(), cores > 0 ? static_cast<int>(cores) : 2);
        rocksdb_options_optimize_level_style_compaction(options_.get(), kCacheBytes);
        rocksdb_options_set_compression(options_.get(), rocksdb_zstd_compression);
        std::vector<int> per_level(static_cast<size_t>(rocksdb_options_get_num_levels(options_.get())),
                                   rocksdb_zstd_compression);
        rocksdb_options_set_compression_per_level(options_.get(), per_level.data(), per_level.size());
        cache_.reset(rocksdb_cache_create_lru(kCacheBytes));
        table_.reset(rocksdb_block_based_options_create());
        rocksdb_block_based_options_set_block_cache(table_.get(), cache_.get());
        rocksdb_block_based_options_set_block_size(table_.get(), kBlockSize);
        // The table options take the policy over.
        rocksdb_block_based_options_set_filter_policy(table_.get(), rocksdb_filterpolicy_create_bloom_full(kBloomBitsPerKey));
        rocksdb_options_set_block_based_table_factory(options_.get(), table_.get());
        write_.reset(rocksdb_writeoptions_create());
        rocksdb_writeoptions_set_sync(write_.get(), 0);
        read_.reset(rocksdb_readoptions_create());
        batch_.reset(rocksdb_writebatch_create());
        ErrText err;
        db_.reset(rocksdb_open(options_.get(), dir.c_str(), err.out()));
        if (err.failed() || !db_) return err.error("open");
        return {};
    }

    Status commit() {
        pending_ = 0;
        ErrText err;
        rocksdb_write(db_.get(), write_.get(), batch_.get(), err.out());
        rocksdb_writebatch_clear(batch_.get());
        if (err.failed()) return err.error("write");
        return {};
    }

    OptionsPtr options_;
    CachePtr cache_;
    TableOptionsPtr table_;
    WriteOptionsPtr write_;
    ReadOptionsPtr read_;
    BatchPtr batch_;
    uint32_t batch_size_;
    uint32_t pending_ = 0;
    // Declared last so that it is closed first.
    DbPtr db_;
};

}  // namespace

Result<std::unique_ptr<Store>> open_rocksdb(const std::string& dir, bool create, uint32_t batch) {
    return RocksStore::open(dir, create, batch);
}

}  // namespace brenvale::bench
