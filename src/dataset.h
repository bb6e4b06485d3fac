// One open dataset: the directory of one DataSetKey with its meta and state files, data
// segments and index segments. `Dataset` is a shared handle to one mutex and the state it
// guards; every operation holds the mutex for its whole run.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cache.h"
#include "config.h"
#include "dataset_state.h"
#include "dirty_list.h"
#include "error.h"
#include "index/index.h"
#include "format/meta.h"
#include "queue/notify.h"
#include "segment/set.h"
#include "types.h"
#include "util.h"

namespace brenvale {

inline constexpr uint64_t kMaxExistBitmapBytes = 4194304;

// Receives every record write, delete and append of a journalled dataset.
class JournalHook {
public:
    virtual ~JournalHook() = default;
    virtual Status record_write(uint64_t identifier, const IndexEntry& entry) = 0;
    virtual Status record_delete(uint64_t identifier, const IndexEntry& entry) = 0;
    // before: the record's data length before the append (0 when the append created it).
    virtual Status record_append(uint64_t identifier, const IndexEntry& entry, uint32_t before,
                                 uint32_t appended) = 0;
    // Moves the wake callbacks that the calls above collected on this thread into `into`;
    // the dataset runs them once its mutex is released.
    virtual void collect_wakes(std::vector<PollCallback>& into) { (void)into; }
};

// Told after a dataset has closed; the store removes it from its registry.
class DatasetCloseHook {
public:
    virtual ~DatasetCloseHook() = default;
    virtual void dataset_closed(const DataSetKey& key) = 0;
};

// What the store hands a dataset.
struct DatasetRuntime {
    std::shared_ptr<BlockCache> block_cache;
    std::shared_ptr<JournalHook> journal_hook;
    DirtyListPtr dirty_list;
    std::shared_ptr<DatasetCloseHook> close_hook;
    bool read_only = false;
};

struct DataSetInfo {
    std::string name;
    std::string dataset_type;
    std::string base_dir;
    uint64_t identifier = 0;
    uint64_t data_segment_size = 0;
    uint64_t index_segment_size = 0;
    uint64_t initial_data_segment_size = 0;
    uint64_t initial_index_segment_size = 0;
    uint8_t compress_type = 0;
    uint8_t compress_level = 0;
    bool index_continuous = false;
    uint64_t retention_window = 0;
    uint64_t timestamp_units_per_seconds = 0;
    bool enable_journal = false;
    uint64_t create_time = 0;
};

struct DataSetState {
    std::optional<int64_t> latest_written_timestamp;
    std::optional<int64_t> retention_floor;
    std::optional<int64_t> min_timestamp;
    std::optional<int64_t> max_timestamp;
    std::optional<int64_t> base_timestamp;
    uint64_t total_record_count = 0;
    uint64_t total_data_size = 0;
    uint64_t total_uncompressed_size = 0;
    uint64_t total_invalid_record_count = 0;
    uint32_t open_data_segments = 0;
    uint32_t data_segments = 0;
    uint32_t open_index_segments = 0;
    uint32_t index_segments = 0;
    uint32_t pending_index_entries = 0;
    uint32_t queue_consumer_groups = 0;
    bool read_only = false;
    bool has_block_cache = false;
    bool has_journal = false;
    bool has_queue = false;
};

struct DataSetInspectResult {
    DataSetInfo info;
    DataSetState state;
};

// The current wall-clock time in dataset units (plain Unix seconds for 0 units).
Result<int64_t> now_in_units(uint64_t timestamp_units_per_seconds);

struct RecordLength {
    int64_t timestamp = 0;
    uint32_t length = 0;
    bool operator==(const RecordLength&) const = default;
};

class QueryIterator;
class QueueInner;
class DatasetQueue;

// The block a range list or an iterator read last. With a usable shared cache it refers to
// the cached block without keeping it alive; without one, a one-block cache of its own
// keeps the block, so that its records are not decompressed again one by one (a copied
// iterator shares it).
struct LocalHotBlock {
    HotBlockSlot slot;
    std::shared_ptr<BlockCache> own;

    void clear() {
        slot.clear();
        own.reset();
    }
};

// The state behind a dataset's mutex.
struct DatasetInner {
    DatasetInner(DataSetKey k, std::string dir, DatasetMetaFile cfg, Index idx, SegmentSet segs,
                 DatasetStateFile st)
        : key(std::move(k)),
          data_dir(std::move(dir)),
          config(cfg),
          index(std::move(idx)),
          segments(std::move(segs)),
          state(std::move(st)) {}

    DataSetKey key;
    std::string data_dir;
    DatasetMetaFile config;
    Index index;
    SegmentSet segments;
    DatasetStateFile state;
    std::optional<int64_t> latest_written_timestamp;
    MonoInstant last_activity;
    DatasetRuntime runtime;
    uint64_t identifier = 0;
    bool closed = false;

    // The attached queue (none, or both): its groups and its wake side.
    std::shared_ptr<QueueInner> queue;
    std::shared_ptr<QueueNotify> queue_notify;
    // Poll callbacks collected by a write, run on the writer's thread once the dataset
    // mutex is released.
    std::vector<PollCallback> wakes;

