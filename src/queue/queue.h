// The dataset queue: one open dataset as a work queue with named consumer groups. A
// group receives the dataset's records after its committed position in timestamp order,
// one per poll, at least once: a record handed out stays pending in the group until it
// is acknowledged, and one left unacknowledged for running_expired_seconds is handed out
// again, at most max_retry_count more times. Each group's progress lives in its consumer
// state file under <dataset dir>/queue/; every handle of a group shares it.
//
// Locks (see doc/locking.md): the queue inner mutex (groups, configs), one state
// mutex per group, the notify mutex with its condition variable, the callback mutex and
// one mutex per callback slot. No queue lock is held while the dataset is called, except
// that the dataset itself takes queue locks under its own mutex (detach, flush, inspect,
// the wake of a write).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dataset/dataset.h"
#include "error.h"
#include "queue/consumer_state.h"
#include "queue/notify.h"
#include "types.h"

namespace brenvale {

inline constexpr size_t kMaxGroupNameLength = 255;

// How a group hands out records: running_expired_seconds (0 = an entry in flight never
// expires) and max_retry_count (hand-outs after the first; 0 = no limit).
struct ConsumerConfig {
    uint16_t running_expired_seconds = 0;
    uint8_t max_retry_count = 0;

    // Refuses values that do not fit 16 and 8 bits.
    static Result<ConsumerConfig> create(uint64_t running_expired_seconds, uint64_t max_retry_count);
    bool operator==(const ConsumerConfig&) const = default;
};

// A group name: 1 to 255 bytes of [0-9A-Za-z_-]; it names the group's state file.
bool is_valid_group_name(std::string_view name);
// The invalid-data error for a bad name; prefix goes before its text ("journal ").
Status check_group_name(const std::string& name, std::string_view prefix = {});

// A poll shared by the queues: one attempt, then, while nothing is found, a wait on the
// notifier until the deadline (saturating: any timeout_ms is fine), with another attempt
// after every notification and a last one when the deadline passes. The notification
// count is read before each attempt and the wait runs only while it is unchanged, so a
// notification that arrives during an attempt is never slept through, and no poller takes
// a notification away from another. A record handed out in the group and not acknowledged
// comes back when it expires, which no notification announces: after each attempt
// `next_due` gives the instant the group's first such record expires (nothing when none
// will), and the wait ends then for another attempt. `closed` gives the error that ends
// the poll when the queue or group was closed; it is checked under the notify mutex
// before every wait, so a close that notifies is never missed. `wait` may cut the wait
// into slices and end the poll between two of them. try_once and next_due are called
// without the notify mutex.
template <typename T, typename TryOnce, typename Closed, typename NextDue>
Result<std::optional<T>> poll_and_wait(QueueNotify& notify, uint64_t timeout_ms, const PollWait& wait,
                                       TryOnce try_once, Closed closed, NextDue next_due) {
    const MonoInstant deadline = saturating_deadline(MonoClock::now(), timeout_ms);
    uint64_t seen = notify.notifications();
    if (auto rec = try_once(); !rec.ok() || rec->has_value()) return rec;
    std::optional<MonoInstant> due = next_due();
    auto g = BRVL_TRY(notify.lock_waiters());
    const bool sliced = wait.slice.count() > 0 && wait.cancelled;
    for (;;) {
        if (std::optional<Error> e = closed()) return std::move(*e);
        if (const uint64_t now_seen = notify.notifications(); now_seen != seen) {
            seen = now_seen;
            g.unlock();
            if (auto rec = try_once(); !rec.ok() || rec->has_value()) return rec;
            due = next_due();
            BRVL_TRY(notify.relock(g));
            continue;
        }
        const MonoInstant now = MonoClock::now();
        if (now >= deadline) return std::optional<T>();
        MonoInstant until = sliced && deadline - now > wait.slice ? now + wait.slice : deadline;
        // An expiry is waited for a millisecond at least, so that clocks that disagree
        // cannot turn the wait into a spin.
        if (due) until = std::min(until, std::max(*due, now + std::chrono::milliseconds(1)));
        const std::cv_status woke = BRVL_TRY(notify.wait_until(g, until));
        if (woke != std::cv_status::timeout) continue;
        g.unlock();
        const MonoInstant after = MonoClock::now();
        if (after >= deadline) {
            if (std::optional<Error> e = closed()) return std::move(*e);
            return try_once();
        }
        if (due && after >= *due) {
            // A record of the group expired: it may be handed out again now.
            if (std::optional<Error> e = closed()) return std::move(*e);
            if (auto rec = try_once(); !rec.ok() || rec->has_value()) return rec;
            due = next_due();
        } else if (wait.cancelled && wait.cancelled()) {
            // A slice ended: the caller may end the poll here, with nothing handed out.
            return std::optional<T>();
        }
        BRVL_TRY(notify.relock(g));
    }
}

// When the first record handed out in a group and not acknowledged expires, on the
// monotonic clock; nothing when none will. Takes the group's state mutex.
struct GroupState;
std::optional<MonoInstant> next_expiry(GroupState& group, uint16_t running_expired_seconds);

// One group's state behind its mutex.
struct GroupState {
    explicit GroupState(ConsumerGroupState s, const char* mutex_name = "state file mutex")
        : mu(mutex_name), state(std::move(s)) {}
    QueueMutex mu;
    ConsumerGroupState state;  // guarded by mu
};

// The state of one queue: its open consumer groups and its closed flag.
class QueueInner {
public:
    QueueInner() = default;
    QueueInner(const QueueInner&) = delete;
    QueueInner& operator=(const QueueInner&) = delete;

