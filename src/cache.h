// The block cache: decompressed blocks shared between readers and query iterators,
// bounded by a byte budget, evicted oldest-access-first, by owner and when idle.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "util.h"

namespace brenvale {

// The payload of one block after decompression (or a copy of a raw payload). Immutable;
// a record `in_block` starts at byte in_block * 4 and is read as a record frame.
class HotBlock {
public:
    explicit HotBlock(BlockBuffer bytes) : bytes_(std::move(bytes)) {}
    explicit HotBlock(std::span<const uint8_t> bytes) : bytes_(BlockBuffer::copy_of(bytes)) {}
    std::span<const uint8_t> bytes() const { return bytes_.bytes(); }
    size_t size() const { return bytes_.size(); }

    // The timestamp and a copy of the data of the record at in_block.
    Result<std::pair<int64_t, std::vector<uint8_t>>> record(uint16_t in_block) const;
    Result<uint32_t> record_len(uint16_t in_block) const;

private:
    BlockBuffer bytes_;
};

using HotBlockPtr = std::shared_ptr<const HotBlock>;

struct BlockKey {
    uint64_t owner = 0;         // dataset identifier
    uint64_t segment_base = 0;  // the segment's base offset
    uint64_t position = 0;      // the block's position within the segment
    bool operator==(const BlockKey&) const = default;
};

class BlockCache {
public:
    static constexpr uint64_t kEntryOverhead = 96;

    explicit BlockCache(uint64_t capacity);

    uint64_t capacity() const { return capacity_; }
    uint64_t used_bytes() const { return used_.load(std::memory_order_relaxed); }
    size_t len() const;

    HotBlockPtr get(const BlockKey& key);
    // Returns the block now cached under the key (the existing one when already present),
    // or nothing when the cache is disabled.
    HotBlockPtr insert(const BlockKey& key, HotBlockPtr block);
    bool remove(const BlockKey& key);
    size_t remove_owner(uint64_t owner);
    size_t evict_idle(std::chrono::nanoseconds max_idle);
    // Sets the last access of a cached entry (lets tests fix the eviction order);
    // false when the key is not cached.
    bool set_last_access(const BlockKey& key, MonoInstant when);

private:
    // Removes every entry the predicate selects (under the lock); returns how many.
    template <typename Pred>
    size_t remove_where(Pred pred);

    struct KeyHash {
        uint64_t seed;
        size_t operator()(const BlockKey& k) const;
    };
    struct Entry {
        HotBlockPtr block;
        uint64_t cost;
        MonoInstant last_access;
    };

    const uint64_t capacity_;
    mutable std::mutex mu_;
    std::unordered_map<BlockKey, Entry, KeyHash> map_;
    std::atomic<uint64_t> used_{0};
};

}  // namespace brenvale
