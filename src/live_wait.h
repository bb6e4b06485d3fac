// How a reader beside a live writer in another process waits out a change in flight. Files
// that are changed in place count their changes (odd while one runs); a reader that finds
// the count odd, or moved across its copy, waits with a LiveWait and looks again. A count
// that stays odd is a change that a killed writer left: after kAbandonAfter the reader
// takes the file as the kill left it.
#pragma once

#include <sched.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "error.h"

namespace brenvale {

// The writer's side of a change count: the count it stores before an in-place change (odd,
// also after a count that a kill left odd) and the one it stores after it (even).
template <typename Count>
constexpr Count change_begun(Count count) {
    return count + 1 + (count & 1);
}
template <typename Count>
constexpr Count change_ended(Count count) {
    return count + 2 - (count & 1);
}

class LiveWait {
public:
    // How long an odd change count may stay before it is taken for a killed writer's (a
    // change takes microseconds).
    static constexpr auto kAbandonAfter = std::chrono::milliseconds(10);
    // How long a reader waits for a file that holds still before it gives up with an error.
    static constexpr auto kGiveUpAfter = std::chrono::seconds(10);

    // `give_up` is the text of the error after kGiveUpAfter, with one {} for the path.
    explicit LiveWait(std::string_view give_up) : give_up_(give_up) {}

    // Waits a little longer each time: spins, then yields, then sleeps. Fails once the
    // reader has waited kGiveUpAfter in all.
    Status next(const std::string& path) {
        ++attempts_;
        if (attempts_ < 8) return ok_status();
        if (attempts_ < 64) {
            ::sched_yield();
            return ok_status();
        }
        if (std::chrono::steady_clock::now() - started_ > kGiveUpAfter)
            return Error::invalid_data(fmt::format(fmt::runtime(give_up_), path));
        std::this_thread::sleep_for(std::chrono::microseconds(attempts_ < 256 ? 20 : 200));
        return ok_status();
    }
    unsigned attempts() const { return attempts_; }
    // Whether the odd count `count` of the change at `position` has stayed kAbandonAfter.
    bool stayed(uint64_t position, uint64_t count) {
        const auto now = std::chrono::steady_clock::now();
        if (!odd_position_ || *odd_position_ != position || odd_count_ != count) {
            odd_position_ = position;
            odd_count_ = count;
            odd_since_ = now;
            return false;
        }
        return now - odd_since_ >= kAbandonAfter;
    }

private:
    std::string_view give_up_;
    unsigned attempts_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::optional<uint64_t> odd_position_;
    uint64_t odd_count_ = 0;
    std::chrono::steady_clock::time_point odd_since_;
};

}  // namespace brenvale
