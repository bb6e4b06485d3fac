// The background tasks of a writable store: the schedule of the flush, the idle release,
// the cache eviction and the daily retention run, and the tick that runs what is due,
// either on a thread of their own or on the host's thread (a manual tick), or both.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "cache.h"
#include "config.h"
#include "dirty_list.h"
#include "error.h"
#include "store/registry.h"
#include "util.h"

namespace brenvale {

inline constexpr std::chrono::seconds kBgIdleInterval{60};
inline constexpr std::chrono::seconds kBgCacheInterval{60};
// While a retention run is in progress, the next one is looked at again this soon.
inline constexpr std::chrono::seconds kBgRetentionBusyRetry{1};
// The background thread waits at least this long between two passes, so that a flush
// interval of 0 neither spins a core nor keeps the thread from seeing the stop message.
inline constexpr std::chrono::milliseconds kBgMinWait{10};

struct BgSettings {
    std::chrono::nanoseconds flush_interval = config_defaults::kFlushInterval;
    std::chrono::nanoseconds idle_timeout = config_defaults::kIdleTimeout;
    std::chrono::nanoseconds cache_idle_timeout = config_defaults::kCacheIdleTimeout;
    uint8_t retention_check_hour = 0;  // UTC, 0 to 23

    static BgSettings from(const StoreConfig& config);
};

// The store's shared objects the tasks work on.
struct BgServices {
    DatasetRegistryPtr registry;
    DirtyListPtr dirty_list;
    std::shared_ptr<BlockCache> cache;
    // Flushes the journal after the datasets; empty when the store keeps none.
    std::function<Status()> flush_journal;
};

// The monotonic clock of the schedule (tests drive their own).
using BgClock = std::function<MonoInstant()>;

struct BgTick {
    uint64_t executed = 0;                   // tasks run by this tick, 0 to 4
    std::chrono::nanoseconds next_delay{0};  // until the next task is due
};

// The delay from the wall-clock time `unix_time` to the next run at `hour` UTC: between 1
// and 86400 seconds (a full day when started at the hour's first second).
std::chrono::seconds retention_delay(uint8_t hour, std::chrono::nanoseconds unix_time);

class BgTasks {
public:
    // The schedule alone: ticks come from the host.
    static std::unique_ptr<BgTasks> create(BgServices services, BgSettings settings, BgClock clock = {});
    // With the background thread; an I/O error when the thread cannot be started.
    static Result<std::unique_ptr<BgTasks>> spawn(BgServices services, BgSettings settings);

    BgTasks(const BgTasks&) = delete;
    BgTasks& operator=(const BgTasks&) = delete;
    // Stops and joins the thread.
    ~BgTasks();

    bool has_thread() const { return thread_.joinable(); }
    // The time until the next task is due (0 when one is due now).
    std::chrono::nanoseconds next_delay() const;
    // Runs every task that is due and not running in another tick, on this thread.
    BgTick tick();
    // Sends the stop message and joins the thread; waits for a tick in progress. Without
    // a thread it does nothing.
    void shutdown();

private:
    struct Shared;
    struct Key {
        explicit Key() = default;
    };

public:
    BgTasks(Key, std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

private:

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace brenvale
