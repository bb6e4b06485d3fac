// The registry of a store's open datasets: one reader-writer lock over a map from key to
// the shared dataset handle. The store looks up under the read lock and inserts under the
// write lock; the background tasks read it; a closing dataset removes itself through the
// close hook.
#pragma once

#include <memory>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "dataset/dataset.h"
#include "file.h"
#include "types.h"

namespace brenvale {

class DatasetRegistry {
public:
    DatasetRegistry();

    // The registered handle of the key (read lock).
    std::optional<Dataset> get(const DataSetKey& key) const;
    // Registers the handle, replacing any entry of the key (write lock).
    void insert(const Dataset& dataset);
    // Removes the key when its registered handle is this dataset (write lock).
    bool remove_if_same(const Dataset& dataset);
    size_t size() const;
    // Every registered handle, when the read lock can be had without waiting for a writer.
    std::optional<std::vector<Dataset>> try_handles() const;

    // The keys whose dataset satisfies pred, called under the read lock: pred may take the
    // dataset's mutex (order: registry, then dataset), nothing else.
    template <typename Pred>
    std::vector<DataSetKey> keys_where(Pred pred) const {
        std::shared_lock lock(mu_);
        std::vector<DataSetKey> out;
        for (const auto& [key, dataset] : map_)
            if (pred(dataset)) out.push_back(key);
        return out;
    }

private:
    mutable std::shared_mutex mu_;
    std::unordered_map<DataSetKey, Dataset, DataSetKeyHash> map_;
};

using DatasetRegistryPtr = std::shared_ptr<DatasetRegistry>;

// The store's close hook: removes a closing dataset from the registry. It holds the
// registry weakly, so that datasets kept alive by others after the store is gone do not
// keep the registry, and through it every other dataset, alive.
class RegistryCloseHook final : public DatasetCloseHook {
public:
    explicit RegistryCloseHook(const DatasetRegistryPtr& registry) : registry_(registry) {}
    void dataset_closed(const DataSetKey& key, const Dataset& dataset) override;

private:
    std::weak_ptr<DatasetRegistry> registry_;
};

// The store's part when the process runs out of descriptors: it flushes and closes the
// files of the least recently used half of its open datasets that hold files, passing by
// every dataset whose mutex is held (the caller's own among them).
class RegistryRelief final : public DescriptorRelief {
public:
    explicit RegistryRelief(const DatasetRegistryPtr& registry) : registry_(registry) {}
    bool relieve() override;

private:
    std::weak_ptr<DatasetRegistry> registry_;
};

}  // namespace brenvale
