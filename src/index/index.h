// The index of one dataset: timestamps to record addresses over the index segment files
// in <dataset dir>/index, in sparse mode (strictly increasing timestamps, segments named
// by their first timestamp) or continuous mode (one slot per timestamp from a base,
// segments on the grid base + k*n, skipped slots holding filler entries).
// Segments stay closed, with their entry count and last timestamp remembered, until an
// operation needs them. No lock of its own: the dataset mutex guards every call.
// The operations live by concern: the slot map and segment lifecycle in index.cpp, the
// directory listing (open, a reader's refresh) in directory.cpp, appends, out-of-order
// placement and deletes in append.cpp, lookups, range lists and cursor scans in scan.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "dirty_list.h"
#include "error.h"
#include "file.h"
#include "index/segment.h"

namespace brenvale {

// Receives the index-visible range (smallest start, largest last timestamp of the
// segments that have one) before a new segment is created. The dataset state file
// implements it.
class IndexRangeSink {
public:
    virtual ~IndexRangeSink() = default;
    virtual Status update_range(std::optional<std::pair<int64_t, int64_t>> range) = 0;
};

// The settings of a dataset's index.
struct IndexOptions {
    uint64_t segment_size = 0;          // index_segment_size
    uint64_t initial_segment_size = 0;  // initial_index_segment_size
    bool continuous = false;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
    bool read_only = false;
};

// A segment known only by what its file said at the last close or open.
struct ClosedIndexSegment {
    std::string path;
    int64_t start = 0;
    uint64_t capacity = 0;
    uint64_t entry_count = 0;
    uint64_t entry_area_start = kIndexEntryStart;
    std::optional<int64_t> last_timestamp;  // none when empty or unknown
    bool header_readable = true;            // false: a damaged file, neither empty nor known
    bool unwritten = false;                 // nothing but zero bytes: created, never given a header
    std::optional<CountDue> count_due;      // a change a kill left uncounted
};

using IndexSlot = std::variant<IndexSegment, ClosedIndexSegment>;

// Where a scan found its last entry, so that the next step continues from there. It also
// remembers the open segment it points into and the index's slot generation at that
// moment: while the generation is unchanged the segment is still open at the same place,
// and the next step reads the neighbouring entry straight from it.
struct IndexCursor {
    int64_t segment_start = 0;
    uint64_t entry_index = 0;
    IndexSegment* segment = nullptr;
    uint64_t generation = 0;
    bool operator==(const IndexCursor& o) const {
        return segment_start == o.segment_start && entry_index == o.entry_index;
    }
};

struct IndexHit {
    int64_t segment_start = 0;
    uint64_t entry_index = 0;
    IndexEntry entry;
    IndexSegment* segment = nullptr;
    uint64_t generation = 0;
    IndexCursor cursor() const { return {segment_start, entry_index, segment, generation}; }
    static IndexHit at(const IndexCursor& c, const IndexEntry& e) {
        return {c.segment_start, c.entry_index, e, c.segment, c.generation};
    }
};

// A slot as seen from outside (inspect, tests).
struct IndexSlotInfo {
    int64_t start = 0;
    uint64_t entry_count = 0;
    std::optional<int64_t> last_timestamp;
    bool open = false;
};

class Index {
public:
    Index(Index&&) noexcept = default;
    Index& operator=(Index&&) noexcept = default;
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    // Creates the directory (and its parents); the index starts empty.
    static Result<Index> create(const std::string& dir, const IndexOptions& options);
    // Reads every segment file's header and last entry; no segment stays mapped.
    // A missing directory gives an empty index.
    // A read-only index maps its segments read-only and refuses every change.
    static Result<Index> open(const std::string& dir, const IndexOptions& options);

    void set_notifier(std::optional<DirtyNotifier> notifier);
    // Where searches read a record's own timestamp to tell which of two contradicting
    // neighbours is damaged (see IndexSegment::blamed); it must outlive the index's use.
    void set_record_check(RecordCheck* records) { records_ = records; }

