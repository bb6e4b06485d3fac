// The state behind a dataset's mutex, and the helpers the dataset's operations share.
#pragma once

#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cache.h"
#include "dataset/dataset.h"
#include "dataset/state_file.h"
#include "format/meta.h"
#include "index/index.h"
#include "queue/notify.h"
#include "segment/set.h"
#include "util.h"

namespace brenvale {

// The state behind a dataset's mutex (Dataset::Shared::mu). Every field is read and
// written only with that mutex held; the notes say what else holds for each.
struct DatasetInner {
    DatasetInner(DataSetKey k, std::string dir, DatasetMetaFile cfg, Index idx, SegmentSet segs,
                 DatasetStateFile st)
        : key(std::move(k)),
          data_dir(std::move(dir)),
          config(cfg),
          index(std::move(idx)),
          segments(std::move(segs)),
          state(std::move(st)) {}

    // ---- constant after open ----
    DataSetKey key;
    std::string data_dir;     // <root>/<name>/<dataset_type>
    DatasetMetaFile config;   // the meta file's settings

    // ---- set once by the store after open (set_identifier, attach_runtime) ----
    uint64_t identifier = 0;  // 0 until the store gives one: no block cache is used before
    DatasetRuntime runtime;   // cache, journal hook, dirty list, close hook, read-only flag

    // ---- the files; each is used only under the mutex ----
    Index index;              // maps timestamps to records
    SegmentSet segments;      // the data segment files
    DatasetStateFile state;   // totals of finished segments, index range, retention floor

    // ---- changed by writes and reads ----
    std::optional<int64_t> latest_written_timestamp;  // none while the dataset is empty
    MonoInstant last_activity;                        // read by the idle release
    // A count after a change that took effect failed: its count-due record is still set,
    // and is settled before the next change of the index.
    bool counts_left = false;
    bool closed = false;                              // set once by close, never cleared

    // ---- the attached queue (none, or both): its groups and its wake side ----
    // Inside the dataset mutex the queue's own mutexes are taken (doc/locking.md); nothing
    // there calls back into the dataset.
    std::shared_ptr<QueueInner> queue;
    std::shared_ptr<QueueNotify> queue_notify;
    // Poll callbacks collected by a write, run on the writer's thread once the dataset
    // mutex is released (by the guard).
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

// The records' own timestamps, read through the segment set and the cache, for the index:
// of two contradicting neighbours in a damaged index file, they tell which one is wrong.
// Used only under the dataset mutex, within an index operation.
class DatasetRecordCheck final : public RecordCheck {
public:
    explicit DatasetRecordCheck(DatasetInner& in) : in_(in) {}
    std::optional<int64_t> record_timestamp(const IndexEntry& e) override;

private:
    DatasetInner& in_;
};

struct Dataset::Shared {
    Shared(DataSetKey k, DatasetInner in) : key(std::move(k)), inner(std::move(in)) {
        inner.index.set_record_check(&record_check);
    }

