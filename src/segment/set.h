// The data segment files of one dataset as one sequence of global offsets: the segment
// with base B holds block offsets B .. B + span - 1 and lives in <dataset>/data/<B as 20
// zero-padded digits>. Segments open lazily; the latest takes new records, grows, and
// rolls over to a new file when full. Used only under the dataset's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cache.h"
#include "dirty_list.h"
#include "error.h"
#include "paths.h"
#include "segment/data.h"
#include "segment/stage_area.h"
#include "types.h"
#include "util.h"

namespace brenvale {

// Receives the statistics of finished segments (the dataset state file implements it).
class SegmentStatsSink {
public:
    virtual ~SegmentStatsSink() = default;
    // The base offset below which every segment's statistics have been added.
    virtual uint64_t stats_watermark() const = 0;
    // Adds the list to the totals and stores the new watermark.
    virtual Status add_segment_stats(uint64_t new_watermark, const std::vector<SegmentStats>& stats) = 0;
};

// The settings of a dataset's segments: the span (data_segment_size), the initial size of
// new files, their compression, and whether the set only reads.
struct SegmentSetOptions {
    uint64_t span = 1;
    uint64_t initial_size = 0;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
    bool read_only = false;
};

// A segment whose file is not mapped: its path, file size and kept statistics.
struct ClosedSegment {
    std::string path;
    uint64_t file_size = 0;
    SegmentStats stats;
};

// Where SegmentSet::write put a record.
struct SegmentWrite {
    uint64_t base = 0;
    uint64_t position = 0;
    uint16_t in_block = 0;
    uint64_t block_offset() const { return base + position; }
};


class SegmentSet {
public:
    SegmentSet(SegmentSet&&) noexcept = default;
    SegmentSet& operator=(SegmentSet&&) noexcept = default;

    // Creates <dataset_dir>/data with its stage file at its full length and returns an
    // empty set; no segment file until the first record.
    static Result<SegmentSet> create_dir(const std::string& dataset_dir, const SegmentSetOptions& options);
    // Lists <dataset_dir>/data into closed entries (no file stays mapped), each checked as
    // opening it for use would: a writable set repairs what a kill left half done in every
    // file and removes a file left without a header, then brings the stage file to its full
    // length. A read-only set maps files read-only, takes the repaired values in memory and
    // refuses every change.
    static Result<SegmentSet> open_dir(const std::string& dataset_dir, const SegmentSetOptions& options);

    // The open segment of a base (opened on first use).
    Result<DataSegment*> get(uint64_t base);
    // The open segment holding a global offset. Out of descriptors, the set's other
    // segments are closed and the open tried once more; when it still fails, that I/O
    // error is returned. Every other failure is "no segment contains offset {}".
    Result<DataSegment*> locate(uint64_t offset);

    // Writes a record into the latest segment, growing or rolling over as needed. A write
    // that fails leaves the set as it was: a file it made is removed again. The sink's
    // watermark tells which files are folded (never written again); nothing is folded here.
    Result<SegmentWrite> write(int64_t timestamp, std::span<const uint8_t> data, SegmentStatsSink* sink);
    // Folds the statistics of every segment below the newest into the sink (a new file
    // holds a record: the others take no more). Called once a change is complete, so that
    // no change in flight sees a segment's totals move, and a file is folded only once the
    // file after it holds a record.
    Status fold_finished(SegmentStatsSink* sink);
    // Whether fold_finished has anything to fold for a sink at this watermark (the newest
    // segment lies above it).
    bool unfolded_below_newest(uint64_t watermark) const {
        return !entries_.empty() && entries_.rbegin()->first > watermark;
    }
    // Appends to the record at (global block offset, in_block) in the latest segment;
    // returns the record's data length before the append.
    Result<uint32_t> append_at(uint64_t block_offset, uint16_t in_block, std::span<const uint8_t> data);
    Status correction_write(uint64_t block_offset, uint16_t in_block, std::span<const uint8_t> data);

    // The record's own timestamp with its length.
    Result<RecordLength> read_length(uint64_t block_offset, uint16_t in_block, BlockCache* cache);
    // Same, for anything carrying block_offset and in_block (an index entry).
    template <typename EntryT>
    Result<RecordLength> read_length(const EntryT& entry, BlockCache* cache) {
        return read_length(entry.block_offset, entry.in_block, cache);
    }
    Result<Record> read_record(uint64_t block_offset, uint16_t in_block,
                                                                 BlockCache* cache);
    // Counts the record at a global offset as invalid; true when its segment was closed
    // (opened for the update and closed again).
    Result<bool> mark_invalid(uint64_t block_offset);
    // Makes sure that mark_invalid of a record at this offset needs nothing it may fail to
    // get (a descriptor, a mapping, the blocks of the header): its segment is opened, before
    // a change that counts it afterwards stores anything. A segment that was closed is
    // closed again by done_counting, so that counts across many old segments keep no
    // descriptor past their call.
    Status prepare_mark_invalid(uint64_t block_offset);
    // Flushes and closes the segment prepare_mark_invalid opened, if any (a failure leaves
    // it open, to be flushed later, and is returned).
    Status done_counting();

