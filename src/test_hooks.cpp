#include "test_hooks.h"

#include "file.h"

#include <mutex>
#include <new>

namespace brenvale {

namespace detail {
std::atomic<CrashHook> g_crash_hook{nullptr};
std::atomic<int64_t> g_wall_clock_offset_ns{0};
std::atomic<bool> g_io_faults_armed{false};
std::atomic<uint64_t> g_decompressions{0};
std::atomic<bool> g_alloc_fault_armed{false};
}  // namespace detail

void set_crash_hook(CrashHook hook) { detail::g_crash_hook.store(hook, std::memory_order_relaxed); }

namespace {

struct IoFaults {
    std::mutex mu;
    IoFaultPlan plan;
    uint64_t seen = 0;
    uint64_t eligible = 0;  // the calls that could fail: the count skip applies to
    uint64_t failed = 0;
};

IoFaults& io_faults() {
    static IoFaults f;
    return f;
}

}  // namespace

void set_io_faults(const IoFaultPlan& plan) {
    IoFaults& f = io_faults();
    std::lock_guard lock(f.mu);
    f.plan = plan;
    f.seen = 0;
    f.eligible = 0;
    f.failed = 0;
    detail::g_io_faults_armed.store(plan.ops != 0, std::memory_order_relaxed);
}

void clear_io_faults() { set_io_faults(IoFaultPlan{}); }

uint64_t io_calls_seen() {
    IoFaults& f = io_faults();
    std::lock_guard lock(f.mu);
    return f.seen;
}

uint64_t io_calls_failed() {
    IoFaults& f = io_faults();
    std::lock_guard lock(f.mu);
    return f.failed;
}

namespace {

// Calls of alloc_fault_point still let through before the failure.
std::atomic<uint64_t> g_alloc_fault_skip{0};

}  // namespace

void set_alloc_fault(uint64_t skip) {
    g_alloc_fault_skip.store(skip, std::memory_order_relaxed);
    detail::g_alloc_fault_armed.store(true, std::memory_order_release);
}

void clear_alloc_fault() { detail::g_alloc_fault_armed.store(false, std::memory_order_release); }

void detail::alloc_fault_slow() {
    uint64_t left = g_alloc_fault_skip.load(std::memory_order_relaxed);
    while (left > 0 && !g_alloc_fault_skip.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    if (left > 0) return;
    // Only one caller disarms the hook and fails.
    if (g_alloc_fault_armed.exchange(false, std::memory_order_acq_rel)) throw std::bad_alloc();
}

namespace {

// The errno a call that could fail meets by the plan's skip and sticky, or 0 (f.mu held).
int fail_eligible(IoFaults& f) {
    const uint64_t n = f.eligible++;
    if (n < f.plan.skip) return 0;
    if (n > f.plan.skip && !f.plan.sticky) return 0;
    ++f.failed;
    return f.plan.error;
}

// Whether the file has any block in [offset, offset + length); a map that cannot be read
// counts as blocks (the refusal is the safer guess for a test of a full disk).
bool overlaps_blocks(int fd, uint64_t offset, uint64_t length) {
    auto missing = missing_blocks(fd, offset, length);
    if (!missing.ok()) return true;
    uint64_t holes = 0;
    for (const ByteRange& r : *missing) holes += r.length;
    return holes < length;
}

}  // namespace

int detail::io_fault_slow(uint32_t op) {
    IoFaults& f = io_faults();
    std::lock_guard lock(f.mu);
    if ((f.plan.ops & op) == 0) return 0;
    ++f.seen;
    return fail_eligible(f);
}

int detail::io_fault_reserve_slow(int fd, uint64_t offset, uint64_t length) {
    IoFaults& f = io_faults();
    std::lock_guard lock(f.mu);
    if ((f.plan.ops & io_op::kReserve) == 0) return 0;
    ++f.seen;
    if (f.plan.only_over_blocks && !overlaps_blocks(fd, offset, length)) return 0;
    return fail_eligible(f);
}

}  // namespace brenvale
