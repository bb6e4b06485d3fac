#include "segment/block_engine.h"

#include <algorithm>
#include <cstring>

#include "codec.h"
#include "live_wait.h"
#include "log.h"
#include "util.h"

namespace brenvale {

bool BlockEngine::sealed_payload_valid(std::span<const uint8_t> stored, const PendingBlock& pb) const {
    const uint64_t expected = pb.wrote_position;
    auto decoded = codec::decompress(stored, compress_type_, static_cast<size_t>(expected));
    if (!decoded.ok() || decoded->size() != expected) return false;
    auto tiled = scan_frames(format_.framing, decoded->data(), decoded->size(), pb.record_count);
    return tiled && *tiled == expected;
}

// ---- state and file ----

// Located once per mapping; a file of a newer version is located (and warned about) on
// every update.
Result<uint8_t*> BlockEngine::state_block() {
    const size_t pos =
        BRVL_TRY(state_locator_.locate(mapped_bytes(), format_.state.file_type, format_.state.last_field));
    return file_.data() + pos;
}

Status BlockEngine::check_writable(const char* closed_text) const {
    if (read_only_) return Error::invalid_data(format_.read_only_text);
    if (!is_mapped()) return Error::mmap(closed_text != nullptr ? closed_text : format_.closed_text);
    return ok_status();
}

Status BlockEngine::prepare_change(const char* closed_text) {
    BRVL_TRY(check_writable(closed_text));
    return file_.ensure_allocated();
}

Result<bool> BlockEngine::load_allocated(const std::function<Result<bool>()>& load) {
    if (read_only_) return load();
    Status room = file_.ensure_allocated();
    if (room.ok()) return load();
    read_only_ = true;
    auto loaded = load();
    read_only_ = false;
    if (!loaded.ok()) return loaded;
    // A change whole but for the end of its count is ended by a writable open only.
    const bool unended = counts_changes_ && pending_ && (change_count(pending_->position) & 1) != 0;
    if (*loaded || unended) return std::move(room).error();
    return false;
}

void BlockEngine::attach_file(MappedFile file) {
    file_ = std::move(file);
    state_locator_.forget();
}

void BlockEngine::unmap_file() {
    file_.close();
    state_locator_.forget();
}

// ---- the pending block's change counter ----

void BlockEngine::begin_in_place(uint64_t position) {
    if (!counts_changes_) return;
    uint8_t* c = at(position) + block_at::kChangeCount;
    const uint32_t v = load_u32(c);
    store_u32(c, change_begun(v));
    crash_point("in_place.begin");
    publish_fence();
}

void BlockEngine::end_in_place(uint64_t position, bool sealed) {
    if (!counts_changes_) return;
    publish_fence();
    uint8_t* c = at(position) + block_at::kChangeCount;
    const uint32_t v = load_u32(c);
    store_u32(c, sealed ? 0 : change_ended(v));
}

uint32_t BlockEngine::change_count(uint64_t position) const {
    if (!is_mapped() || !range_within(position, kBlockHeaderLen, mapped_room())) return 0;
    return load_u32(at(position) + block_at::kChangeCount);
}

Result<std::optional<PendingBlock>> BlockEngine::finish_staged_change(uint8_t*, const PendingBlock&,
                                                                      const BlockHeader&) {
    return std::optional<PendingBlock>();
}

// ---- writing ----

Result<BlockEngine::Appended> BlockEngine::append_frame(uint64_t key, std::span<const uint8_t> data,
                                                        uint8_t compress_level) {
    const RecordFraming& fr = format_.framing;
    const BlockStateLayout& sl = format_.state;
    BRVL_TRY(prepare_change());
    const uint64_t len = data.size();
    const uint64_t framed = fr.framed(len);

    // Counts one record in memory and in the state block (before the commit store).
    auto count_record = [&](uint8_t* st) {
        record_count_ += 1;
        raw_bytes_ += len + kFrameHeadLen;
        store_field(st, sl.count, record_count_);  // first: a count ahead of the blocks shows a torn change
        publish_fence();
        store_field(st, sl.raw, raw_bytes_);
        record_counted(st, key);
    };
    auto done = [&](Appended at) {
        changed();
        return at;
    };

    if (framed <= kMaxPendingPayload) {
        if (takes_frame(framed)) {
            // a. Into the pending block.
            const PendingBlock pb = *pending_;
            const uint64_t new_written = written_ + framed;
            if (available() < new_written) return Error::segment_full();
            if (pb.wrote_position % fr.align != 0)
                return invalid_data_fmt("pending record byte offset {} is not {}-byte aligned", pb.wrote_position,
                                        fr.align);
            uint8_t* st = BRVL_TRY(state_block());
            const uint64_t payload = pb.wrote_position + framed;
            write_frame(at(pb.position + kBlockHeaderLen + pb.wrote_position), key, data, framed);
            crash_point("append.frame");
            BlockHeader::rewrite(file_.bytes(), header_len_ + pb.position,
                                 BlockHeader::make(payload, 0, pb.record_count + 1, payload));
            crash_point("append.block_header");
            count_record(st);
            crash_point("append.stats");
            store_field(st, sl.pending_wrote, payload);
            crash_point("append.pending_size");
            store_field(st, sl.pending_count, pb.record_count + 1);  // commit
            crash_point("append.commit");
            store_field(st, sl.wrote, header_len_ + new_written);
            written_ = new_written;
            pending_ = PendingBlock{pb.position, payload, pb.record_count + 1};
            return done({pb.position, pb.wrote_position});
        }
        // b. A new pending block, after sealing the current one.
        if (pending_) BRVL_TRY(seal_before(compress_level, framed + kBlockHeaderLen));
        auto need = checked_add(written_, framed + kBlockHeaderLen);
        if (!need || available() < *need) return Error::segment_full();
        uint8_t* st = BRVL_TRY(state_block());
        const uint64_t pos = written_;
        write_frame(at(pos + kBlockHeaderLen), key, data, framed);
        BlockHeader::write(file_.bytes(), header_len_ + pos, BlockHeader::make(framed, 0, 1, framed));
        crash_point("new_block.block");
        count_record(st);
        crash_point("new_block.stats");
        store_field(st, sl.pending_wrote, framed);
        store_field(st, sl.pending_count, 1);
        crash_point("new_block.pending_fields");
        store_field(st, sl.pending_position, pos);  // commit
        crash_point("new_block.commit");
        store_field(st, sl.wrote, header_len_ + *need);
        written_ = *need;
        pending_ = PendingBlock{pos, framed, 1};
        return done({pos, 0});
    }

    // c. A block of its own for a record over the pending capacity (compressed first, so
    // that the seal knows the room it needs).
    BlockBuffer frame = BlockBuffer::allocate(framed);
    write_frame(frame.data(), key, data, framed);
    const BlockBuffer stored = BRVL_TRY(codec::compress_block(frame.bytes(), compress_level, compress_type_));
    if (stored.size() > UINT32_MAX) return Error::invalid_data("compressed block exceeds u32");
    if (pending_) BRVL_TRY(seal_before(compress_level, stored.size() + kBlockHeaderLen));
    auto need = checked_add(written_, stored.size() + kBlockHeaderLen);
    if (!need || available() < *need) return Error::segment_full();
    uint8_t* st = BRVL_TRY(state_block());
    const uint64_t pos = written_;
    std::memcpy(at(pos + kBlockHeaderLen), stored.data(), stored.size());
    BlockHeader::write(file_.bytes(), header_len_ + pos,
                       BlockHeader::make(stored.size(), BlockHeader::kSingleFlags, 1, framed));
    crash_point("single.block");
    count_record(st);
    crash_point("single.stats");
    store_field(st, sl.wrote, header_len_ + *need);  // commit
    written_ = *need;
    return done({pos, 0});
}

// The conditions are append_frame's: a frame goes into the pending block while its payload
// and count stay within the pending capacity; without a pending block the first frame makes
// one (a block header, then the frame) and the others go into it.
std::optional<uint64_t> BlockEngine::unsealed_end(uint64_t bytes, uint64_t count) const {
    if (bytes > kMaxPendingPayload || count > kMaxPendingCount) return std::nullopt;
    if (!pending_) return written_ + kBlockHeaderLen + bytes;
    if (pending_->wrote_position + bytes > kMaxPendingPayload || pending_->record_count + count > kMaxPendingCount)
        return std::nullopt;
    return written_ + bytes;
}

uint64_t BlockEngine::seal_extent(const PendingBlock& pb, uint64_t cs) const {
    return pb.position + kBlockHeaderLen + std::max(pb.wrote_position, cs) + kBlockHeaderLen + cs;
}

Status BlockEngine::stage_seal(const PendingBlock& pb, const BlockHeader& sealed, std::span<const uint8_t> stored) {
    const uint64_t stage = pb.position + kBlockHeaderLen + std::max<uint64_t>(pb.wrote_position, stored.size());
    std::memcpy(at(stage + kBlockHeaderLen), stored.data(), stored.size());
    BlockHeader::write(file_.bytes(), header_len_ + stage, sealed);
    return ok_status();
}

Status BlockEngine::seal_pending(uint8_t compress_level) { return seal_before(compress_level, 0); }

Status BlockEngine::seal_for(uint64_t len, uint8_t compress_level) {
    if (!pending_ || takes_frame(format_.framing.framed(len))) return ok_status();
    return seal_pending(compress_level);
}

// The raw payload is overwritten in place, so the sealed block is first staged whole
// (stage_seal); setting the sealed flags is the point of no return, clearing the pending
// position the commit. Whether the block behind fits is known before anything changes.
Status BlockEngine::seal_before(uint8_t compress_level, uint64_t then) {
    if (!pending_) return ok_status();
    BRVL_TRY(prepare_change());
    const BlockStateLayout& sl = format_.state;
    const PendingBlock pb = *pending_;
    // A block that would not fit behind the sealed one even were it to take no room.
    then = seals_only_for_room_ ? then : 0;
    if (then != 0 && pb.position + kBlockHeaderLen + then > available()) return Error::segment_full();
    // The compressor writes into a buffer of its bound (no chunk copies, no regrowth); the
    // sealed bytes are then copied to the staging place and over the raw payload.
    const BlockBuffer stored = BRVL_TRY(
        codec::compress_block({at(pb.position + kBlockHeaderLen), pb.wrote_position}, compress_level, compress_type_));
    if (stored.size() > UINT32_MAX) return Error::invalid_data("compressed block exceeds u32");
    const uint64_t cs = stored.size();
    if (then != 0 && pb.position + kBlockHeaderLen + cs + then > available()) return Error::segment_full();
    const uint64_t need = seal_extent(pb, cs);
    while (available() < need) {
        if (at_size_limit()) return Error::segment_full();
        BRVL_TRY(grow());
    }
    uint8_t* st = BRVL_TRY(state_block());
    const BlockHeader sealed = BlockHeader::make(cs, BlockHeader::kSealedFlags, pb.record_count, pb.wrote_position);

    BRVL_TRY(stage_seal(pb, sealed, stored.bytes()));
    crash_point("seal.staged");
    publish_fence();
    begin_in_place(pb.position);
    // The header's fields are stored one after another: the compressed size goes first,
    // while the flags still say raw (readers in another process take the raw block by its
    // frames then, as open's repair does).
    store_u32(at(pb.position) + block_at::kPayloadSize, sealed.payload_size);
    crash_point("seal.payload_size");
    BlockHeader::rewrite(file_.bytes(), header_len_ + pb.position, sealed);
    crash_point("seal.block_header");
    uint8_t* dst = at(pb.position + kBlockHeaderLen);
    const uint64_t half = cs / 2;
    std::memcpy(dst, stored.data(), half);
    crash_point("seal.copy_half");
    std::memcpy(dst + half, stored.data() + half, cs - half);
    crash_point("seal.copied");
    const uint64_t new_written = pb.position + kBlockHeaderLen + cs;
    store_field(st, sl.wrote, header_len_ + new_written);
    crash_point("seal.wrote_position");
    store_field(st, sl.pending_position, kNoPendingBlock);  // commit
    crash_point("seal.commit");
    store_field(st, sl.pending_wrote, 0);
    store_field(st, sl.pending_count, 0);
    end_in_place(pb.position, /*sealed=*/true);
    written_ = new_written;
    pending_.reset();
    changed();
    return ok_status();
}

namespace {

uint64_t grown_size(uint64_t size, uint64_t max_size) {
    return std::min(max_size, size > UINT64_MAX / 2 ? UINT64_MAX : size * 2);
}

}  // namespace

bool BlockEngine::at_size_limit() const { return grown_size(file_size_, max_size_) <= file_size_; }

Status BlockEngine::grow() {
    const uint64_t next = grown_size(file_size_, max_size_);
    if (next <= file_size_) return invalid_data_fmt("segment already at max_file_size ({})", max_size_);
    if (read_only_) return Error::invalid_data(format_.read_only_text);
    BRVL_TRY(ensure_mapped());
    BRVL_TRY(file_.grow(next));  // keeps the old mapping on failure
    file_size_ = file_.size();
    changed();
    return ok_status();
}

// ---- open ----

// Restores the pending block named by the stored state. A killed process can leave one
// change half done; each change has a single commit store, so the committed content is
// known: for a raw pending block it is the first `pending count` frames (the count and the
// last frame's length are the commit stores of appends and appends to the last record),
// and it must end either at the written length or at the pending payload bytes. Anything
// past it is a torn tail and is cut off; block header and state are rewritten. A change
// staged by the kind whose commit store was made is finished from its staged copy. A
// read-only file repairs in memory only.
Result<BlockEngine::Repair> BlockEngine::restore_pending(const PendingBlock* stored) {
    pending_.reset();
    if (stored == nullptr) return Repair::None;
    const BlockStateLayout& sl = format_.state;
    const uint64_t p = stored->position;
    const uint64_t w = stored->wrote_position;
    const uint64_t c = stored->record_count;
    auto end = checked_add(p, header_len_);
    if (end) end = checked_add(*end, kBlockHeaderLen);
    if (end) end = checked_add(*end, w);
    if (!end) return Error::invalid_data("pending block position overflow");
    if (*end > file_size_) return Error::invalid_data("pending block extends beyond segment file size");
    if (!is_mapped()) return Error::mmap("segment closed during pending restore");
    if (p > written_)
        return invalid_data_fmt("pending block position {} is beyond the written length {}", p, written_);

    const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + p);
    uint8_t* st = nullptr;
    if (!read_only_) st = BRVL_TRY(state_block());
    if (auto finished = BRVL_TRY(finish_staged_change(st, *stored, bh))) {
        written_ = p + kBlockHeaderLen + finished->wrote_position;
        pending_ = *finished;
        return Repair::Staged;
    }
    if (bh.flags != 0) {
        BRVL_TRY(finish_interrupted_seal(st, *stored, bh));
        return Repair::Seal;
    }