    // The entry of ts, sentinels included; nothing when absent.
    Result<std::optional<IndexEntry>> lookup(int64_t ts);
    // A new latest entry (sparse datasets; also usable in continuous mode without fillers).
    Status append(int64_t ts, uint64_t block_offset, uint16_t in_block, IndexRangeSink* sink = nullptr);
    // A new latest entry after `latest` (continuous datasets): the skipped slots of the
    // segments touched get filler entries. Sparse mode appends as `append`.
    Status append_latest(std::optional<int64_t> latest, int64_t ts, uint64_t block_offset, uint16_t in_block,
                         IndexRangeSink* sink = nullptr);
    // An entry below the latest: replaces the existing entry and returns it (possibly a
    // sentinel); in continuous mode a missing slot is filled in and the sentinel returned.
    Result<IndexEntry> overwrite(int64_t ts, uint64_t block_offset, uint16_t in_block,
                                 IndexRangeSink* sink = nullptr);
    // Whether `overwrite` of ts would be refused by the index: every refusal it can give
    // comes here first, so that the caller writes no record the index will not take. Gives
    // the entry the overwrite will replace (nothing: it fills a continuous hole).
    Result<std::optional<IndexEntry>> check_overwrite(int64_t ts);
    // The same for `append` / `append_latest` of a new latest entry ts.
    Status check_append(int64_t ts);
    // The checks of check_append / check_overwrite, and everything the change will need got
    // now (its segment made, opened, grown and allocated; the range sink told of a new
    // segment), so that once a record is stored its entry needs no room, file or
    // descriptor: only stores into mapped segments.
    Status prepare_append(std::optional<int64_t> latest, int64_t ts, IndexRangeSink* sink = nullptr);
    Result<std::optional<IndexEntry>> prepare_overwrite(int64_t ts, IndexRangeSink* sink = nullptr);
    // The live entry `delete_entry` of ts would take (its refusals first).
    Result<IndexEntry> check_delete(int64_t ts);
    // Turns the entry of ts into the sentinel and returns it as it was.
    Result<IndexEntry> delete_entry(int64_t ts);

    // A change in flight (an out-of-order write, a delete) is kept as a count-due record in
    // the newest segment from before it stores anything until its counts are stored
    // (end_change); an open after a kill finishes it from there.
    Status begin_change(const CountDue& due);
    Status end_change();
    // A new latest entry ts about to be stored (after prepare_append): the newest segment
    // keeps where its record goes and that data segment's invalid count until end_change,
    // so that an open after a kill counts a record stored without its entry.
    Status begin_append(int64_t ts, RecordPlace from, uint64_t segment_invalid);
    // The count-due records the segments hold, by segment start: the newest segment's, and
    // those an earlier version left in the segment of their timestamp.
    std::vector<std::pair<int64_t, CountDue>> counts_due() const;
    // The same as the files hold them now: a read-only index beside a writer looks at the
    // newest segment's header again (listing the directory when it changed) and at the
    // headers of the segments that held an earlier version's record. A writable index gives
    // counts_due().
    Result<std::vector<std::pair<int64_t, CountDue>>> current_counts_due();
    Status clear_count_due(int64_t start);
    // A change refused after its prepare_append / prepare_overwrite made a segment (its
    // record could not be stored): that segment goes again when it holds no entry and no
    // change record, so that the refused change leaves no file. Whether it went.
    bool discard_made();
    // Entries with start <= timestamp <= end in ascending order, sentinels included.
    Result<std::vector<IndexEntry>> range(int64_t start, int64_t end);
    // The first entry in [start, end] (after the cursor when given).
    Result<std::optional<IndexHit>> next_forward(int64_t start, int64_t end, std::optional<IndexCursor> cursor);
    // The last entry in [start, end] (before the cursor when given).
    Result<std::optional<IndexHit>> next_backward(int64_t start, int64_t end, std::optional<IndexCursor> cursor);
    // The entry after (forward) or before the cursor's, read straight from the segment the
    // cursor remembers, when that segment is still the one the cursor saw and the entry is a
    // plain hit in [start, end]: the cursor moves onto it. Anything else (an entry not plainly
    // well placed or outside the range, the segment's end, a read-only index, which refreshes its
    // segments on every search) gives false and leaves the step to next_forward /
    // next_backward, which give the same answer, or the error, by search.
    bool step_from_cursor(int64_t start, int64_t end, IndexCursor& cursor, bool forward, IndexEntry& out) const;

