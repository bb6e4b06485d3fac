#include "store/registry.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "log.h"

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

std::optional<std::vector<Dataset>> DatasetRegistry::try_handles() const {
    // A writer holds the lock only for one map change: a few tries see it free.
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::shared_lock lock(mu_, std::try_to_lock);
        if (!lock) {
            std::this_thread::yield();
            continue;
        }
        std::vector<Dataset> out;
        out.reserve(map_.size());
        for (const auto& entry : map_) out.push_back(entry.second);
        return out;
    }
    return std::nullopt;
}

bool RegistryRelief::relieve() {
    auto registry = registry_.lock();
    if (!registry) return false;
    auto handles = registry->try_handles();
    if (!handles) return false;
    std::vector<std::pair<MonoInstant, Dataset*>> holding;
    for (Dataset& d : *handles)
        if (auto since = d.files_held_since()) holding.emplace_back(*since, &d);
    if (holding.empty()) return false;
    std::sort(holding.begin(), holding.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    holding.resize((holding.size() + 1) / 2);
    size_t released = 0;
    for (const auto& [since, d] : holding) {
        auto done = d->try_release_files();
        if (!done.ok())
            log::error(log::kStore, "[store] releasing the files of {} failed: {}", d->key().debug_string(),
                       done.error());
        else
            released += *done;
    }
    if (released > 0) log::info(log::kStore, "[store] out of file descriptors: released the files of {} datasets", released);
    return released > 0;
}

void RegistryCloseHook::dataset_closed(const DataSetKey&, const Dataset& dataset) {
    if (auto registry = registry_.lock()) registry->remove_if_same(dataset);
}

}  // namespace brenvale
