// Reads of a data segment, and the reads and counts of a read-only segment beside a live
// writer in another process.
//
// Beside a writer, a read takes the layout from the mapping each time. A block behind the
// pending one is sealed and never changes; a record of the pending block is copied while
// its change counter (block_engine.h) is even, and copied again when the counter or the
// layout moved meanwhile. A counter that stays odd is a change that a killed writer left:
// after LiveWait::kAbandonAfter the reader takes the block as the kill left it, reading a change
// past its commit from its staged copy, as a read-only open repairs in memory.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <type_traits>
#include <utility>

#include "codec.h"
#include "live_wait.h"
#include "log.h"
#include "segment/data.h"

namespace brenvale {

namespace st = data_state_at;

namespace {

// The place behind the frames of a raw pending block at `position` holding `payload` bytes:
// a record stored into the block takes it. A full block's last slot stands for it (the
// next record goes into a later block).
RecordPlace place_after_frames(uint64_t position, uint64_t payload) {
    return RecordPlace{position, static_cast<uint16_t>(std::min<uint64_t>(payload / 4, 0xFFFF))};
}

}  // namespace

namespace {

// Looks at counters that are not at rest before a segment is counted as an open counts it.
constexpr unsigned kLiveStatsAttempts = 64;
// Loads of a read-only open that failed (the writer between two stores) before the error
// is taken.
constexpr unsigned kMaxOpenAttempts = 100;

Record copy_record(const FrameRef& f) {
    return Record{f.timestamp, std::vector<uint8_t>(f.data, f.data + f.len)};
}

template <typename Item>
Item item_of(const FrameRef& f) {
    if constexpr (std::is_same_v<Item, Record>) return copy_record(f);
    else return RecordLength{f.timestamp, f.len};
}

// What a read that waited LiveWait::kGiveUpAfter gives.
constexpr std::string_view kPendingKeptChanging = "data segment {}: its pending block kept changing while it was read";

}  // namespace

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
    if (!read_only_) return read_in_block<Item>(owner, position, written_, in_block, cache, slot);
    LiveWait wait(kPendingKeptChanging);
    bool looked = false;
    for (;;) {
        const LiveState before = BRVL_TRY(live_state(/*allow_remap=*/true));
        // A record past the blocks of the file mapped: the writer may have made the file
        // again under its name since (it removed one it had made for a record that did not
        // go in), and the new one holds the record.
        if (position >= before.wrote && !std::exchange(looked, true) && BRVL_TRY(follow_replaced())) continue;
        observe_fence();
        if (before.pending_position != position) {
            // A block behind the pending one is sealed for good.
            return read_in_block<Item>(owner, position, before.wrote, in_block, cache, slot);
        }
        if (!before.changing() || BRVL_TRY(change_abandoned(before, wait))) {
            auto item = read_item_live<Item>(before, owner, position, in_block, cache, slot);
            observe_fence();
            auto after = live_state(/*allow_remap=*/false);
            if (after.ok() && *after == before) return item;
        }
        BRVL_TRY(wait.next(path_));
    }
}

Result<bool> DataSegment::change_abandoned(const LiveState& live, LiveWait& wait) {
    const std::pair<uint64_t, uint32_t> change{live.pending_position, live.change_count};
    if (abandoned_change_ == change) return true;
    if (!wait.stayed(change.first, change.second)) return false;
    abandoned_change_ = change;
    log::warn(log::kSegmentData, "[DataSegment read] {}: a change of the pending block at {} did not end; reading "
                                 "the block as it was left", path_, change.first);
    return true;
}

DataSegment::LiveState DataSegment::read_live(const uint8_t* st) const {
    LiveState live;
    live.mapped = file_.size();
    const uint64_t wrote = load_u64(st + st::kWrote);
    live.wrote = wrote > header_len_ ? wrote - header_len_ : 0;
    live.pending_position = load_u64(st + st::kPendPos);
    live.pending_wrote = load_u64(st + st::kPendWrote);
    live.pending_count = load_u64(st + st::kPendCount);
    const uint64_t rel = live.mapped > header_len_ ? live.mapped - header_len_ : 0;
    if (live.pending_position != kNoPendingBlock && range_within(live.pending_position, kBlockHeaderLen, rel)) {
        live.pending_header = BlockHeader::read(file_.bytes(), header_len_ + live.pending_position);
        live.change_count = change_count(live.pending_position);
    }
    return live;
}

