// Changes of the index: sparse and continuous appends with their fillers, out-of-order
// placement, deletes, and the checks that come before a record is stored. Every append
// into a continuous segment is one run (its fillers and its entry) made visible by one
// store of the written position.
#include <fmt/format.h>

#include "index/index.h"
#include "index/slots.h"
#include "log.h"

namespace brenvale {

using namespace index_detail;

// ---- appends ----

Status Index::append_continuous(const IndexEntry& e, IndexRangeSink* sink) {
    const int64_t start = BRVL_TRY(continuous_segment_start(e.timestamp));
    const uint64_t i = distance(start, e.timestamp);
    IndexSegment* seg = BRVL_TRY(ensure_segment(start, sink));
    if (seg->entry_count() != i) {
        return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}", i,
                                seg->entry_count());
    }
    Status st = seg->append_entry_growing(e);
    note_append(st, e.timestamp);
    if (!st.ok() && st.error().kind() == ErrorKind::SegmentFull) {
        return invalid_data_fmt("continuous index segment {} is full before timestamp {}", start, e.timestamp);
    }
    return st;
}

Status Index::append_sparse(const IndexEntry& e, IndexRangeSink* sink) {
    const std::optional<int64_t> latest = latest_timestamp();
    if (latest && e.timestamp <= *latest) {
        return invalid_data_fmt("non-continuous index append timestamp {} must be greater than latest {}",
                                e.timestamp, *latest);
    }
    IndexSegment* target = BRVL_TRY(sparse_target(e.timestamp, sink));
    Status st = target->append_entry_growing(e);
    note_append(st, e.timestamp);
    return st;
}

Result<IndexSegment*> Index::sparse_target(int64_t ts, IndexRangeSink* sink) {
    if (slots_.empty()) return ensure_segment(ts, sink);
    // The common case: the newest segment is mapped and has room.
    if (auto* newest = std::get_if<IndexSegment>(&slots_.rbegin()->second);
        newest != nullptr && newest->is_mapped() && newest->entry_count() > 0 &&
        newest->entry_count() < newest->capacity())
        return newest;
    const int64_t last_start = slots_.rbegin()->first;
    IndexSegment* last = BRVL_TRY(segment_at(last_start));
    if (last->entry_count() == 0 && last_start != ts) {
        // An empty newest segment (left by a crash, or made for an append that did not
        // happen) may be named above this timestamp, where lookups would never search:
        // replace it.
        const std::string path = last->path();
        BRVL_TRY(remove_file(path));
        slots_.erase(last_start);
        slots_changed();
        return ensure_segment(ts, sink);
    }
    BRVL_TRY(last->reserve_entries(last->entry_count() + 1));  // grown while below its size limit
    if (last->entry_count() < last->capacity()) return last;
    return ensure_segment(ts, sink);  // at its limit: a new segment takes the entry
}

Status Index::append_continuous_run(int64_t start, const IndexEntry* e, int64_t last_slot, IndexRangeSink* sink,
                                    const ClosingOff* closing) {
    IndexSegment* seg = BRVL_TRY(ensure_segment(start, sink, closing));
    const uint64_t k = seg->entry_count();
    const int64_t first = add_clamped(start, k);
    uint64_t fillers = 0;
    if (e != nullptr) {
        const uint64_t i = distance(start, e->timestamp);
        if (k > i) return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}", i, k);
        fillers = i - k;
    } else if (k < distance(start, last_slot) + 1) {
        fillers = distance(first, last_slot) + 1;
    }
    if (fillers == 0 && e == nullptr) return ok_status();
    Status st = seg->append_run(first, fillers, e);
    note_append(st, e != nullptr ? e->timestamp : last_slot);
    if (!st.ok() && st.error().kind() == ErrorKind::SegmentFull) {
        return invalid_data_fmt("continuous index segment {} is full before timestamp {}", start,
                                add_clamped(start, seg->entry_count()));
    }
    return st;
}

Status Index::append(int64_t ts, uint64_t block_offset, uint16_t in_block, IndexRangeSink* sink) {
    if (read_only_) return read_only_index_error();
    BRVL_TRY(entries_per_segment());
    const IndexEntry e{ts, block_offset, in_block};
    if (!continuous_) return append_sparse(e, sink);
    const bool had_base = base_.has_value();
    if (!had_base) base_ = ts;
    Status st = append_continuous(e, sink);
    if (!st.ok() && !had_base && !any_entries()) base_.reset();  // nothing was stored against it
    return st;
}

Result<bool> Index::claim_base(int64_t ts) {
    if (!base_) {
        base_ = ts;
        return false;
    }
    if (ts < *base_) return Error::not_found(fmt::format("timestamp {} is before continuous index base {}", ts, *base_));
    return true;
}

