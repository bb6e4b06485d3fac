#include "buffer.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
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

// A child forked while another thread takes and gives back block buffers can still take
// one: the free list's mutex is never left locked in the child.
TEST(BlockBuffer, ForkWhileAnotherThreadAllocates) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) BlockBuffer b = BlockBuffer::allocate(262144);
    });
    for (int i = 0; i < 50; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::alarm(2);  // a deadlock ends the child with SIGALRM
            { BlockBuffer b = BlockBuffer::allocate(262144); }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    stop.store(true);
    churn.join();
}

}  // namespace
}  // namespace brenvale