// The layout as the mapping holds it now. A file that a writer grew past the mapping is
// mapped again (only when allowed: the check after a read must not move the mapping).
Result<DataSegment::LiveState> DataSegment::live_state(bool allow_remap) {
    if (!is_mapped()) BRVL_TRY(ensure_mapped());
    for (int pass = 0;; ++pass) {
        observe_fence();
        const LiveState live = read_live(BRVL_TRY(state_block()));
        const uint64_t rel = live.mapped > header_len_ ? live.mapped - header_len_ : 0;
        bool grown = live.wrote > rel || (live.pending_position != kNoPendingBlock &&
                                          !range_within(live.pending_position, kBlockHeaderLen, rel));
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
            pending_.reset();
            if (live.pending_position != kNoPendingBlock && live.pending_header.flags == 0) {
                pending_ = PendingBlock{live.pending_position, live.pending_wrote, live.pending_count};
                take_committed_frames(live, rel);
            }
            return live;
        }
        // The writer grew the file: map all of it again.
        attach_file(BRVL_TRY(MappedFile::open(path_, /*writable=*/false)));
        file_size_ = file_.size();
    }
}

// Between a raw pending block's commit store (its record count, or its position for a new
// block) and the store of the written end, or between its payload bytes and that commit, the
// fields disagree: the blocks end behind the committed frames, as open's repair takes them,
// so that the newest record a count looks at is the one the writer committed.
void DataSegment::take_committed_frames(const LiveState& live, uint64_t rel) {
    const uint64_t p = live.pending_position;
    if (live.wrote >= p + kBlockHeaderLen && live.wrote - p - kBlockHeaderLen == live.pending_wrote) return;
    if (live.pending_count > kMaxPendingCount || !range_within(p, kBlockHeaderLen, rel)) return;
    const uint64_t room = std::min(rel - p - kBlockHeaderLen, kMaxPendingPayload);
    const std::optional<uint64_t> frames =
        scan_frames(format_.framing, at(p + kBlockHeaderLen), room, live.pending_count);
    if (!frames) return;
    const bool ends_at_written = live.wrote >= p + kBlockHeaderLen && live.wrote - p - kBlockHeaderLen == *frames;
    if (!ends_at_written && *frames != live.pending_wrote) return;  // damage: its reads report it
    pending_ = PendingBlock{p, *frames, live.pending_count};
    written_ = p + kBlockHeaderLen + *frames;
}

template <typename Item>
Result<Item> DataSegment::read_item_live(const LiveState& live, uint64_t owner, uint64_t position,
                                         uint16_t in_block, BlockCache* cache, HotBlockSlot* slot) {
    const uint64_t rel = live.mapped > header_len_ ? live.mapped - header_len_ : 0;
    if (live.pending_position != position || !range_within(position, kBlockHeaderLen, rel)) {
        // A block that is not pending is sealed for good.
        return read_in_block<Item>(owner, position, live.wrote, in_block, cache, slot);
    }
    // A change whose counter ended, or one that a killed writer left: the block as it is,
    // a change past its commit taken from its staged copy.
    const BlockHeader& bh = live.pending_header;
    if (bh.flags == BlockHeader::kStagedCorrection) {
        // A correction past its commit: the corrected frame from the stage file; the
        // frames before it are not touched.
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
    const uint64_t room = std::min<uint64_t>(rel - position - kBlockHeaderLen, kMaxPendingPayload);
    uint64_t extent = std::min<uint64_t>(bh.payload_size, room);
    if (bh.payload_size != live.pending_wrote) {
        // A change caught between its stores (a seal that has stored its compressed size
        // but not yet its flags, an append before its commit): the block as open's repair
        // would take it, its committed frames.
        if (auto committed = scan_frames(at(position + kBlockHeaderLen), room, live.pending_count)) extent = *committed;
    }
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


// ---- beside a live writer ----

Result<bool> DataSegment::load_header_beside_writer(bool warn_version) {
    LiveWait wait(kPendingKeptChanging);
    for (unsigned attempt = 0;; ++attempt) {
        auto st = state_block();
        const std::optional<LiveState> before = st.ok() ? std::optional<LiveState>(read_live(*st)) : std::nullopt;
        if (before && before->changing() && !BRVL_TRY(change_abandoned(*before, wait))) {
            BRVL_TRY(wait.next(path_));
            continue;
        }
        observe_fence();
        auto loaded = load_header(warn_version && attempt == 0);
        observe_fence();
        if (loaded.ok() && before) {
            st = state_block();
            if (st.ok() && read_live(*st) == *before) return loaded;
        }
        if (attempt >= kMaxOpenAttempts) return loaded;
        BRVL_TRY(wait.next(path_));
        // The file grown meanwhile is mapped again.
        attach_file(BRVL_TRY(MappedFile::open(path_, /*writable=*/false)));
    }
}

std::optional<uint64_t> DataSegment::sealed_records_before(uint64_t end) {
    if (end < sealed_end_) {  // a file that is not the one counted (it was replaced)
        sealed_end_ = 0;
        sealed_count_ = 0;
    }
    const uint64_t rel = mapped_room();
    uint64_t pos = sealed_end_, count = sealed_count_;
    while (pos < end) {
        if (!range_within(pos, kBlockHeaderLen, std::min(end, rel))) return std::nullopt;
        const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + pos);
        if ((bh.flags & BlockHeader::kSealedFlags) != BlockHeader::kSealedFlags) return std::nullopt;
        count += bh.record_count;
        pos += kBlockHeaderLen + bh.payload_size;
    }
    if (pos != end) return std::nullopt;
    sealed_end_ = pos;
    sealed_count_ = count;
    return count;
}

RecordPlace DataSegment::next_place() const {
    return pending_ ? place_after_frames(pending_->position, pending_->wrote_position) : RecordPlace{written_, 0};
}

std::optional<DataSegment::Newest> DataSegment::newest_record(uint64_t from) const {
    if (written_ == 0) return std::nullopt;
    const std::optional<uint64_t> last =
        pending_ ? std::optional<uint64_t>(pending_->position) : last_block_position(from);
    if (!last) return std::nullopt;
    std::optional<FrameSeen> newest;
    if (!for_each_frame([&](const FrameSeen& f) { newest = f; }, corrected_payload_, *last) || !newest)
        return std::nullopt;
    return Newest{{newest->position, in_block_of(newest->frame_offset)}, static_cast<int64_t>(newest->key)};
}

Result<bool> DataSegment::follow_replaced() {
    if (!read_only_ || !is_mapped()) return false;
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;  // gone, and nothing under its name yet
        return Error::io(errno);
    }
    if (static_cast<uint64_t>(st.st_ino) == file_.file_id()) return false;
    // Only a file that held nothing is ever made again under its name: no block of it is
    // in the cache. What was kept of the old file goes with its mapping.
    unmap();
    written_ = record_count_ = raw_bytes_ = invalid_count_ = 0;
    min_ts_ = INT64_MAX;
    max_ts_ = INT64_MIN;
    pending_.reset();
    abandoned_change_.reset();
    stage_record_.reset();
    sealed_end_ = sealed_count_ = 0;
    corrected_payload_.clear();
    BRVL_TRY(ensure_mapped());
    return true;
}

