#include "buffer.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <mutex>
#include <utility>

namespace brenvale {

namespace {

// Smaller buffers come from the heap, which reuses small blocks well by itself.
constexpr size_t kMinBlockBytes = 32 * 1024;

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer checks heap buffers only (bounds and use after release).
constexpr bool kUseMappings = false;
#else
constexpr bool kUseMappings = true;
#endif

// A new private mapping with its pages faulted in by the one call; null on failure.
uint8_t* map_populated(size_t len) {
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

size_t page_rounded(size_t len) {
    constexpr size_t kPage = 4096;
    return (len + kPage - 1) / kPage * kPage;
}

// Released block buffers, most recently released last (its pages are the likeliest to be
// in the processor's caches).
struct FreeList {
    std::mutex mu;
    std::vector<uint8_t*> buffers;

    uint8_t* take() {
        std::lock_guard lock(mu);
        if (buffers.empty()) return nullptr;
        uint8_t* p = buffers.back();
        buffers.pop_back();
        return p;
    }
    // False when the list is full: the caller unmaps the buffer.
    bool give(uint8_t* p) {
        std::lock_guard lock(mu);
        if (buffers.size() >= BlockBuffer::kMaxFree) return false;
        if (buffers.capacity() < BlockBuffer::kMaxFree) buffers.reserve(BlockBuffer::kMaxFree);
        buffers.push_back(p);
        return true;
    }
    size_t count() {
        std::lock_guard lock(mu);
        return buffers.size();
    }
};

// Constant-initialised and never destroyed: it exists before any thread can use it (a fork
// while another thread was still constructing a function-local list would leave the child
// waiting on its guard for good), and blocks held by static objects may be released after
// exit has begun.
union FreeListHolder {
    FreeList list;
    constexpr FreeListHolder() : list() {}
    ~FreeListHolder() {}
};
constinit FreeListHolder g_free_list;

FreeList& free_list() { return g_free_list.list; }

// A fork while another thread holds the list's mutex would leave it locked for good in
// the child: the mutex is taken around fork, as the C library does with its heap's locks.
// The handlers are registered when the library is loaded, before any of its threads runs.
void lock_for_fork() { free_list().mu.lock(); }
void unlock_after_fork() { free_list().mu.unlock(); }
[[maybe_unused]] const int g_fork_handlers = ::pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);

}  // namespace

BlockBuffer::BlockBuffer(BlockBuffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      kind_(std::exchange(o.kind_, Kind::None)),
      heap_(std::move(o.heap_)) {}

BlockBuffer& BlockBuffer::operator=(BlockBuffer&& o) noexcept {
    if (this != &o) {
        release();
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
        kind_ = std::exchange(o.kind_, Kind::None);
        heap_ = std::move(o.heap_);
    }
    return *this;
}

BlockBuffer::~BlockBuffer() { release(); }

void BlockBuffer::release() noexcept {
    switch (kind_) {
        case Kind::Block:
            if (!free_list().give(data_)) ::munmap(data_, kBlockCapacity);
            break;
        case Kind::Mapped: ::munmap(data_, capacity_); break;
        case Kind::Heap: heap_.reset(); break;
        case Kind::None: break;
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
    kind_ = Kind::None;
}

BlockBuffer BlockBuffer::allocate(size_t size, size_t capacity) {
    BlockBuffer b;
    if (capacity < size) capacity = size;
    b.size_ = size;
    if (kUseMappings && capacity >= kMinBlockBytes) {
        if (capacity <= kBlockCapacity) {
            uint8_t* p = free_list().take();
            if (p == nullptr) p = map_populated(kBlockCapacity);
            if (p != nullptr) {
                b.data_ = p;
                b.capacity_ = kBlockCapacity;
                b.kind_ = Kind::Block;
                return b;
            }
        } else if (uint8_t* p = map_populated(page_rounded(capacity))) {
            b.data_ = p;
            b.capacity_ = page_rounded(capacity);
            b.kind_ = Kind::Mapped;
            return b;
        }
    }
    // At least one byte, so that data() is never null.
    b.heap_ = std::make_unique_for_overwrite<uint8_t[]>(capacity > 0 ? capacity : 1);
    b.data_ = b.heap_.get();
    b.capacity_ = capacity;
    b.kind_ = Kind::Heap;
    return b;
}

BlockBuffer BlockBuffer::copy_of(std::span<const uint8_t> bytes) {
    BlockBuffer b = allocate(bytes.size());
    if (!bytes.empty()) std::memcpy(b.data(), bytes.data(), bytes.size());
    return b;
}

size_t BlockBuffer::free_count() { return free_list().count(); }

}  // namespace brenvale
