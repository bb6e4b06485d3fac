#include "segment/data.h"

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "codec.h"
#include "log.h"
#include "paths.h"

namespace brenvale {

namespace {

namespace st = data_state_at;

// How often a read-only reader repeats a read that raced with a writer's change.
constexpr unsigned kMaxLiveAttempts = 10000;
constexpr unsigned kMaxOpenAttempts = 100;

Record copy_record(const FrameRef& f) {
    return Record{f.timestamp, std::vector<uint8_t>(f.data, f.data + f.len)};
}

// What makes a file a data segment to the block engine.
const BlockFormat kDataFormat{kDataFraming,
                              kDataBlockState,
                              "data segment is opened read-only",
                              "segment closed during write",
                              log::kSegmentData,
                              "[DataSegment open]",
                              ""};

}  // namespace

DataSegment::DataSegment(Token) : BlockEngine(kDataFormat, kDataHeaderLen) {}

DataSegment::~DataSegment() {
    if (is_mapped() && !read_only_) {
        Status st = file_.flush();
        if (!st.ok()) log::error(log::kSegmentData, "[DataSegment drop] mmap flush failed: {}", st.error());
    }
}

// ---- create / open / map ----

Result<std::unique_ptr<DataSegment>> DataSegment::create(const std::string& path, const DataSegmentOptions& o) {
    const uint64_t base_offset = o.base_offset;
    const uint64_t initial_size = o.initial_size;
    const uint64_t max_size = o.max_size;
    const uint8_t compress_level = o.compress_level;
    const uint8_t compress_type = o.compress_type;
    BRVL_TRY(codec::check_compress_type(compress_type));
    if (base_offset > static_cast<uint64_t>(INT64_MAX))
        return Error::invalid_data("data segment file_offset exceeds i64");
    const uint64_t created = unix_millis_now();
    if (initial_size < kDataHeaderLen)
        return invalid_data_fmt("initial data segment size {} is smaller than header {}", initial_size,
                                kDataHeaderLen);

    auto seg = std::make_unique<DataSegment>(Token{});
    seg->file_ = BRVL_TRY(MappedFile::create(path, initial_size, /*exclusive=*/false));
    crash_point("create.file");
    HeaderMeta meta;
    meta.created_ms = created;
    meta.start_key = base_offset;
    meta.size_limit = max_size;
    meta.compress_level = compress_level;
    meta.compress_type = compress_type;
    // The magic is stored last: a file without it was cut short before it held anything,
    // and opening the data directory removes it.
    uint8_t header[kDataHeaderLen];
    DataHeader::write({header, kDataHeaderLen}, meta, DataSegmentState{});
    uint8_t* bytes = seg->file_.data();
    std::memcpy(bytes + kHeaderMagicLen, header + kHeaderMagicLen, kDataHeaderLen - kHeaderMagicLen);
    crash_point("create.header_fields");
    publish_fence();
    std::memcpy(bytes, header, kHeaderMagicLen);
    crash_point("create.header");
    BRVL_TRY(seg->file_.flush());

    seg->path_ = path;
    seg->stage_path_ = paths::stage_file(parent_dir(path));
    seg->base_offset_ = base_offset;
    seg->file_size_ = seg->file_.size();
    seg->max_size_ = max_size;
    seg->header_len_ = kDataHeaderLen;
    seg->compress_type_ = compress_type;
    seg->created_ms_ = created;
    seg->touch();
    return seg;
}

Result<std::unique_ptr<DataSegment>> DataSegment::open(const std::string& path, uint64_t base_offset,
                                                       uint64_t max_size, bool read_only) {
    auto seg = std::make_unique<DataSegment>(Token{});
    seg->path_ = path;
    seg->stage_path_ = paths::stage_file(parent_dir(path));
    seg->read_only_ = read_only;
    seg->base_offset_ = base_offset;
    seg->max_size_ = max_size;
    seg->file_ = BRVL_TRY(MappedFile::open(path, !read_only));
    auto repaired = seg->load_header(/*warn_version=*/true);
    // A reader beside a live writer can catch the header between two stores of one
    // change: look again (the file grown meanwhile mapped again) before giving up.
    for (unsigned attempt = 0; read_only && !repaired.ok() && attempt < kMaxOpenAttempts; ++attempt) {
        ::sched_yield();
        seg->attach_file(BRVL_TRY(MappedFile::open(path, false)));
        repaired = seg->load_header(/*warn_version=*/false);
    }
    if (!repaired.ok()) return std::move(repaired).error();
    seg->clean_ = !*repaired;
    seg->touch();
    return seg;
}

Status DataSegment::ensure_mapped() {
    if (is_mapped()) return ok_status();
    attach_file(BRVL_TRY(MappedFile::open(path_, !read_only_)));
    auto loaded = load_header(/*warn_version=*/false);
    if (!loaded.ok()) {
        unmap_file();
        return std::move(loaded).error();
    }
    writable_head_ = true;
    clean_ = true;
    dirty_registered_ = false;
    touch();
    if (*loaded) mark_dirty();
    return ok_status();
}

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
        [&](uint64_t key, uint64_t len) {
            const auto ts = static_cast<int64_t>(key);
            count += 1;
            raw += len + kFrameHeadLen;
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

void DataSegment::mark_dirty() {
    clean_ = false;
    if (!dirty_registered_ && notifier_) {
        notifier_->mark_dirty(DirtyTarget::data_segment(base_offset_));
        dirty_registered_ = true;
    }
}

void DataSegment::note_timestamp(int64_t ts) {
    min_ts_ = std::min(min_ts_, ts);
    max_ts_ = std::max(max_ts_, ts);
}

// ---- block engine hooks ----

void DataSegment::record_counted(uint8_t* st, uint64_t key) {
    note_timestamp(static_cast<int64_t>(key));
    store_i64(st + st::kMin, min_ts_);
    store_i64(st + st::kMax, max_ts_);
}

void DataSegment::changed() {
    mark_dirty();
    touch();
}

// ---- the stage file ----

Status DataSegment::write_stage_record(const StageRecord& record, std::span<const std::span<const uint8_t>> pieces) {
    if (!stage_file_.valid())
        stage_file_ = BRVL_TRY(FileHandle::open(stage_path_, FileHandle::Mode::CreateOrOpen));
    return write_stage(stage_file_, record, pieces);
}

const StageRecord* DataSegment::load_stage(uint16_t kind, uint64_t position) {
    stage_.reset();
    auto r = read_stage(stage_path_);
    if (!r.ok() || !*r || !(*r)->names(kind, base_offset_, created_ms_, position)) return nullptr;
    stage_ = std::move(**r);
    return &*stage_;
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
            std::memcpy(at(p + kBlockHeaderLen + r->frame_offset), r->staged.data(), r->staged.size());
            store_u64(st + st::kRaw, r->raw_after);
            store_u64(st + st::kPendWrote, len);
            store_u64(st + st::kWrote, header_len_ + p + kBlockHeaderLen + len);
            BlockHeader::write(file_.bytes(), header_len_ + p, BlockHeader::make(len, 0, c, len));
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
        std::memmove(at(p + kBlockHeaderLen + sc->frame_off), sc->frame, sc->framed);
        BlockHeader::write(file_.bytes(), header_len_ + p, BlockHeader::make(len, 0, c, len));
        store_u64(st + st::kPendWrote, len);
        store_u64(st + st::kWrote, header_len_ + p + kBlockHeaderLen + len);
    } else {
        keep_corrected_payload(p, sc->frame_off, {sc->frame, sc->framed});
    }
    return std::optional<PendingBlock>(PendingBlock{p, len, c});
}

// ---- writing ----

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
    BRVL_TRY(check_writable("segment mmap not open"));
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
    if (!data.empty()) std::memcpy(frame + kFrameHeadLen + old_len, data.data(), data.size());
    std::memset(frame + kFrameHeadLen + new_len, 0, new_framed - kFrameHeadLen - new_len);
    crash_point("append_to.data");
    BlockHeader::write(file_.bytes(), header_len_ + position,
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
Status DataSegment::correct_record(uint64_t position, uint16_t in_block, std::span<const uint8_t> data) {
    BRVL_TRY(check_writable("segment mmap not open"));
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

    // A longer record grows the file when its block would end past it (segment-full when
    // it cannot grow, and the dataset writes the record anew instead).
    const uint64_t payload_after = static_cast<uint64_t>(new_payload);
    const uint64_t new_end = position + kBlockHeaderLen + payload_after;
    while (available() < new_end) {
        if (!grow().ok()) return Error::segment_full();
    }
    uint8_t* st = BRVL_TRY(state_block());
    const int64_t ts = load_i64(at(frame_pos) + frame_at::kTimestamp);
    const uint64_t raw_after = raw_bytes_ - std::min<uint64_t>(raw_bytes_, old_len) + new_len;
    const uint64_t frame_off = frame_offset(in_block);

    const uint64_t stage = position + kBlockHeaderLen + std::max<uint64_t>(bh.payload_size, payload_after);
    const uint64_t trailer = stage + new_framed;
    const bool behind = trailer + kBlockHeaderLen <= available();
    if (behind) {
        write_frame(at(stage), ts, data, new_framed);
        const BlockHeader names_frame =
            BlockHeader::make(new_framed, BlockHeader::kStagedCorrection, in_block, frame_off + new_framed);
        BlockHeader::write(file_.bytes(), header_len_ + trailer, names_frame);
        store_u32(at(trailer) + block_at::kReserved, codec::crc32({at(stage), new_framed}));
        crash_point("correct.staged");
        publish_fence();
        store_u64(st + st::kWrote, header_len_ + trailer + kBlockHeaderLen);  // commit
    } else {
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
        store_u16(at(position) + block_at::kFlags, BlockHeader::kStagedCorrection);  // commit
    }
    crash_point("correct.commit");
    publish_fence();

    // A reader beside the writer takes the block's extent from its header while the written
    // end points past the trailer, and the frame from the stage file while the flags say so:
    // the header changes before the written end in the first case, last in the second.
    write_frame(at(frame_pos), ts, data, new_framed);
    crash_point("correct.copied");
    const BlockHeader after =
        BlockHeader::make(payload_after, bh.flags, bh.record_count, static_cast<uint64_t>(new_unc));
    if (behind) BlockHeader::write(file_.bytes(), header_len_ + position, after);
    raw_bytes_ = raw_after;
    store_u64(st + st::kRaw, raw_bytes_);
    store_u64(st + st::kPendWrote, payload_after);
    if (!behind) store_u64(st + st::kWrote, header_len_ + new_end);
    crash_point("correct.applied");
    publish_fence();
    if (behind) store_u64(st + st::kWrote, header_len_ + new_end);
    else BlockHeader::write(file_.bytes(), header_len_ + position, after);
    written_ = new_end;
    pending_->wrote_position = payload_after;
    mark_dirty();
    return ok_status();
}

Status DataSegment::mark_invalid() {
    if (read_only_) return Error::invalid_data(format_.read_only_text);
    if (is_mapped()) {
        uint8_t* st = BRVL_TRY(state_block());
        invalid_count_ += 1;
        store_u64(st + st::kInvalid, invalid_count_);
    } else {
        invalid_count_ += 1;
    }
    mark_dirty();
    return ok_status();
}

// ---- reading ----

Result<HotBlockPtr> DataSegment::load_block(uint64_t owner, uint64_t position, const BlockView& view,
                                            BlockCache* cache, HotBlockSlot* slot) const {
    const BlockKey key{owner, base_offset_, position};
    bool skip_cache = false;
    if (slot != nullptr) {
        if (HotBlockPtr hb = slot->lookup(key)) return hb;
        skip_cache = slot->has_key && slot->key == key;  // its block is gone: decompress again
    }
    if (cache != nullptr && !skip_cache) {
        if (HotBlockPtr hb = cache->get(key)) {
            if (slot != nullptr) slot->set(key, hb);
            return hb;
        }
    }
    BlockBuffer payload = BRVL_TRY(codec::decompress_block({view.payload, view.header.payload_size}, compress_type_,
                                                           view.header.uncompressed_size));
    HotBlockPtr hb = std::make_shared<const HotBlock>(std::move(payload));
    if (cache != nullptr) {
        if (HotBlockPtr cached = cache->insert(key, hb)) hb = std::move(cached);
        if (slot != nullptr && cache->capacity() > 0) slot->set(key, hb);
    }
    return hb;
}

namespace {

template <typename Item>
Item item_of(const FrameRef& f) {
    if constexpr (std::is_same_v<Item, Record>) return copy_record(f);
    else return RecordLength{f.timestamp, f.len};
}

}  // namespace

template <typename Item>
inline Result<Item> DataSegment::read_in_block(uint64_t owner, uint64_t position, uint64_t limit,
                                               uint16_t in_block, BlockCache* cache, HotBlockSlot* slot) const {
    const BlockView v = BRVL_TRY(block_at(position, limit));
    if ((v.header.flags & BlockHeader::kCompressed) == 0)
        return item_of<Item>(BRVL_TRY(read_frame({v.payload, v.header.payload_size}, in_block)));
    const HotBlockPtr hb = BRVL_TRY(load_block(owner, position, v, cache, slot));
    return item_of<Item>(BRVL_TRY(read_frame(hb->bytes(), in_block)));
}

template <typename Item>
Result<Item> DataSegment::read_item(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache,
                                    HotBlockSlot* slot) {
    if (read_only_) {
        // Beside a live writer the layout can change between two loads: a read whose
        // snapshot of the layout changed while it ran is made again.
        for (unsigned attempt = 0;; ++attempt) {
            const LiveState before = BRVL_TRY(live_state(/*allow_remap=*/true));
            auto item = read_item_live<Item>(before, owner, position, in_block, cache, slot);
            observe_fence();
            auto after = live_state(/*allow_remap=*/false);
            if (!after.ok() || *after == before || attempt >= kMaxLiveAttempts) return item;
            if (attempt >= 8) ::sched_yield();
        }
    }
    return read_in_block<Item>(owner, position, written_, in_block, cache, slot);
}

// The layout as the mapping holds it now. A file that a writer grew past the mapping is
// mapped again (only when allowed: the check after a read must not move the mapping).
Result<DataSegment::LiveState> DataSegment::live_state(bool allow_remap) {
    if (!is_mapped()) BRVL_TRY(ensure_mapped());
    for (int pass = 0;; ++pass) {
        observe_fence();
        const uint8_t* st = BRVL_TRY(state_block());
        LiveState live;
        live.mapped = file_.size();
        const uint64_t wrote = load_u64(st + st::kWrote);
        live.wrote = wrote > header_len_ ? wrote - header_len_ : 0;
        live.pending_position = load_u64(st + st::kPendPos);
        live.pending_wrote = load_u64(st + st::kPendWrote);
        live.pending_count = load_u64(st + st::kPendCount);
        const uint64_t rel = live.mapped > header_len_ ? live.mapped - header_len_ : 0;
        bool grown = live.wrote > rel;
        if (live.pending_position != kNoPendingBlock) {
            auto end = checked_add(live.pending_position, kBlockHeaderLen);
            if (end && *end <= rel) {
                live.pending_header = BlockHeader::read(file_.bytes(), header_len_ + live.pending_position);
            } else {
                grown = true;
            }
        }
        // A seal in progress may have grown the file past this mapping: its in-place payload
        // (and, in files of earlier versions, its copy staged behind the block) may lie there.
        if (!grown && allow_remap && pass == 0 && live.pending_position != kNoPendingBlock &&
            live.pending_header.flags != 0) {
            const uint64_t cs = live.pending_header.payload_size;
            auto end = checked_add(live.pending_position, 2 * kBlockHeaderLen + std::max(live.pending_wrote, cs) + cs);
            auto length = file_.file_length();
            grown = end && *end > rel && length.ok() && *length > live.mapped;
        }
        if (!grown || !allow_remap || pass > 0) {
            // The counters stay those checked when the file was mapped: the stored ones may
            // run ahead of a change in flight.
            written_ = std::min(live.wrote, rel);
            if (live.pending_position != kNoPendingBlock && live.pending_header.flags == 0)
                pending_ = PendingBlock{live.pending_position, live.pending_wrote, live.pending_count};
            else
                pending_.reset();
            return live;
        }
        // The writer grew the file: map all of it again.
        attach_file(BRVL_TRY(MappedFile::open(path_, /*writable=*/false)));
        file_size_ = file_.size();
    }
}

template <typename Item>
Result<Item> DataSegment::read_item_live(const LiveState& live, uint64_t owner, uint64_t position,
                                         uint16_t in_block, BlockCache* cache, HotBlockSlot* slot) {
    const uint64_t rel = live.mapped > header_len_ ? live.mapped - header_len_ : 0;
    if (live.pending_position != position || !range_within(position, kBlockHeaderLen, rel)) {
        // A block that is not pending is sealed for good.
        return read_in_block<Item>(owner, position, live.wrote, in_block, cache, slot);
    }
    const BlockHeader& bh = live.pending_header;
    if (bh.flags == BlockHeader::kStagedCorrection) {
        // A correction in progress: the corrected frame from the stage file; the frames
        // before it are not touched.
        const StageRecord* r = staged_frame(position, live.pending_count);
        if (r != nullptr && r->frame_offset == frame_offset(in_block))
            return item_of<Item>(BRVL_TRY(read_frame(r->staged, 0)));
    } else if (bh.flags != 0) {
        // A seal in progress (or interrupted): its sealed payload, staged or in place.
        const PendingBlock pb{position, live.pending_wrote, live.pending_count};
        const uint8_t* source = sealed_source(pb, bh);
        if (source == nullptr) return invalid_data_fmt("pending block has non-raw flags: {:#x}", bh.flags);
        auto decoded = BRVL_TRY(codec::decompress({source, bh.payload_size}, compress_type_, live.pending_wrote));
        return item_of<Item>(BRVL_TRY(read_frame(decoded, in_block)));
    }
    if (auto sc = staged_correction(position, bh, live.pending_wrote, live.wrote);
        sc && sc->frame_off == frame_offset(in_block)) {
        // A correction in progress (or interrupted after its commit): the staged frame.
        return item_of<Item>(BRVL_TRY(read_frame({sc->frame, sc->framed}, 0)));
    }
    const uint64_t room = rel - position - kBlockHeaderLen;
    const uint64_t extent = std::min<uint64_t>({bh.payload_size, room, kMaxPendingPayload});
    return item_of<Item>(BRVL_TRY(read_frame({at(position + kBlockHeaderLen), extent}, in_block)));
}

Result<Record> DataSegment::read_record(uint64_t owner, uint64_t position, uint16_t in_block, BlockCache* cache) {
    return read_item<Record>(owner, position, in_block, cache, nullptr);
}

Result<RecordLength> DataSegment::read_length(uint64_t owner, uint64_t position, uint16_t in_block,
                                              BlockCache* cache) {
    return read_item<RecordLength>(owner, position, in_block, cache, nullptr);
}

Result<Record> DataSegment::read_record_hot(uint64_t owner, uint64_t position, uint16_t in_block,
                                            BlockCache* cache, HotBlockSlot& slot) {
    return read_item<Record>(owner, position, in_block, cache, &slot);
}

Result<RecordLength> DataSegment::read_length_hot(uint64_t owner, uint64_t position, uint16_t in_block,
                                                  BlockCache* cache, HotBlockSlot& slot) {
    return read_item<RecordLength>(owner, position, in_block, cache, &slot);
}

// ---- flushing and dirty tracking ----

Status DataSegment::flush() {
    if (is_mapped() && !read_only_) BRVL_TRY(file_.flush());
    touch();
    clean_ = true;
    return ok_status();
}

Status DataSegment::flush_dirty() {
    BRVL_TRY(flush());
    dirty_registered_ = false;
    return ok_status();
}

void DataSegment::set_notifier(std::optional<DirtyNotifier> notifier) {
    notifier_ = std::move(notifier);
    if (notifier_ && !clean_ && !dirty_registered_) {
        notifier_->mark_dirty(DirtyTarget::data_segment(base_offset_));
        dirty_registered_ = true;
    }
}

void DataSegment::unmap() {
    unmap_file();
    stage_file_.close();
}

SegmentStats DataSegment::stats() const {
    return SegmentStats{base_offset_, record_count_, written_, raw_bytes_, invalid_count_, min_ts_, max_ts_};
}

}  // namespace brenvale