    const uint64_t room = std::min(file_size_ - header_len_ - p - kBlockHeaderLen, kMaxPendingPayload);
    std::optional<uint64_t> total;
    if (c <= kMaxPendingCount) total = scan_frames(format_.framing, at(p + kBlockHeaderLen), room, c);
    if (!total) return Error::invalid_data("pending block record_count does not match header state");
    const uint64_t L = *total;
    const bool ends_at_written = written_ >= p + kBlockHeaderLen && written_ - p - kBlockHeaderLen == L;
    if (!ends_at_written && L != w)
        return Error::invalid_data("pending block payload_size does not match pending_wrote_position");

    const bool repaired = L != w || !ends_at_written || bh.payload_size != L || bh.record_count != c ||
                          bh.uncompressed_size != L;
    if (repaired) {
        log::warn(format_.log_target, "{} repaired the pending block of {} after an interrupted write",
                  format_.log_tag, path_);
        if (st != nullptr) {
            begin_in_place(p);
            BlockHeader::rewrite(file_.bytes(), header_len_ + p, BlockHeader::make(L, 0, c, L));
            store_field(st, sl.pending_wrote, L);
            store_field(st, sl.wrote, header_len_ + p + kBlockHeaderLen + L);
            end_in_place(p);
        }
    } else if (counts_changes_ && st != nullptr && (change_count(p) & 1) != 0) {
        // A kill between the first and the last store of an in-place change that left
        // nothing else to repair: the change is whole, only its count is still odd.
        log::warn(format_.log_target, "{} ended an interrupted change of the pending block of {}", format_.log_tag,
                  path_);
        end_in_place(p);
        written_ = p + kBlockHeaderLen + L;
        pending_ = PendingBlock{p, L, c};
        return Repair::Counter;
    }
    written_ = p + kBlockHeaderLen + L;
    pending_ = PendingBlock{p, L, c};
    return repaired ? Repair::Tail : Repair::None;
}

