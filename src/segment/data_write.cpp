// The record paths of a data segment: new records, and the in-place changes of the last
// record of the pending block (append, correction) and of the invalid count.
#include <algorithm>
#include <cstring>

#include "segment/data.h"

namespace brenvale {

namespace st = data_state_at;

Result<RecordLocation> DataSegment::append_record(int64_t timestamp, std::span<const uint8_t> data,
                                                  uint8_t compress_level) {
    if (data.size() > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");
    const Appended a = BRVL_TRY(append_frame(static_cast<uint64_t>(timestamp), data, compress_level));
    return RecordLocation{a.position, in_block_of(a.frame_offset)};
}

// The last record of the pending block, which in-place changes (append, correction) need:
// every check against the file's bytes happens here, with messages prefixed by the operation.
Result<DataSegment::LastRecord> DataSegment::last_pending_record(uint64_t position, uint16_t in_block,
                                                                 bool appending) const {
    const char* op = appending ? "append" : "correction write";
    const uint64_t rel = file_size_ - header_len_;
    if (!range_within(position, kBlockHeaderLen, rel)) return Error::invalid_data("block header out of bounds");
    const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + position);
    if (position + kBlockHeaderLen + bh.payload_size != written_)
        return invalid_data_fmt("{}: target block is not the last in segment", op);
    if (!pending_ || pending_->position != position) return invalid_data_fmt("{}: target block is not pending", op);
    if ((bh.flags & BlockHeader::kSealedFlags) != 0)
        return invalid_data_fmt("{}: target block is sealed or compressed{}", op, appending ? "" : ", not supported");
    if (appending && bh.payload_size != bh.uncompressed_size)
        return Error::invalid_data("append: pending raw payload_size != uncompressed_size");
    const uint64_t off = frame_offset(in_block);
    const uint64_t frame_pos = position + kBlockHeaderLen + off;
    if (!range_within(frame_pos, kFrameHeadLen, rel)) return Error::invalid_data("cannot read record header");
    const uint64_t old_len = load_u32(at(frame_pos) + frame_at::kLength);
    if (old_len > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");
    if (off + framed_size(old_len) != bh.payload_size)
        return invalid_data_fmt("{}: target record is not the last in block", op);
    return LastRecord{bh, frame_pos, old_len};
}

Result<uint32_t> DataSegment::append_to_record(uint64_t position, uint16_t in_block, std::span<const uint8_t> data) {
    BRVL_TRY(prepare_change("segment mmap not open"));
    const auto [bh, frame_pos, old_len] = BRVL_TRY(last_pending_record(position, in_block, /*appending=*/true));
    const uint64_t old_framed = framed_size(old_len);
    if (data.size() > kMaxRecordData || old_len + data.size() > kMaxRecordData)
        return Error::invalid_data("record data_len exceeds 4MiB limit");
    const uint64_t new_len = old_len + data.size();
    const uint64_t new_framed = framed_size(new_len);
    if (new_framed > kMaxPendingPayload)
        return Error::invalid_data("append: final record exceeds pending block capacity");
    const uint64_t growth = new_framed - old_framed;
    auto new_end = checked_add(written_, growth);
    if (!new_end) return Error::invalid_data("append wrote_position overflow");
    if (header_len_ + *new_end > file_size_) return Error::segment_full();
    const uint64_t new_payload = uint64_t{bh.payload_size} + growth;
    if (new_payload > UINT32_MAX) return Error::invalid_data("append block payload overflow");
    if (new_payload > kMaxPendingPayload)
        return Error::invalid_data("append: aggregated block payload exceeds pending block capacity");
    uint8_t* st = BRVL_TRY(state_block());

    uint8_t* frame = at(frame_pos);
    begin_in_place(position);
    if (!data.empty()) std::memcpy(frame + kFrameHeadLen + old_len, data.data(), data.size());
    std::memset(frame + kFrameHeadLen + new_len, 0, new_framed - kFrameHeadLen - new_len);
    crash_point("append_to.data");
    BlockHeader::rewrite(file_.bytes(), header_len_ + position,
                         BlockHeader::make(new_payload, bh.flags, bh.record_count, new_payload));
    crash_point("append_to.block_header");
    // Until the commit the pending payload bytes differ from what the block's frames add up
    // to, which makes open count the segment again: a frame that keeps its framed size (the
    // data fits in its padding) changes no other field before its raw bytes, so they are 0
    // meanwhile.
    store_u64(st + st::kPendWrote, growth != 0 ? new_payload : 0);
    raw_bytes_ += data.size();
    store_u64(st + st::kRaw, raw_bytes_);
    crash_point("append_to.pending_size");
    store_u32(frame + frame_at::kLength, static_cast<uint32_t>(new_len));  // commit
    crash_point("append_to.commit");
    if (growth == 0) store_u64(st + st::kPendWrote, new_payload);
    store_u64(st + st::kWrote, header_len_ + *new_end);
    end_in_place(position);
    written_ = *new_end;
    pending_->wrote_position += growth;
    mark_dirty();
    touch();
    return static_cast<uint32_t>(old_len);
}

// The new frame is staged first, then committed: behind the block (behind the block as it
// will be, too) with a trailer that names it when the file has that room, committed by a
// wrote_position past the trailer; else in the stage file, committed by marking the
// block's flags as a staged correction. From the commit on, open finishes the correction
// from the staged frame. The frame is then written in place, the counters, the pending
// size and the written end follow, and the block header with its new size (and its flags
// cleared) ends it. The block needs no more room than its new size: a shorter record is
// corrected in place in a file that cannot grow.
// The new frame is staged first, in the stage file, then committed by marking the block's
// flags as a staged correction: from the commit on, open finishes the correction from the
// staged frame. The frame is then written in place, the counters, the pending size and
// the written end follow, and the block header with its new size (and its flags cleared)
// ends it. The block needs no more room than its new size: a shorter record is corrected
// in place in a file that cannot grow. Everything from the commit to the end runs inside
// the block's change counter.
Status DataSegment::correct_record(uint64_t position, uint16_t in_block, std::span<const uint8_t> data) {
    BRVL_TRY(prepare_change("segment mmap not open"));
    const auto [bh, frame_pos, old_len] = BRVL_TRY(last_pending_record(position, in_block, /*appending=*/false));
    const uint64_t old_framed = framed_size(old_len);
    if (data.size() > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");
    const uint64_t new_len = data.size();
    const uint64_t new_framed = framed_size(new_len);
    const int64_t delta = static_cast<int64_t>(new_framed) - static_cast<int64_t>(old_framed);
    const int64_t new_payload = int64_t{bh.payload_size} + delta;
    const int64_t new_unc = int64_t{bh.uncompressed_size} + delta;
    if (new_payload < 0 || new_unc < 0) return Error::invalid_data("correction write: negative block size");
    if (new_payload > int64_t{UINT32_MAX} || new_unc > int64_t{UINT32_MAX})
        return Error::invalid_data("correction write: block size exceeds u32");
    if ((bh.flags & BlockHeader::kSingleRecord) == 0 && static_cast<uint64_t>(new_payload) > kMaxPendingPayload)
        return Error::invalid_data("correction write: oversized record requires exclusive block");

    // A longer record grows the file when its block would end past it (segment-full at the
    // size limit, and the dataset writes the record anew instead; a grow that fails for want
    // of room gives its own error).
    const uint64_t payload_after = static_cast<uint64_t>(new_payload);
    const uint64_t new_end = position + kBlockHeaderLen + payload_after;
    while (available() < new_end) {
        if (at_size_limit()) return Error::segment_full();
        BRVL_TRY(grow());
    }
    uint8_t* st = BRVL_TRY(state_block());
    const int64_t ts = load_i64(at(frame_pos) + frame_at::kTimestamp);
    const uint64_t raw_after = raw_bytes_ - std::min<uint64_t>(raw_bytes_, old_len) + new_len;
    const uint64_t frame_off = frame_offset(in_block);

    uint8_t head[kFrameHeadLen];
    store_u32(head + frame_at::kLength, static_cast<uint32_t>(new_len));
    store_i64(head + frame_at::kTimestamp, ts);
    static constexpr uint8_t kPadding[4] = {};
    const std::span<const uint8_t> frame[] = {
        {head, kFrameHeadLen}, data, {kPadding, new_framed - kFrameHeadLen - new_len}};
    StageRecord r;
    r.kind = StageRecord::kCorrection;
    r.base_offset = base_offset_;
    r.created_ms = created_ms_;
    r.position = position;
    r.record_count = bh.record_count;
    r.payload_after = static_cast<uint32_t>(payload_after);
    r.frame_offset = static_cast<uint32_t>(frame_off);
    r.raw_after = raw_after;
    BRVL_TRY(write_stage_record(r, frame));
    crash_point("correct.staged");
    publish_fence();
    begin_in_place(position);
    store_u16(at(position) + block_at::kFlags, BlockHeader::kStagedCorrection);  // commit
    crash_point("correct.commit");
    publish_fence();

    // A reader beside the writer takes the frame from the stage file while the flags say so.
    write_frame(at(frame_pos), ts, data, new_framed);
    crash_point("correct.copied");
    raw_bytes_ = raw_after;
    store_u64(st + st::kRaw, raw_bytes_);
    store_u64(st + st::kPendWrote, payload_after);
    store_u64(st + st::kWrote, header_len_ + new_end);
    crash_point("correct.applied");
    publish_fence();
    BlockHeader::rewrite(file_.bytes(), header_len_ + position,
                         BlockHeader::make(payload_after, bh.flags, bh.record_count, static_cast<uint64_t>(new_unc)));
    end_in_place(position);
    written_ = new_end;
    pending_->wrote_position = payload_after;
    mark_dirty();
    return ok_status();
}

Status DataSegment::prepare_count() {
    if (read_only_) return Error::invalid_data(format_.read_only_text);
    BRVL_TRY(ensure_mapped());
    return file_.ensure_allocated(header_len_);
}

Status DataSegment::mark_invalid() {
    if (read_only_) return Error::invalid_data(format_.read_only_text);
    if (is_mapped()) {
        BRVL_TRY(file_.ensure_allocated(header_len_));  // the count lies in the header
        uint8_t* st = BRVL_TRY(state_block());
        invalid_count_ += 1;
        store_u64(st + st::kInvalid, invalid_count_);
    } else {
        invalid_count_ += 1;
    }
    mark_dirty();
    return ok_status();
}

}  // namespace brenvale
