// One open dataset: the directory of one DataSetKey with its meta and state files, data
// segments and index segments. `Dataset` is a shared handle to one mutex and the state
// it guards (DatasetInner, dataset/inner.h); every operation holds the mutex for its whole
// run. The operations live by concern: lifecycle in dataset.cpp, writes in write.cpp,
// reads in read.cpp, retention in retention.cpp, the query iterator in iterator.cpp and
// the attached queue in queue.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "dataset/runtime.h"
#include "dirty_list.h"
#include "error.h"
#include "format/index_entry.h"
#include "types.h"
#include "util.h"

namespace brenvale {

inline constexpr uint64_t kMaxExistBitmapBytes = 4194304;

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

class QueryIterator;
class QueueInner;
class DatasetQueue;
struct DatasetInner;

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
    // The newest record's timestamp; a read-only dataset follows a writer in another process.
    std::optional<int64_t> latest_timestamp() const;
    std::string data_dir() const;
    MonoInstant last_activity() const;
    // Whether the dataset was closed (false when the mutex is poisoned).
    bool is_closed() const;
    // The configured retention window (0: no retention), or "dataset mutex poisoned": the
    // background retention picks its candidates with it, without a full inspect.
    Result<uint64_t> retention_window() const;

    Result<std::string> queue_dir() const;
    Status mark_queue_state_dirty(const std::string& group);

    // Attaches a new queue (one at a time; writable datasets only).
    Result<DatasetQueue> open_queue();
    // Detaches and closes the attached queue; with `only`, only when that is the queue
    // attached (a stale handle never closes a newer queue).
    Status close_queue(const QueueInner* only = nullptr);

    Status flush();
    Status flush_dirty(const std::vector<DirtyTarget>& targets);
    // Flushes, then closes every file the dataset holds open (data and index segments, the
    // state file); they open again on next use.
    Status release_files();
    // For a store out of descriptors, never waiting for the mutex: the last activity of a
    // dataset that holds open files; nothing when the dataset holds none, is closed or
    // poisoned, or another operation holds its mutex (on this thread too).
    std::optional<MonoInstant> files_held_since() const;
    // When the mutex is free at once, flushes and closes the files as release_files does,
    // but leaves the dirty entries on the list and takes no lock beside the dataset mutex:
    // false (nothing done) when the mutex is held, or the dataset is closed or poisoned.
    Result<bool> try_release_files();
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

    // The guard over the inner state; the guard of an operation that changes the dataset
    // marks the mutex poisoned when released while an exception thrown during the
    // operation unwinds through it. Exceptions already in flight when the guard was made
    // (a dataset call from a destructor during unwinding) do not count. A read's guard
    // never poisons: a read leaves the dataset as it was at every point an exception can
    // leave it (doc/locking.md).
    class Guard {
    public:
        Guard(Shared* s, bool poisons);
        // Takes the mutex only when it is free; see owns().
        Guard(Shared* s, bool poisons, std::try_to_lock_t);
        Guard(Guard&&) noexcept = default;
        Guard& operator=(Guard&&) noexcept = default;
        ~Guard();
        DatasetInner* operator->() const;
        DatasetInner& operator*() const;
        bool owns() const { return lock_.owns_lock(); }

    private:
        Shared* s_;
        std::unique_lock<std::mutex> lock_;
        int exceptions_at_start_;
        bool poisons_;
    };

    explicit Dataset(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    template <typename Item, typename ReadFn>
    Result<std::vector<Item>> collect_range(int64_t start, int64_t end, ReadFn read);
    static Result<Dataset> open_impl(const DataSetKey& key, const std::string& data_dir, bool read_only);
    // The lock, or "dataset mutex poisoned".
    Result<Guard> lock(bool poisons = true) const;
    // The lock and the closed check.
    Result<Guard> lock_open(bool poisons = true) const;
    // The same for a read, whose guard does not poison the mutex.
    Result<Guard> lock_read() const { return lock_open(/*poisons=*/false); }
    // The lock and the checks of lock_open without waiting: nothing when the mutex is held
    // (by this thread too), poisoned, or the dataset closed.
    std::optional<Guard> try_lock_open(bool poisons) const;
    // fn(inner) under the lock with the checks of lock_open, for reads (dataset/inner.h).
    template <typename Fn>
    auto with_read_lock(Fn&& fn) const -> decltype(fn(std::declval<DatasetInner&>()));

    std::shared_ptr<Shared> shared_;
};

}  // namespace brenvale

// Dataset::query returns an iterator by value.
#include "dataset/iterator.h"
