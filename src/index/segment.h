// One index segment file: the 128-byte header followed by 32-byte entries that map a
// timestamp to the block and slot of its record. Entries are appended at the end or
// overwritten in place, directly in the mapping; searches run on the mapping too.
// The operations live by concern: the file's lifecycle (create, open, map, refresh, flush)
// in segment.cpp, entry reads and writes in segment_entries.cpp, searches and the placement
// checks of damaged entries in segment_search.cpp.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dirty_list.h"
#include "error.h"
#include "file.h"
#include "format/header.h"
#include "format/index_entry.h"
#include "live_wait.h"
#include "paths.h"
#include "util.h"

namespace brenvale {

// Whether a segment file holds nothing but zero bytes (none at all included): what a
// kill between creating the file and writing its header leaves. Such a file has no entry.
bool index_file_unwritten(std::span<const uint8_t> bytes);


// The timestamp of the record an index entry points to, read from the data files. Of two
// neighbouring sparse entries out of order, the one whose record has another timestamp is
// the damaged one. Nothing when the record cannot be read.
class RecordCheck {
public:
    virtual ~RecordCheck() = default;
    virtual std::optional<int64_t> record_timestamp(const IndexEntry& e) = 0;
};

// A change in flight and the counts it leaves to do, kept in the newest index segment's
// header (doc/formats.md) from before the change stores anything, so that an open after a
// kill in between finishes what is missing:
// - a change of an entry (an out-of-order write, a delete): the entry as it was (its record
//   becomes invalid once the entry changes) and the counts before the change, and for a
//   write the place its new record takes at the earliest (every record stored before the
//   change lies below it); cleared once its counts are stored;
// - a new latest record (`append`): its timestamp, the place its record takes at the
//   earliest and the invalid count of that place's data segment; a record stored there
//   without its entry counts as invalid. Cleared once the entry is made.
// Records of an earlier version lie in the segment of the entry and name no place.
struct CountDue {
    static constexpr uint64_t kNotInTotals = ~uint64_t{0};
    IndexEntry old;                           // an append: only its timestamp
    uint64_t segment_invalid = 0;             // the invalid count of the record's data segment
    uint64_t total_invalid = kNotInTotals;    // the state file's total, when that segment is in it
    std::optional<RecordPlace> record_from;   // a write's; none for a delete
    bool append = false;
    bool in_own_segment = false;              // an earlier version's record
    // No change: the fields of a cleared record that a kill left before they were zeroed
    // (or a flag of no kind this system writes). Nothing to count; a writable open zeroes it.
    bool leftover = false;
};

// Where the count-due record lies in an index segment's header.
namespace count_due_at {
inline constexpr size_t kRecordFrom = 72;  // u64 block offset of the place a write's record takes; all ones: none
inline constexpr size_t kFlag = 80;        // u64: the kind below, 0 when none
inline constexpr size_t kTimestamp = 88;
inline constexpr size_t kBlockOffset = 96;
inline constexpr size_t kInBlock = 104;
inline constexpr size_t kRecordFromInBlock = 106;  // u16 in_block of that place
inline constexpr size_t kSegmentInvalid = 112;
inline constexpr size_t kTotalInvalid = 120;
inline constexpr size_t kEnd = 128;
inline constexpr uint64_t kOwnSegment = 1;  // an earlier version's change of an entry
inline constexpr uint64_t kChange = 2;
inline constexpr uint64_t kAppend = 3;
}  // namespace count_due_at

// The change count of a segment's in-place entry rewrites: odd from before a rewrite's
// first store into an entry until after its last, so that a reader in another process can
// tell that its read of entries raced with one and read again (appends never rewrite: a
// reader trusts the entries below the written position).
inline constexpr size_t kChangeCountAt = 64;  // u64 in the header's reserved bytes

// Whether a header leaves room for the change count (its state block ends before it).
bool change_count_room(const IndexHeader& header);

// Whether a header leaves room for the count-due record (its state block ends before it),
// and the record in 128 header bytes, when its flag is set or a field is not zero.
bool count_due_room(const IndexHeader& header);  // from byte 72 on
std::optional<CountDue> decode_count_due(const uint8_t* header);

// What a new index segment file is made with.
struct IndexSegmentOptions {
    uint64_t initial_size = 0;
    uint64_t size_limit = 0;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
};

class IndexSegment {
public:
    IndexSegment(IndexSegment&& o) noexcept;
    IndexSegment& operator=(IndexSegment&& o) noexcept;
    IndexSegment(const IndexSegment&) = delete;
    IndexSegment& operator=(const IndexSegment&) = delete;
    // Flushes and unmaps; a failed flush is logged.
    ~IndexSegment();

