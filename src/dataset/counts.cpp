// The invalid-record counts of a dataset's changes: a record that loses its index entry
// (replaced by an out-of-order write, deleted) counts as invalid in its data segment, and in
// the state file's totals when that segment is folded there. A change is made so that its
// counts never drift from what the files hold:
//
//   before it stores anything   what its entry and its count need is got (index segments
//                               made, grown and allocated; the replaced record's data
//                               segment and the state file opened), and the change is kept
//                               as a count-due record in the newest index segment: the
//                               entry it replaces, the counts before it and, for a write,
//                               the place its record takes at the earliest;
//   after its counts            the count-due record is cleared. A count that fails leaves
//                               it set (the change is made): it is settled before the index
//                               changes again, the state file written first, and by the
//                               next open.
//
// A new latest record is stored before its entry: the newest index segment keeps where it
// goes first (an append record, cleared once the entry is made).
//
// A kill leaves at most the change in flight, and the next writable open finishes it from
// its record: a record stored without its entry that replaces none (a new latest record,
// a write into an empty slot) counts as invalid; an out-of-order write whose record was
// stored gets its entry (the counts are those of the write made either way, and its reads
// then agree with them), and the record it replaced is counted once. A read-only dataset
// counts the change in flight as that open would leave it. No count walks a segment: each
// looks at the one record the change in flight names.
#include "dataset/inner.h"
#include "log.h"