    // Smallest start and largest last timestamp over every slot but the newest.
    std::optional<std::pair<int64_t, int64_t>> visible_range() const;
    // Removes every closed segment that holds no entry or whose last entry is below the
    // threshold, deleting its file. Returns how many were removed.
    uint64_t reclaim(int64_t threshold);
    // Flushes, unmaps and closes every open segment. A segment whose flush fails stays
    // open and mapped, and the error is returned.
    Status close_segments();
    // Flushes every open segment.
    Status flush();
    // Flushes the segment named by a taken dirty-list entry; absent or closed: nothing.
    Status flush_dirty(int64_t start);

    // The open, mapped segment of this start (opening a closed slot). The pointer stays
    // valid until the next call that closes or removes slots.
    Result<IndexSegment*> segment_at(int64_t start);
    // Entries per segment: (index_segment_size - 128) / 32.
    Result<uint64_t> entries_per_segment() const;
    // Continuous mode: the start of the segment that holds ts.
    Result<int64_t> continuous_segment_start(int64_t ts) const;

    bool is_continuous() const { return continuous_; }
    const std::string& directory() const { return dir_; }
    std::optional<int64_t> base_timestamp() const { return base_; }
    // The largest last timestamp over all segments (deleted entries count).
    std::optional<int64_t> latest_timestamp() const;
    // A read-only index beside a live writer: the latest timestamp as the files show it now
    // (new segment files and the newest segment's entries looked at again).
    Result<std::optional<int64_t>> current_latest_timestamp();
    // Fails when the newest segment's last entry cannot be read, so that a writer never
    // guesses the latest timestamp.
    Status check_newest_readable() const;
    size_t segment_count() const { return slots_.size(); }
    size_t open_segment_count() const;
    // The slot with the greatest start.
    std::optional<IndexSlotInfo> last_segment() const;
    std::vector<IndexSlotInfo> slots() const;

private:
    Index() = default;
    // An index with its settings and no slots.
    static Index configured(const std::string& dir, const IndexOptions& options);

    // Lists the directory into the slots (see the definition).
    Status scan_directory(bool initial);
    // A read-only index beside a live writer: picks up segment files that were created,
    // replaced or removed since the last look.
    Status refresh_for_reader();
    // The count-due records that `due_of` gives for the slots: the newest slot's, and an
    // earlier version's in the segment of its timestamp (any other is damage, not a change).
    template <typename DueOf>
    std::vector<std::pair<int64_t, CountDue>> own_counts_due(DueOf due_of) const;
    // Continuous mode: the base a new latest entry ts fixes when there is none yet, or the
    // refusal of a ts below it; whether there was one.
    Result<bool> claim_base(int64_t ts);
    // Continuous mode: the smallest start of a segment that holds (or may hold) entries.
    std::optional<int64_t> base_from_slots() const;
    bool any_entries() const;
    // Gives the open segment of a slot its key range (up to the next slot's start) and the
    // record check.
    IndexSegment* with_key_range(std::map<int64_t, IndexSlot>::iterator it);
    // A continuous segment about to be closed off with fillers up to its last slot.
    struct ClosingOff {
        int64_t start = 0;
        int64_t last_slot = 0;
    };
    // The open segment of this start, created when there is none (the sink gets the visible
    // range first, with the segment being closed off counted as closed off).
    Result<IndexSegment*> ensure_segment(int64_t start, IndexRangeSink* sink, const ClosingOff* closing = nullptr);
    Status append_sparse(const IndexEntry& e, IndexRangeSink* sink);
    // The segment a sparse append of ts goes into, with room for the entry: the newest one,
    // grown when full, or a new one named ts (an empty newest one named otherwise replaced).
    Result<IndexSegment*> sparse_target(int64_t ts, IndexRangeSink* sink);
    // Continuous mode: the segment of the latest entry when a new latest ts opens another
    // one, grown to hold its close-off fillers; nothing otherwise.
    Result<std::optional<ClosingOff>> closing_off(std::optional<int64_t> latest, int64_t ts_start);
    Status append_continuous(const IndexEntry& e, IndexRangeSink* sink);
    // Continuous mode: one run into the segment of `start` (created when needed): fillers
    // from its current end up to e's slot and e, or without e up to last_slot; made visible
    // with one store of the written position.
    Status append_continuous_run(int64_t start, const IndexEntry* e, int64_t last_slot, IndexRangeSink* sink,
                                 const ClosingOff* closing = nullptr);
    Result<IndexEntry> fill_hole_and_append(const IndexEntry& e, IndexRangeSink* sink);
    // Entry i of an open segment; a reader's read sees no rewrite run under it.
    Result<IndexEntry> read_entry(IndexSegment& seg, uint64_t i);
    // The segment that would hold ts, opened; nothing when there is no such slot.
    Result<IndexSegment*> segment_for(int64_t ts);
    uint64_t slot_entry_count(int64_t start) const;
    // After an append attempt: keep the latest timestamp in step.
    void note_append(const Status& st, int64_t ts);
    // After any change of the slots (a segment added, removed, opened or closed): cursors
    // made before no longer name their segment by address.
    void slots_changed() { generation_ = next_generation(); }
    // Generations are unique across every index of the process, so that a cursor never
    // matches an index other than its own.
    static uint64_t next_generation();