Status Index::append_latest(std::optional<int64_t> latest, int64_t ts, uint64_t block_offset, uint16_t in_block,
                            IndexRangeSink* sink) {
    if (read_only_) return read_only_index_error();
    BRVL_TRY(entries_per_segment());
    const IndexEntry e{ts, block_offset, in_block};
    if (!continuous_) return append_sparse(e, sink);
    const bool had_base = BRVL_TRY(claim_base(ts));
    Status st = [&]() -> Status {
        const int64_t st_start = BRVL_TRY(continuous_segment_start(ts));
        const std::optional<ClosingOff> closing = BRVL_TRY(closing_off(latest, st_start));
        // This timestamp's own segment from its current end up to ts, visible at once; only
        // then the close-off, so that a reader in another process never finds the close-off's
        // fillers as the latest entries while ts is not there yet.
        BRVL_TRY(append_continuous_run(st_start, &e, ts, sink, closing ? &*closing : nullptr));
        if (closing) {
            // The record is stored: a close-off that fails leaves that segment's tail a hole,
            // as a kill between the two does (lookups there find nothing; an out-of-order
            // write there fills it in).
            Status c = append_continuous_run(closing->start, nullptr, closing->last_slot, sink);
            if (!c.ok()) {
                log::warn(log::kIndex, "[index] segment {} not closed off after timestamp {}: {}", closing->start, ts,
                          c.error());
            }
        }
        return ok_status();
    }();
    if (!st.ok() && !had_base && !any_entries()) base_.reset();
    return st;
}

Result<std::optional<Index::ClosingOff>> Index::closing_off(std::optional<int64_t> latest, int64_t ts_start) {
    // When ts opens another segment, the latest record's one is closed off with fillers to
    // its end. A segment that retention has removed is not brought back.
    if (!latest || *latest >= kMaxTs) return std::optional<ClosingOff>();
    const int64_t l_start = BRVL_TRY(continuous_segment_start(*latest));
    const uint64_t n = BRVL_TRY(entries_per_segment());
    if (l_start == ts_start || slots_.count(l_start) == 0 || slot_entry_count(l_start) >= n)
        return std::optional<ClosingOff>();
    // Grown now, so that closing it off after the new entry needs no more room.
    IndexSegment* old = BRVL_TRY(segment_at(l_start));
    BRVL_TRY(old->reserve_entries(n));
    BRVL_TRY(old->prepare_change());
    return std::optional<ClosingOff>(ClosingOff{l_start, add_clamped(l_start, n - 1)});
}

Status Index::prepare_append(std::optional<int64_t> latest, int64_t ts, IndexRangeSink* sink) {
    made_.reset();
    if (!continuous_) {
        if (read_only_) return read_only_index_error();
        BRVL_TRY(entries_per_segment());
        if (const std::optional<int64_t> last = latest_timestamp(); last && ts <= *last) {
            return invalid_data_fmt("non-continuous index append timestamp {} must be greater than latest {}", ts,
                                    *last);
        }
        IndexSegment* target = BRVL_TRY(sparse_target(ts, sink));
        return target->prepare_change();
    }
    if (read_only_) return read_only_index_error();
    if (base_ && ts >= *base_ && !slots_.empty()) {
        // The common case: ts goes into the newest segment, which holds the latest entry.
        const int64_t start = BRVL_TRY(continuous_segment_start(ts));
        auto* newest = std::get_if<IndexSegment>(&slots_.rbegin()->second);
        if (slots_.rbegin()->first == start && newest != nullptr && newest->is_mapped() &&
            newest->entry_count() > 0 && distance(start, ts) < newest->capacity()) {
            const uint64_t i = distance(start, ts);
            if (newest->entry_count() > i) {
                return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}", i,
                                        newest->entry_count());
            }
            return newest->prepare_change();
        }
    }
    BRVL_TRY(check_append(ts));
    const bool had_base = BRVL_TRY(claim_base(ts));
    Status st = [&]() -> Status {
        const int64_t start = BRVL_TRY(continuous_segment_start(ts));
        const std::optional<ClosingOff> closing = BRVL_TRY(closing_off(latest, start));
        IndexSegment* seg = BRVL_TRY(ensure_segment(start, sink, closing ? &*closing : nullptr));
        BRVL_TRY(seg->reserve_entries(distance(start, ts) + 1));
        return seg->prepare_change();
    }();
    if (!had_base && !any_entries()) base_.reset();  // an empty segment does not fix the base
    return st;
}

// ---- out-of-order writes and deletes ----


Result<IndexEntry> Index::fill_hole_and_append(const IndexEntry& e, IndexRangeSink* sink) {
    const int64_t t = e.timestamp;
    if (!continuous_) {
        return Error::not_found(fmt::format("no index entry at timestamp {} (required for out-of-order write)", t));
    }
    const int64_t start = BRVL_TRY(continuous_segment_start(t));
    const uint64_t k = slot_entry_count(start);
    if (k > distance(start, t)) return invalid_data_fmt("continuous index hole invariant violated at timestamp {}", t);
    BRVL_TRY(append_continuous_run(start, &e, t, sink));
    return IndexEntry::sentinel(t);
}

Result<IndexEntry> Index::overwrite(int64_t ts, uint64_t block_offset, uint16_t in_block, IndexRangeSink* sink) {
    if (read_only_) return read_only_index_error();
    const IndexEntry e{ts, block_offset, in_block};
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    if (seg != nullptr) {
        if (auto hit = seg->find(ts, continuous_, seg->entry_count())) {
            BRVL_TRY(seg->write_entry(hit->first, e));
            return hit->second;
        }
    }
    return fill_hole_and_append(e, sink);
}

