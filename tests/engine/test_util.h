// Helpers shared by the engine tests: a temporary directory and a log capture.
#pragma once

#include <stdlib.h>
#include <sys/vfs.h>

#include <cerrno>
#include <chrono>
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

// Whether the directory lives on a tmpfs.
inline bool on_tmpfs(const std::string& dir) {
    struct statfs fs;
    return ::statfs(dir.c_str(), &fs) == 0 && fs.f_type == 0x01021994;  // TMPFS_MAGIC
}

// A full XFS: every reservation that overlaps blocks the file has fails with ENOSPC, while
// one over holes only, or past the end, goes through.
inline constexpr IoFaultPlan kFullXfs{io_op::kReserve, 0, ENOSPC, /*sticky=*/true, /*only_over_blocks=*/true};

}  // namespace brenvale::testing
