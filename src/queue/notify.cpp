#include "queue/notify.h"

#include <exception>

#include <fmt/format.h>

#include "log.h"

namespace brenvale {

// ---- QueueMutex ----

QueueMutex::Guard::Guard(QueueMutex* m) : m_(m), lock_(m->mu_), exceptions_(std::uncaught_exceptions()) {
    take_ownership();
}

void QueueMutex::Guard::take_ownership() {
    m_->owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

QueueMutex::Guard::~Guard() {
    if (!lock_.owns_lock()) return;
    if (std::uncaught_exceptions() > exceptions_) m_->poisoned_.store(true, std::memory_order_relaxed);
    m_->owner_.store(std::thread::id(), std::memory_order_relaxed);
}

void QueueMutex::Guard::unlock() {
    if (!lock_.owns_lock()) return;
    m_->owner_.store(std::thread::id(), std::memory_order_relaxed);
    lock_.unlock();
}

Status QueueMutex::Guard::relock(std::string_view poisoned_text) {
    BRVL_TRY(m_->check_not_held());
    lock_.lock();
    take_ownership();
    exceptions_ = std::uncaught_exceptions();
    if (m_->poisoned()) {
        unlock();
        return Error::invalid_data(std::string(poisoned_text));
    }
    return {};
}

Result<std::cv_status> QueueMutex::Guard::wait_until(std::condition_variable& cv, MonoInstant deadline,
                                                     std::string_view poisoned_text) {
    m_->owner_.store(std::thread::id(), std::memory_order_relaxed);
    std::cv_status status = cv.wait_until(lock_, deadline);
    take_ownership();
    if (m_->poisoned()) {
        unlock();
        return Error::invalid_data(std::string(poisoned_text));
    }
    return status;
}

Status QueueMutex::check_not_held() const {
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return invalid_data_fmt("{} already held by this thread (re-entrant call)", name_);
    return {};
}

Result<QueueMutex::Guard> QueueMutex::lock() {
    BRVL_TRY(check_not_held());
    Guard g(this);
    if (poisoned()) return invalid_data_fmt("{} poisoned", name_);
    return g;
}

Result<QueueMutex::Guard> QueueMutex::lock(std::string_view poisoned_text) {
    BRVL_TRY(check_not_held());
    Guard g(this);
    if (poisoned()) return Error::invalid_data(std::string(poisoned_text));
    return g;
}

// ---- PollCallbackSlot ----

Status PollCallbackSlot::set_callback(PollCallback cb, const char* already_registered,
                                      const std::function<Status()>& check) {
    PollCallback old;  // destroyed after the slot mutex is released
    auto g = BRVL_TRY(mu.lock());
    if (check) BRVL_TRY(check());
    if (cb) {
        if (callback) return Error::invalid_data(already_registered);
        callback = std::move(cb);
    } else {
        old = std::move(callback);
        callback.reset();
    }
    return {};
}

Status take_callbacks(const std::vector<std::shared_ptr<PollCallbackSlot>>& slots, std::vector<PollCallback>& into) {
    Status first;
    for (const auto& slot : slots) {
        auto g = slot->mu.lock();
        if (!g.ok()) {
            if (first.ok()) first = g.error();
            continue;
        }
        if (slot->callback) into.push_back(std::move(slot->callback));
        slot->callback.reset();
    }
    return first;
}

void drop_idle_slots(std::vector<std::shared_ptr<PollCallbackSlot>>& slots) {
    // A slot held by the list alone cannot gain a holder meanwhile: handles get theirs from
    // the list's owner, under the lock the caller holds.
    std::erase_if(slots, [](const std::shared_ptr<PollCallbackSlot>& slot) {
        if (slot.use_count() != 1) return false;
        auto g = slot->mu.lock();
        return g.ok() && !slot->callback;
    });
}

// ---- QueueNotify ----

Status QueueNotify::notify() {
    auto g = BRVL_TRY(mu_.lock());
    notifications_.fetch_add(1, std::memory_order_acq_rel);
    cv_.notify_all();
    return {};
}

Status QueueNotify::register_slot(const std::shared_ptr<PollCallbackSlot>& slot) {
    auto g = BRVL_TRY(callbacks_mu_.lock());
    // Handles come and go between writes: drop the slots of the gone ones here too, so the
    // list stays as long as the live handles.
    std::erase_if(slots_, [](const std::weak_ptr<PollCallbackSlot>& w) { return w.expired(); });
    slots_.push_back(slot);
    return {};
}

std::vector<PollCallback> QueueNotify::collect_callbacks() {
    std::vector<PollCallback> out;
    auto g = callbacks_mu_.lock();
    if (!g.ok()) return out;
    for (auto it = slots_.begin(); it != slots_.end();) {
        std::shared_ptr<PollCallbackSlot> slot = it->lock();
        if (!slot) {
            it = slots_.erase(it);
            continue;
        }
        ++it;
        auto sg = slot->mu.lock();
        if (sg.ok() && slot->callback) out.push_back(slot->callback);
    }
    return out;
}

void QueueNotify::run_callbacks(const std::vector<PollCallback>& callbacks) {
    for (const PollCallback& cb : callbacks) {
        try {
            (*cb)();
        } catch (...) {
            log::warn(log::kQueue, "[queue] poll callback panicked");
        }
    }
}

std::vector<PollCallback> QueueNotify::notify_and_collect() {
    if (!notify().ok()) return {};
    return collect_callbacks();
}

}  // namespace brenvale
