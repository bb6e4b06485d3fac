#include "queue/queue.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "file.h"
#include "log.h"
#include "paths.h"

namespace brenvale {

namespace {

Error consumer_closed() { return Error::queue_closed("queue consumer is closed"); }
Error queue_is_closed() { return Error::queue_closed("queue is closed"); }

// The bytes as UTF-8 text, each maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view s) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t need = 0;
        uint8_t lo = 0x80, hi = 0xBF;  // the range of the first continuation byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        }
        size_t j = i + 1;
        size_t got = 0;
        while (got < need && j < s.size()) {
            const auto b = static_cast<uint8_t>(s[j]);
            if (b < lo || b > hi) break;
            lo = 0x80;
            hi = 0xBF;
            ++got;
            ++j;
        }
        if (need > 0 && got == need)
            out.append(s.substr(i, need + 1));
        else
            out.append(kReplacement);
        i = j;
    }
    return out;
}

}  // namespace

// ---- configuration and names ----

Result<ConsumerConfig> ConsumerConfig::create(uint64_t running_expired_seconds, uint64_t max_retry_count) {
    if (running_expired_seconds > UINT16_MAX)
        return invalid_data_fmt("running_expired_seconds exceeds u16::MAX: {}", running_expired_seconds);
    if (max_retry_count > UINT8_MAX) return invalid_data_fmt("max_retry_count exceeds u8::MAX: {}", max_retry_count);
    return ConsumerConfig{static_cast<uint16_t>(running_expired_seconds), static_cast<uint8_t>(max_retry_count)};
}

bool is_valid_group_name(std::string_view name) {
    auto allowed = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
    };
    return !name.empty() && name.size() <= kMaxGroupNameLength && std::all_of(name.begin(), name.end(), allowed);
}

Status check_group_name(const std::string& name, std::string_view prefix) {
    if (!is_valid_group_name(name))
        return invalid_data_fmt("{}queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most {} bytes",
                                prefix, kMaxGroupNameLength);
    return {};
}

std::optional<MonoInstant> next_expiry(GroupState& group, uint16_t running_expired_seconds) {
    std::optional<int64_t> due;
    {
        auto g = group.mu.lock();
        if (!g.ok()) return std::nullopt;  // the next attempt reports it
        due = group.state.earliest_expiry(running_expired_seconds);
    }
    if (!due) return std::nullopt;
    return queue_clock_instant(*due);
}

// ---- QueueInner ----

Status QueueInner::close() {
    std::vector<PollCallback> dropped;  // destroyed after the inner mutex is released
    auto g = BRVL_TRY(mu_.lock());
    closed_.store(true, std::memory_order_release);
    for (auto& [name, group] : groups_) {
        group.closed->store(true, std::memory_order_release);
        (void)take_callbacks(group.slots, dropped);  // a poisoned slot keeps its callback
        auto sg = BRVL_TRY(group.state->mu.lock());
        group.state->state.reset_running();
        BRVL_TRY(group.state->state.persist());
    }
    groups_.clear();
    configs_.clear();
    return {};
}

Status QueueInner::flush_group(const std::string& name) {
    std::shared_ptr<GroupState> state;
    {
        auto g = BRVL_TRY(mu_.lock());
        auto it = groups_.find(name);
        if (it == groups_.end()) return {};
        state = it->second.state;
    }
    auto sg = BRVL_TRY(state->mu.lock("consumer state mutex poisoned"));
    return state->state.flush();
}

Status QueueInner::flush_all() {
    auto g = BRVL_TRY(mu_.lock());
    for (auto& [name, group] : groups_) {
        auto sg = group.state->mu.lock();
        if (!sg.ok()) continue;
        BRVL_TRY(group.state->state.flush());
    }
    return {};
}

size_t QueueInner::group_count() {
    auto g = mu_.lock();
    return g.ok() ? groups_.size() : 0;
}

// ---- QueueAttachment ----

QueueAttachment::~QueueAttachment() {
    // Only the queue of these handles: a newer one attached since is left alone.
    Status st = dataset_.close_queue(inner_.get());
    if (!st.ok()) log::warn(log::kQueue, "[queue] closing a queue left open failed: {}", st.error());
}

// ---- DatasetQueue ----

