// One data segment file: the 124-byte header, then blocks of records in the block scheme
// of BlockEngine (pending block, sealing, single-record blocks, growth). What a data
// segment adds: timestamps and the invalid count in its state, in-place changes of the last
// record (append, correction), reads through the block cache, and a read-only mode that
// follows a live writer in another process.
//
// Every multi-store change is ordered so that one store of the header state (or of the
// frame length or the block's flags, for in-place changes of the last record) is its
// commit point, and opening a file repairs a change that a killed process left half done.
// Seals and corrections overwrite bytes in place and need no more room than their result:
// both keep their copy in the dataset's stage file (segment/stage_area.h), which has room
// for the largest. Every in-place change runs inside the pending block's change counter
// (BlockEngine), which tells a reader beside the writer to copy again.
//
// The code is split by concern: data.cpp (the file, its mapping, dirty tracking),
// data_write.cpp (the record paths), data_repair.cpp (staging, and the repairs of open),
// data_read.cpp (reads, and the reads and counts beside a live writer).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cache.h"
#include "dirty_list.h"
#include "error.h"
#include "file.h"
#include "format/frame.h"
#include "format/header.h"
#include "format/index_entry.h"
#include "format/stage.h"
#include "segment/block_engine.h"
#include "segment/stage_area.h"
#include "types.h"
#include "util.h"

namespace brenvale {

// Where a record went: the block position (relative to the end of the header) and the
// record's frame offset inside the block payload divided by 4.
struct RecordLocation {
    uint64_t position = 0;
    uint16_t in_block = 0;
    bool operator==(const RecordLocation&) const = default;
};

// What a new data segment file is made with.
struct DataSegmentOptions {
    uint64_t base_offset = 0;
    uint64_t initial_size = 0;
    uint64_t max_size = 0;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
};

// A query iterator's last block: its cache key and a reference that does not keep it alive.
struct HotBlockSlot {
    BlockKey key;
    std::weak_ptr<const HotBlock> block;
    bool has_key = false;

    // The block when the slot holds this key and the block is still alive.
    HotBlockPtr lookup(const BlockKey& k) const { return has_key && key == k ? block.lock() : nullptr; }
    void set(const BlockKey& k, const HotBlockPtr& b) {
        key = k;
        block = b;
        has_key = true;
    }
    void clear() {
        block.reset();
        has_key = false;
    }
};

// One segment's statistics (also what a closed segment keeps).
struct SegmentStats {
    uint64_t base = 0;
    uint64_t record_count = 0;
    uint64_t written_length = 0;  // bytes of blocks after the header
    uint64_t raw_record_bytes = 0;
    uint64_t invalid_record_count = 0;
    int64_t min_timestamp = INT64_MAX;
    int64_t max_timestamp = INT64_MIN;
    bool operator==(const SegmentStats&) const = default;
};

class LiveWait;

class DataSegment final : public BlockEngine {
public:
    // Flushes a mapped, writable segment; a failure is logged.
    ~DataSegment();

    static Result<std::unique_ptr<DataSegment>> create(const std::string& path, const DataSegmentOptions& options);
    // Opens an existing file. A read-only segment maps the file read-only, refuses every
    // change, and repairs an interrupted change in memory only.
    static Result<std::unique_ptr<DataSegment>> open(const std::string& path, uint64_t base_offset,
                                                     uint64_t max_size, bool read_only = false);
    // Maps an unmapped segment again and reloads its state; a mapped one is left alone.
    Status ensure_mapped() override;

    // ---- writing (all refuse a read-only segment) ----
    Result<RecordLocation> append_record(int64_t timestamp, std::span<const uint8_t> data, uint8_t compress_level);
    // Appends to the last record of the pending block; returns its data length before.
    Result<uint32_t> append_to_record(uint64_t position, uint16_t in_block, std::span<const uint8_t> data);
    // Replaces the data of the last record of the pending block, in place; segment-full
    // only when a longer record would end past a file that cannot grow.
    Status correct_record(uint64_t position, uint16_t in_block, std::span<const uint8_t> data);
    Status mark_invalid();
    // What mark_invalid needs, got now: the mapping and the blocks of the header.
    Status prepare_count();

