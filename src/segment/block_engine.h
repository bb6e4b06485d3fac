// The block machinery that data and journal segment files share: a mapped file made of a
// header with a state block, then blocks (a 16-byte block header and a payload) of record
// frames. New records gather in one raw pending block at the end; a pending block that
// cannot take the next record is compressed and sealed in place; a record too large for
// a pending block gets a compressed block of its own. The file grows by doubling up to its
// size limit.
//
// Every change is ordered so that one store is its commit point:
//
//   record into the pending block   frame, block header, counters, pending payload bytes,
//                                   then pending record count (commit), then the written end
//   new pending block               frame and block header, counters, pending payload bytes
//                                   and count, then pending position (commit), written end
//   single-record block             payload and header, counters, then written end (commit)
//   seal                            the sealed block staged whole (behind the pending block,
//                                   or where the kind keeps its staged copies), sealed flags
//                                   on the pending block (from here the staged copy finishes
//                                   it), the payload copied in place, written end, then
//                                   pending position = none (commit)
//
// The record count is the first counter stored and always after the block header, so a
// count above the blocks' own counts shows a change killed before its commit.
//
// A kind may count the in-place changes of its pending block (data segments do): the
// block header's change counter is odd from before the first byte a change overwrites
// until after the last, so that a reader in another process can tell that its copy of the
// block raced with one and copy again. Appends of new frames overwrite nothing and leave
// it alone; the end of a seal leaves the sealed block's counter at 0.
//
// What differs between file kinds is a `BlockFormat` (record framing, state block layout,
// texts) and the virtual hooks: the counters a kind keeps beside the common ones, its
// dirty tracking, how it maps its file again and the in-place changes only it stages.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "file.h"
#include "format/block.h"
#include "format/frame.h"
#include "format/header.h"
#include "util.h"

namespace brenvale {

struct PendingBlock {
    uint64_t position = 0;       // relative to the data start
    uint64_t wrote_position = 0; // payload bytes
    uint64_t record_count = 0;
    bool operator==(const PendingBlock&) const = default;
};

// What makes a block file of one kind.
struct BlockFormat {
    RecordFraming framing;
    BlockStateLayout state;
    const char* read_only_text;   // a change of a read-only file (invalid data)
    const char* closed_text;      // a change of an unmapped file (mmap error)
    std::string_view log_target;  // repairs are logged here
    const char* log_tag;          // and open with this tag: "[DataSegment open]"
    const char* error_prefix;     // before block-level read errors: "" or "journal "
};

class BlockEngine {
public:
    BlockEngine(const BlockEngine&) = delete;
    BlockEngine& operator=(const BlockEngine&) = delete;

    const std::string& path() const { return path_; }
    uint64_t file_size() const { return file_size_; }
    // Where the blocks start (the header length).
    uint64_t header_length() const { return header_len_; }
    // Bytes of blocks after the header.
    uint64_t written_length() const { return written_; }
    uint64_t record_count() const { return record_count_; }
    uint64_t raw_record_bytes() const { return raw_bytes_; }
    const std::optional<PendingBlock>& pending() const { return pending_; }
    uint8_t compress_type() const { return compress_type_; }
    bool is_mapped() const { return file_.is_open(); }
    // Keeps the mapping and gives the descriptor back (a file that takes no more records);
    // a grow or an allocation opens the file again.
    void drop_descriptor() { file_.drop_descriptor(); }
    bool holds_descriptor() const { return file_.holds_descriptor(); }
    // The mapped bytes (empty when unmapped); for inspection by tests and tools.
    std::span<const uint8_t> mapped_bytes() const { return {file_.data(), static_cast<size_t>(file_.size())}; }

    // Compresses and seals the pending block; nothing to do without one. The file grows
    // first when the seal needs room (seal_extent): at its size limit the segment-full
    // error, and a grow that fails (no room on the disk) its own error, leave the raw
    // pending block untouched.
    Status seal_pending(uint8_t compress_level);
    // Seals the pending block when a record of `len` data bytes would not go into it, as
    // appending the record would (a roll-over leaves the full file as the record would
    // have left it).
    Status seal_for(uint64_t len, uint8_t compress_level);
    // Doubles the file up to the size limit; never shrinks. The old mapping stays when
    // growing fails.
    Status grow();
    // The file has reached its size limit: only a new file takes more (a grow fails for
    // nothing else but a lack of room, memory or descriptors).
    bool at_size_limit() const;

protected:
    BlockEngine(const BlockFormat& format, uint64_t header_len) : format_(format), header_len_(header_len) {}
    ~BlockEngine() = default;

