// Counts the calls that wait for the disk (msync, fsync, fdatasync, sync_file_range) and the
// time spent in them, from every thread: this program's own definitions stand in for the C
// library's, for the engine (linked in statically) and for the peers' shared libraries (the
// symbols have default visibility and are exported, see CMakeLists.txt). Each makes the
// system call itself.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "bench_common.h"

namespace brenvale::bench {

namespace {

std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_nanos{0};

class Timed {
public:
    Timed() : t0_(std::chrono::steady_clock::now()) {}
    ~Timed() {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0_);
        g_calls.fetch_add(1, std::memory_order_relaxed);
        g_nanos.fetch_add(static_cast<uint64_t>(ns.count()), std::memory_order_relaxed);
    }
    Timed(const Timed&) = delete;
    Timed& operator=(const Timed&) = delete;

private:
    std::chrono::steady_clock::time_point t0_;
};

int sys_result(long rc) { return static_cast<int>(rc); }

}  // namespace

SyncStats sync_stats() {
    return {g_calls.load(std::memory_order_relaxed), static_cast<double>(g_nanos.load(std::memory_order_relaxed)) * 1e-9};
}

}  // namespace brenvale::bench

extern "C" {

__attribute__((visibility("default"))) int msync(void* addr, size_t len, int flags) {
    brenvale::bench::Timed t;
    return brenvale::bench::sys_result(::syscall(SYS_msync, addr, len, flags));
}

__attribute__((visibility("default"))) int fsync(int fd) {
    brenvale::bench::Timed t;
    return brenvale::bench::sys_result(::syscall(SYS_fsync, fd));
}

__attribute__((visibility("default"))) int fdatasync(int fd) {
    brenvale::bench::Timed t;
    return brenvale::bench::sys_result(::syscall(SYS_fdatasync, fd));
}

__attribute__((visibility("default"))) int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
    brenvale::bench::Timed t;
    return brenvale::bench::sys_result(::syscall(SYS_sync_file_range, fd, offset, count, flags));
}

}  // extern "C"