    // Closes the queue for good: every group is closed, its entries in flight released and
    // its state persisted; the maps are cleared. Pollers are not woken here. The first
    // error is returned (the groups not yet reached stay as they are).
    Status close();
    // Persists one group's state (the background flush); a name not open does nothing.
    Status flush_group(const std::string& name);
    // Persists every group (a full dataset flush); groups with a poisoned state mutex are
    // skipped, the first persist error is returned.
    Status flush_all();
    // The number of open groups; 0 when the inner mutex is poisoned.
    size_t group_count();
    bool closed() const { return closed_.load(std::memory_order_acquire); }

private:
    friend class DatasetQueue;
    friend class DatasetQueueConsumer;

    struct Group {
        std::vector<std::shared_ptr<PollCallbackSlot>> slots;
        std::shared_ptr<GroupState> state;
        std::shared_ptr<std::atomic<bool>> closed;  // this incarnation's closed flag
    };

    QueueMutex mu_{"queue inner mutex"};
    std::unordered_map<std::string, Group> groups_;           // guarded by mu_
    std::unordered_map<std::string, ConsumerConfig> configs_;  // guarded by mu_
    std::atomic<bool> closed_{false};
};

// What DatasetQueueConsumer::inspect copies out.
struct ConsumerInspect {
    std::string group_name;
    ConsumerConfig config;
    int64_t committed = 0;
    std::vector<PendingEntry> pending;
};

class DatasetQueueConsumer;

// The attachment of a queue to its dataset, shared by every handle made from the queue:
// the queue handle and its copies and every consumer opened through them. When the last of
// them is gone the queue is detached and closed (as Dataset::close_queue does, and only
// while it is still the queue attached), so a queue that nobody closed does not keep its
// dataset from opening a new one.
class QueueAttachment {
public:
    QueueAttachment(Dataset dataset, std::shared_ptr<QueueInner> inner)
        : dataset_(std::move(dataset)), inner_(std::move(inner)) {}
    QueueAttachment(const QueueAttachment&) = delete;
    QueueAttachment& operator=(const QueueAttachment&) = delete;
    // Detaches the queue; an error is logged at warn level.
    ~QueueAttachment();

private:
    Dataset dataset_;
    std::shared_ptr<QueueInner> inner_;
};

// The handle that Dataset::open_queue returns. Copies share the queue; the queue stays
// attached while a copy or a consumer made from one lives.
class DatasetQueue {
public:
    // Opens the named group (loading or creating its state file) or joins it when open.
    // A new group starts after the dataset's latest record (everything on an empty one).
    Result<DatasetQueueConsumer> open_consumer(const std::string& group_name, ConsumerConfig config);
    // Writes data as the dataset's record at the next timestamp and returns it.
    Result<int64_t> push(std::span<const uint8_t> data);
    // The names in the queue directory, sorted by bytes (no file is opened).
    Result<std::vector<std::string>> consumer_group_names() const;
    // Closes the group if open, then removes its state file. Pollers of the group are
    // woken and fail with the queue-closed error.
    Status drop_consumer(const std::string& group_name);
    // Detaches this queue from the dataset (when still attached) and closes it; waiting
    // pollers are woken and fail with the queue-closed error.
    Status close();

