#include "journal/journal.h"

#include "paths.h"

namespace brenvale {

namespace {

// Wake callbacks that hook calls on this thread collected, until the dataset takes them.
thread_local std::vector<PollCallback> t_hook_wakes;

Error disabled_error() { return Error::not_found("journal is disabled"); }
Error read_only_append_error() { return Error::invalid_data("read-only journal cannot append records"); }

JournalIndexInfo index_info(const IndexEntry& e) { return JournalIndexInfo{e.timestamp, e.block_offset, e.in_block}; }

}  // namespace

// ---- opening ----

Result<std::shared_ptr<Journal>> Journal::open(const std::string& root, const StoreConfig& config,
                                               std::shared_ptr<const StoreLock> store_lock,
                                               std::shared_ptr<BlockCache> block_cache) {
    if (!config.enable_journal) return disabled();
    auto log = std::make_shared<LockedJournalLog>();
    JournalLogOptions options = JournalLogOptions::from(config);
    options.block_cache = std::move(block_cache);
    log->log = BRVL_TRY(JournalLog::open(paths::journal_logs_dir(root), options));
    return std::make_shared<Journal>(Token{}, Mode::Enabled, paths::journal_queue_dir(root), std::move(log),
                                     std::move(store_lock));
}

Result<std::shared_ptr<Journal>> Journal::open_read_only(const std::string& root, const StoreConfig& config,
                                                         std::shared_ptr<BlockCache> block_cache) {
    if (!config.enable_journal) return disabled();
    auto log = std::make_shared<LockedJournalLog>();
    std::string logs_dir = paths::journal_logs_dir(root);
    JournalLogOptions options = JournalLogOptions::from(config);
    options.block_cache = std::move(block_cache);
    log->log = BRVL_TRY(JournalLog::open_read_only(logs_dir, options));
    auto journal = std::make_shared<Journal>(Token{}, Mode::ReadOnly, paths::journal_queue_dir(root), std::move(log));
    journal->logs_dir_ = std::move(logs_dir);
    journal->log_options_ = options;
    return journal;
}

std::shared_ptr<Journal> Journal::disabled() {
    return std::make_shared<Journal>(Token{}, Mode::Disabled, std::string(), nullptr);
}

Result<QueueMutex::Guard> Journal::lock_log() { return log_->mu.lock(); }

Status Journal::follow_writer() {
    if (mode_ != Mode::ReadOnly) return ok_status();
    if (log_->log) return log_->log->follow_writer();
    log_->log = BRVL_TRY(JournalLog::open_read_only(logs_dir_, log_options_));
    return ok_status();
}

// ---- reading ----

Result<std::optional<uint64_t>> Journal::last_sequence() {
    using Out = std::optional<uint64_t>;
    if (mode_ == Mode::Disabled) return disabled_error();
    auto g = BRVL_TRY(lock_log());
    BRVL_TRY(follow_writer());
    if (!log_->log || log_->log->next_sequence() <= 1) return Out();
    return Out(log_->log->next_sequence() - 1);
}

Result<std::optional<JournalEntry>> Journal::read(int64_t sequence) {
    if (mode_ == Mode::Disabled) return disabled_error();
    auto g = BRVL_TRY(lock_log());
    if (!log_->log) BRVL_TRY(follow_writer());
    if (!log_->log) return std::optional<JournalEntry>();
    return log_->log->read(sequence);
}

Result<std::vector<JournalEntry>> Journal::query(int64_t start, int64_t end) {
    if (mode_ == Mode::Disabled) return disabled_error();
    auto g = BRVL_TRY(lock_log());
    if (!log_->log) BRVL_TRY(follow_writer());
    if (!log_->log) return std::vector<JournalEntry>();
    return log_->log->read_range(start, end);
}

// ---- appending ----

Result<std::optional<uint64_t>> Journal::append_collecting(const JournalRecord& record,
                                                           std::vector<PollCallback>& wakes,
                                                           std::optional<uint64_t> reserved) {
    using Out = std::optional<uint64_t>;
    if (mode_ == Mode::Disabled) return Out();
    if (mode_ == Mode::ReadOnly) return read_only_append_error();
    auto payload = record.encode();
    if (!payload.ok() && !reserved) return std::move(payload).error();
    uint64_t sequence;
    {
        auto g = BRVL_TRY(lock_log());
        if (!payload.ok()) {  // a record that cannot be encoded takes its reservation all the same
            log_->log->release(*reserved);
            return std::move(payload).error();
        }
        sequence = BRVL_TRY(log_->log->append(*payload, reserved.has_value(), reserved.value_or(0)));
    }
    // The record is stored; a broken queue mutex is still reported.
    auto q = BRVL_TRY(queue_mu_.lock());
    if (queue_) {
        std::vector<PollCallback> collected = JournalQueue(queue_).notify_and_collect();
        wakes.insert(wakes.end(), std::make_move_iterator(collected.begin()), std::make_move_iterator(collected.end()));
    }
    return Out(sequence);
}

Result<std::optional<uint64_t>> Journal::append(const JournalRecord& record) {
    std::vector<PollCallback> wakes;
    auto sequence = append_collecting(record, wakes);
    QueueNotify::run_callbacks(wakes);
    return sequence;
}

// ---- dataset events ----

DatasetEventRoom& DatasetEventRoom::operator=(DatasetEventRoom&& o) noexcept {
    if (this != &o) {
        give_back();
        journal_ = std::exchange(o.journal_, nullptr);
        payload_size_ = o.payload_size_;
    }
    return *this;
}

void DatasetEventRoom::give_back() {
    Journal* journal = std::exchange(journal_, nullptr);
    if (journal == nullptr) return;
    // A poisoned log mutex refuses every later append anyway: the count may stay.
    if (auto g = journal->lock_log(); g.ok()) journal->log_->log->release(payload_size_);
}

Result<DatasetEventRoom> Journal::reserve_dataset_event(uint64_t identifier, const DataSetKey& key,
                                                        size_t metadata_length) {
    DatasetEventRoom room;
    if (mode_ == Mode::Disabled) return room;
    if (mode_ == Mode::ReadOnly) return read_only_append_error();
    BRVL_TRY(validate_dataset_event(identifier, key, metadata_length));
    const uint64_t size = dataset_event_size(identifier, key, metadata_length);
    {
        auto g = BRVL_TRY(lock_log());
        BRVL_TRY(log_->log->reserve(size));
    }
    room.journal_ = this;
    room.payload_size_ = size;
    return room;
}

Result<std::optional<uint64_t>> Journal::append_in(const JournalRecord& record, DatasetEventRoom& room) {
    std::optional<uint64_t> reserved;
    if (std::exchange(room.journal_, nullptr) != nullptr) reserved = room.payload_size_;
    std::vector<PollCallback> wakes;
    auto sequence = append_collecting(record, wakes, reserved);
    QueueNotify::run_callbacks(wakes);
    return sequence;
}

Result<std::optional<uint64_t>> Journal::record_create_dataset(uint64_t identifier, const DataSetKey& key,
                                                               std::vector<uint8_t> metadata, DatasetEventRoom room) {
    if (mode_ == Mode::Disabled) return std::optional<uint64_t>();
    return append_in(JournalRecord::create_dataset(identifier, key.name, key.dataset_type, std::move(metadata)), room);
}

Result<std::optional<uint64_t>> Journal::record_drop_dataset(uint64_t identifier, const DataSetKey& key,
                                                             std::vector<uint8_t> metadata, DatasetEventRoom room) {
    if (mode_ == Mode::Disabled) return std::optional<uint64_t>();
    return append_in(JournalRecord::drop_dataset(identifier, key.name, key.dataset_type, std::move(metadata)), room);
}

Status Journal::reserve_record() {
    if (mode_ == Mode::Disabled) return ok_status();
    if (mode_ == Mode::ReadOnly) return read_only_append_error();
    auto g = BRVL_TRY(lock_log());
    return log_->log->reserve();
}

void Journal::cancel_record() {
    if (mode_ != Mode::Enabled) return;
    // A poisoned log mutex refuses every later append anyway: the count may stay.
    if (auto g = lock_log(); g.ok()) log_->log->release();
}

Status Journal::hook_append(const JournalRecord& record) {
    auto sequence = append_collecting(record, t_hook_wakes, kJournalMaxRecordEventSize);
    if (!sequence.ok()) return std::move(sequence).error();
    return {};
}

Status Journal::record_write(uint64_t identifier, const IndexEntry& entry) {
    return hook_append(JournalRecord::record_write(identifier, index_info(entry)));
}

Status Journal::record_delete(uint64_t identifier, const IndexEntry& entry) {
    return hook_append(JournalRecord::record_delete(identifier, index_info(entry)));
}

Status Journal::record_append(uint64_t identifier, const IndexEntry& entry, uint32_t before, uint32_t appended) {
    return hook_append(JournalRecord::record_append(identifier, index_info(entry), before, appended));
}

void Journal::collect_wakes(std::vector<PollCallback>& into) {
    if (t_hook_wakes.empty()) return;
    into.insert(into.end(), std::make_move_iterator(t_hook_wakes.begin()), std::make_move_iterator(t_hook_wakes.end()));
    t_hook_wakes.clear();
}

// ---- flushing and the queue ----

Status Journal::flush() {
    if (mode_ != Mode::Enabled) return {};
    {
        auto g = BRVL_TRY(lock_log());
        BRVL_TRY(log_->log->flush());
    }
    auto q = BRVL_TRY(queue_mu_.lock());
    return queue_ ? JournalQueue(queue_).flush() : Status();
}

Result<JournalQueue> Journal::open_queue() {
    if (mode_ == Mode::Disabled) return disabled_error();
    if (mode_ == Mode::ReadOnly) return Error::invalid_data("journal queue is not available in read-only store");
    auto q = BRVL_TRY(queue_mu_.lock());
    // After a close the next open makes a new queue; handles of the old one stay closed.
    if (!queue_ || queue_->closed.load(std::memory_order_acquire))
        queue_ = std::make_shared<JournalQueueShared>(queue_dir_, log_, store_lock_);
    return JournalQueue(queue_);
}

Status Journal::close_queue() {
    auto q = BRVL_TRY(queue_mu_.lock());
    if (!queue_) return ok_status();
    JournalQueue queue(queue_);
    q.unlock();
    return queue.close();
}

}  // namespace brenvale