    // The place the next record written takes at the earliest: every record the set holds
    // lies below it (opens the newest segment); and the invalid count of its segment (0 for
    // a segment yet to be made).
    struct NextPlace {
        RecordPlace place;
        uint64_t segment_invalid = 0;
    };
    Result<NextPlace> next_place();
    // The newest record of the set (of the newest segment holding records): its place and
    // timestamp; nothing when there is none or its block cannot be read. `from`, a place
    // that lies at a block start at or below it, saves the walk to its block.
    struct Newest {
        RecordPlace place;
        int64_t timestamp = 0;
    };
    Result<std::optional<Newest>> newest_record(std::optional<RecordPlace> from = std::nullopt);
    // A read-only set beside a writer: the newest record the writer has committed (after
    // current_stats_from, which lists the directory again). Nothing without records.
    Result<std::optional<Newest>> current_newest_record(std::optional<RecordPlace> from = std::nullopt);

    // Flushes every mapped open segment in base order; the first failure stops.
    Status flush_all();
    // Flushes one segment named by a dirty entry; absent, closed or clean segments are skipped.
    Status flush_dirty(uint64_t base);
    // Flushes and unmaps every open segment, keeping its statistics as a closed entry, and
    // gives back the stage file's descriptor.
    Status close_all();
    // Removes every closed, non-empty segment whose maximum timestamp is below the threshold.
    std::vector<SegmentStats> reclaim(int64_t threshold);

    void set_notifier(std::optional<DirtyNotifier> notifier);
    void set_owner(uint64_t owner) { owner_ = owner; }

    const std::string& dir() const { return dir_; }
    uint64_t span() const { return span_; }
    uint64_t owner() const { return owner_; }
    uint64_t next_base() const { return next_base_; }
    // The base of the newest file ever created: next base - span (0 below the span).
    uint64_t latest_base() const { return next_base_ < span_ ? 0 : next_base_ - span_; }
    bool read_only() const { return read_only_; }
    size_t count() const { return entries_.size(); }
    // Segments that are open and mapped.
    size_t open_count() const;
    std::vector<uint64_t> bases() const;
    // The open segment of a base, without opening it.
    DataSegment* find_open(uint64_t base) const;
    const ClosedSegment* find_closed(uint64_t base) const;
    // Statistics of the segment with the highest base (current values while open).
    std::optional<SegmentStats> last_stats() const;
    // Statistics of the newest segment that holds records.
    std::optional<SegmentStats> newest_stats_with_records() const;
    // The summed statistics of the segments at or above a base: those not yet folded into
    // the dataset's totals when the base is the totals' watermark.
    SegmentStats stats_from(uint64_t base) const;
    // The statistics of each segment below a base, in base order.
    std::vector<SegmentStats> stats_below(uint64_t base) const;
    // The same for the records the files hold now: a read-only set lists the directory
    // again (a writer in another process adds and removes files) and takes each segment's
    // counters as the writer last committed them.
    Result<SegmentStats> current_stats_from(uint64_t base);
    std::optional<MonoInstant> last_write() const { return last_write_; }

private:
    struct Entry {
        std::unique_ptr<DataSegment> open;  // null while closed
        ClosedSegment closed;
        SegmentStats stats() const { return open ? open->stats() : closed.stats; }
    };

    SegmentSet() = default;
    // A set with its settings and no entries.
    static SegmentSet configured(const std::string& dataset_dir, const SegmentSetOptions& options);

    // A segment file of the directory: its base, its name and the inode number the listing
    // gives it.
    struct ListedFile {
        uint64_t base = 0;
        std::string name;
        uint64_t id = 0;
    };
    // The segment files of the directory (nothing when it cannot be examined).
    Result<std::vector<ListedFile>> list_segment_files() const;
    Status add_listed_entries();
    // Adds a closed entry for each listed file without one; a read-only set maps anew an
    // open one whose file was made again under its name.
    Status add_entries(std::vector<ListedFile> listed);
    Result<std::optional<ClosedSegment>> check_listed(const std::string& path, uint64_t base, bool newest);
    // Flushes and unmaps an open entry, keeping its statistics as a closed one.
    Status close_entry(Entry& e) const;
    Status report_stats(uint64_t new_base, SegmentStatsSink* sink);
    // Makes the file of a base, the newest; the one before it gives its descriptor back.
    Result<DataSegment*> create_segment(uint64_t base);
    // Removes again a file that a failed write created and that holds nothing; the next
    // base goes back to it. Whether it was removed.
    bool discard_created(uint64_t base);
    // The file a roll-over left, once the next file holds the record: left as the record
    // leaves it (its pending block sealed when the record would not go into it) and made
    // durable. A failure is logged: the record is in.
    void leave_full(DataSegment& full, uint64_t size) const;
    // Appends, growing the file while it is below its size limit. Segment-full at the
    // limit (the caller rolls over); a grow that fails gives its own error.
    Result<RecordLocation> append_growing(DataSegment* seg, int64_t timestamp, std::span<const uint8_t> data);
    Status check_writable() const {
        if (read_only_) return Error::invalid_data("data segment set is opened read-only");
        return ok_status();
    }

    std::string dir_;
    uint64_t span_ = 1;
    uint64_t initial_size_ = 0;
    uint8_t compress_level_ = 0;
    uint8_t compress_type_ = 0;
    bool read_only_ = false;
    std::map<uint64_t, Entry> entries_;
    uint64_t next_base_ = 0;
    uint64_t owner_ = 0;
    std::optional<DirtyNotifier> notifier_;
    std::optional<MonoInstant> last_write_;
    // The segment prepare_mark_invalid made ready for a count, and whether it was closed
    // before (done_counting closes it again).
    struct Counting {
        uint64_t base = 0;
        bool was_closed = false;
    };
    std::optional<Counting> counting_;
    // The dataset's stage file, lent to every segment (its address outlives moves of the set).
    std::unique_ptr<StageArea> stage_;
};

}  // namespace brenvale
