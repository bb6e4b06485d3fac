// The store's journal: one handle, shared by the store, the background flush and every
// journalled dataset (as its JournalHook). Enabled (a writable store with enable_journal),
// read-only (a read-only store with enable_journal) or disabled. It encodes dataset events
// into journal records, appends them to the journal log, wakes the journal queue, answers
// reads by sequence, hands out the store's one journal queue and flushes the log and the
// queue's consumer states.
//
// Lock order of an append: the journal log mutex is taken and released; then the journal
// queue mutex, and inside it the notify mutex, the callback mutex and the callback slot
// mutexes. A hook call arrives under the dataset mutex. Wake callbacks never run under any
// of these: Journal::append runs them before it returns; a hook call collects them for the
// dataset, which runs them once its mutex is released (collect_wakes).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "dataset/runtime.h"
#include "error.h"
#include "journal/log.h"
#include "journal/queue.h"
#include "journal/record.h"
#include "queue/notify.h"
#include "types.h"

namespace brenvale {

class Journal;

// The room held in the journal log for one dataset event (a create or a drop), from before
// the dataset changes until the event is recorded in it; given back when dropped unused.
// Empty (holding nothing) for a disabled journal.
class DatasetEventRoom {
public:
    DatasetEventRoom() = default;
    DatasetEventRoom(DatasetEventRoom&& o) noexcept
        : journal_(std::exchange(o.journal_, nullptr)), payload_size_(o.payload_size_) {}
    DatasetEventRoom& operator=(DatasetEventRoom&& o) noexcept;
    DatasetEventRoom(const DatasetEventRoom&) = delete;
    DatasetEventRoom& operator=(const DatasetEventRoom&) = delete;
    ~DatasetEventRoom() { give_back(); }

private:
    friend class Journal;
    void give_back();
    Journal* journal_ = nullptr;  // the journal whose log holds the room
    uint64_t payload_size_ = 0;
};

class Journal final : public JournalHook {
public:
    enum class Mode : uint8_t { Enabled, ReadOnly, Disabled };

    // A writable store's journal: enabled under <root>/.journal (the log opened, created
    // when missing) when config.enable_journal, else disabled. The journal keeps store_lock
    // (a writable store's directory lock) while it lives, its queue until it closes.
    // block_cache: the store's, where reads keep decoded journal blocks.
    static Result<std::shared_ptr<Journal>> open(const std::string& root, const StoreConfig& config,
                                                 std::shared_ptr<const StoreLock> store_lock = nullptr,
                                                 std::shared_ptr<BlockCache> block_cache = nullptr);
    // A read-only store's journal: read-only (with no log when the store has no journal
    // directories) when config.enable_journal, else disabled. Creates nothing.
    static Result<std::shared_ptr<Journal>> open_read_only(const std::string& root, const StoreConfig& config,
                                                           std::shared_ptr<BlockCache> block_cache = nullptr);
    static std::shared_ptr<Journal> disabled();

    Mode mode() const { return mode_; }

    // The last sequence appended; nothing for an empty journal. Not found when disabled.
    Result<std::optional<uint64_t>> last_sequence();
    Result<std::optional<JournalEntry>> read(int64_t sequence);
    // The records of start..end, inclusive.
    Result<std::vector<JournalEntry>> query(int64_t start, int64_t end);

    // Encodes and appends one record, wakes the journal queue and runs its callbacks
    // (after releasing every journal lock); the sequence. Disabled: nothing happens.
    Result<std::optional<uint64_t>> append(const JournalRecord& record);
    // Before a dataset is created or dropped: the room of its event (metadata_length
    // bytes of metadata), or the error that refuses the change (an event that cannot be
    // encoded, a journal without room for it). Disabled: an empty room.
    Result<DatasetEventRoom> reserve_dataset_event(uint64_t identifier, const DataSetKey& key,
                                                   size_t metadata_length);
    // The dataset events that the store records outside any dataset mutex, in the room
    // held for them when one is given; metadata is the tag/length/value area of the
    // dataset's meta file.
    Result<std::optional<uint64_t>> record_create_dataset(uint64_t identifier, const DataSetKey& key,
                                                          std::vector<uint8_t> metadata,
                                                          DatasetEventRoom room = {});
    Result<std::optional<uint64_t>> record_drop_dataset(uint64_t identifier, const DataSetKey& key,
                                                        std::vector<uint8_t> metadata, DatasetEventRoom room = {});

    // Flushes the log, then persists every open consumer group of the queue.
    Status flush();
    // The store's journal queue, made on first use and made anew after its close.
    Result<JournalQueue> open_queue();
    // Closes the journal queue when one was made (the store's close).
    Status close_queue();

    // ---- JournalHook (called under the dataset mutex) ----
    // Under the log mutex: JournalLog::reserve / release. Disabled: nothing is held;
    // read-only: refused as an append is.
    Status reserve_record() override;
    void cancel_record() override;
    // Each takes one held reservation (when there is one) and appends.
    Status record_write(uint64_t identifier, const IndexEntry& entry) override;
    Status record_delete(uint64_t identifier, const IndexEntry& entry) override;
    Status record_append(uint64_t identifier, const IndexEntry& entry, uint32_t before, uint32_t appended) override;
    // The callbacks the hook calls of this thread collected.
    void collect_wakes(std::vector<PollCallback>& into) override;

private:
    friend class DatasetEventRoom;
    struct Token {};

public:
    Journal(Token, Mode mode, std::string queue_dir, std::shared_ptr<LockedJournalLog> log,
            std::shared_ptr<const StoreLock> store_lock = nullptr)
        : store_lock_(std::move(store_lock)), mode_(mode), queue_dir_(std::move(queue_dir)), log_(std::move(log)) {}

private:
    // Appends (taking a held reservation made for a payload of `reserved` bytes, when
    // given) and notifies; the wake callbacks go to `wakes`.
    Result<std::optional<uint64_t>> append_collecting(const JournalRecord& record, std::vector<PollCallback>& wakes,
                                                      std::optional<uint64_t> reserved = std::nullopt);
    // Appends a dataset event in its room (none: without a reservation).
    Result<std::optional<uint64_t>> append_in(const JournalRecord& record, DatasetEventRoom& room);
    Status hook_append(const JournalRecord& record);
    Result<QueueMutex::Guard> lock_log();
    // Read-only, under the log mutex: takes in what a writer in another process added (a
    // journal created since the store opened included).
    Status follow_writer();

    // Declared first: released after the log is closed.
    const std::shared_ptr<const StoreLock> store_lock_;
    const Mode mode_;
    const std::string queue_dir_;
    const std::shared_ptr<LockedJournalLog> log_;  // null when disabled
    // Read-only: where the log is and how it is read, to open it once a writer made it.
    std::string logs_dir_;
    JournalLogOptions log_options_;
    QueueMutex queue_mu_{"journal queue mutex"};
    std::shared_ptr<JournalQueueShared> queue_;  // guarded by queue_mu_
};

}  // namespace brenvale