    // ---- hooks ----
    // After the common counters of a new record are stored (state is the state block).
    virtual void record_counted(uint8_t* state, uint64_t key) = 0;
    // After every change of the file.
    virtual void changed() = 0;
    // Maps an unmapped file again (growing needs the mapping).
    virtual Status ensure_mapped() = 0;
    // Open: finishes an in-place change that the kind stages behind its raw pending block
    // and whose commit store was made; the finished pending block, or nothing.
    virtual Result<std::optional<PendingBlock>> finish_staged_change(uint8_t* state, const PendingBlock& stored,
                                                                     const BlockHeader& at_block);
    // Where a seal keeps the whole sealed block until its commit. By default it is staged
    // behind the pending block (behind the in-place compressed payload too when that is the
    // longer one), so the seal needs the file to reach seal_extent (relative); a kind that
    // stages elsewhere needs no more room than the sealed block itself.
    virtual uint64_t seal_extent(const PendingBlock& pb, uint64_t compressed_size) const;
    virtual Status stage_seal(const PendingBlock& pb, const BlockHeader& sealed, std::span<const uint8_t> stored);
    // The payload that stage_seal kept for pb (whose header on file is at_block), checked
    // whole; null when there is none.
    virtual const uint8_t* staged_seal_copy(const PendingBlock& pb, const BlockHeader& at_block);

    // ---- writing ----
    struct Appended {
        uint64_t position = 0;      // of the block, relative
        uint64_t frame_offset = 0;  // of the frame inside the block payload
    };
    // Appends one record: into the pending block when it fits, else a new pending block
    // after sealing, or a single-record block for a frame over the pending capacity.
    // Segment-full when the file has no room (the caller grows or rolls over); a seal made
    // before that stays, unless the kind seals only for room (seals_only_for_room_).
    Result<Appended> append_frame(uint64_t key, std::span<const uint8_t> data, uint8_t compress_level);
    // Whether the pending block takes one more frame of `framed` bytes (false without one).
    bool takes_frame(uint64_t framed) const {
        return pending_ && pending_->wrote_position + framed <= kMaxPendingPayload &&
               pending_->record_count < kMaxPendingCount;
    }
    // seal_pending, for a block of `then` bytes the caller stores behind the sealed one:
    // when the kind seals only for room and that block would not fit the file as it is
    // after the seal, segment-full, with nothing changed. 0: a plain seal.
    Status seal_before(uint8_t compress_level, uint64_t then);
    // Where the blocks end (relative) once `count` more frames of `bytes` framed bytes in
    // all have gone into the pending block, or into a new pending block when there is none:
    // the room those appends need with no seal. Nothing when the pending block cannot take
    // them all (the first that does not fit seals it) or they exceed one pending block.
    std::optional<uint64_t> unsealed_end(uint64_t bytes, uint64_t count) const;

    // ---- open ----
    // What restore_pending repaired.
    enum class Repair : uint8_t {
        None,
        Tail,    // the raw pending block was cut back to its committed frames
        Seal,    // an interrupted seal was finished
        Staged,  // a staged change of the kind was finished
        Counter, // a change that was whole but for the end of its count was ended
    };
    // Restores the pending block named by the stored state, trusted up to its commit
    // points: an interrupted seal is finished from its staged copy, a staged change of the
    // kind is finished, and a torn tail behind the committed frames is cut off. A
    // read-only file repairs in memory only.
    Result<Repair> restore_pending(const PendingBlock* stored);
    // Finishes a seal interrupted after its point of no return (the pending block carries
    // sealed flags), from the staged copy or a complete in-place copy; refuses the block
    // when neither is whole. A read-only file changes nothing on disk: its reads take the
    // sealed payload from sealed_source.
    Status finish_interrupted_seal(uint8_t* state, const PendingBlock& stored, const BlockHeader& at_block);
    // The sealed payload of an interrupted seal: the staged copy, else a complete in-place
    // copy; null when no copy is whole.
    const uint8_t* sealed_source(const PendingBlock& stored, const BlockHeader& at_block);
    // Whether stored bytes are the sealed payload of pb: they decode to its raw size and
    // hold exactly its frames.
    bool sealed_payload_valid(std::span<const uint8_t> stored, const PendingBlock& pb) const;
    // The sum of the blocks' record counts up to the written length; nothing when the
    // blocks do not tile it.
    std::optional<uint64_t> count_from_block_headers() const;
    // A frame as a walk over the blocks meets it.
    struct FrameSeen {
        uint64_t key = 0;
        uint64_t len = 0;           // data length
        uint64_t position = 0;      // of its block, relative
        uint64_t frame_offset = 0;  // inside the block payload
    };
    // Calls visit for every frame of every block up to the written length, from the block
    // at `from` (a block start) on; false when a block cannot be read (nothing is changed
    // then). The pending block's frames are taken from `pending_payload` when it is given
    // (a change finished in memory only), else from the file.
    bool for_each_frame(const std::function<void(const FrameSeen&)>& visit,
                        std::span<const uint8_t> pending_payload = {}, uint64_t from = 0) const;
    // The start of the last block up to the written length, walking the block headers from
    // the block at `from`; nothing without blocks there or when the headers do not tile the
    // written length.
    std::optional<uint64_t> last_block_position(uint64_t from = 0) const;