Result<DatasetQueueConsumer> DatasetQueue::open_consumer(const std::string& group_name, ConsumerConfig config) {
    BRVL_TRY(check_group_name(group_name));
    // Both come from the dataset, whose mutex is taken before the inner mutex elsewhere
    // (detach, flush): read them before taking the inner mutex.
    const std::string dir = BRVL_TRY(dataset_.queue_dir());
    const std::optional<int64_t> latest = dataset_.latest_timestamp();

    auto slot = std::make_shared<PollCallbackSlot>();
    BRVL_TRY(notify_->register_slot(slot));

    std::optional<DatasetQueueConsumer> consumer;
    {
        auto g = BRVL_TRY(inner_->mu_.lock());
        if (inner_->closed()) return queue_is_closed();
        if (auto c = inner_->configs_.find(group_name); c != inner_->configs_.end() && !(c->second == config))
            return invalid_data_fmt("consumer group {} is already open with a different config", group_name);
        auto it = inner_->groups_.find(group_name);
        if (it != inner_->groups_.end()) {
            QueueInner::Group& group = it->second;
            if (group.closed->load(std::memory_order_acquire))
                return Error::queue_closed(fmt::format("consumer group {} is closed", group_name));
            drop_idle_slots(group.slots);
            group.slots.push_back(slot);
            consumer = DatasetQueueConsumer(group_name, group.state, notify_, dataset_, group.closed, inner_, slot,
                                            config, attachment_);
        } else {
            // A new group receives only records written after its creation; on an empty
            // dataset, everything.
            ConsumerGroupState loaded =
                BRVL_TRY(ConsumerGroupState::open_or_create(paths::consumer_state_file(dir, group_name),
                                                             latest.value_or(INT64_MIN)));
            auto state = std::make_shared<GroupState>(std::move(loaded));
            auto closed = std::make_shared<std::atomic<bool>>(false);
            inner_->groups_.emplace(group_name, QueueInner::Group{{slot}, state, closed});
            inner_->configs_.emplace(group_name, config);
            consumer =
                DatasetQueueConsumer(group_name, state, notify_, dataset_, closed, inner_, slot, config, attachment_);
        }
    }
    // A load that repaired or released something left the state unpersisted.
    BRVL_TRY(consumer->mark_state_dirty());
    return std::move(*consumer);
}

Result<int64_t> DatasetQueue::push(std::span<const uint8_t> data) {
    if (!producer_writable_) return Error::invalid_data("queue producer is read-only for this dataset");
    {
        auto g = BRVL_TRY(inner_->mu_.lock());
        if (inner_->closed()) return queue_is_closed();
    }
    // The write itself wakes this queue, the one attached to the dataset, and collects its
    // wake callbacks.
    return dataset_.write_next(data);
}

Result<std::vector<std::string>> DatasetQueue::consumer_group_names() const {
    const std::string dir = BRVL_TRY(dataset_.queue_dir());
    auto listed = list_dir(dir);
    if (!listed.ok()) {
        if (listed.error().is_io_code(ENOENT)) return std::vector<std::string>();
        return std::move(listed).error();
    }
    std::vector<std::string> names;
    names.reserve(listed->size());
    for (const auto& n : *listed) names.push_back(utf8_lossy(n));
    std::sort(names.begin(), names.end());
    return names;
}

Status DatasetQueue::drop_consumer(const std::string& group_name) {
    BRVL_TRY(check_group_name(group_name));
    const std::string path = paths::consumer_state_file(BRVL_TRY(dataset_.queue_dir()), group_name);
    std::vector<PollCallback> dropped;  // destroyed after the inner mutex is released
    {
        auto g = BRVL_TRY(inner_->mu_.lock());
        if (inner_->closed()) return queue_is_closed();
        auto it = inner_->groups_.find(group_name);
        const bool was_open = it != inner_->groups_.end();
        if (was_open) {
            QueueInner::Group& group = it->second;
            group.closed->store(true, std::memory_order_release);
            BRVL_TRY(take_callbacks(group.slots, dropped));
            {
                auto sg = BRVL_TRY(group.state->mu.lock());
                group.state->state.reset_running();
                BRVL_TRY(group.state->state.persist());
            }
            inner_->groups_.erase(it);
            inner_->configs_.erase(group_name);
        } else {
            auto exists = path_exists(path);
            if (!exists.ok() || !*exists) return Error::consumer_group_not_found(group_name);
        }
        BRVL_TRY(remove_file_if_exists(path));
    }
    // Pollers of the dropped group learn of it now rather than at their deadline.
    return notify_->notify();
}

Status DatasetQueue::close() {
    // Detaches this queue only: a newer queue attached since is left alone.
    BRVL_TRY(dataset_.close_queue(inner_.get()));
    return notify_->notify();
}

// ---- DatasetQueueConsumer ----

bool DatasetQueueConsumer::is_closed() const {
    return inner_->closed() || group_closed_->load(std::memory_order_acquire);
}

Status DatasetQueueConsumer::queue_for_flush() {
    Status st = dataset_.mark_queue_state_dirty(group_name_);
    if (!st.ok()) {
        if (auto g = state_->mu.lock(); g.ok()) state_->state.set_dirty_queued(false);
    }
    return st;
}

Status DatasetQueueConsumer::mark_state_dirty() {
    bool claimed;
    {
        auto g = BRVL_TRY(state_->mu.lock());
        claimed = state_->state.claim_dirty();
    }
    return claimed ? queue_for_flush() : Status();
}

Status DatasetQueueConsumer::finish_gone(int64_t timestamp) {
    bool claimed;
    {
        auto g = BRVL_TRY(state_->mu.lock());
        Status st = state_->state.mark_done(timestamp);
        // Acknowledged meanwhile by another handle: nothing left to finish.
        if (!st.ok() && st.error().kind() != ErrorKind::NotFound) return st;
        claimed = state_->state.claim_dirty();
    }
    return claimed ? queue_for_flush() : Status();
}

