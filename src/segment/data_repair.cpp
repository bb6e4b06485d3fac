// Staging and repair: the copies that seals and corrections keep in the stage file, and
// what open makes of the header state and of a change that a killed process left half
// done (finished from its staged copy, counters counted again from the blocks).
#include <algorithm>
#include <cstring>

#include "codec.h"
#include "log.h"
#include "segment/data.h"

namespace brenvale {

namespace st = data_state_at;

// ---- open ----

Result<bool> DataSegment::load_header(bool warn_version) {
    std::span<const uint8_t> bytes(file_.data(), static_cast<size_t>(file_.size()));
    DataHeader h = BRVL_TRY(DataHeader::read(bytes));
    if (warn_version && h.prefix.version > kHeaderVersion) {
        log::warn(log::kSegmentData, "Opening file with version {}, expected 1. Parsing known fields.",
                  h.prefix.version);
    }
    file_size_ = file_.size();
    header_len_ = h.header_length;
    if (h.state.wrote_position < header_len_ || h.state.wrote_position > file_size_) {
        return invalid_data_fmt("data segment wrote_position {} is outside the file (header {}, size {})",
                                h.state.wrote_position, header_len_, file_size_);
    }
    written_ = h.state.wrote_position - header_len_;
    record_count_ = h.state.record_count;
    raw_bytes_ = h.state.raw_record_bytes;
    min_ts_ = h.state.min_timestamp;
    max_ts_ = h.state.max_timestamp;
    invalid_count_ = h.state.invalid_record_count;
    compress_type_ = h.meta.compress_type;
    created_ms_ = h.meta.created_ms;
    uint8_t* st = read_only_ ? nullptr : BRVL_TRY(state_block());
    const bool no_pending = h.state.pending_position == kNoPendingBlock;
    const bool stale_fields = h.state.stale_pending_fields();
    if (stale_fields) {
        log::warn(log::kSegmentData, "[DataSegment open] cleared the pending fields of {} after an interrupted change",
                  path_);
        if (st != nullptr) {
            store_u64(st + st::kPendWrote, 0);
            store_u64(st + st::kPendCount, 0);
        }
    }
    const PendingBlock stored{h.state.pending_position, h.state.pending_wrote_position, h.state.pending_count};
    corrected_payload_.clear();
    const Repair repair = BRVL_TRY(restore_pending(no_pending ? nullptr : &stored));
    // Every change stores the record count first and its commit last, so a kill between
    // them shows as a record count above the blocks' own counts; an in-place change of the
    // last record leaves its pending fields apart from its block until its commit. The
    // counters of such a change (or of a tail cut off by the repair) are counted again from
    // the blocks; on a writable file after any repair, as the blocks are whole again. A
    // read-only file keeps the counters of a seal finished in memory (a seal changes none;
    // the bytes in place may be torn) and counts a correction finished in memory with its
    // staged frame (the raw bytes stored may be those before or after it).
    const bool recount = count_from_block_headers() != record_count_ || repair == Repair::Tail ||
                         (st != nullptr && repair != Repair::None) || !corrected_payload_.empty();
    if (recount) recount_stats(st);
    std::vector<uint8_t>().swap(corrected_payload_);
    return stale_fields || repair != Repair::None || recount;
}

std::optional<DataSegment::StagedCorrection> DataSegment::staged_correction(uint64_t position,
                                                                            const BlockHeader& bh,
                                                                            uint64_t pending_wrote,
                                                                            uint64_t wrote) const {
    const uint64_t rel = mapped_room();
    const uint64_t block_end = position + kBlockHeaderLen + std::max<uint64_t>(bh.payload_size, pending_wrote);
    // Only a commit store points the written length past the end of the raw pending block.
    if (wrote < block_end + kBlockHeaderLen + kFrameHeadLen || wrote > rel) return std::nullopt;
    const uint64_t trailer = wrote - kBlockHeaderLen;
    const BlockHeader t = BlockHeader::read(file_.bytes(), header_len_ + trailer);
    const uint64_t framed = t.payload_size;
    const uint64_t off = frame_offset(t.record_count);
    if (t.flags != BlockHeader::kStagedCorrection || framed < kFrameHeadLen || framed > kMaxPendingPayload ||
        framed > trailer - block_end || t.uncompressed_size != off + framed)
        return std::nullopt;
    const uint64_t frame_pos = trailer - framed;
    // The staged frame lies behind the block as it is after the correction too.
    if (position + kBlockHeaderLen + off + framed > frame_pos) return std::nullopt;
    const uint8_t* frame = at(frame_pos);
    if (framed_size(load_u32(frame + frame_at::kLength)) != framed) return std::nullopt;
    if (load_u32(at(trailer) + block_at::kReserved) != codec::crc32({frame, framed})) return std::nullopt;
    return StagedCorrection{off, framed, frame};
}

// Walks every block up to the written length and counts its frames; a block that cannot
// be read keeps the stored counters (with a warning).
void DataSegment::recount_stats(uint8_t* st) {
    uint64_t count = 0, raw = 0;
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    const bool ok = for_each_frame(
        [&](const FrameSeen& f) {
            const auto ts = static_cast<int64_t>(f.key);
            count += 1;
            raw += f.len + kFrameHeadLen;
            lo = std::min(lo, ts);
            hi = std::max(hi, ts);
        },
        corrected_payload_);
    if (!ok) {
        log::warn(log::kSegmentData, "[DataSegment open] cannot recount the records of {}; keeping its counters",
                  path_);
        return;
    }
    record_count_ = count;
    raw_bytes_ = raw;
    min_ts_ = lo;
    max_ts_ = hi;
    if (st == nullptr) return;
    store_u64(st + st::kCount, count);
    store_u64(st + st::kRaw, raw);
    store_i64(st + st::kMin, lo);
    store_i64(st + st::kMax, hi);
}

// ---- the stage file ----

Status DataSegment::write_stage_record(const StageRecord& record, std::span<const std::span<const uint8_t>> pieces) {
    return stage_area().write(record, pieces);
}

const StageRecord* DataSegment::load_stage(uint16_t kind, uint64_t position) {
    stage_record_.reset();
    auto r = read_stage(stage_path_);
    if (!r.ok() || !*r || !(*r)->names(kind, base_offset_, created_ms_, position)) return nullptr;
    stage_record_ = std::move(**r);
    return &*stage_record_;
}

const StageRecord* DataSegment::staged_frame(uint64_t position, uint64_t count) {
    const StageRecord* r = load_stage(StageRecord::kCorrection, position);
    if (r == nullptr || r->record_count != count || r->staged.size() < kFrameHeadLen ||
        framed_size(load_u32(r->staged.data() + frame_at::kLength)) != r->staged.size() ||
        uint64_t{r->frame_offset} + r->staged.size() != r->payload_after)
        return nullptr;
    return r;
}

uint64_t DataSegment::seal_extent(const PendingBlock& pb, uint64_t cs) const {
    return pb.position + kBlockHeaderLen + cs;
}

Status DataSegment::stage_seal(const PendingBlock& pb, const BlockHeader& sealed, std::span<const uint8_t> stored) {
    StageRecord r;
    r.kind = StageRecord::kSeal;
    r.base_offset = base_offset_;
    r.created_ms = created_ms_;
    r.position = pb.position;
    r.record_count = sealed.record_count;
    r.payload_after = sealed.uncompressed_size;
    const std::span<const uint8_t> pieces[] = {stored};
    return write_stage_record(r, pieces);
}

const uint8_t* DataSegment::staged_seal_copy(const PendingBlock& pb, const BlockHeader& bh) {
    const StageRecord* r = load_stage(StageRecord::kSeal, pb.position);
    if (r != nullptr && r->record_count == pb.record_count && r->payload_after == pb.wrote_position &&
        r->staged.size() == bh.payload_size && sealed_payload_valid(r->staged, pb))
        return r->staged.data();
    // Earlier versions staged the block behind the pending block.
    return BlockEngine::staged_seal_copy(pb, bh);
}

void DataSegment::keep_corrected_payload(uint64_t position, uint64_t frame_offset, std::span<const uint8_t> frame) {
    const uint8_t* payload = at(position + kBlockHeaderLen);
    corrected_payload_.assign(payload, payload + frame_offset);
    corrected_payload_.insert(corrected_payload_.end(), frame.begin(), frame.end());
}

Result<std::optional<PendingBlock>> DataSegment::finish_staged_change(uint8_t* st, const PendingBlock& stored,
                                                                      const BlockHeader& bh) {
    const auto [p, w, c] = stored;
    if (c < 1 || c > kMaxPendingCount) return std::optional<PendingBlock>();
    const uint64_t room = std::min(file_size_ - header_len_ - p - kBlockHeaderLen, kMaxPendingPayload);
    if (bh.flags == BlockHeader::kStagedCorrection) {
        // The correction's commit marked the block: its frame is taken from the stage file.
        const StageRecord* r = staged_frame(p, c);
        if (r == nullptr || r->payload_after > room) return std::optional<PendingBlock>();
        auto before = scan_frames(at(p + kBlockHeaderLen), room, c - 1);
        if (!before || *before != r->frame_offset) return std::optional<PendingBlock>();
        log::warn(log::kSegmentData, "[DataSegment open] finished an interrupted correction in {}", path_);
        const uint64_t len = r->payload_after;
        if (st != nullptr) {
            begin_in_place(p);
            std::memcpy(at(p + kBlockHeaderLen + r->frame_offset), r->staged.data(), r->staged.size());
            store_u64(st + st::kRaw, r->raw_after);
            store_u64(st + st::kPendWrote, len);
            store_u64(st + st::kWrote, header_len_ + p + kBlockHeaderLen + len);
            BlockHeader::rewrite(file_.bytes(), header_len_ + p, BlockHeader::make(len, 0, c, len));
            end_in_place(p);
        } else {
            keep_corrected_payload(p, r->frame_offset, r->staged);
        }
        raw_bytes_ = r->raw_after;
        return std::optional<PendingBlock>(PendingBlock{p, len, c});
    }
    if (bh.flags != 0) return std::optional<PendingBlock>();
    auto sc = staged_correction(p, bh, w, written_);
    if (!sc) return std::optional<PendingBlock>();
    auto before = scan_frames(at(p + kBlockHeaderLen), room, c - 1);
    if (!before || *before != sc->frame_off) return std::optional<PendingBlock>();
    log::warn(log::kSegmentData, "[DataSegment open] finished an interrupted correction in {}", path_);
    const uint64_t len = sc->frame_off + sc->framed;
    if (st != nullptr) {
        begin_in_place(p);
        std::memmove(at(p + kBlockHeaderLen + sc->frame_off), sc->frame, sc->framed);
        BlockHeader::rewrite(file_.bytes(), header_len_ + p, BlockHeader::make(len, 0, c, len));
        store_u64(st + st::kPendWrote, len);
        store_u64(st + st::kWrote, header_len_ + p + kBlockHeaderLen + len);
        end_in_place(p);
    } else {
        keep_corrected_payload(p, sc->frame_off, {sc->frame, sc->framed});
    }
    return std::optional<PendingBlock>(PendingBlock{p, len, c});
}


}  // namespace brenvale
