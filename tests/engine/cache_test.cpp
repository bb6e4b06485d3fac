#include "cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace brenvale {
namespace {

using namespace std::chrono_literals;

// Appends one record frame: data length, timestamp, data, zero padding to a multiple of 4.
void put_frame(std::vector<uint8_t>& out, int64_t ts, const std::vector<uint8_t>& data) {
    size_t at = out.size();
    out.resize(at + 12);
    store_u32(out.data() + at, static_cast<uint32_t>(data.size()));
    store_i64(out.data() + at + 4, ts);
    out.insert(out.end(), data.begin(), data.end());
    while (out.size() % 4 != 0) out.push_back(0);
}

HotBlockPtr block_of_len(size_t len, uint8_t fill = 0xAB) {
    return std::make_shared<const HotBlock>(std::vector<uint8_t>(len, fill));
}

BlockKey key(uint64_t owner, uint64_t base, uint64_t pos) { return BlockKey{owner, base, pos}; }

// ---- HotBlock record frames ----

TEST(HotBlockTest, ReadsFramesAtTheirWordOffsets) {
    std::vector<uint8_t> bytes;
    put_frame(bytes, -5, {1, 2, 3});          // in_block 0, framed size 16
    put_frame(bytes, INT64_MAX, {});          // in_block 4, framed size 12
    put_frame(bytes, 42, {9, 8, 7, 6, 5});    // in_block 7, framed size 20
    ASSERT_EQ(bytes.size(), 48u);
    HotBlock block(bytes);

    auto r0 = block.record(0);
    ASSERT_TRUE(r0.ok()) << r0.error().to_string();
    EXPECT_EQ(r0->first, -5);
    EXPECT_EQ(r0->second, (std::vector<uint8_t>{1, 2, 3}));

    auto r1 = block.record(4);
    ASSERT_TRUE(r1.ok());
    EXPECT_EQ(r1->first, INT64_MAX);
    EXPECT_TRUE(r1->second.empty());

    auto r2 = block.record(7);
    ASSERT_TRUE(r2.ok());
    EXPECT_EQ(r2->first, 42);
    EXPECT_EQ(r2->second, (std::vector<uint8_t>{9, 8, 7, 6, 5}));

    EXPECT_EQ(*block.record_len(0), 3u);
    EXPECT_EQ(*block.record_len(4), 0u);
    EXPECT_EQ(*block.record_len(7), 5u);
}

void expect_invalid(const Result<uint32_t>& r, const char* text) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().detail(), text);
}

TEST(HotBlockTest, FrameHeadBeyondBlockIsRefused) {
    // 24 bytes: a frame head at word 3 ends at 24 (fits); at word 4 it would end at 28.
    std::vector<uint8_t> bytes(24, 0);
    HotBlock block(bytes);
    EXPECT_TRUE(block.record_len(3).ok());
    expect_invalid(block.record_len(4), "hot block: record index out of bounds");
    expect_invalid(block.record_len(UINT16_MAX), "hot block: record index out of bounds");
    auto rec = block.record(4);
    ASSERT_FALSE(rec.ok());
    EXPECT_EQ(rec.error().to_string(), "invalid data: hot block: record index out of bounds");

    HotBlock empty(std::vector<uint8_t>{});
    expect_invalid(empty.record_len(0), "hot block: record index out of bounds");
}

TEST(HotBlockTest, DataBeyondBlockIsRefused) {
    std::vector<uint8_t> bytes;
    put_frame(bytes, 1, {1, 2, 3, 4});  // 16 bytes, data ends exactly at the end
    HotBlock exact(bytes);
    EXPECT_EQ(*exact.record_len(0), 4u);

    store_u32(bytes.data(), 5);  // one byte past the block
    HotBlock over(bytes);
    expect_invalid(over.record_len(0), "hot block: record data out of bounds");
    auto rec = over.record(0);
    ASSERT_FALSE(rec.ok());
    EXPECT_EQ(rec.error().detail(), "hot block: record data out of bounds");

    store_u32(bytes.data(), UINT32_MAX);  // a length that would wrap a careless sum
    HotBlock huge(bytes);
    expect_invalid(huge.record_len(0), "hot block: record data out of bounds");
}

// ---- BlockCache ----

TEST(BlockCacheTest, CapacityZeroKeepsNothing) {
    BlockCache cache(0);
    auto b = block_of_len(10);
    EXPECT_EQ(cache.insert(key(1, 0, 0), b), nullptr);
    EXPECT_EQ(cache.get(key(1, 0, 0)), nullptr);
    EXPECT_FALSE(cache.remove(key(1, 0, 0)));
    EXPECT_EQ(cache.remove_owner(1), 0u);
    EXPECT_EQ(cache.evict_idle(0ns), 0u);
    EXPECT_EQ(cache.len(), 0u);
    EXPECT_EQ(cache.used_bytes(), 0u);
    EXPECT_EQ(b.use_count(), 1);  // the caller's block was not retained
}