    // Creates <dir>/<name of start> holding whole entries only. The header is written
    // under a temporary name that is then renamed into place, so that a kill leaves
    // either no segment file or a valid empty one. An existing file of that name is
    // taken over only when it is a valid, empty segment of this start, and replaced
    // (with a warning) when it was left unwritten; otherwise its problem is reported.
    static Result<IndexSegment> create(const std::string& dir, int64_t start, const IndexSegmentOptions& options);
    // Opens an existing segment file, checking its header and every written entry.
    // A read-only segment maps its file read-only and refuses every change.
    static Result<IndexSegment> open(const std::string& path, int64_t expected_start, uint64_t size_limit,
                                     bool read_only = false);
    // The timestamp of the last written entry of a segment file, read through its own
    // read-only mapping; nothing for a segment without entries.
    static Result<std::optional<int64_t>> read_last_timestamp(const std::string& path);

    // Maps the file again after an unmap; nothing to do while mapped.
    Status ensure_open();
    // Read-only segment beside a live writer: takes the entry count from the written
    // position in the mapping, mapping the file again when the writer has grown it.
    Status refresh();
    // Appends at the end; segment-full when no slot is left (nothing changes then).
    Status append_entry(const IndexEntry& e);
    // Appends, growing the file by doubling up to the size limit. Segment-full only when
    // the file is at its limit, after flushing it.
    Status append_entry_growing(const IndexEntry& e);
    // Appends filler entries for the `fillers` timestamps from `first` on, then `last` when
    // given, and makes them all visible with one store of the written position: a reader in
    // another process sees the run whole or not at all. Grows the file as append_entry_growing
    // does; when the file at its limit cannot hold the whole run, what fits is appended and
    // the segment-full error returned.
    Status append_run(int64_t first, uint64_t fillers, const IndexEntry* last);
    // Grows the file until it holds `count` entries, or to its size limit.
    Status reserve_entries(uint64_t count);
    // Doubles the file size, up to the size limit.
    Status grow();
    // Overwrites a written entry in place, inside the change count. An entry that keeps
    // its timestamp (every rewrite the index makes) gets its new address in one store
    // instruction, so that a kill leaves the old entry or the new one.
    Status write_entry(uint64_t index, const IndexEntry& e);
    // Reads a written entry (mapping the segment when needed).
    Result<IndexEntry> read_entry(uint64_t index);
    // Keeps a count-due record in the header until clear_count_due (nothing in a header
    // whose state block leaves no room for it: the change then goes without it).
    Status set_count_due(const CountDue& due);
    // The record of a new latest record (a prepared segment), cleared by clear_count_due.
    // Its fields may hold those of an earlier record that was not cleared (a kill after its
    // entry): each is one store.
    void set_append_record(int64_t ts, RecordPlace from, uint64_t segment_invalid);
    // Maps the segment and allocates its blocks, so that a change stores into it without
    // meeting a full disk.
    Status prepare_change() {
        if (allocated_ && is_mapped() && !read_only_) return ok_status();
        return prepare_change_slow();
    }
    void clear_count_due();
    // The count-due record of a mapped segment, or of a file's bytes with this header.
    std::optional<CountDue> count_due() const;
    static std::optional<CountDue> read_count_due(const IndexHeader& header, std::span<const uint8_t> bytes);
    // The count-due record of a segment file, read from its header.
    static Result<std::optional<CountDue>> read_count_due(const std::string& path);
    // Entry i of a mapped segment when read_entry would give it without a fault (written,
    // inside the mapping, reserved bytes zero); nothing otherwise. It stamps no activity:
    // for the steps of a walk that read_entry started.
    // The bytes are decoded straight into out (an optional in between costs a walk its
    // speed).
    bool mapped_entry(uint64_t i, IndexEntry& out) const {
        if (i >= entry_count_) return false;
        const uint8_t* p = entry_at(i);
        if (p == nullptr || !IndexEntry::reserved_zero(p)) return false;
        out = IndexEntry::decode(p);
        return true;
    }

