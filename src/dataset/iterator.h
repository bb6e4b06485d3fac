// The query iterator: a lazy walk over a closed timestamp range of one dataset, forward
// or backward, with skips.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cache.h"
#include "dataset/dataset.h"
#include "error.h"
#include "index/index.h"
#include "segment/data.h"
#include "types.h"

namespace brenvale {

// The block a range list or an iterator read last. With a usable shared cache it refers to
// the cached block without keeping it alive; without one, a one-block cache of its own
// keeps the block, so that its records are not decompressed again one by one (a copied
// iterator shares it).
struct LocalHotBlock {
    HotBlockSlot slot;
    std::shared_ptr<BlockCache> own;

    void clear() {
        slot.clear();
        own.reset();
    }
};

// Lazy walk over a closed timestamp range, forward or backward, with skips. Items are
// records or lengths; the dataset lock is taken per step, never between calls.
class QueryIterator {
public:
    Result<std::optional<Record>> next();
    Result<std::optional<RecordLength>> next_length();
    QueryIterator& skip(uint64_t count);
    QueryIterator& reverse();
    Result<std::vector<Record>> collect_all();
    Result<std::vector<Record>> collect_take(uint64_t count);
    Result<std::vector<RecordLength>> collect_all_lengths();
    Result<std::vector<RecordLength>> collect_take_lengths(uint64_t count);

private:
    friend class Dataset;
    explicit QueryIterator(Dataset dataset) : dataset_(std::move(dataset)) {}
    template <typename Item, typename ReadFn>
    Result<std::optional<Item>> step(ReadFn read);
    // Raises lo to the retention threshold of this moment (under the dataset lock).
    Status raise_to_current_threshold(const DatasetInner& in);

    Dataset dataset_;
    int64_t lo_ = 0;
    int64_t hi_ = 0;
    uint64_t front_skip_ = 0;
    uint64_t back_skip_ = 0;
    bool reverse_ = false;
    bool exhausted_ = false;
    std::optional<IndexCursor> cursor_;
    LocalHotBlock hot_;
};

}  // namespace brenvale