TEST(BlockCacheTest, InsertGetRemoveAccountCosts) {
    BlockCache cache(1 << 20);
    auto a = block_of_len(100);
    auto b = block_of_len(0);
    EXPECT_EQ(cache.insert(key(1, 0, 0), a), a);
    EXPECT_EQ(cache.insert(key(1, 0, 16), b), b);
    EXPECT_EQ(cache.used_bytes(), 196u + 96u);
    EXPECT_EQ(cache.len(), 2u);

    EXPECT_EQ(cache.get(key(1, 0, 0)), a);
    EXPECT_EQ(cache.get(key(1, 1, 0)), nullptr);  // base offset is part of the key
    EXPECT_EQ(cache.get(key(2, 0, 0)), nullptr);  // and so is the owner

    EXPECT_TRUE(cache.remove(key(1, 0, 0)));
    EXPECT_FALSE(cache.remove(key(1, 0, 0)));
    EXPECT_EQ(cache.used_bytes(), 96u);
    EXPECT_EQ(cache.get(key(1, 0, 0)), nullptr);
    // A removed block stays valid for whoever holds it.
    EXPECT_EQ(a->size(), 100u);
    EXPECT_EQ(a->bytes()[99], 0xAB);
}

TEST(BlockCacheTest, EvictsOldestAccessFirst) {
    BlockCache cache(1000);
    const auto t1 = MonoClock::now() - 2h;
    const auto t2 = t1 + 1h;
    cache.insert(key(1, 0, 0), block_of_len(304));  // cost 400
    cache.insert(key(1, 0, 1), block_of_len(304));  // cost 400
    ASSERT_TRUE(cache.set_last_access(key(1, 0, 0), t1));
    ASSERT_TRUE(cache.set_last_access(key(1, 0, 1), t2));

    // 800 + 300 > 1000: target 850, allowed 550, at least 250 must go: the t1 entry.
    auto c = block_of_len(204);
    EXPECT_EQ(cache.insert(key(1, 0, 2), c), c);
    EXPECT_EQ(cache.get(key(1, 0, 0)), nullptr);
    EXPECT_NE(cache.get(key(1, 0, 1)), nullptr);
    EXPECT_NE(cache.get(key(1, 0, 2)), nullptr);
    EXPECT_EQ(cache.used_bytes(), 700u);
    EXPECT_EQ(cache.len(), 2u);
}

TEST(BlockCacheTest, EvictsUntilEnoughIsFreedAndNoFurther) {
    BlockCache cache(1000);
    const auto base = MonoClock::now() - 10h;
    for (uint64_t i = 0; i < 4; ++i) {
        cache.insert(key(1, 0, i), block_of_len(104));  // cost 200 each, 800 in all
        cache.set_last_access(key(1, 0, i), base + std::chrono::hours(i));
    }
    // 800 + 300 > 1000; allowed 550, so 250 must go: the two oldest (400 bytes).
    cache.insert(key(1, 0, 9), block_of_len(204));
    EXPECT_EQ(cache.get(key(1, 0, 0)), nullptr);
    EXPECT_EQ(cache.get(key(1, 0, 1)), nullptr);
    EXPECT_NE(cache.get(key(1, 0, 2)), nullptr);
    EXPECT_NE(cache.get(key(1, 0, 3)), nullptr);
    EXPECT_EQ(cache.used_bytes(), 700u);
}

TEST(BlockCacheTest, FillingExactlyToCapacityEvictsNothing) {
    BlockCache cache(1000);
    cache.insert(key(1, 0, 0), block_of_len(304));  // 400
    cache.insert(key(1, 0, 1), block_of_len(204));  // 300
    cache.insert(key(1, 0, 2), block_of_len(204));  // 300: total exactly 1000
    EXPECT_EQ(cache.len(), 3u);
    EXPECT_EQ(cache.used_bytes(), 1000u);
}

TEST(BlockCacheTest, GetRefreshesLastAccess) {
    BlockCache cache(1000);
    const auto now = MonoClock::now();
    cache.insert(key(1, 0, 0), block_of_len(304));
    cache.insert(key(1, 0, 1), block_of_len(304));
    cache.set_last_access(key(1, 0, 0), now - 2h);
    cache.set_last_access(key(1, 0, 1), now - 1h);
    ASSERT_NE(cache.get(key(1, 0, 0)), nullptr);  // now the most recent

    cache.insert(key(1, 0, 2), block_of_len(204));
    EXPECT_NE(cache.get(key(1, 0, 0)), nullptr);
    EXPECT_EQ(cache.get(key(1, 0, 1)), nullptr);
}

TEST(BlockCacheTest, OversizedBlockClearsCacheAndIsStillInserted) {
    BlockCache cache(1000);
    cache.insert(key(1, 0, 0), block_of_len(100));
    cache.insert(key(2, 0, 0), block_of_len(100));
    auto big = block_of_len(2000);
    EXPECT_EQ(cache.insert(key(3, 0, 0), big), big);
    EXPECT_EQ(cache.len(), 1u);
    EXPECT_EQ(cache.get(key(3, 0, 0)), big);
    EXPECT_EQ(cache.used_bytes(), 2096u);  // above the capacity
}