// A copy staged behind both the raw payload and the in-place compressed payload.
const uint8_t* BlockEngine::staged_seal_copy(const PendingBlock& pb, const BlockHeader& bh) {
    const uint64_t rel = mapped_room();
    const uint64_t cs = bh.payload_size;
    auto stage = checked_add(pb.position + kBlockHeaderLen, std::max(pb.wrote_position, cs));
    if (!stage || !range_within(*stage, kBlockHeaderLen, rel)) return nullptr;
    const BlockHeader sbh = BlockHeader::read(file_.bytes(), header_len_ + *stage);
    if (sbh.flags == BlockHeader::kSealedFlags && sbh.record_count == pb.record_count &&
        sbh.uncompressed_size == pb.wrote_position && sbh.payload_size == cs &&
        range_within(*stage + kBlockHeaderLen, cs, rel) &&
        sealed_payload_valid({at(*stage + kBlockHeaderLen), cs}, pb)) {
        return at(*stage + kBlockHeaderLen);
    }
    return nullptr;
}

const uint8_t* BlockEngine::sealed_source(const PendingBlock& pb, const BlockHeader& bh) {
    if (const uint8_t* staged = staged_seal_copy(pb, bh)) return staged;
    // A complete in-place seal whose state was not yet cleared.
    const uint64_t cs = bh.payload_size;
    if ((bh.flags & 0x7) == BlockHeader::kSealedFlags && bh.record_count == pb.record_count &&
        bh.uncompressed_size == pb.wrote_position && range_within(pb.position + kBlockHeaderLen, cs, mapped_room()) &&
        sealed_payload_valid({at(pb.position + kBlockHeaderLen), cs}, pb)) {
        return at(pb.position + kBlockHeaderLen);
    }
    return nullptr;
}

