// The invalid-record counts of a dataset's changes: a record that loses its index entry
// (replaced by an out-of-order write, deleted) counts as invalid in its data segment, and in
// the state file's totals when that segment is folded there. A change is made so that its
// counts never drift from what the files hold:
//
//   before the index commit   what the count needs is opened (the record's segment, the
//                             state file), so that a failure changes nothing;
//   around the index commit   the count-due record of the index segment spans the change
//                             and its counts; a count that fails after the commit leaves
//                             the record set, and it is settled before that index segment
//                             changes again, and by the next open;
//   a record stored but not   (a write killed between its record and its index entry, or
//   indexed                   whose index change failed) counts as invalid: at once after a
//                             failure, by the next writable open after a kill.
//
// inspect works out from the files at each call what the counters do not hold yet.
#include <algorithm>

#include "dataset/inner.h"
#include "log.h"

namespace brenvale {

namespace dataset_detail {

namespace {

// A count-due record whose entry did change: which of its counts are still at their values
// from before the change.
struct DueShort {
    bool folded = false;   // the record's segment is in the state file's totals
    bool segment = false;  // its segment's invalid count
    bool total = false;    // the state file's total
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

// Nothing when the entry is still the one recorded (the change did not happen); the error
// when it cannot be read (a later look settles the record).
Result<std::optional<DueShort>> due_short(DatasetInner& in, const CountDue& due) {
    const auto now = BRVL_TRY(in.index.lookup(due.old.timestamp));
    if (now == std::optional<IndexEntry>(due.old)) return std::optional<DueShort>();
    DueShort s;
    s.folded = segment_base_of(in, due.old.block_offset) < in.state.stats_watermark();
    s.segment = current_segment_invalid(in, due.old.block_offset) == due.segment_invalid;
    s.total = due.total_invalid != CountDue::kNotInTotals &&
              in.state.fields().total_invalid_record_count == due.total_invalid;
    return std::optional<DueShort>(s);
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

// Whether the index points to the record of ts at a global address.
bool indexed_at(DatasetInner& in, int64_t ts, uint64_t block_offset, uint16_t in_block) {
    auto e = in.index.lookup(ts);
    // An entry that cannot be read is taken as pointing there: nothing is counted for it.
    if (!e.ok()) return true;
    return *e && (*e)->block_offset == block_offset && (*e)->in_block == in_block;
}

// The newest data segment's records that no index entry points to beyond what its invalid
// count holds and beyond the count-due records still to be added to it (their segments'
// bases in `due_bases`): its base and their number.
Result<std::pair<uint64_t, uint64_t>> unindexed_records(DatasetInner& in, const std::vector<uint64_t>& due_bases) {
    const SegmentSet::Unindexed u = BRVL_TRY(in.segments.unindexed_records(
        [&](int64_t ts, uint64_t block_offset, uint16_t in_block) { return indexed_at(in, ts, block_offset, in_block); }));
    const uint64_t counted = u.invalid + static_cast<uint64_t>(std::count(due_bases.begin(), due_bases.end(), u.base));
    return std::pair<uint64_t, uint64_t>(u.base, u.unindexed > counted ? u.unindexed - counted : 0);
}

}  // namespace

std::optional<uint64_t> segment_invalid_count(const DatasetInner& in, uint64_t block_offset) {
    const uint64_t base = segment_base_of(in, block_offset);
    if (const DataSegment* seg = in.segments.find_open(base)) return seg->invalid_record_count();
    if (const ClosedSegment* c = in.segments.find_closed(base)) return c->stats.invalid_record_count;
    return std::nullopt;
}

Status prepare_count(DatasetInner& in, const std::optional<IndexEntry>& old) {
    if (!old || old->is_sentinel()) return {};
    BRVL_TRY(in.segments.prepare_mark_invalid(old->block_offset));
    if (segment_base_of(in, old->block_offset) < in.state.stats_watermark()) BRVL_TRY(in.state.prepare());
    return {};
}

void count_invalid(DatasetInner& in, const IndexEntry& old, BlockCache* cache) {
    if (old.is_sentinel()) return;
    if (cache) cache->remove(block_key_of(in, old.block_offset));
    Status counted = count_record_invalid(in, old.block_offset);
    if (counted.ok()) counted = in.index.counted(old.timestamp);
    if (!counted.ok()) {
        // The change is made: its count-due record keeps what is left to count.
        log::warn(log::kDataset, "[dataset] counting the record of timestamp {} replaced by a change: {}; counted later",
                  old.timestamp, counted.error());
        in.counts_left = true;
    }
}

void uncount_stored(DatasetInner& in, const IndexEntry& stored) {
    if (Status counted = count_record_invalid(in, stored.block_offset); !counted.ok()) {
        log::warn(log::kDataset, "[dataset] cannot count the unindexed record of timestamp {}: {}", stored.timestamp,
                  counted.error());
    }
}

// A kill (or a failed count) between an index change and the count of the record it
// replaced left a count-due record: when the entry did change, the counts still at their
// values from before the change get the record. Done or not, the record is removed; one
// whose entry cannot be read stays for the next open.
Status settle_counts_due(DatasetInner& in) {
    for (const auto& [start, due] : in.index.counts_due()) {
        auto short_of = due_short(in, due);
        if (!short_of.ok()) continue;
        if (const std::optional<DueShort>& s = *short_of) {
            if (s->segment || s->total)
                log::warn(log::kDataset, "[dataset] counting the record of timestamp {} replaced by an interrupted change",
                          due.old.timestamp);
            if (s->segment) BRVL_TRY(in.segments.mark_invalid(due.old.block_offset));
            if (s->total) BRVL_TRY(in.state.increment_invalid());
        }
        BRVL_TRY(in.index.clear_count_due(start));
    }
    in.counts_left = false;
    return {};
}

Status settle_unindexed(DatasetInner& in) {
    const auto [base, n] = BRVL_TRY(unindexed_records(in, {}));
    if (n == 0) return {};
    log::warn(log::kDataset,
              "[dataset] counting {} record(s) of data segment {} that no index entry points to (a write interrupted "
              "before its index entry)",
              n, base);
    for (uint64_t i = 0; i < n; ++i) BRVL_TRY(count_record_invalid(in, base));
    return {};
}

Result<uint64_t> uncounted_invalid(DatasetInner& in) {
    // A writable dataset has counted everything but what a failed count left due.
    if (!in.segments.read_only() && !in.counts_left) return 0;
    uint64_t n = 0;
    std::vector<uint64_t> due_bases;  // of the records whose segment count is due
    for (const auto& [start, due] : BRVL_TRY(in.index.current_counts_due())) {
        auto s = due_short(in, due);
        if (!s.ok() || !*s) continue;
        n += ((*s)->folded ? (*s)->total : (*s)->segment) ? 1 : 0;
        if ((*s)->segment) due_bases.push_back(segment_base_of(in, due.old.block_offset));
    }
    if (in.segments.read_only()) n += BRVL_TRY(unindexed_records(in, due_bases)).second;
    return n;
}

}  // namespace dataset_detail

}  // namespace brenvale
