// The engine's Dataset as a store: one dataset directory with a 256 MiB block cache and
// no dirty list, so that flush() flushes every segment.
#include <bit>
#include <memory>

#include "bench_common.h"
#include "cache.h"
#include "dataset/dataset.h"
#include "file.h"
#include "paths.h"

namespace brenvale::bench {

namespace {

std::string dataset_dir(const std::string& dir) { return join_path(dir, "dataset"); }

class EngineStore final : public Store {
public:
    EngineStore(Dataset dataset, std::shared_ptr<BlockCache> cache)
        : dataset_(std::move(dataset)), cache_(std::move(cache)) {}

    static Result<std::unique_ptr<Store>> open(const std::string& dir, bool create, EngineOptions options) {
        const DataSetKey key{"bench", "x"};
        const std::string path = dataset_dir(dir);
        DatasetConfig config;
        config.index_continuous = options.continuous ? 1 : 0;
        config.compress_level = options.compress_level;
        if (options.segment_size != 0) {
            config.data_segment_size = options.segment_size;
            config.index_segment_size = options.segment_size / 4;
        }
        Dataset dataset = create ? BRVL_TRY(Dataset::create(key, path, config)) : BRVL_TRY(Dataset::open(key, path));
        BRVL_TRY(dataset.set_identifier(1));
        auto cache = std::make_shared<BlockCache>(kCacheBytes);
        BRVL_TRY(dataset.attach_runtime(DatasetRuntime{cache, nullptr, nullptr, nullptr, false, nullptr}));
        return std::unique_ptr<Store>(std::make_unique<EngineStore>(std::move(dataset), std::move(cache)));
    }

    Status put(int64_t ts, std::span<const uint8_t> data) override { return dataset_.write(ts, data); }

    Result<bool> get(int64_t ts, std::vector<uint8_t>& out) override {
        std::optional<Record> record = BRVL_TRY(dataset_.read(ts));
        if (!record) return false;
        out = std::move(record->data);
        return true;
    }

    Status scan(int64_t lo, int64_t hi, bool backward, Digest& digest) override {
        QueryIterator it = BRVL_TRY(dataset_.query(lo, hi));
        if (backward) it.reverse();
        for (;;) {
            std::optional<Record> record = BRVL_TRY(it.next());
            if (!record) return {};
            digest.add(record->timestamp, record->data);
        }
    }

    Status flush() override { return dataset_.flush(); }
    Status close() override { return dataset_.close(); }

    // The whole range in one call (query_all) instead of through the iterator.
    Status scan_all(int64_t lo, int64_t hi, Digest& digest) {
        std::vector<Record> records = BRVL_TRY(dataset_.query_all(lo, hi));
        for (const Record& r : records) digest.add(r.timestamp, r.data);
        return {};
    }

    Result<uint64_t> exist_bits(int64_t lo, int64_t hi) {
        std::vector<uint8_t> bitmap = BRVL_TRY(dataset_.query_exist(lo, hi));
        uint64_t bits = 0;
        for (uint8_t b : bitmap) bits += static_cast<uint64_t>(std::popcount(b));
        return bits;
    }

private:
    Dataset dataset_;
    std::shared_ptr<BlockCache> cache_;
};

}  // namespace

Result<std::unique_ptr<Store>> open_engine(const std::string& dir, bool create, EngineOptions options) {
    return EngineStore::open(dir, create, options);
}

std::string engine_index_dir(const std::string& dir) { return paths::index_dir(dataset_dir(dir)); }

Status engine_scan_all(Store& store, int64_t lo, int64_t hi, Digest& digest) {
    auto* engine = dynamic_cast<EngineStore*>(&store);
    if (!engine) return Error::invalid_data("query_all: not an engine store");
    return engine->scan_all(lo, hi, digest);
}

Result<uint64_t> engine_exist_bits(Store& store, int64_t lo, int64_t hi) {
    auto* engine = dynamic_cast<EngineStore*>(&store);
    if (!engine) return Error::invalid_data("existence bitmap: not an engine store");
    return engine->exist_bits(lo, hi);
}

}  // namespace brenvale::bench