    // ---- reading ----
    // A read-only segment may be mapped beside a live writer in another process: it takes
    // the block layout from the mapping on every read (mapping a grown file again) and
    // repeats a read that raced with a change of the pending block.
    Result<Record> read_record(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache);
    // The length readers give the record's own timestamp with its length.
    Result<RecordLength> read_length(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache);
    Result<Record> read_record_hot(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache,
                                   HotBlockSlot& slot);
    Result<RecordLength> read_length_hot(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache,
                                     HotBlockSlot& slot);
    // The statistics of the records a read-only segment can read now: its counters as the
    // writer in another process last committed them (as a fresh read-only open counts the
    // file when it is found in the middle of a change again and again, as a killed writer
    // leaves it). A writable segment gives stats().
    Result<SegmentStats> live_stats();
    // A read-only segment whose file the writer removed and made again under its name: the
    // new file is mapped in place of the removed one. Whether it was (false when the file is
    // the one mapped, or gone with nothing under its name yet).
    Result<bool> follow_replaced();
    // The inode number of the file mapped (a read-only segment's).
    uint64_t file_id() const { return file_.file_id(); }
    // The place the next record stored here takes at the earliest (relative): in the raw
    // pending block behind its frames, else at the written end. Every record stored before
    // lies below it, every record stored after at or above it.
    RecordPlace next_place() const;
    // The newest record, by its place (relative) and timestamp; nothing without records or
    // when its block cannot be read. Looks at the last block only, found by the block
    // headers from the block at `from` (of a read-only segment: as live_stats last took the
    // layout over).
    struct Newest {
        RecordPlace place;
        int64_t timestamp = 0;
    };
    std::optional<Newest> newest_record(uint64_t from = 0) const;

    // ---- flushing, dirty tracking, unmapping ----
    // msync of the whole mapping; stamps the last activity and sets clean.
    Status flush();
    // flush() and clear dirty-registered, so that the next change registers again.
    Status flush_dirty();
    void clear_dirty_registered() { dirty_registered_ = false; }
    void mark_clean() { clean_ = true; }
    // Installs (or removes) the notifier; registers at once when there are unflushed changes.
    void set_notifier(std::optional<DirtyNotifier> notifier);
    // Drops the mapping (without flushing); ensure_mapped maps it again.
    void unmap();
    // Lends the dataset's stage file to the segment (the segment set owns it). A segment
    // without one (opened on its own) keeps its own for the stage file of its directory.
    void lend_stage(StageArea* stage) { stage_ = stage; }

    // ---- state ----
    uint64_t base_offset() const { return base_offset_; }
    int64_t min_timestamp() const { return min_ts_; }
    int64_t max_timestamp() const { return max_ts_; }
    uint64_t invalid_record_count() const { return invalid_count_; }
    uint64_t created_ms() const { return created_ms_; }
    MonoInstant last_activity() const { return last_activity_; }
    void touch() { last_activity_ = coarse_now(); }
    bool writable_head() const { return writable_head_; }
    void set_writable_head(bool v) { writable_head_ = v; }
    bool is_clean() const { return clean_; }
    bool dirty_registered() const { return dirty_registered_; }
    SegmentStats stats() const;

private:
    struct Token {};

public:
    explicit DataSegment(Token);

private:
    // ---- block engine hooks ----
    void record_counted(uint8_t* state, uint64_t key) override;
    void changed() override;
    // A committed correction of the last record: finished from its staged frame.
    Result<std::optional<PendingBlock>> finish_staged_change(uint8_t* state, const PendingBlock& stored,
                                                             const BlockHeader& at_block) override;
    // Seals stage their block in the stage file.
    uint64_t seal_extent(const PendingBlock& pb, uint64_t compressed_size) const override;
    Status stage_seal(const PendingBlock& pb, const BlockHeader& sealed, std::span<const uint8_t> stored) override;
    const uint8_t* staged_seal_copy(const PendingBlock& pb, const BlockHeader& at_block) override;

    // A read-only open finishing a correction in memory: the pending block at position as
    // the correction leaves it, into corrected_payload_.
    void keep_corrected_payload(uint64_t position, uint64_t frame_offset, std::span<const uint8_t> frame);

    // ---- the stage file ----
    StageArea& stage_area();
    Status write_stage_record(const StageRecord& record, std::span<const std::span<const uint8_t>> pieces);
    // The stage file's record when it is whole and names this segment's block at position
    // with this kind; it stays valid until the next load.
    const StageRecord* load_stage(uint16_t kind, uint64_t position);
    // The committed correction staged for the pending block (p, _, count); null when none.
    const StageRecord* staged_frame(uint64_t position, uint64_t count);

    // Loads the header of the mapped file into the in-memory state and restores the pending
    // block, trusting the stored state up to its commit points; counters that a killed
    // change left ahead of the records are counted again from the blocks. Gives whether
    // anything was repaired (a read-only segment repairs in memory only).
    Result<bool> load_header(bool warn_version);
    // A correction staged behind the pending block and committed by a wrote_position that
    // points past the staged frame (relative positions), as files of earlier versions hold
    // it; nothing when there is none.
    struct StagedCorrection {
        uint64_t frame_off = 0;  // the corrected frame's offset inside the payload
        uint64_t framed = 0;     // its new framed size
        const uint8_t* frame = nullptr;
    };
    std::optional<StagedCorrection> staged_correction(uint64_t position, const BlockHeader& at_block,
                                                      uint64_t pending_wrote, uint64_t wrote) const;
    // Recomputes record count, raw bytes and timestamps from the blocks (after a repair);
    // stores them when state is given. The pending block's frames come from
    // corrected_payload_ when it holds any.
    void recount_stats(uint8_t* state);

