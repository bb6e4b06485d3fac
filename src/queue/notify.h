// The wake side shared by the queues: the mutex type every queue lock uses, the poll
// callbacks that consumers register, and `QueueNotify`, which pollers wait on and writers
// notify.
//
// Wake callbacks are never run under a queue lock: a waker collects them under the
// callback mutex and calls them after it has released every lock it holds (a dataset
// write runs them once the dataset mutex is released), so a callback may call back into
// the same dataset or queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <string>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "error.h"
#include "util.h"

namespace brenvale {

// A mutex that reports the two ways a lock can go wrong instead of misbehaving: an
// operation that ended abnormally (an exception unwinding) while holding it leaves it
// poisoned, and every later taker gets an invalid-data error; a thread that already holds
// it and tries again gets an invalid-data error instead of deadlocking.
class QueueMutex {
public:
    // name: how errors name the lock ("queue inner mutex"); a string literal.
    explicit QueueMutex(const char* name) : name_(name) {}
    QueueMutex(const QueueMutex&) = delete;
    QueueMutex& operator=(const QueueMutex&) = delete;

    class Guard {
    public:
        Guard(Guard&& o) noexcept : m_(o.m_), lock_(std::move(o.lock_)), exceptions_(o.exceptions_) {}
        Guard& operator=(Guard&&) = delete;
        Guard(const Guard&) = delete;
        ~Guard();

        // Releases the lock early (the destructor then does nothing).
        void unlock();
        // Takes the lock again after unlock; the same errors as QueueMutex::lock.
        Status relock(std::string_view poisoned_text);
        // Waits on cv until notified, a spurious wake-up or the deadline, with the lock
        // released meanwhile. Fails when the lock was poisoned while it was released.
        Result<std::cv_status> wait_until(std::condition_variable& cv, MonoInstant deadline,
                                          std::string_view poisoned_text);

    private:
        friend class QueueMutex;
        explicit Guard(QueueMutex* m);
        void take_ownership();

        QueueMutex* m_;
        std::unique_lock<std::mutex> lock_;
        // Exceptions in flight when the lock was taken: more at release means this
        // operation is unwinding with the lock held.
        int exceptions_ = 0;
    };

    // The lock, or "<name> poisoned", or the re-entry error.
    Result<Guard> lock();
    // The same with another text for a poisoned lock.
    Result<Guard> lock(std::string_view poisoned_text);
    bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
    const char* name() const { return name_; }

private:
    Status check_not_held() const;

    const char* name_;
    std::mutex mu_;
    std::atomic<bool> poisoned_{false};
    // The thread holding mu_, so that a re-entrant call fails instead of deadlocking.
    std::atomic<std::thread::id> owner_{};
};

// A wake callback: takes nothing, returns nothing. Shared, so that the waker can call it
// after releasing the locks while the consumer clears or replaces its registration.
using PollCallback = std::shared_ptr<const std::function<void()>>;

inline PollCallback make_poll_callback(std::function<void()> fn) {
    return std::make_shared<const std::function<void()>>(std::move(fn));
}

// One per consumer handle: the handle's registered callback, if any.
struct PollCallbackSlot {
    explicit PollCallbackSlot(const char* mutex_name = "queue callback slot mutex") : mu(mutex_name) {}

    // Registers callback, or clears the registration when callback is empty. A second
    // registration fails with the invalid-data error already_registered. `check`, when
    // given, runs under the slot mutex first and its error is returned as is. A cleared
    // callback is destroyed after the slot mutex is released.
    Status set_callback(PollCallback callback, const char* already_registered,
                        const std::function<Status()>& check = {});

    QueueMutex mu;
    PollCallback callback;  // guarded by mu
};

// Moves the callbacks of the slots into `into`, so that they are destroyed once the caller
// has released its locks. Returns the error of the first poisoned slot; the others are
// still emptied.
Status take_callbacks(const std::vector<std::shared_ptr<PollCallbackSlot>>& slots, std::vector<PollCallback>& into);
// Removes from a group's slot list the slots that only the list still holds and that hold
// no callback (their handles are gone and left nothing registered), so that handles opened
// and dropped over and over do not grow it. Run under the lock that guards the list.
void drop_idle_slots(std::vector<std::shared_ptr<PollCallbackSlot>>& slots);

// What a blocking poll does besides waiting for a notification, its deadline or a close.
struct PollWait {
    // The longest stretch of waiting between two calls of `cancelled`; zero: never called.
    std::chrono::milliseconds slice{0};
    // Called with no queue lock held after each slice of waiting; true ends the poll,
    // which then returns nothing without another attempt.
    std::function<bool()> cancelled;
};

class QueueNotify {
public:
    // mutex_name names the notify mutex in errors ("<name> poisoned").
    explicit QueueNotify(const char* mutex_name = "notify mutex") : mu_(mutex_name) {}

    // Counts one more notification and wakes every waiting poller.
    Status notify();
    // Adds a weak reference to the slot to the list that collect_callbacks walks.
    Status register_slot(const std::shared_ptr<PollCallbackSlot>& slot);
    // notify, and the callbacks to run once the caller has released its own locks (none
    // when the notification failed). A dataset write uses this under its mutex.
    std::vector<PollCallback> notify_and_collect();

    // The registered callbacks, in registration order; slots whose handle is gone leave
    // the list, slots with a poisoned mutex are skipped.
    std::vector<PollCallback> collect_callbacks();
    // Calls each callback in turn; one that throws is logged at warn level and the next
    // still runs.
    static void run_callbacks(const std::vector<PollCallback>& callbacks);

    // The poll side. A poller reads the notification count before each attempt and, when
    // the attempt found nothing, waits only while the count is unchanged: no poller
    // consumes a notification, so one notification wakes every poller of every group.
    // lock_waiters takes the notify mutex; wait_until is called with it held through the
    // guard.
    Result<QueueMutex::Guard> lock_waiters() { return mu_.lock(); }
    // The number of notifications so far. Read without the lock before an attempt; read
    // under it before a wait, where a notification cannot slip in between.
    uint64_t notifications() const { return notifications_.load(std::memory_order_acquire); }
    Result<std::cv_status> wait_until(QueueMutex::Guard& g, MonoInstant deadline) {
        return g.wait_until(cv_, deadline, poisoned_text());
    }
    Status relock(QueueMutex::Guard& g) { return g.relock(poisoned_text()); }

private:
    std::string poisoned_text() const { return fmt::format("{} poisoned", mu_.name()); }

    QueueMutex mu_;
    std::atomic<uint64_t> notifications_{0};  // changed under mu_ only
    std::condition_variable cv_;
    QueueMutex callbacks_mu_{"queue callback mutex"};
    std::vector<std::weak_ptr<PollCallbackSlot>> slots_;  // guarded by callbacks_mu_
};

}  // namespace brenvale