// The pending block carries sealed flags: a seal was interrupted after its point of no
// return. The seal first stages the whole sealed block (stage_seal), so the staged copy
// (or a complete in-place copy) finishes it. Otherwise the block is refused.
Status BlockEngine::finish_interrupted_seal(uint8_t* st, const PendingBlock& pb, const BlockHeader& bh) {
    const uint8_t* source = sealed_source(pb, bh);
    if (source == nullptr) return invalid_data_fmt("pending block has non-raw flags: {:#x}", bh.flags);
    log::warn(format_.log_target, "{} finished an interrupted seal in {}", format_.log_tag, path_);
    const BlockStateLayout& sl = format_.state;
    const uint64_t cs = bh.payload_size;
    const uint64_t new_written = pb.position + kBlockHeaderLen + cs;
    if (st == nullptr) {
        // Reads of this block go to the source while the pending position stays set; the
        // blocks end where they will after the seal.
        written_ = new_written;
        pending_.reset();
        return ok_status();
    }
    uint8_t* dst = at(pb.position + kBlockHeaderLen);
    begin_in_place(pb.position);
    if (source != dst) std::memmove(dst, source, cs);
    BlockHeader::rewrite(file_.bytes(), header_len_ + pb.position,
                         BlockHeader::make(cs, BlockHeader::kSealedFlags, pb.record_count, pb.wrote_position));
    store_field(st, sl.wrote, header_len_ + new_written);
    store_field(st, sl.pending_position, kNoPendingBlock);
    store_field(st, sl.pending_wrote, 0);
    store_field(st, sl.pending_count, 0);
    end_in_place(pb.position, /*sealed=*/true);
    written_ = new_written;
    pending_.reset();
    return ok_status();
}

