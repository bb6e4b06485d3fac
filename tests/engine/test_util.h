// Helpers shared by the engine tests: a temporary directory and a log capture.
#pragma once

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "file.h"
#include "log.h"
#include "test_hooks.h"

namespace brenvale::testing {

inline std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
inline std::string text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

// What one poll of several run at once gave, and how long it took.
struct PollOutcome {
    std::string got;
    std::chrono::milliseconds took{0};
};

// Runs each poll in a thread of its own, gives them a moment to block, runs `wake` and
// returns the outcome of each poll once all have returned.
inline std::vector<PollOutcome> polls_woken_by(const std::vector<std::function<std::string()>>& polls,
                                               const std::function<void()>& wake) {
    std::vector<PollOutcome> out(polls.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < polls.size(); ++i) {
        threads.emplace_back([&, i] {
            const auto start = std::chrono::steady_clock::now();
            out[i].got = polls[i]();
            out[i].took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    wake();
    for (auto& t : threads) t.join();
    return out;
}

class TempDir {
public:
    // A new directory under parent (/tmp by default); an empty path when it cannot be made.
    explicit TempDir(const std::string& parent = "/tmp") {
        std::string tmpl = parent + "/brenvale-test-XXXXXX";
        char* p = mkdtemp(tmpl.data());
        path_ = p ? p : "";
    }
    ~TempDir() {
        if (!path_.empty()) (void)remove_dir_all(path_);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return join_path(path_, name); }

private:
    std::string path_;
};

struct LogRecord {
    log::Level level;
    std::string target;
    std::string message;
};

// Installs a sink that keeps every record while it lives.
class LogCapture {
public:
    explicit LogCapture(log::Level level = log::Level::Trace) {
        log::set_sink([this](log::Level l, std::string_view t, std::string_view m) {
            std::lock_guard lock(mu_);
            records_.push_back({l, std::string(t), std::string(m)});
        });
        log::set_max_level(level);
    }
    ~LogCapture() {
        log::set_max_level(log::Level::Off);
        log::set_sink(nullptr);
    }
    std::vector<LogRecord> records() const {
        std::lock_guard lock(mu_);
        return records_;
    }
    bool contains(log::Level level, std::string_view target, std::string_view message) const {
        std::lock_guard lock(mu_);
        for (const auto& r : records_)
            if (r.level == level && r.target == target && r.message == message) return true;
        return false;
    }
    size_t count(std::string_view message) const {
        std::lock_guard lock(mu_);
        size_t n = 0;
        for (const auto& r : records_) n += r.message == message;
        return n;
    }
    size_t count_starting(std::string_view prefix) const {
        std::lock_guard lock(mu_);
        size_t n = 0;
        for (const auto& r : records_) n += r.message.starts_with(prefix);
        return n;
    }
    void clear() {
        std::lock_guard lock(mu_);
        records_.clear();
    }

private:
    mutable std::mutex mu_;
    std::vector<LogRecord> records_;
};

// Injected I/O failures for the life of the object.
class ScopedIoFaults {
public:
    explicit ScopedIoFaults(uint32_t ops, uint64_t skip, int error, bool sticky = false) {
        set_io_faults(IoFaultPlan{ops, skip, error, sticky});
    }
    explicit ScopedIoFaults(const IoFaultPlan& plan) { set_io_faults(plan); }
    ~ScopedIoFaults() { clear_io_faults(); }
    ScopedIoFaults(const ScopedIoFaults&) = delete;
    ScopedIoFaults& operator=(const ScopedIoFaults&) = delete;
};

// The room left on the file system holding dir for an unprivileged file.
inline uint64_t free_bytes(const std::string& dir) {
    struct statvfs v;
    if (::statvfs(dir.c_str(), &v) != 0) return 0;
    return uint64_t{v.f_bavail} * v.f_frsize;
}

// Takes the room left on the small file system of a test's own holding dir down to at
// most `left` bytes with a file of its own there, allocated and never written; whether it
// could. Refuses a file system above 1 GiB: never the machine's own.
inline bool fill_file_system(const std::string& dir, uint64_t left) {
    struct statvfs v;
    if (::statvfs(dir.c_str(), &v) != 0 || uint64_t{v.f_blocks} * v.f_frsize > (uint64_t{1} << 30)) return false;
    auto filler = FileHandle::open(join_path(dir, "filler"), FileHandle::Mode::CreateTruncate);
    if (!filler.ok()) return false;
    uint64_t taken = 0;
    for (int round = 0; round < 8; ++round) {  // metadata may take some of what a round frees
        const uint64_t room = free_bytes(dir);
        if (room <= left) return true;
        if (::posix_fallocate(filler->fd(), static_cast<off_t>(taken), static_cast<off_t>(room - left)) != 0) return false;
        taken += room - left;
    }
    return free_bytes(dir) <= left;
}

// A full XFS: every reservation that overlaps blocks the file has fails with ENOSPC, while
// one over holes only, or past the end, goes through.
inline constexpr IoFaultPlan kFullXfs{io_op::kReserve, 0, ENOSPC, /*sticky=*/true, /*only_over_blocks=*/true};

// A small file system of its own mounted on a directory for the life of the object, to be
// filled up without touching the machine's own: a tmpfs, or an XFS made on an image file
// beside the directory and mounted through a loop device. Needs root; skip_reason() tells
// why there is none. Declare it after the TempDir holding the directory, so that it is
// unmounted first.
class ScopedMount {
public:
    enum class Kind { Tmpfs, Xfs };

    ScopedMount(Kind kind, const std::string& dir, uint64_t bytes) : dir_(dir) {
        if (::geteuid() != 0) {
            reason_ = "mounting a small file system needs root";
            return;
        }
        if (!create_dir_all(dir).ok()) {
            reason_ = "cannot make " + dir;
            return;
        }
        if (kind == Kind::Tmpfs) {
            const std::string options = "size=" + std::to_string(bytes);
            if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
                reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
                return;
            }
        } else {
            image_ = dir + ".img";
            auto image = FileHandle::open(image_, FileHandle::Mode::CreateTruncate, 0600);
            if (!image.ok() || !image->set_len(bytes).ok()) {
                reason_ = "cannot make an image file";
                return;
            }
            if (std::system(("mkfs.xfs -q '" + image_ + "' >/dev/null 2>&1").c_str()) != 0) {
                reason_ = "mkfs.xfs is not available or failed";
                return;
            }
            if (std::system(("mount -o loop '" + image_ + "' '" + dir + "' >/dev/null 2>&1").c_str()) != 0) {
                reason_ = "cannot mount an XFS image through a loop device";
                return;
            }
        }
        mounted_ = true;
    }
    ~ScopedMount() {
        if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
        if (!image_.empty()) ::unlink(image_.c_str());
    }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& skip_reason() const { return reason_; }

private:
    std::string dir_;
    std::string image_;
    std::string reason_;
    bool mounted_ = false;
};

}  // namespace brenvale::testing
