#include "journal/queue.h"

#include <algorithm>

#include "paths.h"

namespace brenvale {

namespace {

Error queue_is_closed() { return Error::queue_closed("journal queue is closed"); }

}  // namespace

Result<uint64_t> journal_next_sequence(LockedJournalLog& log) {
    auto g = BRVL_TRY(log.mu.lock());
    return log.log ? log.log->next_sequence() : uint64_t{1};
}

// ---- JournalQueue ----

Result<JournalQueueConsumer> JournalQueue::open_consumer(const std::string& group_name, ConsumerConfig config) {
    BRVL_TRY(check_group_name(group_name, "journal "));
    auto slot = std::make_shared<PollCallbackSlot>("journal queue callback slot mutex");
    std::shared_ptr<GroupState> state;
    {
        auto g = BRVL_TRY(shared_->mu.lock());
        if (closed()) return queue_is_closed();
        if (auto c = shared_->configs.find(group_name); c != shared_->configs.end() && !(c->second == config))
            return invalid_data_fmt("journal consumer group {} is already open with a different config", group_name);
        if (auto it = shared_->states.find(group_name); it != shared_->states.end()) {
            state = it->second;
        } else {
            // A new group receives only records appended after its creation.
            const uint64_t next = BRVL_TRY(journal_next_sequence(*shared_->log));
            ConsumerGroupState loaded = BRVL_TRY(ConsumerGroupState::open_or_create(
                paths::consumer_state_file(shared_->dir, group_name), static_cast<int64_t>(next - 1)));
            state = std::make_shared<GroupState>(std::move(loaded), "journal state file mutex");
            shared_->states.emplace(group_name, state);
            shared_->configs.emplace(group_name, config);
        }
        BRVL_TRY(shared_->notify.register_slot(slot));
        auto& group_slots = shared_->slots[group_name];
        drop_idle_slots(group_slots);
        group_slots.push_back(slot);
    }
    return JournalQueueConsumer(group_name, std::move(state), shared_, std::move(slot), config);
}

Status JournalQueue::close() {
    std::vector<PollCallback> dropped;  // destroyed after the group map mutex is released
    {
        auto g = BRVL_TRY(shared_->mu.lock());
        if (shared_->closed.exchange(true, std::memory_order_acq_rel)) return {};
        for (auto& [name, state] : shared_->states) {
            auto sg = state->mu.lock();
            if (sg.ok()) (void)state->state.persist();
        }
        for (auto& [name, group_slots] : shared_->slots) (void)take_callbacks(group_slots, dropped);
        shared_->states.clear();
        shared_->configs.clear();
        shared_->slots.clear();
        shared_->store_lock.reset();
    }
    // Waiting pollers learn of the close now and fail.
    (void)shared_->notify.notify();
    return {};
}

Status JournalQueue::flush() {
    auto g = BRVL_TRY(shared_->mu.lock());
    for (auto& [name, state] : shared_->states) {
        auto sg = BRVL_TRY(state->mu.lock());
        BRVL_TRY(state->state.flush());
    }
    return {};
}

std::vector<PollCallback> JournalQueue::notify_and_collect() {
    if (closed()) return {};
    return shared_->notify.notify_and_collect();
}

// ---- JournalQueueConsumer ----

Result<QueueMutex::Guard> JournalQueueConsumer::lock_state() { return state_->mu.lock(); }

Result<QueueMutex::Guard> JournalQueueConsumer::lock_open_state() {
    auto g = BRVL_TRY(lock_state());
    // The close sets the flag before it takes the state mutexes to persist.
    if (shared_->closed.load(std::memory_order_acquire)) return queue_is_closed();
    return g;
}

Result<std::optional<JournalEntry>> JournalQueueConsumer::read_record(int64_t sequence) {
    auto g = BRVL_TRY(shared_->log->mu.lock());
    if (!shared_->log->log) return std::optional<JournalEntry>();
    return shared_->log->log->read(sequence);
}

Status JournalQueueConsumer::finish_gone(int64_t sequence, bool fresh) {
    auto g = BRVL_TRY(lock_open_state());
    ConsumerGroupState& s = state_->state;
    if (fresh) {
        // Taken or finished by another handle meanwhile: nothing to do.
        if (sequence <= s.committed() || s.is_pending(sequence)) return {};
        BRVL_TRY(s.push_pending(PendingEntry{sequence, 0, kPendingStatusDone, 0}));
        s.compact();
    } else if (Status st = s.mark_done(sequence); !st.ok() && st.error().kind() != ErrorKind::NotFound) {
        return st;
    }
    return s.write_page();
}

Result<std::optional<JournalEntry>> JournalQueueConsumer::try_poll() {
    using Out = std::optional<JournalEntry>;
    // The state mutex and the journal log mutex are never held together.
    for (;;) {
        // An entry due for another hand-out comes first.
        NextPending again;
        {
            auto g = BRVL_TRY(lock_open_state());
            again = state_->state.next_pending(config_.running_expired_seconds, config_.max_retry_count,
                                               queue_clock_seconds());
            if (again.changed) BRVL_TRY(state_->state.write_page());
        }
        if (again.position) {
            auto rec = read_record(*again.position);
            if (!rec.ok() || rec->has_value()) return rec;
            // The journal no longer holds it: it can never be delivered, so it is finished
            // and the poll goes on.
            BRVL_TRY(finish_gone(*again.position, /*fresh=*/false));
            continue;
        }

        // A fresh record: the first sequence after committed that is not pending, chosen
        // without the state mutex and recorded under it only when still free.
        const uint64_t next = BRVL_TRY(journal_next_sequence(*shared_->log));
        int64_t candidate;
        {
            auto g = BRVL_TRY(lock_state());
            const int64_t committed = state_->state.committed();
            candidate = committed == INT64_MAX ? INT64_MAX : std::max<int64_t>(committed + 1, 1);
            while (static_cast<uint64_t>(candidate) < next && state_->state.is_pending(candidate)) ++candidate;
        }
        if (static_cast<uint64_t>(candidate) >= next) return Out();
        auto rec = read_record(candidate);
        if (!rec.ok()) return rec;
        if (!rec->has_value()) {
            // A sequence lost to a damaged segment: skipped for good.
            BRVL_TRY(finish_gone(candidate, /*fresh=*/true));
            continue;
        }
        {
            auto g = BRVL_TRY(lock_open_state());
            ConsumerGroupState& s = state_->state;
            // Another handle of the group took it (or finished past it) meanwhile: the next
            // candidate instead, so that no record goes to two handles.
            if (candidate <= s.committed() || s.is_pending(candidate)) continue;
            BRVL_TRY(s.push_pending(PendingEntry{candidate, queue_clock_seconds(), kPendingStatusPending, 0}));
            BRVL_TRY(s.write_page());
        }
        return rec;
    }
}

Result<std::optional<JournalEntry>> JournalQueueConsumer::poll(uint64_t timeout_ms, const PollWait& wait) {
    auto closed = [this] {
        return shared_->closed.load(std::memory_order_acquire) ? std::optional<Error>(queue_is_closed()) : std::nullopt;
    };
    if (auto e = closed()) return std::move(*e);
    return poll_and_wait<JournalEntry>(shared_->notify, timeout_ms, wait, [this] { return try_poll(); }, closed,
                                       [this] { return next_expiry(*state_, config_.running_expired_seconds); });
}

Status JournalQueueConsumer::ack(int64_t sequence) {
    auto g = BRVL_TRY(lock_open_state());
    BRVL_TRY(state_->state.mark_done(sequence));
    return state_->state.write_page();
}

Status JournalQueueConsumer::set_poll_callback(PollCallback callback) {
    return slot_->set_callback(std::move(callback), "journal queue poll callback is already registered");
}

Result<std::pair<int64_t, std::vector<PendingEntry>>> JournalQueueConsumer::progress() {
    auto g = BRVL_TRY(lock_state());
    return std::make_pair(state_->state.committed(), state_->state.pending());
}

}  // namespace brenvale
