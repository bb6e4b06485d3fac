// The journal queue: the store's journal as a work queue with named consumer groups. A
// group receives the journal records after its committed sequence, one per poll, at
// least once: a record handed out stays pending until it is acknowledged, and one left
// unacknowledged for running_expired_seconds is handed out again, at most
// max_retry_count more times. Each group's progress lives in its consumer state file
// under <root>/.journal/queue/; every handle of a group shares it. Groups are made
// durable by Journal::flush and by close, never through the dirty list.
//
// Locks (see doc/locking.md): the journal log mutex, the group map mutex ("journal
// queue mutex"), one state mutex per group, the notify mutex with its condition
// variable, the callback mutex and one mutex per callback slot. The log mutex is never
// held together with a state mutex; wake callbacks are collected under the locks and run
// after every lock is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "journal/log.h"
#include "queue/consumer_state.h"
#include "queue/notify.h"
#include "queue/queue.h"

namespace brenvale {

class StoreLock;

// The journal log behind the journal log mutex. The log is absent in a read-only store
// without journal directories.
struct LockedJournalLog {
    QueueMutex mu{"journal log mutex"};
    std::optional<JournalLog> log;  // guarded by mu
};

// What every handle of one journal queue shares.
struct JournalQueueShared {
    JournalQueueShared(std::string queue_dir, std::shared_ptr<LockedJournalLog> journal_log,
                       std::shared_ptr<const StoreLock> lock)
        : store_lock(std::move(lock)), dir(std::move(queue_dir)), log(std::move(journal_log)) {}

    // A writable store's directory lock, kept while the queue's consumers can still write
    // their state pages; released by the queue's close (guarded by mu).
    std::shared_ptr<const StoreLock> store_lock;
    const std::string dir;
    const std::shared_ptr<LockedJournalLog> log;
    QueueMutex mu{"journal queue mutex"};  // the group map mutex
    std::unordered_map<std::string, std::shared_ptr<GroupState>> states;  // guarded by mu
    std::unordered_map<std::string, ConsumerConfig> configs;              // guarded by mu
    // The callback slots of each group's handles: a registered callback outlives a dropped
    // handle until the queue closes (guarded by mu).
    std::unordered_map<std::string, std::vector<std::shared_ptr<PollCallbackSlot>>> slots;
    std::atomic<bool> closed{false};
    QueueNotify notify{"journal notify mutex"};
};

class JournalQueueConsumer;

// A handle to the store's journal queue; copies share it.
class JournalQueue {
public:
    // Opens the named group (loading or creating its state file) or joins it when open. A
    // new group starts after the journal's last sequence.
    Result<JournalQueueConsumer> open_consumer(const std::string& group_name, ConsumerConfig config);
    // Closes the queue for good: every group's state is persisted, waiting pollers wake
    // and fail with the queue-closed error. A second close does nothing.
    Status close();
    // Persists every open group (the journal's flush); the first error is returned.
    Status flush();
    // Wakes the pollers and returns the registered callbacks, for the caller to run once it
    // has released its locks. Nothing on a closed queue; errors are dropped.
    std::vector<PollCallback> notify_and_collect();
    bool closed() const { return shared_->closed.load(std::memory_order_acquire); }

private:
    friend class Journal;
    explicit JournalQueue(std::shared_ptr<JournalQueueShared> shared) : shared_(std::move(shared)) {}

    std::shared_ptr<JournalQueueShared> shared_;
};

// One consumer handle of a group. Safe to use from several threads at once.
class JournalQueueConsumer {
public:
    // One attempt: the next record to hand out (its sequence and payload), or nothing.
    Result<std::optional<JournalEntry>> try_poll();
    // Tries, then waits up to timeout_ms (up to 2^64 - 1) for an append and tries again. A
    // close of the queue ends the wait with the queue-closed error; `wait` may end it early
    // with nothing.
    Result<std::optional<JournalEntry>> poll(uint64_t timeout_ms, const PollWait& wait = {});
    // Finishes the pending entry of the sequence.
    Status ack(int64_t sequence);
    // Registers a wake callback (none clears it); a second one without clearing fails.
    Status set_poll_callback(PollCallback callback);
    // The journal log's record of a sequence.
    Result<std::optional<JournalEntry>> read_record(int64_t sequence);

    const std::string& group_name() const { return group_name_; }
    const ConsumerConfig& config() const { return config_; }
    // The group's committed sequence and pending entries (for inspection and tests).
    Result<std::pair<int64_t, std::vector<PendingEntry>>> progress();

private:
    friend class JournalQueue;
    JournalQueueConsumer(std::string group_name, std::shared_ptr<GroupState> state,
                         std::shared_ptr<JournalQueueShared> shared, std::shared_ptr<PollCallbackSlot> slot,
                         ConsumerConfig config)
        : group_name_(std::move(group_name)),
          state_(std::move(state)),
          shared_(std::move(shared)),
          slot_(std::move(slot)),
          config_(config) {}

    Result<QueueMutex::Guard> lock_state();
    // lock_state, refused on a closed queue: a change made after the close's last persist
    // would reach the file behind the back of a queue opened since.
    Result<QueueMutex::Guard> lock_open_state();
    // Records a sequence the journal no longer holds as finished, so the group moves past it.
    Status finish_gone(int64_t sequence, bool fresh);

    std::string group_name_;
    std::shared_ptr<GroupState> state_;
    std::shared_ptr<JournalQueueShared> shared_;
    std::shared_ptr<PollCallbackSlot> slot_;
    ConsumerConfig config_;
};

// The next sequence of the log behind its mutex (1 without a log).
Result<uint64_t> journal_next_sequence(LockedJournalLog& log);

}  // namespace brenvale