namespace brenvale {

namespace dataset_detail {

namespace {

// Which counts of a count-due record's old record are still at their values from before
// its change.
struct DueShort {
    bool folded = false;   // the record's segment is in the state file's totals
    bool segment = false;  // its segment's invalid count
    bool total = false;    // the state file's total
    // The count the dataset's totals take the record from.
    bool counted_short() const { return folded ? total : segment; }
};

// The invalid count of a record's segment as the files hold it now: a read-only dataset
// beside a writer reads the segment's counters again.
std::optional<uint64_t> current_segment_invalid(DatasetInner& in, uint64_t block_offset) {
    if (!in.segments.read_only()) return segment_invalid_count(in, block_offset);
    auto seg = in.segments.get(segment_base_of(in, block_offset));
    if (!seg.ok()) return std::nullopt;
    auto stats = (*seg)->live_stats();
    if (!stats.ok()) return std::nullopt;
    return stats->invalid_record_count;
}

DueShort short_of(DatasetInner& in, const CountDue& due) {
    DueShort s;
    s.folded = segment_base_of(in, due.old.block_offset) < in.state.stats_watermark();
    s.segment = current_segment_invalid(in, due.old.block_offset) == due.segment_invalid;
    s.total = due.total_invalid != CountDue::kNotInTotals &&
              in.state.fields().total_invalid_record_count == due.total_invalid;
    return s;
}

// Counts the record at a global address invalid: in its data segment, and in the state
// file's total when that segment is folded there.
Status count_record_invalid(DatasetInner& in, uint64_t block_offset) {
    BRVL_TRY(in.segments.mark_invalid(block_offset));
    crash_point("dataset.count.segment");
    if (segment_base_of(in, block_offset) < in.state.stats_watermark()) BRVL_TRY(in.state.increment_invalid());
    crash_point("dataset.count.total");
    return {};
}

// Ends the change in flight once its counts are stored, and closes again the data segment
// its count opened. A failure is logged and left to the count-due record: the change is
// made.
void end_change(DatasetInner& in, Status counted, int64_t ts) {
    if (counted.ok()) counted = in.index.end_change();
    if (Status closed = in.segments.done_counting(); !closed.ok())
        log::warn(log::kDataset, "[dataset] closing the data segment of a counted record: {}", closed.error());
    if (counted.ok()) return;
    log::warn(log::kDataset, "[dataset] counting the record of timestamp {} replaced by a change: {}; counted later", ts,
              counted.error());
    in.counts_left = true;
}

// The count-due record of a change that replaces `old` (a sentinel: no live record), as the
// counts stand before it; record_from: where a write's record goes at the earliest.
CountDue counts_before(const DatasetInner& in, const IndexEntry& old, std::optional<RecordPlace> record_from) {
    CountDue due;
    due.old = old;
    due.record_from = record_from;
    if (old.is_sentinel()) {
        // A write into an empty slot replaces no record: like an append, its own record is
        // what an interrupted write leaves to count, in the segment it goes to.
        if (record_from) due.segment_invalid = segment_invalid_count(in, record_from->block_offset).value_or(0);
    } else {
        due.segment_invalid = segment_invalid_count(in, old.block_offset).value_or(0);
        if (segment_base_of(in, old.block_offset) < in.state.stats_watermark())
            due.total_invalid = in.state.fields().total_invalid_record_count;
    }
    return due;
}

// A new latest record stored at or past the place an append record names, holding its
// timestamp, and without its entry: the record of an interrupted write (nothing otherwise).
std::optional<RecordPlace> unindexed_append(DatasetInner& in, const CountDue& due,
                                            const std::optional<SegmentSet::Newest>& newest) {
    if (!newest || !due.record_from || newest->place < *due.record_from || newest->timestamp != due.old.timestamp)
        return std::nullopt;
    auto entry = in.index.lookup(due.old.timestamp);
    if (!entry.ok() || (*entry && (*entry)->place() == newest->place)) return std::nullopt;
    return newest->place;
}

// Whether the unindexed record of an append record is still to be counted in its segment:
// its invalid count is still the one from before the append (0 in a segment the append made).
bool append_short(DatasetInner& in, const CountDue& due, const RecordPlace& record) {
    const uint64_t base = segment_base_of(in, record.block_offset);
    const uint64_t before = base == segment_base_of(in, due.record_from->block_offset) ? due.segment_invalid : 0;
    return current_segment_invalid(in, record.block_offset) == before;
}

// Why the files cannot hold what a change record of an entry says (a damaged header can say
// anything), or nothing when they can: the entry it names is there (changed or not), its
// record's data segment is, a write's place lies above that record, the counts it recorded
// are not above those now, and it holds a state total exactly when that segment is folded.
std::optional<std::string_view> implausible(DatasetInner& in, const CountDue& due,
                                            const std::optional<IndexEntry>& now) {
    if (!now) return "no entry at its timestamp";
    if (due.record_from && !(due.old.place() < *due.record_from)) return "its write's place lies below the record";
    const std::optional<uint64_t> segment = current_segment_invalid(in, due.old.block_offset);
    if (!segment) return "no data segment holds its record";
    if (due.segment_invalid > *segment) return "its segment count is above the segment's";
    const bool folded = segment_base_of(in, due.old.block_offset) < in.state.stats_watermark();
    if (folded != (due.total_invalid != CountDue::kNotInTotals)) return "its state total does not match the segment";
    if (folded && due.total_invalid > in.state.fields().total_invalid_record_count)
        return "its state total is above the state file's";
    return std::nullopt;
}

// Clears a settled count-due record. Settling one twice changes nothing (its counts are
// taken against the values it recorded), so a record that cannot be cleared (a segment
// that no longer opens) stays, with a warning.
void clear_settled(DatasetInner& in, int64_t start) {
    if (Status cleared = in.index.clear_count_due(start); !cleared.ok())
        log::warn(log::kDataset, "[dataset] cannot clear the settled change record of index segment {}: {}", start,
                  cleared.error());
}

}  // namespace

std::optional<uint64_t> segment_invalid_count(const DatasetInner& in, uint64_t block_offset) {
    const uint64_t base = segment_base_of(in, block_offset);
    if (const DataSegment* seg = in.segments.find_open(base)) return seg->invalid_record_count();
    if (const ClosedSegment* c = in.segments.find_closed(base)) return c->stats.invalid_record_count;
    return std::nullopt;
}

Status begin_counted_change(DatasetInner& in, const IndexEntry& old, bool writes) {
    Status begun = [&]() -> Status {
        if (!old.is_sentinel()) {
            BRVL_TRY(in.segments.prepare_mark_invalid(old.block_offset));
            if (segment_base_of(in, old.block_offset) < in.state.stats_watermark()) BRVL_TRY(in.state.prepare());
        }
        std::optional<RecordPlace> record_from;
        if (writes) record_from = BRVL_TRY(in.segments.next_place()).place;
        return in.index.begin_change(counts_before(in, old, record_from));
    }();
    if (!begun.ok()) finish_change(in);
    return begun;
}

Status note_append(DatasetInner& in, int64_t ts) {
    const SegmentSet::NextPlace next = BRVL_TRY(in.segments.next_place());
    return in.index.begin_append(ts, next.place, next.segment_invalid);
}

void count_invalid(DatasetInner& in, const IndexEntry& old, BlockCache* cache) {
    Status counted;
    if (!old.is_sentinel()) {
        if (cache) cache->remove(block_key_of(in, old.block_offset));
        counted = count_record_invalid(in, old.block_offset);
    }
    end_change(in, std::move(counted), old.timestamp);
}

void uncount_stored(DatasetInner& in, const IndexEntry& stored) {
    end_change(in, count_record_invalid(in, stored.block_offset), stored.timestamp);
}

void finish_change(DatasetInner& in) { end_change(in, Status(), 0); }

// A change a kill (or a failed count) left: an appended record stored without its entry
// counts as invalid; an out-of-order write whose record was stored gets its entry; then,
// when the entry did change, the counts still at their values from before the change get
// the record it replaced. Done or not, the record is removed.
Status settle_counts_due(DatasetInner& in) {
    for (const auto& [start, due] : in.index.counts_due()) {
        const int64_t ts = due.old.timestamp;
        if (due.leftover) {
            log::warn(log::kDataset, "[dataset] zeroing the change record of index segment {}, which names no change",
                      start);
            clear_settled(in, start);
            continue;
        }
        if (due.append || due.old.is_sentinel()) {
            const auto stray = unindexed_append(in, due, BRVL_TRY(in.segments.newest_record(due.record_from)));
            if (stray && append_short(in, due, *stray)) {
                log::warn(log::kDataset,
                          "[dataset] counting the record of timestamp {} stored by a write interrupted before its "
                          "index entry",
                          ts);
                BRVL_TRY(in.segments.mark_invalid(stray->block_offset));
            }
            clear_settled(in, start);
            continue;
        }
        auto now = in.index.lookup(ts);
        if (!now.ok()) {
            log::warn(log::kDataset, "[dataset] the change of timestamp {} cannot be settled: {}; its count is left out",
                      ts, now.error());
            clear_settled(in, start);
            continue;
        }
        std::optional<IndexEntry> entry = *now;
        if (const auto why = implausible(in, due, entry)) {
            log::warn(log::kDataset, "[dataset] dropping the change record of timestamp {} in index segment {}: {}", ts,
                      start, *why);
            clear_settled(in, start);
            continue;
        }
        if (entry == std::optional<IndexEntry>(due.old) && due.record_from) {
            const auto newest = BRVL_TRY(in.segments.newest_record(due.record_from));
            if (newest && newest->place >= *due.record_from && newest->timestamp == ts) {
                log::warn(log::kDataset, "[dataset] completing the write of timestamp {} interrupted before its index entry",
                          ts);
                StateSinks sinks(in.state);
                BRVL_TRY(in.index.overwrite(ts, newest->place.block_offset, newest->place.in_block, &sinks));
                entry = IndexEntry{ts, newest->place.block_offset, newest->place.in_block};
            }
        }
        if (entry != std::optional<IndexEntry>(due.old) && !due.old.is_sentinel()) {
            const DueShort s = short_of(in, due);
            if (s.segment || s.total)
                log::warn(log::kDataset, "[dataset] counting the record of timestamp {} replaced by an interrupted change",
                          ts);
            if (s.segment) BRVL_TRY(in.segments.mark_invalid(due.old.block_offset));
            if (s.total) BRVL_TRY(in.state.increment_invalid());
        }
        clear_settled(in, start);
    }
    in.counts_left = false;
    return {};
}

Result<uint64_t> uncounted_invalid(DatasetInner& in) {
    const bool read_only = in.segments.read_only();
    // A writable dataset has counted everything but what a failed count left due.
    if (!read_only && !in.counts_left) return 0;
    uint64_t n = 0;
    // The newest record, looked up once, from the place the change record names.
    std::optional<std::optional<SegmentSet::Newest>> newest;
    auto newest_record = [&](const CountDue& due) -> Result<std::optional<SegmentSet::Newest>> {
        if (!newest) newest = BRVL_TRY(read_only ? in.segments.current_newest_record(due.record_from)
                                                 : in.segments.newest_record(due.record_from));
        return *newest;
    };
    for (const auto& [start, due] : BRVL_TRY(in.index.current_counts_due())) {
        if (due.leftover) continue;
        if (due.append || due.old.is_sentinel()) {
            if (!read_only) continue;  // a writable dataset counts its failed writes at once
            const auto stray = unindexed_append(in, due, BRVL_TRY(newest_record(due)));
            if (stray && append_short(in, due, *stray)) ++n;
            continue;
        }
        auto now = in.index.lookup(due.old.timestamp);
        if (!now.ok() || implausible(in, due, *now)) continue;  // a writable open drops it
        bool taken = *now != std::optional<IndexEntry>(due.old);
        if (!taken && due.record_from && read_only) {
            // A write whose record is stored has its entry once a writable open finishes it.
            const auto stored = BRVL_TRY(newest_record(due));
            taken = stored && stored->place >= *due.record_from && stored->timestamp == due.old.timestamp;
        }
        if (taken && short_of(in, due).counted_short()) ++n;
    }
    return n;
}

}  // namespace dataset_detail

}  // namespace brenvale