Result<std::optional<Record>> DatasetQueueConsumer::try_poll() {
    using Out = std::optional<Record>;
    if (is_closed()) return consumer_closed();
    std::vector<int64_t> taken;
    // The group state mutex is never held while the dataset is called: the dataset takes
    // group states under its own mutex when it flushes.
    for (;;) {
        // An entry due for another hand-out comes first.
        NextPending again;
        bool claimed;
        {
            auto g = BRVL_TRY(state_->mu.lock());
            again = state_->state.next_pending(config_.running_expired_seconds, config_.max_retry_count,
                                               queue_clock_seconds());
            claimed = again.changed && state_->state.claim_dirty();
        }
        if (claimed) BRVL_TRY(queue_for_flush());
        if (again.position) {
            auto rec = dataset_.read(*again.position);
            if (!rec.ok() || rec->has_value()) return rec;
            // Deleted or expired since its first hand-out: it can never be delivered, so
            // it is finished, and the poll goes on with the next candidate.
            BRVL_TRY(finish_gone(*again.position));
            continue;
        }

        // A fresh record: the first live one after committed that is not pending, chosen
        // without the state mutex and recorded under it only when still free.
        int64_t committed;
        {
            auto g = BRVL_TRY(state_->mu.lock());
            committed = state_->state.committed();
            taken.clear();
            for (const auto& e : state_->state.pending()) taken.push_back(e.timestamp);
        }
        if (committed == INT64_MAX) return Out();  // nothing lies after the last timestamp
        auto rec = dataset_.read_first_live(committed + 1, taken);
        if (!rec.ok() || !rec->has_value()) return rec;
        const int64_t ts = (*rec)->timestamp;
        {
            auto g = BRVL_TRY(state_->mu.lock());
            ConsumerGroupState& s = state_->state;
            // Another handle of the group took it (or finished past it) meanwhile: take the
            // next candidate instead.
            if (ts <= s.committed() || s.is_pending(ts)) continue;
            BRVL_TRY(s.push_pending(PendingEntry{ts, queue_clock_seconds(), kPendingStatusPending, 0}));
            claimed = s.claim_dirty();
        }
        if (claimed) BRVL_TRY(queue_for_flush());
        return rec;
    }
}

Result<std::optional<Record>> DatasetQueueConsumer::poll(uint64_t timeout_ms, const PollWait& wait) {
    if (is_closed()) return consumer_closed();
    return poll_and_wait<Record>(
        *notify_, timeout_ms, wait, [this] { return try_poll(); },
        [this] { return is_closed() ? std::optional<Error>(consumer_closed()) : std::nullopt; },
        [this] { return next_expiry(*state_, config_.running_expired_seconds); });
}

Status DatasetQueueConsumer::ack(int64_t timestamp) {
    if (is_closed()) return consumer_closed();
    bool claimed;
    {
        auto g = BRVL_TRY(state_->mu.lock());
        BRVL_TRY(state_->state.mark_done(timestamp));
        claimed = state_->state.claim_dirty();
    }
    return claimed ? queue_for_flush() : Status();
}

Status DatasetQueueConsumer::flush() {
    if (is_closed()) return consumer_closed();
    auto g = BRVL_TRY(state_->mu.lock());
    return state_->state.persist();
}

Result<ConsumerInspect> DatasetQueueConsumer::inspect() {
    if (is_closed()) return consumer_closed();
    auto g = BRVL_TRY(state_->mu.lock());
    return ConsumerInspect{group_name_, config_, state_->state.committed(), state_->state.pending()};
}

Status DatasetQueueConsumer::set_poll_callback(PollCallback callback) {
    if (is_closed()) return consumer_closed();
    // Checked again under the slot mutex: a close sets the flags before it empties the
    // slots, so a callback stored here is either refused or emptied by that close.
    return slot_->set_callback(std::move(callback), "queue poll callback is already registered",
                               [this] { return is_closed() ? Status(consumer_closed()) : Status(); });
}

Status DatasetQueueConsumer::close() {
    if (group_closed_->exchange(true, std::memory_order_acq_rel)) return {};
    // Every step runs even when an earlier one failed, so that the closed incarnation
    // leaves the map and the name can be opened again; the first error is returned.
    Status first;
    auto keep_first = [&first](Status st) {
        if (first.ok() && !st.ok()) first = std::move(st);
    };
    {
        auto g = state_->mu.lock();
        if (!g.ok()) {
            keep_first(g.error());
        } else {
            state_->state.reset_running();
            keep_first(state_->state.persist());
        }
    }
    std::vector<PollCallback> dropped;  // destroyed after the inner mutex is released
    {
        auto g = inner_->mu_.lock();
        if (!g.ok()) {
            keep_first(g.error());
        } else if (auto it = inner_->groups_.find(group_name_);
                   it != inner_->groups_.end() && it->second.closed == group_closed_) {
            keep_first(take_callbacks(it->second.slots, dropped));
            inner_->groups_.erase(it);
            inner_->configs_.erase(group_name_);
        }
    }
    keep_first(notify_->notify());
    return first;
}

}  // namespace brenvale