    std::string dir_;
    std::optional<int64_t> base_;
    std::optional<DirtyNotifier> notifier_;
    RecordCheck* records_ = nullptr;
    uint64_t segment_size_ = 0;
    uint64_t initial_size_ = 0;
    bool continuous_ = false;
    bool read_only_ = false;
    uint8_t compress_level_ = 0;
    uint8_t compress_type_ = 0;
    std::map<int64_t, IndexSlot> slots_;
    // The segment the last prepare made (discard_made removes it again).
    std::optional<int64_t> made_;
    // The segment holding the count-due record of the change in flight, and its address
    // while the slots stay as they were (the slot generation).
    std::optional<int64_t> change_start_;
    IndexSegment* change_segment_ = nullptr;
    uint64_t change_generation_ = 0;
    // Notes the segment that holds the change in flight.
    void hold_change(int64_t start, IndexSegment* seg) {
        change_start_ = start;
        change_segment_ = seg;
        change_generation_ = generation_;
    }
    // Reader bookkeeping: the file identity (inode) behind each slot, and when to list the
    // directory again.
    std::map<int64_t, uint64_t> file_ids_;
    DirectoryWatch watch_;
    // Listings of the directory that changed the slots (a reader's).
    uint64_t listings_ = 0;
    uint64_t generation_ = next_generation();
    // The latest timestamp, kept while valid so that sparse appends need not visit every slot.
    mutable bool latest_valid_ = false;
    mutable std::optional<int64_t> latest_;
};

// Inline: an iterator takes one step per record.
inline bool Index::step_from_cursor(int64_t start, int64_t end, IndexCursor& c, bool forward, IndexEntry& out) const {
    if (read_only_ || c.segment == nullptr || c.generation != generation_ || !c.segment->is_mapped()) return false;
    uint64_t i;
    if (forward) {
        if (c.segment_start > end || c.entry_index == ~uint64_t{0}) return false;
        i = c.entry_index + 1;
    } else {
        if (c.entry_index == 0 || c.entry_index > c.segment->entry_count()) return false;
        i = c.entry_index - 1;
    }
    IndexEntry e;
    if (!c.segment->mapped_entry(i, e) || e.timestamp < start || e.timestamp > end ||
        !(continuous_ ? c.segment->in_own_slot(i, e.timestamp) : c.segment->plainly_placed(i, e.timestamp)))
        return false;
    c.entry_index = i;
    out = e;
    return true;
}

}  // namespace brenvale
