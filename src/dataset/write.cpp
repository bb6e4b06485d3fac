// Writes: a new latest record, a correction of the latest, an out-of-order write through
// the index, appends to the latest record, deletes, and pushes at the next timestamp.
#include "dataset/inner.h"
#include "log.h"

namespace brenvale {

using namespace dataset_detail;

Status StateSinks::add_segment_stats(uint64_t watermark, const std::vector<SegmentStats>& stats) {
    std::vector<DatasetStateFile::Totals> totals;
    totals.reserve(stats.size());
    for (const auto& s : stats) totals.push_back(totals_of(s));
    return state_.add_segment_totals(watermark, totals.data(), totals.size());
}

namespace {

// The journal room of one record event, held from before a record changes until
// report_to_journal uses it; given back when the call fails or changes nothing. Holds
// nothing without a journal hook.
class JournalRoom {
public:
    JournalRoom() = default;
    JournalRoom(JournalRoom&&) noexcept = default;
    JournalRoom& operator=(JournalRoom&& o) noexcept {
        give_back();
        hook_ = std::move(o.hook_);
        return *this;
    }
    ~JournalRoom() { give_back(); }

    // The hook's error when the journal cannot take the event: nothing may change then.
    static Result<JournalRoom> reserve(const DatasetInner& in) {
        JournalRoom room;
        if (!in.runtime.journal_hook) return room;
        BRVL_TRY(in.runtime.journal_hook->reserve_record());
        room.hook_ = in.runtime.journal_hook;
        return room;
    }
    // The hook's record call takes the room, whatever its outcome.
    void used() { hook_.reset(); }

private:
    void give_back() {
        if (hook_) hook_->cancel_record();
        hook_.reset();
    }
    std::shared_ptr<JournalHook> hook_;
};

// Reports a finished change to the journal hook, if any, in the room held for it; the wake
// callbacks its append collected run on this thread once the dataset mutex is released
// (also after an error).
template <typename Call>
Status report_to_journal(DatasetInner& in, JournalRoom& room, Call call) {
    room.used();
    const std::shared_ptr<JournalHook>& hook = in.runtime.journal_hook;
    if (!hook) return {};
    Status st = call(*hook);
    hook->collect_wakes(in.wakes);
    return st;
}

// Settles what a failed count left on a count-due record before the index changes again,
// so that no change overwrites a record still due: the state file first holds what memory
// holds (a count whose write failed), else the change is refused and changes nothing.
Status settle_left_counts(DatasetInner& in) {
    if (!in.counts_left) return {};
    BRVL_TRY(in.state.flush());
    return settle_counts_due(in);
}

// A write refused once its index segment was prepared: a segment the prepare made goes
// again, and with it the index range it gave the state file, so that the refused write
// leaves no file and the dataset is as if it had never been tried.
struct PreparedIndex {
    explicit PreparedIndex(const DatasetInner& in)
        : range{in.state.fields().min_timestamp, in.state.fields().max_timestamp} {}
    void undo(DatasetInner& in) const {
        finish_change(in);  // nothing was stored
        if (!in.index.discard_made()) return;
        if (Status st = in.state.set_range(range.first, range.second); !st.ok())
            log::warn(log::kDataset, "[dataset] index range of {} not restored after a refused write: {}",
                      in.segments.dir(), st.error());
    }
    std::pair<int64_t, int64_t> range;
};

// An out-of-order write (or a correction that cannot be made in place). Whatever the index
// would refuse is refused before the record is written, so that no unreachable record is
// left in a segment; what the entry and the count of the replaced record need is got, and
// the change is kept in the newest index segment, before anything is stored.
Result<IndexEntry> write_out_of_order(DatasetInner& in, int64_t ts, std::span<const uint8_t> data,
                                      BlockCache* cache) {
    BRVL_TRY(settle_left_counts(in));
    StateSinks sinks(in.state);
    const PreparedIndex prepared(in);
    auto loc = [&]() -> Result<SegmentWrite> {
        const IndexEntry old = BRVL_TRY(in.index.prepare_overwrite(ts, &sinks)).value_or(IndexEntry::sentinel(ts));
        BRVL_TRY(begin_counted_change(in, old, /*writes=*/true));
        crash_point("dataset.change.begun");
        return in.segments.write(ts, data, &sinks);
    }();
    if (!loc.ok()) {
        prepared.undo(in);
        return std::move(loc).error();
    }
    crash_point("dataset.write.stored");  // a record no index entry points to yet
    const IndexEntry stored{ts, loc->base + loc->position, loc->in_block};
    auto replaced = in.index.overwrite(ts, stored.block_offset, stored.in_block, &sinks);
    if (!replaced.ok()) {
        // Only a damaged index fails here (everything it needs was got): the record counts
        // as invalid and the call changes nothing.
        uncount_stored(in, stored);
        return std::move(replaced).error();
    }
    crash_point("dataset.write.replaced");  // the old record is not yet counted invalid
    count_invalid(in, *replaced, cache);
    stamp(in);
    return stored;
}

// Once a change is complete, the data files before the newest are folded into the state
// file's totals (a new file holds a record; the others take no more). Not while a count is
// left to settle: its count-due record holds the totals as they stood. A fold that fails
// leaves them unfolded, which counts the same; the next change folds them.
[[gnu::noinline]] void fold_now(DatasetInner& in) {
    StateSinks sinks(in.state);
    if (Status st = in.segments.fold_finished(&sinks); !st.ok())
        log::warn(log::kDataset, "[dataset] folding the totals of the finished data segments of {}: {}",
                  in.segments.dir(), st.error());
}
inline void fold_finished(DatasetInner& in) {
    if (!in.counts_left && in.segments.unfolded_below_newest(in.state.stats_watermark())) fold_now(in);
}

// What a write or an append refuses before anything is stored: an oversized record or a
// timestamp below the retention threshold.
Status check_write(const DatasetInner& in, int64_t ts, std::span<const uint8_t> data) {
    if (data.size() > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");
    return check_retention(in, ts);
}

// Stores a record that passed check_write: a correction of the latest, an out-of-order
// write or a new latest record.
Result<IndexEntry> store_at(DatasetInner& in, int64_t ts, std::span<const uint8_t> data, BlockCache* cache) {
    const auto latest = in.latest_written_timestamp;
    if (latest && ts == *latest) {
        auto entry = BRVL_TRY(in.index.lookup(ts));
        if (!entry) return Error::not_found(fmt::format("no index entry for correction timestamp {}", ts));
        if (!entry->is_sentinel() && in.segments.correction_write(entry->block_offset, entry->in_block, data).ok()) {
            if (cache) cache->remove(block_key_of(in, entry->block_offset));
            stamp(in);
            return *entry;
        }
        // A correction that cannot be made in place is written out of order instead.
        return write_out_of_order(in, ts, data, cache);
    }
    if (latest && ts < *latest) return write_out_of_order(in, ts, data, cache);

    // A new latest record: its entry's index segment is made ready, and notes where the
    // record goes, before the record is stored; a kill in between leaves a record that the
    // next open counts as invalid.
    BRVL_TRY(settle_left_counts(in));
    StateSinks sinks(in.state);
    const PreparedIndex prepared(in);
    auto loc = [&]() -> Result<SegmentWrite> {
        BRVL_TRY(in.index.prepare_append(latest, ts, &sinks));
        BRVL_TRY(note_append(in, ts));
        return in.segments.write(ts, data, &sinks);
    }();
    if (!loc.ok()) {
        prepared.undo(in);
        return std::move(loc).error();
    }
    crash_point("dataset.write.stored");
    const IndexEntry stored{ts, loc->base + loc->position, loc->in_block};
    Status indexed = in.config.index_continuous
                         ? in.index.append_latest(latest, ts, stored.block_offset, stored.in_block, &sinks)
                         : in.index.append(ts, stored.block_offset, stored.in_block, &sinks);
    if (!indexed.ok()) {
        // Only a damaged index fails here (everything it needs was got).
        uncount_stored(in, stored);
        return std::move(indexed).error();
    }
    crash_point("dataset.write.indexed");
    finish_change(in);
    in.latest_written_timestamp = ts;
    stamp(in);
    in.wake_queue();
    return stored;
}

Status inner_write(DatasetInner& in, int64_t ts, std::span<const uint8_t> data) {
    if (in.runtime.read_only) return Error::invalid_data("read-only dataset cannot be written");
    BlockCache* cache = cache_of(in);
    BRVL_TRY(check_write(in, ts, data));
    JournalRoom room = BRVL_TRY(JournalRoom::reserve(in));
    IndexEntry entry = BRVL_TRY(store_at(in, ts, data, cache));
    fold_finished(in);
    return report_to_journal(in, room, [&](JournalHook& j) { return j.record_write(in.identifier, entry); });
}

Status inner_append(DatasetInner& in, int64_t ts, std::span<const uint8_t> data) {
    if (in.runtime.read_only) return Error::invalid_data("read-only dataset cannot be appended");
    BlockCache* cache = cache_of(in);
    BRVL_TRY(check_write(in, ts, data));
    const auto latest = in.latest_written_timestamp;
    // An append of nothing changes nothing, one before the latest is refused: neither holds room.
    JournalRoom room;
    if (!data.empty() && (!latest || ts >= *latest)) room = BRVL_TRY(JournalRoom::reserve(in));
    IndexEntry entry;
    uint32_t before = 0;
    if (!latest) {
        if (data.empty()) return {};
        entry = BRVL_TRY(store_at(in, ts, data, cache));
    } else if (ts < *latest) {
        return Error::invalid_data("append timestamp is older than latest_written_timestamp");
    } else if (data.empty()) {
        return {};
    } else if (ts == *latest) {
        auto found = BRVL_TRY(in.index.lookup(ts));
        if (!found) return Error::not_found(fmt::format("no index entry for append timestamp {}", ts));
        if (found->is_sentinel())
            return Error::not_found(fmt::format("latest index entry at timestamp {} is deleted", ts));
        before = BRVL_TRY(in.segments.append_at(found->block_offset, found->in_block, data));
        stamp(in);
        entry = *found;
    } else {
        entry = BRVL_TRY(store_at(in, ts, data, cache));
    }
    fold_finished(in);
    return report_to_journal(in, room, [&](JournalHook& j) {
        return j.record_append(in.identifier, entry, before, static_cast<uint32_t>(data.size()));
    });
}

}  // namespace

// ---- writes ----

Status Dataset::write(int64_t timestamp, std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    return inner_write(*g, timestamp, data);
}

Status Dataset::append(int64_t timestamp, std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    return inner_append(*g, timestamp, data);
}

Status Dataset::write_now(std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    int64_t ts = BRVL_TRY(now_in_units(g->config.timestamp_units_per_seconds));
    return inner_write(*g, ts, data);
}

Status Dataset::append_now(std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    int64_t ts = BRVL_TRY(now_in_units(g->config.timestamp_units_per_seconds));
    return inner_append(*g, ts, data);
}

Result<int64_t> Dataset::write_next(std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    const auto latest = g->latest_written_timestamp;
    // At the top of the range there is no next timestamp: writing i64::MAX again would
    // silently replace the newest record.
    if (latest && *latest == INT64_MAX)
        return Error::invalid_data("timestamp overflow: dataset latest timestamp is i64::MAX");
    int64_t ts = latest ? *latest + 1 : 1;
    BRVL_TRY(inner_write(*g, ts, data));
    return ts;
}

Status Dataset::delete_record(int64_t timestamp) {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    if (in.runtime.read_only) return Error::invalid_data("read-only dataset cannot be deleted");
    BlockCache* cache = cache_of(in);
    if (!in.latest_written_timestamp)
        return Error::not_found(fmt::format("no entry to delete at timestamp {} (dataset is empty)", timestamp));
    BRVL_TRY(check_retention(in, timestamp));
    BRVL_TRY(settle_left_counts(in));
    const IndexEntry found = BRVL_TRY(in.index.check_delete(timestamp));
    JournalRoom room = BRVL_TRY(JournalRoom::reserve(in));
    BRVL_TRY(begin_counted_change(in, found, /*writes=*/false));
    auto old = in.index.delete_entry(timestamp);
    if (!old.ok()) {
        finish_change(in);
        return std::move(old).error();
    }
    crash_point("dataset.delete.unindexed");
    count_invalid(in, *old, cache);
    stamp(in);
    return report_to_journal(in, room, [&](JournalHook& j) { return j.record_delete(in.identifier, *old); });
}

}  // namespace brenvale
