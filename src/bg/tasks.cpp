#include "bg/tasks.h"

#include <algorithm>
#include <condition_variable>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log.h"
#include "paths.h"

namespace brenvale {

using std::chrono::nanoseconds;

namespace {

// t + d, held at the clock's end instead of wrapping.
MonoInstant later(MonoInstant t, nanoseconds d) {
    const auto base = std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count();
    int64_t sum;
    if (__builtin_add_overflow(base, d.count(), &sum)) sum = d.count() < 0 ? INT64_MIN : INT64_MAX;
    return MonoInstant(std::chrono::duration_cast<MonoClock::duration>(nanoseconds(sum)));
}

// The four tasks' last starts and running flags, guarded by the schedule mutex.
struct BgSchedule {
    MonoInstant last_flush;
    MonoInstant last_idle;
    MonoInstant last_cache;
    MonoInstant retention_deadline;
    bool flush_running = false;
    bool idle_running = false;
    bool cache_running = false;
    bool retention_running = false;

    // The earliest instant at which a task is due; a running task counts from now.
    MonoInstant next_due(MonoInstant now, const BgSettings& s, bool cache_enabled) const {
        MonoInstant due = flush_running ? later(now, s.flush_interval) : later(last_flush, s.flush_interval);
        due = std::min(due, later(idle_running ? now : last_idle, kBgIdleInterval));
        due = std::min(due, retention_running ? later(now, kBgRetentionBusyRetry) : retention_deadline);
        if (cache_enabled) due = std::min(due, later(cache_running ? now : last_cache, kBgCacheInterval));
        return due;
    }
};

nanoseconds delay_until(MonoInstant due, MonoInstant now) {
    return due > now ? std::chrono::duration_cast<nanoseconds>(due - now) : nanoseconds(0);
}

// The targets of each dataset, in push order.
using DirtyGroups = std::vector<std::pair<DataSetKey, std::vector<DirtyTarget>>>;

DirtyGroups group_dirty_entries(std::vector<DirtyEntry> entries) {
    DirtyGroups groups;
    std::unordered_map<DataSetKey, size_t, DataSetKeyHash> at(0, DataSetKeyHash{fresh_hash_seed()});
    for (DirtyEntry& e : entries) {
        auto [it, fresh] = at.try_emplace(e.key, groups.size());
        if (fresh) groups.emplace_back(std::move(e.key), std::vector<DirtyTarget>{});
        groups[it->second].second.push_back(std::move(e.target));
    }
    return groups;
}

}  // namespace

struct BgTasks::Shared {
    Shared(BgServices sv, BgSettings st, BgClock c) : services(std::move(sv)), settings(st), clock(std::move(c)) {
        const MonoInstant now = clock();
        schedule.last_flush = schedule.last_idle = schedule.last_cache = now;
        schedule.retention_deadline = later(now, retention_delay(settings.retention_check_hour, unix_now()));
    }

    bool cache_enabled() const { return services.cache && services.cache->capacity() != 0; }

    nanoseconds next_delay() {
        std::lock_guard lock(schedule_mu);
        const MonoInstant now = clock();
        return delay_until(schedule.next_due(now, settings, cache_enabled()), now);
    }

    BgTick tick();
    void flush_task();
    void idle_task();
    void cache_task();
    void retention_task();
    void run_loop();

    const BgServices services;
    const BgSettings settings;
    const BgClock clock;

    std::mutex schedule_mu;
    BgSchedule schedule;

