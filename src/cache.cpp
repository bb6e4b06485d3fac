#include "cache.h"

#include <algorithm>
#include <sys/random.h>

namespace brenvale {

namespace {

// Record frame inside a block payload: 4-byte data length, 8-byte timestamp, data,
// zero padding to a multiple of 4.
constexpr uint64_t kFrameHead = 12;

// Fresh hash keys per cache, so that key collisions cannot be planned from outside.
// Falls back to the clock and an address when the kernel gives no random bytes.
uint64_t fresh_seed() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    seed = static_cast<uint64_t>(MonoClock::now().time_since_epoch().count());
    seed ^= reinterpret_cast<uintptr_t>(&seed);
    return seed ^ 0x2545f4914f6cdd1dULL;
}

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

}  // namespace

// Locates the frame of record in_block: the offset of its data and its data length.
static Result<std::pair<uint64_t, uint32_t>> locate_frame(std::span<const uint8_t> bytes, uint16_t in_block) {
    const uint64_t start = static_cast<uint64_t>(in_block) * 4;
    if (!range_within(start, kFrameHead, bytes.size()))
        return Error::invalid_data("hot block: record index out of bounds");
    const uint32_t len = load_u32(bytes.data() + start);
    const uint64_t data_at = start + kFrameHead;
    if (!range_within(data_at, len, bytes.size()))
        return Error::invalid_data("hot block: record data out of bounds");
    return std::pair<uint64_t, uint32_t>{data_at, len};
}

Result<std::pair<int64_t, std::vector<uint8_t>>> HotBlock::record(uint16_t in_block) const {
    auto [data_at, len] = BRVL_TRY(locate_frame(bytes_, in_block));
    const int64_t ts = load_i64(bytes_.data() + data_at - 8);
    const uint8_t* p = bytes_.data() + data_at;
    return std::pair<int64_t, std::vector<uint8_t>>{ts, std::vector<uint8_t>(p, p + len)};
}

Result<uint32_t> HotBlock::record_len(uint16_t in_block) const {
    auto frame = BRVL_TRY(locate_frame(bytes_, in_block));
    return frame.second;
}

size_t BlockCache::KeyHash::operator()(const BlockKey& k) const {
    uint64_t h = mix64(seed ^ k.owner);
    h = mix64(h ^ (k.segment_base + 0x9e3779b97f4a7c15ULL));
    h = mix64(h ^ (k.position + 0xc2b2ae3d27d4eb4fULL));
    return static_cast<size_t>(h);
}

BlockCache::BlockCache(uint64_t capacity) : capacity_(capacity), map_(0, KeyHash{fresh_seed()}) {}

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

    uint64_t total = 0;
    for (const auto& [k, e] : map_) total = checked_add(total, e.cost).value_or(UINT64_MAX);

    const auto with_new = checked_add(total, cost);
    if (!with_new || *with_new > capacity_) {
        const auto target = static_cast<uint64_t>(static_cast<double>(capacity_) * 0.85);
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