Result<std::optional<IndexEntry>> Index::check_overwrite(int64_t ts) {
    if (read_only_) return read_only_index_error();
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    if (seg != nullptr) {
        if (auto hit = seg->find(ts, continuous_, seg->entry_count())) return std::optional<IndexEntry>(hit->second);
    }
    if (!continuous_) {
        return Error::not_found(fmt::format("no index entry at timestamp {} (required for out-of-order write)", ts));
    }
    const int64_t start = BRVL_TRY(continuous_segment_start(ts));
    if (slot_entry_count(start) > distance(start, ts)) {
        return invalid_data_fmt("continuous index hole invariant violated at timestamp {}", ts);
    }
    return std::optional<IndexEntry>();
}

Status Index::check_append(int64_t ts) {
    if (read_only_) return read_only_index_error();
    BRVL_TRY(entries_per_segment());
    // The segments an append writes into are opened now, so that a damaged file is
    // reported before the record is stored: the newest one (the latest entry's) and, in
    // continuous mode, the one of ts.
    if (!slots_.empty()) BRVL_TRY(segment_at(slots_.rbegin()->first));
    if (!continuous_) {
        const std::optional<int64_t> latest = latest_timestamp();
        if (latest && ts <= *latest) {
            return invalid_data_fmt("non-continuous index append timestamp {} must be greater than latest {}", ts,
                                    *latest);
        }
        return ok_status();
    }
    if (!base_) return ok_status();  // the entry fixes the base
    const int64_t start = BRVL_TRY(continuous_segment_start(ts));
    if (slots_.count(start) != 0) BRVL_TRY(segment_at(start));
    const uint64_t k = slot_entry_count(start);
    if (k > distance(start, ts)) {
        return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}",
                                distance(start, ts), k);
    }
    return ok_status();
}

Result<std::optional<IndexEntry>> Index::prepare_overwrite(int64_t ts, IndexRangeSink* sink) {
    made_.reset();
    const std::optional<IndexEntry> old = BRVL_TRY(check_overwrite(ts));
    if (old) {
        IndexSegment* seg = BRVL_TRY(segment_for(ts));
        if (seg == nullptr) return Error::not_found(fmt::format("no index segment holds timestamp {}", ts));
        BRVL_TRY(seg->prepare_change());
        return old;
    }
    // A continuous hole: its segment (made when missing) grown to hold the run up to ts.
    const int64_t start = BRVL_TRY(continuous_segment_start(ts));
    IndexSegment* seg = BRVL_TRY(ensure_segment(start, sink));
    BRVL_TRY(seg->reserve_entries(distance(start, ts) + 1));
    BRVL_TRY(seg->prepare_change());
    return old;
}

Result<IndexEntry> Index::check_delete(int64_t ts) {
    if (read_only_) return read_only_index_error();
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    std::optional<std::pair<uint64_t, IndexEntry>> hit;
    if (seg != nullptr) hit = seg->find(ts, continuous_);
    if (!hit) return Error::not_found(fmt::format("no entry at timestamp {} to delete", ts));
    if (hit->second.is_sentinel()) return Error::not_found(fmt::format("no real data at timestamp {} (filler)", ts));
    BRVL_TRY(seg->prepare_change());
    return hit->second;
}

Result<IndexEntry> Index::delete_entry(int64_t ts) {
    const IndexEntry old = BRVL_TRY(check_delete(ts));
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    auto hit = seg->find(ts, continuous_);
    BRVL_TRY(seg->write_entry(hit->first, IndexEntry::sentinel(ts)));
    return old;
}

// ---- the change in flight ----

Status Index::begin_change(const CountDue& due) {
    if (read_only_) return read_only_index_error();
    if (slots_.empty()) return Error::not_found("no index segment to keep a change in");
    const int64_t newest = slots_.rbegin()->first;
    IndexSegment* seg = BRVL_TRY(segment_at(newest));
    BRVL_TRY(seg->set_count_due(due));
    hold_change(newest, seg);
    return ok_status();
}

Status Index::begin_append(int64_t ts, RecordPlace from, uint64_t segment_invalid) {
    if (read_only_) return read_only_index_error();
    if (slots_.empty()) return ok_status();
    const int64_t newest = slots_.rbegin()->first;
    auto* seg = std::get_if<IndexSegment>(&slots_.rbegin()->second);
    if (seg == nullptr || !seg->is_mapped()) {
        seg = BRVL_TRY(segment_at(newest));
        BRVL_TRY(seg->prepare_change());
    }
    seg->set_append_record(ts, from, segment_invalid);
    hold_change(newest, seg);
    return ok_status();
}

Status Index::end_change() {
    if (!change_start_) return ok_status();
    IndexSegment* seg = change_segment_ != nullptr && change_generation_ == generation_
                            ? change_segment_
                            : BRVL_TRY(segment_at(*change_start_));
    seg->clear_count_due();
    change_start_.reset();
    change_segment_ = nullptr;
    return ok_status();
}

}  // namespace brenvale
