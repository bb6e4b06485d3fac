// Seams through which tests reach into the engine: named crash points, an offset of the
// wall clock, injected I/O failures in the file layer (and a failed thread start), an
// injected allocation failure and a count of block decompressions. Each costs one relaxed atomic load while no test has
// installed it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace brenvale {

// ---- crash points ----

// A named step between two stores of one change. A no-op unless a test installs a hook
// (which usually ends the process there).
using CrashHook = void (*)(const char* step);
void set_crash_hook(CrashHook hook);

namespace detail {
extern std::atomic<CrashHook> g_crash_hook;
extern std::atomic<int64_t> g_wall_clock_offset_ns;
extern std::atomic<bool> g_io_faults_armed;
extern std::atomic<uint64_t> g_decompressions;
extern std::atomic<bool> g_alloc_fault_armed;
int io_fault_slow(uint32_t op);
int io_fault_reserve_slow(int fd, uint64_t offset, uint64_t length);
void alloc_fault_slow();
}  // namespace detail

// Every crash point is also a compiler barrier: the stores of a change reach the mapping
// in program order, so a kill (or a reader in another process) sees them in that order.
inline void crash_point(const char* step) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (CrashHook h = detail::g_crash_hook.load(std::memory_order_relaxed)) h(step);
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// ---- wall clock ----

// Moves the wall clock seen by the engine (tests of retention and clock steps).
inline void set_wall_clock_offset(std::chrono::nanoseconds offset) {
    detail::g_wall_clock_offset_ns.store(offset.count(), std::memory_order_relaxed);
}

// ---- injected I/O failures ----

// The system calls of the file layer that a test can make fail, as bits of a mask.
namespace io_op {
inline constexpr uint32_t kOpen = 1u << 0;       // open / openat of a file
inline constexpr uint32_t kWrite = 1u << 1;      // write / pwrite
inline constexpr uint32_t kReserve = 1u << 2;    // posix_fallocate
inline constexpr uint32_t kTruncate = 1u << 3;   // ftruncate
inline constexpr uint32_t kMsync = 1u << 4;      // msync
inline constexpr uint32_t kRename = 1u << 5;     // rename
inline constexpr uint32_t kFsync = 1u << 6;      // fsync of a file or directory
inline constexpr uint32_t kMmap = 1u << 7;       // mmap
inline constexpr uint32_t kSpawn = 1u << 8;      // the start of a thread
inline constexpr uint32_t kAll = (1u << 9) - 1;
// What a full disk refuses: every call that allocates blocks.
inline constexpr uint32_t kDiskFull = kWrite | kReserve | kTruncate;
}  // namespace io_op

struct IoFaultPlan {
    uint32_t ops = 0;        // the calls the plan applies to (io_op bits)
    uint64_t skip = 0;       // matching calls let through before the first failure
    int error = 0;           // errno of a failed call (EIO, ENOSPC, ...)
    bool sticky = false;     // keep failing every later matching call (a full disk)
    // A reservation may fail only when its range overlaps blocks the file has already,
    // as on a full XFS, which refuses to allocate over blocks that are there but allocates
    // into holes and past the end with what little room is left. A reservation over holes
    // alone is seen (io_calls_seen) but neither fails nor counts towards skip.
    bool only_over_blocks = false;
};

// Installs a plan; counters start again from zero.
void set_io_faults(const IoFaultPlan& plan);
// Removes the plan: every call succeeds again (the disk has room again).
void clear_io_faults();
// Matching calls seen and calls failed since the plan was installed.
uint64_t io_calls_seen();
uint64_t io_calls_failed();

// The errno that the call of kind `op` must fail with, or 0 to make the call.
inline int io_fault(uint32_t op) {
    if (!detail::g_io_faults_armed.load(std::memory_order_relaxed)) return 0;
    return detail::io_fault_slow(op);
}

// The errno that a reservation of [offset, offset + length) of the file fd must fail with,
// or 0 to make it (io_op::kReserve).
inline int io_fault_reserve(int fd, uint64_t offset, uint64_t length) {
    if (!detail::g_io_faults_armed.load(std::memory_order_relaxed)) return 0;
    return detail::io_fault_reserve_slow(fd, offset, length);
}

// ---- injected allocation failures ----

// The allocations of a read that grow with the range it covers (range lists and their
// results) pass through alloc_fault_point first. After set_alloc_fault(skip), the point
// lets `skip` calls through and then throws std::bad_alloc once, as an allocation larger
// than the memory left would.
void set_alloc_fault(uint64_t skip);
void clear_alloc_fault();
inline void alloc_fault_point() {
    if (detail::g_alloc_fault_armed.load(std::memory_order_relaxed)) detail::alloc_fault_slow();
}

// ---- counters ----

// Blocks decompressed by this process so far.
inline uint64_t decompression_count() { return detail::g_decompressions.load(std::memory_order_relaxed); }
inline void note_decompression() { detail::g_decompressions.fetch_add(1, std::memory_order_relaxed); }

}  // namespace brenvale
