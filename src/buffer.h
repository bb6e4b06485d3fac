// Output buffers of decompressed blocks. A block decodes to at most 256 KiB; a fresh heap
// buffer of that size is zero-filled by the caller and then page-faulted one page at a
// time. A `BlockBuffer` is left uninitialised (the decoder writes every byte), and one of
// block size comes from a small free list of buffers that earlier blocks released (their
// pages already touched) or, when the list is empty, from a new mapping whose pages are
// faulted in by one call. Every buffer belongs to one owner; none is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace brenvale {

class BlockBuffer {
public:
    // Buffers up to this capacity are block buffers (kept on the free list when released):
    // a full pending block plus room for the one byte that shows a decoder overrunning it.
    static constexpr size_t kBlockCapacity = 256 * 1024 + 4096;
    // Released block buffers kept for reuse; more are unmapped.
    static constexpr size_t kMaxFree = 32;

    BlockBuffer() = default;
    BlockBuffer(BlockBuffer&& other) noexcept;
    BlockBuffer& operator=(BlockBuffer&& other) noexcept;
    BlockBuffer(const BlockBuffer&) = delete;
    BlockBuffer& operator=(const BlockBuffer&) = delete;
    ~BlockBuffer();

    // `size` bytes, uninitialised, with room for at least `capacity` (at least size).
    static BlockBuffer allocate(size_t size, size_t capacity = 0);
    // A buffer holding a copy of bytes.
    static BlockBuffer copy_of(std::span<const uint8_t> bytes);

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    std::span<const uint8_t> bytes() const { return {data_, size_}; }
    // Shortens the buffer (never beyond its size).
    void truncate(size_t size) {
        if (size < size_) size_ = size;
    }

    // Buffers on the free list now (tests).
    static size_t free_count();

private:
    enum class Kind : uint8_t { None, Heap, Mapped, Block };
    void release() noexcept;

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    Kind kind_ = Kind::None;
    std::unique_ptr<uint8_t[]> heap_;
};

}  // namespace brenvale