    const Dataset& dataset() const { return dataset_; }

private:
    friend class Dataset;
    DatasetQueue(Dataset dataset, std::shared_ptr<QueueInner> inner, std::shared_ptr<QueueNotify> notify,
                 bool producer_writable)
        : dataset_(dataset),
          inner_(inner),
          notify_(std::move(notify)),
          attachment_(std::make_shared<QueueAttachment>(std::move(dataset), std::move(inner))),
          producer_writable_(producer_writable) {}

    Dataset dataset_;
    std::shared_ptr<QueueInner> inner_;
    std::shared_ptr<QueueNotify> notify_;
    std::shared_ptr<QueueAttachment> attachment_;
    bool producer_writable_ = true;
};

// One consumer handle of a group. Safe to use from several threads at once.
class DatasetQueueConsumer {
public:
    // One attempt: the next record to hand out, or nothing.
    Result<std::optional<Record>> try_poll();
    // Tries, then waits up to timeout_ms for a notification and tries again; a timeout up
    // to 2^64 - 1 ms is fine. A close of the queue or group ends the wait with the
    // queue-closed error; `wait` may end it early with nothing.
    Result<std::optional<Record>> poll(uint64_t timeout_ms, const PollWait& wait = {});
    // Finishes the pending entry of timestamp.
    Status ack(int64_t timestamp);
    // Persists the group's state now.
    Status flush();
    // Closes the whole group for every handle: entries in flight are released and the
    // state persisted. A second close does nothing.
    Status close();
    Result<ConsumerInspect> inspect();
    // Registers a wake callback (none clears it); a second one without clearing fails.
    Status set_poll_callback(PollCallback callback);
    // Hands the group to the background flush when it has unpersisted changes and is not
    // queued yet.
    Status mark_state_dirty();

    const std::string& group_name() const { return group_name_; }
    const ConsumerConfig& config() const { return config_; }

private:
    friend class DatasetQueue;
    DatasetQueueConsumer(std::string group_name, std::shared_ptr<GroupState> state,
                         std::shared_ptr<QueueNotify> notify, Dataset dataset,
                         std::shared_ptr<std::atomic<bool>> group_closed, std::shared_ptr<QueueInner> inner,
                         std::shared_ptr<PollCallbackSlot> slot, ConsumerConfig config,
                         std::shared_ptr<QueueAttachment> attachment)
        : group_name_(std::move(group_name)),
          state_(std::move(state)),
          notify_(std::move(notify)),
          dataset_(std::move(dataset)),
          group_closed_(std::move(group_closed)),
          inner_(std::move(inner)),
          slot_(std::move(slot)),
          attachment_(std::move(attachment)),
          config_(config) {}

    bool is_closed() const;
    // Puts the group on the dataset's dirty list after claim_dirty said so; undoes the
    // claim when that fails, so that a later change tries again.
    Status queue_for_flush();
    // Finishes a pending entry whose record can no longer be read.
    Status finish_gone(int64_t timestamp);

    std::string group_name_;
    std::shared_ptr<GroupState> state_;
    std::shared_ptr<QueueNotify> notify_;
    Dataset dataset_;
    std::shared_ptr<std::atomic<bool>> group_closed_;
    std::shared_ptr<QueueInner> inner_;
    std::shared_ptr<PollCallbackSlot> slot_;
    std::shared_ptr<QueueAttachment> attachment_;
    ConsumerConfig config_;
};

}  // namespace brenvale