    // ---- reading ----
    struct BlockView {
        BlockHeader header;
        const uint8_t* payload = nullptr;
    };
    // The block at position, within `limit` (relative); the in-memory pending block when it
    // is that one. The header's flags and sizes are checked.
    Result<BlockView> block_at(uint64_t position, uint64_t limit) const;
    // The decoded payload of a block: decompressed when sealed, else copied.
    Result<std::vector<uint8_t>> decode(const BlockView& view) const;

    // ---- the pending block's change counter ----
    // Makes the counter of the pending block at position odd, before an in-place change.
    void begin_in_place(uint64_t position);
    // Makes it even again after the change; a block the change sealed gets 0.
    void end_in_place(uint64_t position, bool sealed = false);
    // The counter of the block at position; 0 when its header lies beyond the mapping.
    uint32_t change_count(uint64_t position) const;

    // ---- state and file ----
    // The state block of the mapping (located once per mapping of a known version).
    Result<uint8_t*> state_block();
    // A change needs a writable, mapped file; `closed_text` replaces the format's text for
    // an unmapped one.
    Status check_writable(const char* closed_text = nullptr) const;
    // check_writable, and the blocks of the whole file allocated before the change stores
    // anything through the mapping (the I/O error when the disk has no room for them).
    Status prepare_change(const char* closed_text = nullptr);
    // A writable open stores its repairs through the mapping: the file's blocks are
    // allocated first. Without room for them the file still opens when `load` (run as a
    // read-only file would run it, repairing in memory only) finds nothing to repair, so
    // that its reads go on; its first change meets the error then. `load` gives whether it
    // repaired anything.
    Result<bool> load_allocated(const std::function<Result<bool>()>& load);
    uint64_t available() const { return file_size_ > header_len_ ? file_size_ - header_len_ : 0; }
    // Relative length of the whole mapping.
    uint64_t mapped_room() const { return file_.size() > header_len_ ? file_.size() - header_len_ : 0; }
    uint8_t* at(uint64_t position) const { return file_.data() + header_len_ + position; }
    void store_field(uint8_t* state, size_t offset, uint64_t value) const { store_u64(state + offset, value); }
    // Takes a new mapping of the file; the state block is located again.
    void attach_file(MappedFile file);
    // Drops the mapping (without flushing).
    void unmap_file();

    const BlockFormat& format_;
    bool counts_changes_ = false;  // the kind keeps its pending block's change counter
    // The kind seals its pending block for a new block only when that block then fits the
    // file: a record refused for want of room leaves the last record in its raw block (its
    // appends and corrections in place go on as if the record had never been tried).
    bool seals_only_for_room_ = false;
    std::string path_;
    MappedFile file_;
    bool read_only_ = false;
    uint64_t file_size_ = 0;
    uint64_t max_size_ = 0;
    uint64_t header_len_;
    uint64_t written_ = 0;
    uint64_t record_count_ = 0;
    uint64_t raw_bytes_ = 0;
    std::optional<PendingBlock> pending_;
    uint8_t compress_type_ = 0;

private:
    // Where state_block() found the state block, and in which mapping.
    StateLocator state_locator_;
};

}  // namespace brenvale
