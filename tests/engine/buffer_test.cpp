#include "buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace brenvale {
namespace {

TEST(BlockBuffer, SizesAndCopies) {
    for (size_t size : {size_t{0}, size_t{100}, size_t{40000}, size_t{262144}, BlockBuffer::kBlockCapacity,
                        BlockBuffer::kBlockCapacity + 1, size_t{4194316}}) {
        SCOPED_TRACE(size);
        BlockBuffer b = BlockBuffer::allocate(size);
        ASSERT_NE(b.data(), nullptr);
        EXPECT_EQ(b.size(), size);
        EXPECT_GE(b.capacity(), size);
        std::memset(b.data(), 0xA5, size);  // every byte is writable
        std::vector<uint8_t> src(size, 0x5A);
        BlockBuffer c = BlockBuffer::copy_of(src);
        EXPECT_TRUE(std::equal(c.bytes().begin(), c.bytes().end(), src.begin(), src.end()));
        BlockBuffer moved = std::move(c);
        EXPECT_EQ(moved.size(), size);
        EXPECT_EQ(c.size(), 0u);
        moved.truncate(size / 2);
        EXPECT_EQ(moved.size(), size / 2);
        moved.truncate(size);  // never grows
        EXPECT_EQ(moved.size(), size / 2);
    }
    EXPECT_GE(BlockBuffer::allocate(10, 300000).capacity(), 300000u);
}

// A released block buffer is kept and handed to the next block, up to the list's size.
TEST(BlockBuffer, ReleasedBlocksAreReused) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer build takes every buffer from the heap";
#else
    std::vector<BlockBuffer> held;
    for (size_t i = 0; i < BlockBuffer::kMaxFree + 4; ++i) held.push_back(BlockBuffer::allocate(262144));
    held.clear();
    EXPECT_EQ(BlockBuffer::free_count(), BlockBuffer::kMaxFree);
    const uint8_t* released = nullptr;
    {
        BlockBuffer b = BlockBuffer::allocate(200000);
        released = b.data();
    }
    BlockBuffer again = BlockBuffer::allocate(262144, 262145);
    EXPECT_EQ(again.data(), released);
    EXPECT_EQ(BlockBuffer::free_count(), BlockBuffer::kMaxFree - 1);
#endif
}

}  // namespace
}  // namespace brenvale