// The counters of a live file are those of its last commit when they agree with its
// blocks: no change of the pending block runs, the pending block's header matches the
// pending fields and ends the blocks, and the record count is what the blocks hold. The
// commit fields are loaded first, the counters after them (the record count, stored first
// by every change, last): counters that ran ahead of the commit show as a record count
// above the blocks'.
Result<SegmentStats> DataSegment::live_stats() {
    if (!read_only_) return stats();
    LiveWait wait(kPendingKeptChanging);
    for (;;) {
        const LiveState live = BRVL_TRY(live_state(/*allow_remap=*/true));
        observe_fence();
        const uint8_t* st = BRVL_TRY(state_block());
        SegmentStats s = stats();
        s.written_length = live.wrote;
        s.raw_record_bytes = load_u64(st + st::kRaw);
        s.min_timestamp = load_i64(st + st::kMin);
        s.max_timestamp = load_i64(st + st::kMax);
        s.invalid_record_count = load_u64(st + st::kInvalid);
        observe_fence();
        s.record_count = load_u64(st + st::kCount);
        bool at_rest = false;
        if (live.pending_position == kNoPendingBlock) {
            at_rest = live.pending_wrote == 0 && live.pending_count == 0 &&
                      sealed_records_before(live.wrote) == s.record_count;
        } else {
            const BlockHeader& bh = live.pending_header;
            at_rest = !live.changing() && bh.flags == 0 && bh.payload_size == live.pending_wrote &&
                      bh.uncompressed_size == live.pending_wrote && bh.record_count == live.pending_count &&
                      live.pending_position + kBlockHeaderLen + live.pending_wrote == live.wrote;
            if (at_rest) {
                auto sealed = sealed_records_before(live.pending_position);
                at_rest = sealed && *sealed + live.pending_count == s.record_count;
            }
        }
        observe_fence();
        auto after = live_state(/*allow_remap=*/false);
        if (at_rest && after.ok() && *after == live) return s;
        if (wait.attempts() >= kLiveStatsAttempts) {
            // A file found in the middle of a change again and again (a killed writer's, or
            // a busy one's): counted as a fresh read-only open counts it.
            auto fresh = DataSegment::open(path_, base_offset_, max_size_, /*read_only=*/true);
            return fresh.ok() ? (*fresh)->stats() : stats();
        }
        BRVL_TRY(wait.next(path_));
    }
}

}  // namespace brenvale