    // What a read-only reader takes from the mapping before each read.
    struct LiveState {
        uint64_t wrote = 0;  // relative to the end of the header
        uint64_t pending_position = kNoPendingBlock;
        uint64_t pending_wrote = 0;
        uint64_t pending_count = 0;
        BlockHeader pending_header;
        uint32_t change_count = 0;  // the pending block's
        uint64_t mapped = 0;
        bool operator==(const LiveState& o) const {
            return wrote == o.wrote && pending_position == o.pending_position && pending_wrote == o.pending_wrote &&
                   pending_count == o.pending_count && pending_header.flags == o.pending_header.flags &&
                   pending_header.payload_size == o.pending_header.payload_size &&
                   pending_header.record_count == o.pending_header.record_count &&
                   change_count == o.change_count && mapped == o.mapped;
        }
        // Whether a change of the pending block may be running (or was cut off by a kill).
        bool changing() const { return pending_position != kNoPendingBlock && (change_count & 1) != 0; }
    };
    // The layout as the mapping holds it now, without taking it over.
    LiveState read_live(const uint8_t* state) const;
    // The same, taken over as the segment's written length and pending block; a file that
    // the writer grew past the mapping is mapped again when allowed.
    Result<LiveState> live_state(bool allow_remap);
    // A read-only file: the pending block and the written end as the committed frames of a
    // change in flight leave them (live_state's).
    void take_committed_frames(const LiveState& live, uint64_t rel);
    // Whether the running change that `live` shows is given up on: its counter stayed odd
    // LiveWait::kAbandonAfter across the waits (a killed writer's).
    Result<bool> change_abandoned(const LiveState& live, LiveWait& wait);
    // Read-only open: load_header while no change runs, again when the layout moved
    // meanwhile or the load failed (the writer may be between two stores).
    Result<bool> load_header_beside_writer(bool warn_version);
    // The records of the blocks before `end` (relative), which are sealed: counted once.
    std::optional<uint64_t> sealed_records_before(uint64_t end);
    template <typename Item>
    Result<Item> read_item(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache,
                           HotBlockSlot* slot);
    template <typename Item>
    Result<Item> read_item_live(const LiveState& live, uint64_t owner, uint64_t position, uint16_t in_block,
                                BlockCache* cache, HotBlockSlot* slot);
    // An item of the block at position within `limit`: read in place from a raw block,
    // else from its decompressed payload. Inlined: it is the body of every read.
    template <typename Item>
    [[gnu::always_inline]] Result<Item> read_in_block(uint64_t owner, uint64_t position, uint64_t limit,
                                                      uint16_t in_block, BlockCache* cache, HotBlockSlot* slot) const;
    void mark_dirty();
    void note_timestamp(int64_t ts);

    struct LastRecord {
        BlockHeader header;
        uint64_t frame_pos = 0;  // relative to the end of the header
        uint64_t data_len = 0;
    };
    Result<LastRecord> last_pending_record(uint64_t position, uint16_t in_block, bool appending) const;

    Result<HotBlockPtr> load_block(uint64_t owner, uint64_t position, const BlockView& view, BlockCache* cache,
                                   HotBlockSlot* slot) const;

    uint64_t base_offset_ = 0;
    int64_t min_ts_ = INT64_MAX;
    int64_t max_ts_ = INT64_MIN;
    uint64_t invalid_count_ = 0;
    uint64_t created_ms_ = 0;
    MonoInstant last_activity_ = MonoClock::now();
    bool writable_head_ = true;
    bool clean_ = true;
    bool dirty_registered_ = false;
    std::optional<DirtyNotifier> notifier_;
    std::string stage_path_;
    StageArea* stage_ = nullptr;            // lent by the segment set
    std::unique_ptr<StageArea> own_stage_;  // a segment on its own
    std::optional<StageRecord> stage_record_;  // the record load_stage found last
    // A read-only segment: the change counter a killed writer left odd, given up on.
    std::optional<std::pair<uint64_t, uint32_t>> abandoned_change_;
    // The blocks counted by sealed_records_before: their end and their records.
    uint64_t sealed_end_ = 0;
    uint64_t sealed_count_ = 0;
    // A correction that a read-only open finished in memory: the pending block's payload
    // as it leaves it (the frames in place before the corrected one, then the staged
    // frame), for the recount; empty otherwise.
    std::vector<uint8_t> corrected_payload_;
};

}  // namespace brenvale