std::optional<uint64_t> BlockEngine::count_from_block_headers() const {
    uint64_t count = 0;
    uint64_t pos = 0;
    while (pos < written_) {
        if (!range_within(pos, kBlockHeaderLen, written_)) return std::nullopt;
        const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + pos);
        const bool is_pending = pending_ && pending_->position == pos;
        const uint64_t size = is_pending ? pending_->wrote_position : bh.payload_size;
        count += is_pending ? pending_->record_count : bh.record_count;
        pos += kBlockHeaderLen + size;
    }
    return count;
}

std::optional<uint64_t> BlockEngine::last_block_position(uint64_t from) const {
    std::optional<uint64_t> last;
    uint64_t pos = from;
    while (pos < written_) {
        if (!range_within(pos, kBlockHeaderLen, written_)) return std::nullopt;
        const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + pos);
        const bool is_pending = pending_ && pending_->position == pos;
        last = pos;
        pos += kBlockHeaderLen + (is_pending ? pending_->wrote_position : bh.payload_size);
    }
    return pos == written_ ? last : std::nullopt;
}

bool BlockEngine::for_each_frame(const std::function<void(const FrameSeen&)>& visit,
                                 std::span<const uint8_t> pending_payload, uint64_t from) const {
    const RecordFraming& fr = format_.framing;
    auto frames = [&](uint64_t pos, const uint8_t* payload, uint64_t size, uint64_t count) -> bool {
        uint64_t off = 0;
        for (uint64_t i = 0; i < count; ++i) {
            if (size - off < kFrameHeadLen) return false;
            const uint64_t len = load_u32(payload + off + frame_at::kLength);
            if (len > fr.max_data || fr.framed(len) > size - off) return false;
            visit(FrameSeen{load_u64(payload + off + kFrameKeyOffset), len, pos, off});
            off += fr.framed(len);
        }
        return true;
    };
    uint64_t pos = from;
    while (pos < written_) {
        if (!range_within(pos, kBlockHeaderLen, written_)) return false;
        const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + pos);
        const bool is_pending = pending_ && pending_->position == pos;
        const uint64_t size = is_pending ? pending_->wrote_position : bh.payload_size;
        if (!range_within(pos + kBlockHeaderLen, size, written_)) return false;
        if (is_pending && !pending_payload.empty()) {
            if (pending_payload.size() != size || !frames(pos, pending_payload.data(), size, pending_->record_count))
                return false;
        } else if (is_pending || bh.flags == 0) {
            if (!frames(pos, at(pos + kBlockHeaderLen), size, is_pending ? pending_->record_count : bh.record_count))
                return false;
        } else {
            auto decoded = codec::decompress({at(pos + kBlockHeaderLen), size}, compress_type_, bh.uncompressed_size);
            if (!decoded.ok() || !frames(pos, decoded->data(), decoded->size(), bh.record_count)) return false;
        }
        pos += kBlockHeaderLen + size;
    }
    return true;
}

