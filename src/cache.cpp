#include "cache.h"

#include <algorithm>

#include "format/frame.h"

namespace brenvale {

namespace {

// A full cache makes room down to this share of its capacity (with the new block), so
// that the next few inserts need no eviction pass.
constexpr double kEvictionTarget = 0.85;

}  // namespace

Result<std::pair<int64_t, std::vector<uint8_t>>> HotBlock::record(uint16_t in_block) const {
    const FrameRef f = BRVL_TRY(read_frame(bytes(), in_block, "hot block: "));
    return std::pair<int64_t, std::vector<uint8_t>>{f.timestamp, std::vector<uint8_t>(f.data, f.data + f.len)};
}

Result<uint32_t> HotBlock::record_len(uint16_t in_block) const {
    const FrameRef f = BRVL_TRY(read_frame(bytes(), in_block, "hot block: "));
    return f.len;
}

size_t BlockCache::KeyHash::operator()(const BlockKey& k) const {
    uint64_t h = mix64(seed ^ k.owner);
    h = mix64(h ^ (k.segment_base + 0x9e3779b97f4a7c15ULL));
    h = mix64(h ^ (k.position + 0xc2b2ae3d27d4eb4fULL));
    return static_cast<size_t>(h);
}

BlockCache::BlockCache(uint64_t capacity) : capacity_(capacity), map_(0, KeyHash{fresh_hash_seed()}) {}

size_t BlockCache::len() const {
    if (capacity_ == 0) return 0;
    std::lock_guard lock(mu_);
    return map_.size();
}

HotBlockPtr BlockCache::get(const BlockKey& key) {
    if (capacity_ == 0) return nullptr;
    std::lock_guard lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    it->second.last_access = MonoClock::now();
    return it->second.block;
}

HotBlockPtr BlockCache::insert(const BlockKey& key, HotBlockPtr block) {
    if (capacity_ == 0 || !block) return nullptr;
    // A block's length never comes near 2^64, but keep the arithmetic total anyway.
    const uint64_t cost = checked_add(block->size(), kEntryOverhead).value_or(UINT64_MAX);

    std::lock_guard lock(mu_);
    if (auto it = map_.find(key); it != map_.end()) return it->second.block;

    // The used bytes are the sum of the entries' costs: every change of the map changes
    // them by the entry's cost under this lock, so no recount over the entries is needed.
    const uint64_t total = used_.load(std::memory_order_relaxed);

    const auto with_new = checked_add(total, cost);
    if (!with_new || *with_new > capacity_) {
        const auto target = static_cast<uint64_t>(static_cast<double>(capacity_) * kEvictionTarget);
        const uint64_t allowed = cost > target ? 0 : target - cost;
        if (total > allowed) {
            const uint64_t need = total - allowed;
            using Iter = decltype(map_)::iterator;
            std::vector<std::pair<MonoInstant, Iter>> order;
            order.reserve(map_.size());
            for (auto it = map_.begin(); it != map_.end(); ++it) order.emplace_back(it->second.last_access, it);
            std::stable_sort(order.begin(), order.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            uint64_t freed = 0;
            for (auto& [when, it] : order) {
                if (freed >= need) break;
                freed += it->second.cost;
                map_.erase(it);
            }
            used_.fetch_sub(freed, std::memory_order_relaxed);
        }
    }

    map_.emplace(key, Entry{block, cost, MonoClock::now()});
    used_.fetch_add(cost, std::memory_order_relaxed);
    return block;
}

bool BlockCache::remove(const BlockKey& key) {
    if (capacity_ == 0) return false;
    std::lock_guard lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    used_.fetch_sub(it->second.cost, std::memory_order_relaxed);
    map_.erase(it);
    return true;
}

template <typename Pred>
size_t BlockCache::remove_where(Pred pred) {
    size_t removed = 0;
    uint64_t freed = 0;
    for (auto it = map_.begin(); it != map_.end();) {
        if (pred(it->first, it->second)) {
            freed += it->second.cost;
            ++removed;
            it = map_.erase(it);
        } else {
            ++it;
        }
    }
    used_.fetch_sub(freed, std::memory_order_relaxed);
    return removed;
}

size_t BlockCache::remove_owner(uint64_t owner) {
    if (capacity_ == 0) return 0;
    std::lock_guard lock(mu_);
    return remove_where([owner](const BlockKey& key, const Entry&) { return key.owner == owner; });
}

size_t BlockCache::evict_idle(std::chrono::nanoseconds max_idle) {
    if (capacity_ == 0) return 0;
    std::lock_guard lock(mu_);
    const MonoInstant now = MonoClock::now();
    return remove_where([&](const BlockKey&, const Entry& e) {
        auto idle = now - e.last_access;
        return (idle < MonoClock::duration::zero() ? MonoClock::duration::zero() : idle) >= max_idle;
    });
}

bool BlockCache::set_last_access(const BlockKey& key, MonoInstant when) {
    if (capacity_ == 0) return false;
    std::lock_guard lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    it->second.last_access = when;
    return true;
}

}  // namespace brenvale
