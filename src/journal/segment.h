// One journal segment file: the common segment header with file type 3 and a 56-byte
// state block, then, from byte 108, blocks of journal frames (u32 payload length, u64
// sequence, payload; no padding) in the block scheme of BlockEngine. A segment holds the
// consecutive sequences base_sequence .. base_sequence + record_count - 1.
//
// Opening a segment does not trust the stored state fields: it finishes a seal that a
// killed process left after its point of no return (from the staged copy), then rebuilds
// the record count, the written end and the pending block by scanning the blocks. A raw
// block whose header does not match its frames keeps the whole frames with consecutive
// sequences that lie inside its payload. The stored record count is kept as a high-water
// mark: when the scan finds fewer records, the journal log starts a new segment after
// the stored count, so that no sequence handed out is ever used again.
//
// A read-only segment may be mapped beside a live writer in another process: its reads
// take the record count and the written end from the state block of the mapping each time
// (never below what the open found), map a file that grew again, and check after reading
// a block that the writer did not seal it meanwhile. A segment older than the newest is
// opened for reading only (open_finished), without the scan.
//
// No locking: the journal log mutex serialises every access.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "journal/blocks.h"
#include "segment/block_engine.h"

namespace brenvale {

// What the reads of a segment keep between calls, owned by the journal log: the decoded
// blocks, and where the segment's blocks start as far as reads found them (ascending; only
// blocks a writer can no longer move), so that a read starts at the block it needs.
struct JournalReadAids {
    JournalBlocks* blocks = nullptr;
    std::vector<JournalBlockStart>* starts = nullptr;
};

// What a new journal segment file is made with.
struct JournalSegmentOptions {
    uint64_t base_sequence = 1;
    uint64_t initial_size = 0;
    uint64_t max_file_size = 0;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
};

class JournalSegment final : public BlockEngine {
public:
    // Creates the file under a temporary name, writes and flushes header and state, then
    // renames it into place: a kill leaves no file or a whole one.
    static Result<std::unique_ptr<JournalSegment>> create(const std::string& path, const JournalSegmentOptions& o);
    // Opens an existing file read-write, finishes an interrupted seal, rebuilds the state
    // from the blocks and writes it (nothing is flushed).
    static Result<std::unique_ptr<JournalSegment>> open(const std::string& path, uint64_t base_sequence,
                                                        uint64_t max_file_size);
    // The same over a read-only mapping; the rebuilt state is kept in memory only.
    static Result<std::unique_ptr<JournalSegment>> open_read_only(const std::string& path, uint64_t base_sequence,
                                                                  uint64_t max_file_size);
    // A segment that no longer takes records, opened read-only for reading: the header is
    // checked, the blocks are read as the state block counts them and nothing is scanned.
    static Result<std::unique_ptr<JournalSegment>> open_finished(const std::string& path, uint64_t base_sequence,
                                                                 uint64_t max_file_size, bool warn_version);

    // Appends the record of `sequence`, which must be base_sequence + record_count. The
    // file grows by doubling; at its size limit the segment-full error (the log rolls
    // over) leaves the segment as it was, readable.
    Status append(uint64_t sequence, std::span<const uint8_t> payload);
    // Readies the segment for `count` more appends whose frames take at most `bytes` in all
    // (within one pending block), so that they need no seal, no growth and no allocation:
    // seals the pending block now when they would not all fit it, grows the file as far as
    // they reach and allocates its blocks. Segment-full when the file cannot grow that far
    // or the seal finds no room (the log rolls over); a seal made stays.
    Status make_room(uint64_t bytes, uint64_t count);
    // The payload of a sequence, or nothing when the segment does not hold it.
    Result<std::optional<std::vector<uint8_t>>> read_record(uint64_t sequence);
    // Appends the records of first..last that the segment holds to `out`, in ascending
    // order; each block is decoded once, and a sealed block kept in `aids` not at all.
    Status read_range(uint64_t first, uint64_t last, std::vector<JournalEntry>& out, const JournalReadAids& aids = {});
    // The records the segment holds now: a read-only segment counts what a writer in
    // another process has added since it opened.
    uint64_t current_count();
    // Maps an unmapped segment again; nothing when mapped.
    Status map();
    // msync of a writable mapping; then the segment is flushed.
    Status flush();