// ---- reading ----

Result<BlockEngine::BlockView> BlockEngine::block_at(uint64_t position, uint64_t limit) const {
    if (!is_mapped()) return Error::mmap("segment is closed, cannot read");
    if (!read_only_ && pending_ && pending_->position == position) {
        // The pending block's extent is known exactly.
        return BlockView{BlockHeader::make(pending_->wrote_position, 0, pending_->record_count, pending_->wrote_position),
                         at(position + kBlockHeaderLen)};
    }
    limit = std::min(limit, mapped_room());
    if (!range_within(position, kBlockHeaderLen, limit)) return Error::invalid_data("block header out of bounds");
    const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + position);
    const bool sealed = (bh.flags & BlockHeader::kSealed) != 0;
    const bool compressed = (bh.flags & BlockHeader::kCompressed) != 0;
    if (sealed != compressed)
        return invalid_data_fmt("invalid block flags: SEALED and COMPRESSED must be paired ({:#x})", bh.flags);
    const bool single = (bh.flags & BlockHeader::kSingleRecord) != 0;
    if (single && !sealed)
        return invalid_data_fmt("invalid block flags: SINGLE_RECORD requires SEALED|COMPRESSED ({:#x})", bh.flags);
    if (!range_within(position + kBlockHeaderLen, bh.payload_size, limit))
        return invalid_data_fmt("{}block payload out of bounds", format_.error_prefix);
    if (compressed && bh.uncompressed_size > (single ? format_.framing.max_framed() : kMaxPendingPayload))
        return invalid_data_fmt("block uncompressed_size {} exceeds the block limit", bh.uncompressed_size);
    return BlockView{bh, at(position + kBlockHeaderLen)};
}

Result<std::vector<uint8_t>> BlockEngine::decode(const BlockView& v) const {
    if ((v.header.flags & BlockHeader::kCompressed) == 0)
        return std::vector<uint8_t>(v.payload, v.payload + v.header.payload_size);
    return codec::decompress({v.payload, v.header.payload_size}, compress_type_, v.header.uncompressed_size);
}

}  // namespace brenvale