    // The stop channel of the thread.
    std::mutex stop_mu;
    std::condition_variable stop_cv;
    bool stop = false;
};

BgTick BgTasks::Shared::tick() {
    bool flush = false, idle = false, cache = false, retention = false;
    BgTick result;
    {
        std::lock_guard lock(schedule_mu);
        const MonoInstant now = clock();
        BgSchedule& s = schedule;
        // A task is stamped when it starts, so a slow run does not shift its next start.
        if (!s.flush_running && now >= later(s.last_flush, settings.flush_interval)) {
            s.last_flush = now;
            flush = s.flush_running = true;
        }
        if (!s.idle_running && now >= later(s.last_idle, kBgIdleInterval)) {
            s.last_idle = now;
            idle = s.idle_running = true;
        }
        if (cache_enabled() && !s.cache_running && now >= later(s.last_cache, kBgCacheInterval)) {
            s.last_cache = now;
            cache = s.cache_running = true;
        }
        if (!s.retention_running && now >= s.retention_deadline) {
            s.retention_deadline = later(now, retention_delay(settings.retention_check_hour, unix_now()));
            retention = s.retention_running = true;
        }
        result.next_delay = delay_until(s.next_due(now, settings, cache_enabled()), now);
    }
    if (flush) flush_task();
    if (idle) idle_task();
    if (cache) cache_task();
    if (retention) retention_task();
    result.executed = uint64_t{flush} + idle + cache + retention;
    if (result.executed != 0) {
        std::lock_guard lock(schedule_mu);
        if (flush) schedule.flush_running = false;
        if (idle) schedule.idle_running = false;
        if (cache) schedule.cache_running = false;
        if (retention) schedule.retention_running = false;
    }
    return result;
}

// Flushes exactly the files the dirty list names, then the journal. A dataset puts back
// the targets of its own failed flush, so nothing is pushed again here.
void BgTasks::Shared::flush_task() {
    for (auto& [key, targets] : group_dirty_entries(services.dirty_list->take_all())) {
        if (paths::is_journal_key(key)) continue;  // the journal flush below covers it
        std::optional<Dataset> dataset = services.registry->get(key);
        if (!dataset) continue;  // closed since: its close flushed it
        if (Status st = dataset->flush_dirty(targets); !st.ok())
            log::error(log::kBg, "[bg flush] failed for {}: {}", key.debug_string(), st.error());
    }
    if (services.flush_journal) {
        if (Status st = services.flush_journal(); !st.ok())
            log::error(log::kBg, "[bg flush] failed for journal: {}", st.error());
    }
}

// Unmaps the segment files of datasets idle for idle_timeout; they stay open and map
// their files again on next use.
void BgTasks::Shared::idle_task() {
    const nanoseconds timeout = settings.idle_timeout;
    auto idle = [timeout](const Dataset& d) { return MonoClock::now() - d.last_activity() >= timeout; };
    for (const DataSetKey& key : services.registry->keys_where(idle)) {
        std::optional<Dataset> dataset = services.registry->get(key);
        if (!dataset || !idle(*dataset)) continue;
        if (Status st = dataset->release_files(); st.ok())
            log::info(log::kBg, "[bg idle] closed dataset {}", key.debug_string());
        else if (!dataset->is_closed())  // a dataset closed (dropped) meanwhile has nothing left to release
            log::error(log::kBg, "[bg idle] close failed for {}: {}", key.debug_string(), st.error());
    }
}

void BgTasks::Shared::cache_task() {
    const size_t evicted = services.cache->evict_idle(settings.cache_idle_timeout);
    if (evicted > 0) log::info(log::kBg, "[bg cache] evicted {} idle entries", evicted);
}

void BgTasks::Shared::retention_task() {
    // A dataset whose mutex is poisoned is no candidate.
    auto candidate = [](const Dataset& d) {
        auto window = d.retention_window();
        return window.ok() && *window != 0;
    };
    uint64_t total = 0;
    for (const DataSetKey& key : services.registry->keys_where(candidate)) {
        std::optional<Dataset> dataset = services.registry->get(key);
        if (!dataset) continue;
        auto reclaimed = dataset->reclaim_expired();
        if (!reclaimed.ok()) {
            log::error(log::kBg, "[bg retention] {}: reclaim failed: {}", key.debug_string(), reclaimed.error());
        } else if (*reclaimed > 0) {
            log::info(log::kBg, "[bg retention] {}: reclaimed {} segments", key.debug_string(), *reclaimed);
            total += *reclaimed;
        }
    }
    if (total > 0) log::info(log::kBg, "[bg retention] reclaimed {} segment files total", total);
}

// The thread: wait for the next due task (at least the minimal wait, and never past a
// stop message), then tick.
void BgTasks::Shared::run_loop() {
    for (;;) {
        const nanoseconds wait = std::clamp<nanoseconds>(next_delay(), kBgMinWait, std::chrono::hours(1));
        {
            std::unique_lock lock(stop_mu);
            if (stop_cv.wait_for(lock, wait, [this] { return stop; })) {
                log::info(log::kBg, "[bg] received shutdown signal");
                return;
            }
        }
        tick();
    }
}

BgSettings BgSettings::from(const StoreConfig& config) {
    return BgSettings{config.flush_interval, config.idle_timeout, config.cache_idle_timeout,
                      config.retention_check_hour};
}

std::chrono::seconds retention_delay(uint8_t hour, nanoseconds unix_time) {
    constexpr int64_t kDay = 86400;
    const int64_t target = int64_t{hour % 24} * 3600;
    const int64_t s = unix_time.count() < 0 ? 0 : std::chrono::duration_cast<std::chrono::seconds>(unix_time).count() % kDay;
    const int64_t d = target > s ? target - s : target - s + kDay;
    return std::chrono::seconds(std::max<int64_t>(d, 1));
}

std::unique_ptr<BgTasks> BgTasks::create(BgServices services, BgSettings settings, BgClock clock) {
    if (!clock) clock = [] { return MonoClock::now(); };
    return std::make_unique<BgTasks>(Key{}, std::make_shared<Shared>(std::move(services), settings, std::move(clock)));
}

Result<std::unique_ptr<BgTasks>> BgTasks::spawn(BgServices services, BgSettings settings) {
    std::unique_ptr<BgTasks> tasks = create(std::move(services), settings);
    if (int e = io_fault(io_op::kSpawn)) return Error::io(e);
    try {
        tasks->thread_ = std::thread([shared = tasks->shared_] { shared->run_loop(); });
    } catch (const std::system_error& e) {
        return Error::io(e.code().value());
    }
    return tasks;
}

BgTasks::~BgTasks() { shutdown(); }

nanoseconds BgTasks::next_delay() const { return shared_->next_delay(); }

BgTick BgTasks::tick() { return shared_->tick(); }

void BgTasks::shutdown() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(shared_->stop_mu);
        shared_->stop = true;
    }
    shared_->stop_cv.notify_all();
    thread_.join();
}

}  // namespace brenvale