    // Takes the queue out of the dataset and closes it; its pollers are woken.
    Status detach_queue();
    // Persists one consumer group's state; without a queue, nothing.
    Status flush_queue_group(const std::string& group);
    // Persists every consumer group; a failure is logged, not returned.
    void flush_queue_all();
    // The number of open consumer groups (0 without a queue).
    uint32_t queue_group_count();
    // A new latest record: notify the pollers and collect the callbacks into wakes.
    void wake_queue();
};

class Dataset {
public:
    static Result<Dataset> create(const DataSetKey& key, const std::string& data_dir, const DatasetConfig& config);
    static Result<Dataset> open(const DataSetKey& key, const std::string& data_dir);
    static Result<Dataset> open_read_only(const DataSetKey& key, const std::string& data_dir);

    const DataSetKey& key() const;
    bool same_as(const Dataset& other) const { return shared_ == other.shared_; }

    Status set_identifier(uint64_t identifier);
    Status attach_runtime(DatasetRuntime runtime);

    // Getters that cannot fail: fallbacks when the mutex is poisoned.
    uint64_t identifier() const;
    bool enable_journal() const;
    std::optional<int64_t> latest_timestamp() const;
    std::string data_dir() const;
    MonoInstant last_activity() const;

    Result<std::string> queue_dir() const;
    Status mark_queue_state_dirty(const std::string& group);

    // Attaches a new queue (one at a time; writable datasets only).
    Result<DatasetQueue> open_queue();
    // Detaches and closes the attached queue; with `only`, only when that is the queue
    // attached (a stale handle never closes a newer queue).
    Status close_queue(const QueueInner* only = nullptr);

    Status flush();
    Status flush_dirty(const std::vector<DirtyTarget>& targets);
    Status release_files();
    Result<DataSetInspectResult> inspect();
    Status close();

    // Writes.
    Status write(int64_t timestamp, std::span<const uint8_t> data);
    Status append(int64_t timestamp, std::span<const uint8_t> data);
    Status write_now(std::span<const uint8_t> data);
    Status append_now(std::span<const uint8_t> data);
    Result<int64_t> write_next(std::span<const uint8_t> data);
    Status delete_record(int64_t timestamp);

    // Reads.
    Result<std::optional<Record>> read(int64_t timestamp);
    Result<std::optional<Record>> read_latest();
    Result<bool> read_exist(int64_t timestamp);
    Result<std::optional<uint32_t>> read_length(int64_t timestamp);
    Result<QueryIterator> query(int64_t start, int64_t end);
    Result<std::vector<Record>> query_all(int64_t start, int64_t end);
    Result<std::vector<RecordLength>> query_length_all(int64_t start, int64_t end);
    Result<std::vector<uint8_t>> query_exist(int64_t start, int64_t end);
    Result<std::vector<IndexEntry>> index_entries(int64_t start, int64_t end);
    Result<Record> read_entry(const IndexEntry& entry);
    // The first live record at or after start (and not below the retention threshold)
    // whose timestamp is not in skip (ascending): one index search, then one step per
    // deleted or skipped entry.
    Result<std::optional<Record>> read_first_live(int64_t start, std::span<const int64_t> skip);

    // Retention: removes the segment files whose contents lie wholly below the threshold.
    Result<uint64_t> reclaim_expired();

private:
    friend class QueryIterator;
    struct Shared;

    // The guard over the inner state; marks the mutex poisoned when released while an
    // exception thrown during the operation unwinds through it. Exceptions already in
    // flight when the guard was made (a dataset call from a destructor during unwinding)
    // do not count.
    class Guard {
    public:
        explicit Guard(Shared* s);
        Guard(Guard&&) noexcept = default;
        Guard& operator=(Guard&&) noexcept = default;
        ~Guard();
        DatasetInner* operator->() const;
        DatasetInner& operator*() const;

    private:
        Shared* s_;
        std::unique_lock<std::mutex> lock_;
        int exceptions_at_start_;
    };

    explicit Dataset(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    static Result<Dataset> open_impl(const DataSetKey& key, const std::string& data_dir, bool read_only);
    // The lock, or "dataset mutex poisoned".
    Result<Guard> lock() const;
    // The lock and the closed check.
    Result<Guard> lock_open() const;

    std::shared_ptr<Shared> shared_;
};

// Lazy walk over a closed timestamp range, forward or backward, with skips. Items are
// records or lengths; the dataset lock is taken per step, never between calls.
class QueryIterator {
public:
    Result<std::optional<Record>> next();
    Result<std::optional<RecordLength>> next_length();
    QueryIterator& skip(uint64_t count);
    QueryIterator& reverse();
    Result<std::vector<Record>> collect_all();
    Result<std::vector<Record>> collect_take(uint64_t count);
    Result<std::vector<RecordLength>> collect_all_lengths();
    Result<std::vector<RecordLength>> collect_take_lengths(uint64_t count);
    bool is_reversed() const { return reverse_; }

private:
    friend class Dataset;
    explicit QueryIterator(Dataset dataset) : dataset_(std::move(dataset)) {}
    template <typename Item, typename ReadFn>
    Result<std::optional<Item>> step(ReadFn read);

    Dataset dataset_;
    int64_t lo_ = 0;
    int64_t hi_ = 0;
    uint64_t front_skip_ = 0;
    uint64_t back_skip_ = 0;
    bool reverse_ = false;
    bool exhausted_ = false;
    std::optional<IndexCursor> cursor_;
    LocalHotBlock hot_;
};

}  // namespace brenvale
