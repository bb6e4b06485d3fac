#include "store/registry.h"

#include <mutex>

namespace brenvale {

DatasetRegistry::DatasetRegistry() : map_(0, DataSetKeyHash{fresh_hash_seed()}) {}

std::optional<Dataset> DatasetRegistry::get(const DataSetKey& key) const {
    std::shared_lock lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end()) return std::nullopt;
    return it->second;
}

void DatasetRegistry::insert(const Dataset& dataset) {
    std::unique_lock lock(mu_);
    map_.insert_or_assign(dataset.key(), dataset);
}

bool DatasetRegistry::remove_if_same(const Dataset& dataset) {
    std::optional<Dataset> removed;  // released after the lock
    std::unique_lock lock(mu_);
    auto it = map_.find(dataset.key());
    if (it == map_.end() || !it->second.same_as(dataset)) return false;
    removed.emplace(std::move(it->second));
    map_.erase(it);
    return true;
}

size_t DatasetRegistry::size() const {
    std::shared_lock lock(mu_);
    return map_.size();
}

void RegistryCloseHook::dataset_closed(const DataSetKey&, const Dataset& dataset) {
    if (auto registry = registry_.lock()) registry->remove_if_same(dataset);
}

}  // namespace brenvale