    // The key range of a sparse segment is [start, key_last]: key_last is one below the
    // next segment's start (the largest timestamp when it is the newest). The index sets
    // it whenever it hands the segment out.
    void set_key_last(int64_t key_last) { key_last_ = key_last; }
    int64_t key_last() const { return key_last_; }
    // Where the records' own timestamps can be read (none: they are not consulted). The
    // index sets it with the key range; it must outlive every search.
    void set_record_check(RecordCheck* records) { records_ = records; }
    // Whether written entry i (inside the mapping) is well placed. Continuous: it holds the
    // timestamp of its own slot. Sparse: it lies in the key range and is not to blame for
    // breaking the order with a neighbour (see blamed). Malformed entries are skipped by
    // every search and scan, so one damaged entry hides nothing but itself.
    bool well_placed(uint64_t i, bool continuous) const;
    // Whether continuous entry i, read as ts, holds the timestamp of its own slot.
    bool in_own_slot(uint64_t i, int64_t ts) const {
        return ts == static_cast<int64_t>(static_cast<uint64_t>(start_) + i);
    }
    // Whether sparse entry i, read as ts, lies in the key range and in order with both
    // neighbours: well placed at a glance (the iterator's step). False says nothing.
    bool plainly_placed(uint64_t i, int64_t ts) const {
        if (ts < start_ || ts > key_last_) return false;
        if (i > 0 && ts_at(i - 1) >= ts) return false;
        const uint8_t* next = i + 1 < entry_count_ ? entry_at(i + 1) : nullptr;
        return next == nullptr || ts < IndexEntry::timestamp_at(next);
    }

    // Runs `read` (reads of entries, giving a Result or Status) so that it saw no entry
    // rewritten under it: in a read-only segment beside a live writer, while the change
    // count is even and again when the count moved meanwhile. A count that stays odd is a
    // killed writer's rewrite, read through after LiveWait::kAbandonAfter. A writable
    // segment (whose rewrites run under the same lock as its reads) just runs it.
    template <typename Read>
    auto steady(Read&& read) const -> decltype(read());

    // Searches on the current mapping; an unmapped segment finds nothing and malformed
    // entries count as absent.
    std::optional<IndexEntry> lookup_continuous(int64_t ts) const;
    std::optional<IndexEntry> lookup_sparse(int64_t ts) const;
    // The entry of ts with its index. Continuous: only the first `limit` slots (all
    // written ones when not given) are considered.
    std::optional<std::pair<uint64_t, IndexEntry>> find(int64_t ts, bool continuous,
                                                        std::optional<uint64_t> limit = std::nullopt) const;
    // How many leading entries have a timestamp <= ts.
    uint64_t upper_bound(int64_t ts, bool continuous) const;
    // The first entry index whose timestamp is >= ts (entry_count when none).
    uint64_t lower_bound(int64_t ts, bool continuous) const;
    // Where a scan from ts upward (scan_from) or from ts downward (scan_below, exclusive)
    // begins. Sparse: two entries wider than the searches, as two adjacent entries that
    // are both kept (see well_placed) may stand out of order around the answer.
    uint64_t scan_from(int64_t ts, bool continuous) const;
    uint64_t scan_below(int64_t ts, bool continuous) const;
    // The entries with start <= timestamp <= end, in entry order, sentinels included.
    std::vector<IndexEntry> range(int64_t start, int64_t end, bool continuous) const;
    // The same entries appended to out.
    void append_range(int64_t start, int64_t end, bool continuous, std::vector<IndexEntry>& out) const;
    // At least as many as range() returns (for reserving).
    uint64_t range_bound(int64_t start, int64_t end, bool continuous) const;

    // msync of the mapping when it holds unflushed changes; marks the segment clean.
    Status flush();
    // Flush on behalf of a taken dirty-list entry: flushes unflushed changes, and clears
    // the registration so the next change reports the segment again. On a failed flush
    // the segment reports itself again.
    Status flush_dirty();
    // Drops the mapping without flushing (the caller has flushed).
    void unmap();
    void set_notifier(std::optional<DirtyNotifier> notifier);
    // Forgets an outstanding dirty-list registration (after a flush by the index).
    void clear_dirty_registered() { dirty_registered_ = false; }