    uint64_t base_sequence() const { return base_sequence_; }
    bool flushed() const { return flushed_; }
    // Records the stored state counted beyond those the blocks hold (lost to damage): the
    // sequences up to base_sequence + record_count + lost_records were handed out.
    uint64_t lost_records() const { return lost_records_; }

private:
    struct Token {};

public:
    explicit JournalSegment(Token);

private:
    static Result<std::unique_ptr<JournalSegment>> open_impl(const std::string& path, uint64_t base_sequence,
                                                             uint64_t max_file_size, bool read_only);
    // The opens' common part: maps the file, checks its header (a newer version warned
    // about when warn_version) against the base sequence and takes its settings.
    Result<JournalHeader> load_header(const std::string& path, uint64_t base_sequence, uint64_t max_file_size,
                                      bool read_only, bool warn_version);

    // ---- block engine hooks ----
    void record_counted(uint8_t*, uint64_t) override {}
    void changed() override { flushed_ = false; }
    Status ensure_mapped() override { return map(); }

    // Finishes a seal interrupted after its point of no return, by the stored pending block.
    Status recover_seal(const JournalSegmentState& stored);
    // Rebuilds record count, raw bytes, written end and pending block from the blocks.
    void rebuild();
    // Salvages the frames with consecutive sequences from a raw block's payload of at most
    // `limit` bytes; their number and bytes.
    std::pair<uint64_t, uint64_t> salvage(const uint8_t* payload, uint64_t limit, uint64_t first) const;
    // The header of the block at position (the staged copy of an interrupted seal on a
    // read-only segment), and where its payload lies.
    BlockView view_at(uint64_t position) const;
    Status expand();
    // The state rebuilt from the blocks (the stored count kept as a high-water mark), and
    // the header the rebuilt pending block gets.
    JournalSegmentState rebuilt_state(const JournalSegmentState& stored) const;
    std::optional<BlockHeader> rebuilt_pending_header() const;
    // Whether the file holds the rebuilt state and pending block header already.
    bool state_whole(const JournalSegmentState& stored) const;
    // Writes the whole rebuilt state (writable open).
    Status write_state(const JournalSegmentState& stored);

    // What a walk over the blocks may read: sequences base .. base + count - 1 in blocks
    // ending by `written`; beside a writer (live), blocks starting at or after `committed`
    // may be in the middle of their first write.
    struct WalkBounds {
        uint64_t count = 0;
        uint64_t written = 0;
        uint64_t committed = 0;
        bool live = false;
    };
    enum class WalkEnd : uint8_t { Complete, Short, MappingEnd, Changed };
    WalkBounds live_bounds();
    Result<WalkEnd> walk(uint64_t first, uint64_t last, const WalkBounds& b, std::vector<JournalEntry>& out,
                         const JournalReadAids& aids);
    // Maps the file again when a writer grew it past the mapping; whether it did.
    Result<bool> remap_if_grown();
    // The state block as the mapping holds it now.
    std::optional<JournalSegmentState> live_state();

    uint64_t base_sequence_ = 1;
    uint8_t compress_level_ = 0;
    bool flushed_ = true;
    uint64_t lost_records_ = 0;
    // Where the last read in the raw pending block stopped (a writable segment): the next
    // read there goes on from it instead of walking the block's frames from the first.
    struct RawCursor {
        uint64_t block = 0;     // the block's position
        uint64_t sequence = 0;  // the next frame's sequence
        uint64_t offset = 0;    // and its offset in the payload
    };
    std::optional<RawCursor> raw_cursor_;
    // Opened by open_finished: the segment takes no more records, its raw block included.
    bool finished_ = false;
    // A read-only segment over an interrupted seal reads that block from its staged copy.
    std::optional<PendingBlock> sealed_block_;
    uint64_t sealed_payload_at_ = 0;  // relative position of the sealed payload
};

}  // namespace brenvale