    const DataSetKey key;
    std::mutex mu;
    std::atomic<bool> poisoned{false};
    // The thread holding mu, so that a re-entrant call fails instead of deadlocking.
    std::atomic<std::thread::id> owner{};
    DatasetInner inner;
    DatasetRecordCheck record_check{inner};
};

// The dataset state file as the sink of finished data segments and of the index range.
class StateSinks final : public SegmentStatsSink, public IndexRangeSink {
public:
    explicit StateSinks(DatasetStateFile& state) : state_(state) {}
    uint64_t stats_watermark() const override { return state_.stats_watermark(); }
    Status add_segment_stats(uint64_t watermark, const std::vector<SegmentStats>& stats) override;
    Status update_range(std::optional<std::pair<int64_t, int64_t>> range) override {
        return state_.update_range(range);
    }

private:
    DatasetStateFile& state_;
};

namespace dataset_detail {

// "dataset {}/{} is closed".
Error closed_error(const DataSetKey& key);

// ---- retention (retention.cpp) ----
// The retention threshold: nothing when there is none.
Result<std::optional<int64_t>> retention_threshold(const DatasetInner& in);
// Refuses a timestamp below the threshold (writes).
Status check_retention(const DatasetInner& in, int64_t ts);
// Whether ts is below the threshold (reads: nothing, no error).
Result<bool> is_expired(const DatasetInner& in, int64_t ts);
// start raised to the threshold.
Result<int64_t> raise_to_threshold(const DatasetInner& in, int64_t start);

// ---- shared by the operations (dataset.cpp) ----
// The cache this dataset may use: only with an identifier.
BlockCache* cache_of(const DatasetInner& in);
uint64_t segment_base_of(const DatasetInner& in, uint64_t block_offset);
// A finished data segment's counts as the state file folds them into its totals.
inline DatasetStateFile::Totals totals_of(const SegmentStats& s) {
    return {s.record_count, s.written_length, s.raw_record_bytes, s.invalid_record_count};
}
BlockKey block_key_of(const DatasetInner& in, uint64_t block_offset);
// Activity stamps are read in seconds by the idle release: the coarse clock suffices.
inline void stamp(DatasetInner& in) { in.last_activity = coarse_now(); }
// Flushes exactly the named targets, putting back what failed.
Status inner_flush_dirty(DatasetInner& in, const std::vector<DirtyTarget>& named);
// Flushes the dataset's own dirty entries (or everything, without a dirty list).
Status inner_flush(DatasetInner& in);

// ---- counts (counts.cpp) ----
// The invalid count of the data segment that holds a block offset (nothing: no such segment).
std::optional<uint64_t> segment_invalid_count(const DatasetInner& in, uint64_t block_offset);
// Before a new latest record ts is stored (its index segment prepared): the newest index
// segment notes where it goes.
Status note_append(DatasetInner& in, int64_t ts);
// Before a change that replaces `old` (a write when `writes`) stores anything: opens what
// the count of `old` needs and keeps the change in the newest index segment. On failure
// nothing is kept.
Status begin_counted_change(DatasetInner& in, const IndexEntry& old, bool writes);
// After the index change: counts the record that lost its entry (its block leaves the
// cache) and ends the change in flight. A failure is logged and left to the count-due
// record: the change is made.
void count_invalid(DatasetInner& in, const IndexEntry& old, BlockCache* cache);
// A record stored whose index change failed: it counts as invalid, and the change ends.
void uncount_stored(DatasetInner& in, const IndexEntry& stored);
// Ends a change that has nothing to count (it stored nothing and changed no entry, or a new
// latest record got its entry): its count-due record is cleared.
void finish_change(DatasetInner& in);
// Finishes what count-due records still need and clears them (writable).
Status settle_counts_due(DatasetInner& in);
// The invalid records the counters do not hold yet, from what the files hold now.
Result<uint64_t> uncounted_invalid(DatasetInner& in);

// ---- reads (read.cpp) ----
Result<Record> read_entry_at(DatasetInner& in, const IndexEntry& e);
Status read_entry_hot(DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot, Record& out);
Result<uint32_t> read_length_hot(DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot);
Result<std::optional<Record>> inner_read(DatasetInner& in, int64_t ts);
// Index entries of [max(start, threshold), end], sentinels included, in order.
Result<std::vector<IndexEntry>> index_range(DatasetInner& in, int64_t start, int64_t end);

}  // namespace dataset_detail

// The lock of a read (one iterator step, one point read): the checks of lock_open
// ("dataset mutex already held by this thread (re-entrant call)", "dataset mutex
// poisoned", "dataset {}/{} is closed") without the guard's bookkeeping. A read runs no
// callbacks, so it collects no wakes; like a read's guard it never poisons the mutex. It
// records its owner all the same: a store out of descriptors, relieved from inside the
// read, passes this dataset by.
template <typename Fn>
auto Dataset::with_read_lock(Fn&& fn) const -> decltype(fn(std::declval<DatasetInner&>())) {
    Shared& s = *shared_;
    if (s.owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return Error::invalid_data("dataset mutex already held by this thread (re-entrant call)");
    std::lock_guard lock(s.mu);
    struct Owner {
        Shared& s;
        explicit Owner(Shared& sh) : s(sh) { s.owner.store(std::this_thread::get_id(), std::memory_order_relaxed); }
        ~Owner() { s.owner.store(std::thread::id(), std::memory_order_relaxed); }
    } owner(s);
    if (s.poisoned.load(std::memory_order_relaxed)) return Error::invalid_data("dataset mutex poisoned");
    if (s.inner.closed) return dataset_detail::closed_error(s.key);
    return fn(s.inner);
}

}  // namespace brenvale