    bool is_mapped() const { return map_.data() != nullptr; }
    const std::string& path() const { return path_; }
    int64_t start() const { return start_; }
    uint64_t capacity() const { return capacity_; }
    uint64_t entry_count() const { return entry_count_; }
    uint64_t file_size() const { return file_size_; }
    uint64_t max_file_size() const { return max_file_size_; }
    uint64_t entry_area_start() const { return kIndexEntryStart; }
    bool is_clean() const { return clean_; }
    bool dirty_registered() const { return dirty_registered_; }
    MonoInstant last_used() const { return last_used_; }
    // Timestamp of the last written entry; nothing when there is none.
    std::optional<int64_t> last_timestamp() const { return last_ts_; }

private:
    IndexSegment() = default;
    void release();
    void mark_changed();
    void touch() { last_used_ = coarse_now(); }
    // Pointer to entry i when its 32 bytes lie inside the mapping, else null.
    const uint8_t* entry_at(uint64_t i) const {
        if (!is_mapped() || i >= index_slots_for(map_.size())) return nullptr;
        return map_.data() + index_entry_pos(i);
    }
    // Timestamp of entry i, which lies inside the mapping.
    int64_t ts_at(uint64_t i) const { return IndexEntry::timestamp_at(map_.data() + index_entry_pos(i)); }
    // Entries that are both written and inside the mapping.
    uint64_t reachable_count() const;
    // Sparse, of the first n entries: whether entry i breaks the order with a neighbour
    // (or the key range) while its neighbours are in order without it.
    bool sparse_outlier(uint64_t i, uint64_t n) const;
    bool sparse_well_placed(uint64_t i, uint64_t n) const;
    // Sparse, of the first n entries: whether entry i is the damaged one of it and its
    // neighbour j, the two being out of order. The one outside the key range is; else a
    // first entry other than the segment's start is (an equal one is right); else an
    // outlier beside a neighbour that is none; else the one whose record has another
    // timestamp, or the neighbour of one whose record has its own. When nothing tells them
    // apart, neither is blamed and both are kept.
    bool blamed(uint64_t i, uint64_t j, uint64_t n) const;
    // Whether entry i's record has the entry's timestamp; nothing when it cannot be told.
    std::optional<bool> record_agrees(uint64_t i) const;
    // The timestamp a search goes by for entry i: its own when well placed, else that of
    // the nearest well-placed entry after it (before it at the end), so that a damaged
    // entry never sends a search the wrong way.
    int64_t search_key(uint64_t i, uint64_t n) const;
    // Sparse order: the first of the first n entries whose timestamp is >= ts (upper:
    // > ts), n when there is none; malformed entries do not count.
    uint64_t sparse_search(int64_t ts, bool upper, uint64_t n) const;
    // The search itself, going by key(i) for the entries below `reachable`.
    template <typename Key>
    uint64_t search_by(int64_t ts, bool upper, uint64_t n, uint64_t reachable, Key key) const;
    // The answer p of a search by the stored timestamps when it stands, else the search
    // made again over the well-placed entries.
    uint64_t settle_search(uint64_t p, int64_t ts, bool upper, uint64_t n, uint64_t reachable) const;
    // Allocates the blocks of the mapped file before the first change stores into it (a
    // full disk would end that store in SIGBUS); the I/O error when there is no room.
    Status ensure_allocated();
    Status prepare_change_slow();
    void store_entry(uint64_t i, const IndexEntry& e);
    // Stores `count` entries from entry_count on, then the written position after them.
    Status publish_entries(uint64_t count);
    // The change count (0 without room for it); making it odd before a rewrite and even after.
    uint64_t change_count() const;
    void begin_rewrite();
    void end_rewrite();
    // Whether the odd count `count` has stayed LiveWait::kAbandonAfter across the waits of
    // steady: a killed writer's, given up on (with a warning) and read through from then on.
    bool rewrite_abandoned(LiveWait& wait, uint64_t count) const;

    std::string path_;
    // Only the mapping is kept: no descriptor stays open per segment.
    Mapping map_;
    std::optional<DirtyNotifier> notifier_;
    MonoInstant last_used_{};
    int64_t start_ = 0;
    uint64_t capacity_ = 0;
    uint64_t entry_count_ = 0;
    uint64_t file_size_ = 0;
    uint64_t max_file_size_ = 0;
    std::optional<int64_t> last_ts_;
    int64_t key_last_ = std::numeric_limits<int64_t>::max();
    RecordCheck* records_ = nullptr;
    bool clean_ = true;
    bool dirty_registered_ = false;
    bool read_only_ = false;
    // The blocks of the mapped file are known to be allocated.
    bool allocated_ = false;
    // The header's state block ends before the count-due record (every header this system writes).
    bool due_room_ = false;
    // ... and before the change count.
    bool count_room_ = false;
    // The odd change count a killed writer left, read through (a read-only segment).
    mutable uint64_t abandoned_count_ = 0;
    // Where the state block lies in the mapping.
    StateLocator state_locator_;
};

template <typename Read>
auto IndexSegment::steady(Read&& read) const -> decltype(read()) {
    if (!read_only_ || !count_room_ || !is_mapped()) return read();
    LiveWait wait("index segment {}: its entries kept changing while they were read");
    for (;;) {
        const uint64_t before = change_count();
        observe_fence();
        if ((before & 1) == 0 || before == abandoned_count_ || rewrite_abandoned(wait, before)) {
            auto result = read();
            observe_fence();
            if (change_count() == before) return result;
        }
        BRVL_TRY(wait.next(path_));
    }
}

}  // namespace brenvale