TEST(BlockCacheTest, DuplicateInsertReturnsCachedBlockUntouched) {
    BlockCache cache(1 << 20);
    auto first = block_of_len(10, 1);
    auto second = block_of_len(50, 2);
    cache.insert(key(1, 0, 0), first);
    cache.set_last_access(key(1, 0, 0), MonoClock::now() - 2h);

    EXPECT_EQ(cache.insert(key(1, 0, 0), second), first);
    EXPECT_EQ(cache.used_bytes(), 106u);
    EXPECT_EQ(cache.len(), 1u);
    // The last access was not refreshed: the entry is still two hours idle.
    EXPECT_EQ(cache.evict_idle(1h), 1u);
    EXPECT_EQ(cache.used_bytes(), 0u);
}

TEST(BlockCacheTest, EvictIdle) {
    BlockCache cache(1 << 20);
    const auto now = MonoClock::now();
    cache.insert(key(1, 0, 0), block_of_len(10));
    cache.insert(key(1, 0, 1), block_of_len(20));
    cache.insert(key(1, 0, 2), block_of_len(30));
    cache.set_last_access(key(1, 0, 0), now - 3h);
    cache.set_last_access(key(1, 0, 1), now + 1h);  // in the future: idle counts as 0

    EXPECT_EQ(cache.evict_idle(1h), 1u);
    EXPECT_EQ(cache.get(key(1, 0, 0)), nullptr);
    EXPECT_EQ(cache.used_bytes(), 116u + 126u);

    EXPECT_EQ(cache.evict_idle(0ns), 2u);  // zero idle removes everything
    EXPECT_EQ(cache.len(), 0u);
    EXPECT_EQ(cache.used_bytes(), 0u);
}

TEST(BlockCacheTest, RemoveOwnerLeavesOtherDatasets) {
    BlockCache cache(1 << 20);
    for (uint64_t pos = 0; pos < 5; ++pos) {
        cache.insert(key(7, 0, pos), block_of_len(10));
        cache.insert(key(8, 0, pos), block_of_len(20));
    }
    cache.insert(key(7, 4096, 0), block_of_len(10));
    EXPECT_EQ(cache.remove_owner(7), 6u);
    EXPECT_EQ(cache.remove_owner(7), 0u);
    EXPECT_EQ(cache.len(), 5u);
    EXPECT_EQ(cache.used_bytes(), 5u * 116u);
    for (uint64_t pos = 0; pos < 5; ++pos) {
        EXPECT_EQ(cache.get(key(7, 0, pos)), nullptr);
        EXPECT_NE(cache.get(key(8, 0, pos)), nullptr);
    }
}

TEST(BlockCacheTest, ConcurrentUseKeepsCountersConsistent) {
    // Small capacity so that insertions keep evicting while others read and remove.
    BlockCache cache(8 * 1024);
    constexpr int kThreads = 8;
    constexpr int kOps = 4000;
    constexpr uint64_t kOwners = 3;
    constexpr uint64_t kPositions = 40;
    // Every key always gets a block of the same length and fill, so content is checkable.
    auto len_of = [](const BlockKey& k) { return static_cast<size_t>(k.owner * 64 + k.position * 8); };
    auto fill_of = [](const BlockKey& k) { return static_cast<uint8_t>(k.owner * 31 + k.position); };

    std::atomic<int> bad_blocks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            uint64_t x = 0x9e3779b97f4a7c15ULL * (t + 1);
            for (int i = 0; i < kOps; ++i) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                BlockKey k = key(x % kOwners + 1, 0, (x >> 8) % kPositions);
                switch ((x >> 20) % 10) {
                    case 0:
                        cache.remove(k);
                        break;
                    case 1:
                        if ((x >> 32) % 50 == 0) cache.remove_owner(k.owner);
                        break;
                    case 2:
                        if ((x >> 32) % 100 == 0) cache.evict_idle(0ns);
                        break;
                    case 3:
                    case 4:
                    case 5: {
                        auto b = cache.insert(
                            k, std::make_shared<const HotBlock>(std::vector<uint8_t>(len_of(k), fill_of(k))));
                        if (!b || b->size() != len_of(k)) ++bad_blocks;
                        break;
                    }
                    default: {
                        auto b = cache.get(k);
                        if (b && (b->size() != len_of(k) || (b->size() > 0 && b->bytes()[0] != fill_of(k))))
                            ++bad_blocks;
                        break;
                    }
                }
            }
        });
    }
    for (auto& th : threads) th.join();

    EXPECT_EQ(bad_blocks.load(), 0);
    uint64_t sum = 0;
    size_t count = 0;
    for (uint64_t owner = 1; owner <= kOwners; ++owner)
        for (uint64_t pos = 0; pos < kPositions; ++pos)
            if (auto b = cache.get(key(owner, 0, pos))) {
                sum += b->size() + BlockCache::kEntryOverhead;
                ++count;
            }
    EXPECT_EQ(cache.len(), count);
    EXPECT_EQ(cache.used_bytes(), sum);
    EXPECT_EQ(cache.evict_idle(0ns), count);
    EXPECT_EQ(cache.used_bytes(), 0u);
}

}  // namespace
}  // namespace brenvale
