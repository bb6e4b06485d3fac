// Fork-and-crash helpers: a child process runs a workload and ends itself with _exit at
// the k-th crash point whose name starts with one of the chosen prefixes, reporting every
// operation that returned over a pipe.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "test_hooks.h"

namespace brenvale::testing {

inline constexpr int kCrashExit = 77;

struct CrashPlan {
    std::vector<std::string> prefixes;  // empty: every crash point counts
    long crash_at = 0;                  // 0: never
    long hits = 0;
    std::set<std::string> steps;        // names of the points that counted
};

inline CrashPlan*& crash_plan() {
    static CrashPlan* plan = nullptr;
    return plan;
}

inline void counting_crash_hook(const char* step) {
    CrashPlan* p = crash_plan();
    if (p == nullptr) return;
    bool counts = p->prefixes.empty();
    for (const auto& pre : p->prefixes) counts = counts || std::strncmp(step, pre.c_str(), pre.size()) == 0;
    if (!counts) return;
    p->steps.insert(step);
    if (++p->hits == p->crash_at) _exit(kCrashExit);
}

// Runs the workload in this process with every counted crash point passed; returns how
// many there were and fills `steps` with their names.
inline long count_crash_points(const std::vector<std::string>& prefixes, const std::function<int(int)>& work,
                               std::set<std::string>* steps = nullptr, int* rc = nullptr) {
    CrashPlan plan{prefixes, 0, 0, {}};
    crash_plan() = &plan;
    set_crash_hook(counting_crash_hook);
    int r = work(-1);
    set_crash_hook(nullptr);
    crash_plan() = nullptr;
    if (steps != nullptr) *steps = plan.steps;
    if (rc != nullptr) *rc = r;
    return plan.hits;
}

template <class Report>
struct CrashRunOf {
    std::vector<Report> acks;  // what the child reported, in order
    int exit_code = -1;        // kCrashExit when it ended at the crash point
    int signal = 0;            // the signal that ended it, if one did
};
using CrashRun = CrashRunOf<uint32_t>;

// Runs the workload in a child that ends at the k-th counted crash point. The workload
// writes one Report per finished operation to the descriptor it is given.
template <class Report = uint32_t>
inline CrashRunOf<Report> run_to_crash_point(const std::vector<std::string>& prefixes, long k,
                                             const std::function<int(int)>& work) {
    static_assert(std::is_trivially_copyable_v<Report>);
    CrashRunOf<Report> run;
    int fds[2];
    if (::pipe(fds) != 0) return run;
    pid_t pid = ::fork();
    if (pid < 0) return run;
    if (pid == 0) {
        ::close(fds[0]);
        static CrashPlan plan;
        plan = CrashPlan{prefixes, k, 0, {}};
        crash_plan() = &plan;
        set_crash_hook(counting_crash_hook);
        _exit(work(fds[1]));
    }
    ::close(fds[1]);
    Report a;
    while (::read(fds[0], &a, sizeof a) == static_cast<ssize_t>(sizeof a)) run.acks.push_back(a);
    ::close(fds[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    }
    return run;
}

// Reports a finished operation; the type is named by the caller so that both ends agree.
template <class Report = uint32_t>
inline bool ack(int fd, const std::type_identity_t<Report>& r) {
    static_assert(std::is_trivially_copyable_v<Report>);
    return fd < 0 || ::write(fd, &r, sizeof r) == static_cast<ssize_t>(sizeof r);
}

}  // namespace brenvale::testing
