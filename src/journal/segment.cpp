#include "journal/segment.h"

#include <sched.h>

#include <algorithm>
#include <limits>

#include "codec.h"
#include "../log.h"  // the logging facade (journal/log.h is the journal log)
#include "paths.h"
#include "util.h"

namespace brenvale {

namespace {

namespace st = journal_state_at;

// The bytes a raw block's frames may take: its payload size, which a seal overwrites with
// the compressed size a store before it sets the flags; the uncompressed size (the raw
// size until the header is rewritten whole) keeps the extent of the frames meanwhile. An
// append stores the new payload size first and may leave the old uncompressed size.
uint64_t raw_extent(const BlockHeader& bh) { return std::max(bh.payload_size, bh.uncompressed_size); }

// What makes a file a journal segment to the block engine.
const BlockFormat kJournalFormat{kJournalFraming,
                                 kJournalBlockState,
                                 "read-only journal segment cannot be modified",
                                 "journal segment is closed",
                                 log::kJournalSegment,
                                 "[JournalSegment open]",
                                 "journal "};

constexpr uint64_t kMaxSalvagedFrames = 0xFFFF;
// A salvage can take every frame a block header counts.
static_assert(kMaxSalvagedFrames >= std::numeric_limits<decltype(BlockHeader::record_count)>::max());

// Only a block of its own holds more than a pending block's payload: a sealed block of
// several records that claims more is damaged.
bool oversized(const BlockHeader& bh) {
    return (bh.flags & BlockHeader::kSingleRecord) == 0 && bh.uncompressed_size > kMaxPendingPayload;
}

}  // namespace

JournalSegment::JournalSegment(Token) : BlockEngine(kJournalFormat, kJournalHeaderLen) {}

// ---- create / open ----

Result<std::unique_ptr<JournalSegment>> JournalSegment::create(const std::string& path,
                                                               const JournalSegmentOptions& o) {
    if (static_cast<int64_t>(o.base_sequence) < 1) return Error::invalid_data("journal base_sequence must be positive");
    BRVL_TRY(codec::check_compress_type(o.compress_type));
    if (o.initial_size < kJournalHeaderLen)
        return invalid_data_fmt("initial journal segment size {} is smaller than header {}", o.initial_size,
                                kJournalHeaderLen);
    const std::string dir = parent_dir(path);
    BRVL_TRY(create_dir_all(dir));

    // The file gets its header under a temporary name (a leftover of an earlier kill is
    // truncated) and appears under its own name only whole.
    const std::string tmp = path + std::string(paths::kTempSuffix);
    MappedFile file = BRVL_TRY(MappedFile::create(tmp, o.initial_size, /*exclusive=*/false));
    crash_point("journal.create.file");
    HeaderMeta meta;
    meta.created_ms = unix_millis_now();
    meta.start_key = o.base_sequence;
    meta.size_limit = o.max_file_size;
    meta.compress_level = o.compress_level;
    meta.compress_type = o.compress_type;
    JournalSegmentState state;
    state.current_file_size = file.size();
    JournalHeader::write(file.bytes(), meta, state);
    Status made = file.flush();
    if (made.ok()) {
        crash_point("journal.create.header");
        made = rename_file(tmp, path);
    }
    if (!made.ok()) {
        (void)remove_file(tmp);
        return std::move(made).error();
    }
    crash_point("journal.create.renamed");
    BRVL_TRY(sync_dir(dir));

    auto seg = std::make_unique<JournalSegment>(Token{});
    seg->path_ = path;
    seg->attach_file(std::move(file));
    seg->file_size_ = seg->file_.size();
    seg->max_size_ = o.max_file_size;
    seg->compress_type_ = o.compress_type;
    seg->compress_level_ = o.compress_level;
    seg->base_sequence_ = o.base_sequence;
    return seg;
}

Result<std::unique_ptr<JournalSegment>> JournalSegment::open(const std::string& path, uint64_t base_sequence,
                                                             uint64_t max_file_size) {
    return open_impl(path, base_sequence, max_file_size, false);
}

Result<std::unique_ptr<JournalSegment>> JournalSegment::open_read_only(const std::string& path,
                                                                       uint64_t base_sequence,
                                                                       uint64_t max_file_size) {
    return open_impl(path, base_sequence, max_file_size, true);
}

Result<JournalHeader> JournalSegment::load_header(const std::string& path, uint64_t base_sequence,
                                                  uint64_t max_file_size, bool read_only, bool warn_version) {
    path_ = path;
    read_only_ = read_only;
    attach_file(BRVL_TRY(MappedFile::open(path, !read_only)));
    const JournalHeader h = BRVL_TRY(JournalHeader::read(mapped_bytes()));
    if (warn_version && h.prefix.version > kHeaderVersion) {
        log::warn(log::kJournalSegment, "Journal segment has version {} but current version is {}", h.prefix.version,
                  kHeaderVersion);
    }
    if (h.meta.start_key != base_sequence)
        return invalid_data_fmt("journal segment base_sequence mismatch: expected {}, got {}", base_sequence,
                                h.meta.start_key);
    base_sequence_ = base_sequence;
    max_size_ = std::max(max_file_size, h.meta.size_limit);
    file_size_ = file_.size();
    compress_type_ = h.meta.compress_type;
    compress_level_ = h.meta.compress_level;
    return h;
}

Result<std::unique_ptr<JournalSegment>> JournalSegment::open_impl(const std::string& path, uint64_t base_sequence,
                                                                  uint64_t max_file_size, bool read_only) {
    auto seg = std::make_unique<JournalSegment>(Token{});
    const JournalHeader h =
        BRVL_TRY(seg->load_header(path, base_sequence, max_file_size, read_only, /*warn_version=*/true));
    // Blocks start at byte 108 whatever the metadata area's length: a state block of a
    // longer area would lie over them and cannot be written.
    if (!read_only && h.state_position + kJournalStateLength > kJournalHeaderLen)
        return invalid_data_fmt("journal state block at {} overlaps the blocks", h.state_position);

    // Repairs store through the mapping, whose blocks are allocated first. Without room for
    // them the file is read as a read-only open reads it, and opens when it needs no repair:
    // reads go on, and the first append meets the error.
    Status room = read_only ? ok_status() : seg->file_.ensure_allocated();
    seg->read_only_ = !room.ok() || read_only;
    BRVL_TRY(seg->recover_seal(h.state));
    seg->rebuild();
    seg->read_only_ = read_only;
    if (h.state.record_count > seg->record_count_) {
        seg->lost_records_ = h.state.record_count - seg->record_count_;
        log::warn(log::kJournalSegment, "[JournalSegment open] {} holds {} records but its state counted {}", path,
                  seg->record_count_, h.state.record_count);
    }
    if (!room.ok()) {
        if (seg->sealed_block_ || !seg->state_whole(h.state)) return std::move(room).error();
    } else if (!read_only) {
        BRVL_TRY(seg->write_state(h.state));
    }
    seg->flushed_ = true;
    return seg;
}

Status JournalSegment::recover_seal(const JournalSegmentState& s) {
    if (s.pending_position == kNoPendingBlock || !range_within(s.pending_position, kBlockHeaderLen, mapped_room()))
        return ok_status();
    const PendingBlock stored{s.pending_position, s.pending_wrote_position, s.pending_record_count};
    const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + stored.position);
    // A raw block is rebuilt by the scan; a sealed one without a whole copy ends it.
    if ((bh.flags & BlockHeader::kSealedFlags) == 0) return ok_status();
    const uint8_t* source = sealed_source(stored, bh);
    if (source == nullptr) return ok_status();
    if (read_only_) {
        log::warn(log::kJournalSegment, "[JournalSegment open] reading an interrupted seal in {} from its copy",
                  path_);
        sealed_block_ = stored;
        sealed_payload_at_ = static_cast<uint64_t>(source - at(0));
        return ok_status();
    }
    return finish_interrupted_seal(BRVL_TRY(state_block()), stored, bh);
}

BlockEngine::BlockView JournalSegment::view_at(uint64_t position) const {
    if (sealed_block_ && sealed_block_->position == position) {
        const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + position);
        return BlockView{BlockHeader::make(bh.payload_size, BlockHeader::kSealedFlags, sealed_block_->record_count,
                                           sealed_block_->wrote_position),
                         at(sealed_payload_at_)};
    }
    return BlockView{BlockHeader::read(file_.bytes(), header_len_ + position), at(position + kBlockHeaderLen)};
}

std::pair<uint64_t, uint64_t> JournalSegment::salvage(const uint8_t* payload, uint64_t limit, uint64_t first) const {
    uint64_t n = 0, off = 0;
    while (n < kMaxSalvagedFrames && limit - off >= kFrameHeadLen) {
        const uint8_t* f = payload + off;
        if (load_u64(f + journal_frame_at::kSequence) != first + n) break;
        const uint64_t len = load_u32(f + journal_frame_at::kLength);
        if (len > limit - off - kFrameHeadLen) break;
        off += kFrameHeadLen + len;
        n += 1;
    }
    return {n, off};
}

// The blocks are trusted, not the stored state: every block is checked whole (its
// frames continue the sequences exactly) and the scan ends at the first that is not. A
// raw block is the one a kill can leave half updated (its header is rewritten by every
// append): it keeps the whole frames with consecutive sequences inside its payload.
void JournalSegment::rebuild() {
    const uint64_t room = mapped_room();
    uint64_t pos = 0, count = 0, raw = 0;
    pending_.reset();
    while (range_within(pos, kBlockHeaderLen, room)) {
        const BlockView v = view_at(pos);
        const BlockHeader& bh = v.header;
        if (bh.record_count == 0 || bh.payload_size == 0) break;
        const bool is_raw = (bh.flags & BlockHeader::kSealedFlags) == 0;
        const bool fits = range_within(pos + kBlockHeaderLen, bh.payload_size, room);
        const uint64_t first = base_sequence_ + count;
        // Whether a payload holds exactly the block's frames, with sequences from first.
        auto holds_exactly = [&](const uint8_t* payload, uint64_t size) {
            return salvage(payload, size, first) == std::pair<uint64_t, uint64_t>(bh.record_count, size);
        };
        if (is_raw) {
            const bool whole = fits && bh.uncompressed_size == bh.payload_size &&
                               holds_exactly(v.payload, bh.payload_size);
            if (!whole) {
                const uint64_t limit = std::min<uint64_t>({raw_extent(bh), room - pos - kBlockHeaderLen,
                                                           kMaxPendingPayload});
                const auto [n, bytes] = salvage(v.payload, limit, first);
                if (n > 0) {
                    log::warn(log::kJournalSegment, "[JournalSegment open] kept {} whole records of a torn block in {}",
                              n, path_);
                    pending_ = PendingBlock{pos, bytes, n};
                    count += n;
                    raw += bytes;
                    pos += kBlockHeaderLen + bytes;
                }
                break;
            }
            pending_ = PendingBlock{pos, bh.payload_size, bh.record_count};
        } else {
            if (!fits || oversized(bh)) break;
            auto decoded = decode(v);
            if (!decoded.ok() || decoded->size() != bh.uncompressed_size ||
                !holds_exactly(decoded->data(), decoded->size()))
                break;
            pending_.reset();
        }
        count += bh.record_count;
        raw += bh.uncompressed_size;
        pos += kBlockHeaderLen + bh.payload_size;
    }
    written_ = pos;
    record_count_ = count;
    raw_bytes_ = raw;
}

JournalSegmentState JournalSegment::rebuilt_state(const JournalSegmentState& stored) const {
    JournalSegmentState rebuilt;
    rebuilt.current_file_size = file_size_;
    rebuilt.wrote_position = header_len_ + written_;
    // The stored count stays a high-water mark: sequences up to it may have been handed out.
    rebuilt.record_count = std::max(stored.record_count, record_count_);
    rebuilt.raw_record_bytes = raw_bytes_;
    if (pending_) {
        rebuilt.pending_position = pending_->position;
        rebuilt.pending_wrote_position = pending_->wrote_position;
        rebuilt.pending_record_count = pending_->record_count;
    }
    return rebuilt;
}

std::optional<BlockHeader> JournalSegment::rebuilt_pending_header() const {
    if (!pending_ || pending_->wrote_position > UINT32_MAX) return std::nullopt;
    return BlockHeader::make(pending_->wrote_position, 0, pending_->record_count, pending_->wrote_position);
}

bool JournalSegment::state_whole(const JournalSegmentState& stored) const {
    if (pending_) {
        const auto bh = rebuilt_pending_header();
        if (!bh || BlockHeader::read(file_.bytes(), header_len_ + pending_->position) != *bh ||
            load_u32(at(pending_->position) + block_at::kChangeCount) != 0)
            return false;
    }
    return rebuilt_state(stored) == stored;
}

Status JournalSegment::write_state(const JournalSegmentState& stored) {
    if (pending_) {
        const auto bh = rebuilt_pending_header();
        if (!bh) return Error::invalid_data("journal recovered pending block too large");
        BlockHeader::write(file_.bytes(), header_len_ + pending_->position, *bh);
    }
    const JournalSegmentState rebuilt = rebuilt_state(stored);
    if (rebuilt == stored) return ok_status();
    JournalSegmentState::write(BRVL_TRY(state_block()), rebuilt);
    return ok_status();
}

// ---- writing ----

Status JournalSegment::append(uint64_t sequence, std::span<const uint8_t> payload) {
    if (sequence != base_sequence_ + record_count_)
        return invalid_data_fmt("journal sequence {} is not next for segment {} record_count {}", sequence,
                                base_sequence_, record_count_);
    if (payload.size() > UINT32_MAX) return Error::invalid_data("journal payload exceeds u32");
    if (payload.size() > kJournalFraming.max_data)
        return Error::invalid_data("journal single block raw size exceeds u32");
    const uint64_t size_before = file_size_;
    for (;;) {
        auto appended = append_frame(sequence, payload, compress_level_);
        if (appended.ok()) break;
        if (appended.error().kind() != ErrorKind::SegmentFull) return std::move(appended).error();
        BRVL_TRY(expand());
    }
    if (file_size_ != size_before) store_field(BRVL_TRY(state_block()), st::kFileSize, file_size_);
    return ok_status();
}

Status JournalSegment::make_room(uint64_t bytes, uint64_t count) {
    BRVL_TRY(map());
    BRVL_TRY(check_writable());
    std::optional<uint64_t> end = unsealed_end(bytes, count);
    if (!end && pending_) {
        // The first of them would seal the pending block: it is sealed now, growing as the
        // seal needs.
        const uint64_t size_before = file_size_;
        Status sealed = seal_pending(compress_level_);
        if (file_size_ != size_before) store_field(BRVL_TRY(state_block()), st::kFileSize, file_size_);
        BRVL_TRY(sealed);
        end = unsealed_end(bytes, count);
    }
    if (!end) return invalid_data_fmt("journal room of {} records ({} bytes) exceeds one block", count, bytes);
    const uint64_t size_before = file_size_;
    Status grown = ok_status();
    while (grown.ok() && available() < *end) grown = expand();
    if (file_size_ != size_before) store_field(BRVL_TRY(state_block()), st::kFileSize, file_size_);
    BRVL_TRY(grown);
    return prepare_change();
}

Status JournalSegment::expand() {
    if (read_only_) return Error::invalid_data("read-only journal segment cannot expand");
    if (at_size_limit()) return Error::segment_full();
    return grow();
}

Status JournalSegment::map() {
    if (is_mapped()) return ok_status();
    attach_file(BRVL_TRY(MappedFile::open(path_, !read_only_)));
    file_size_ = file_.size();
    return ok_status();
}

Status JournalSegment::flush() {
    if (is_mapped() && !read_only_) BRVL_TRY(file_.flush());
    flushed_ = true;
    return ok_status();
}

// ---- reading ----

Result<std::unique_ptr<JournalSegment>> JournalSegment::open_finished(const std::string& path,
                                                                      uint64_t base_sequence, uint64_t max_file_size,
                                                                      bool warn_version) {
    auto seg = std::make_unique<JournalSegment>(Token{});
    BRVL_TRY(seg->load_header(path, base_sequence, max_file_size, /*read_only=*/true, warn_version));
    // Nothing was scanned: the state block says what the segment holds.
    seg->record_count_ = 0;
    seg->written_ = 0;
    seg->finished_ = true;
    return seg;
}

uint64_t JournalSegment::current_count() {
    if (!read_only_) return record_count_;
    return live_bounds().count;
}

// A read-only segment's bounds as the mapping shows them now, never below what its open
// found in the blocks (a state block that lags behind them after a crash).
JournalSegment::WalkBounds JournalSegment::live_bounds() {
    WalkBounds b{record_count_, 0, written_, true};
    if (!is_mapped() && !map().ok()) return b;
    observe_fence();
    auto st = state_block();
    if (!st.ok()) return b;
    const uint64_t wrote = load_u64(*st + st::kWrote);
    b.count = std::max(b.count, load_u64(*st + st::kCount));
    b.committed = std::max(b.committed, wrote > header_len_ ? wrote - header_len_ : 0);
    return b;
}

Result<bool> JournalSegment::remap_if_grown() {
    const uint64_t length = BRVL_TRY(file_.file_length());
    if (length <= file_.size()) return false;
    attach_file(BRVL_TRY(MappedFile::open(path_, /*writable=*/false)));
    file_size_ = file_.size();
    return true;
}

std::optional<JournalSegmentState> JournalSegment::live_state() {
    observe_fence();
    auto st = state_block();
    if (!st.ok()) return std::nullopt;
    return JournalSegmentState::read(*st);
}

Result<std::optional<std::vector<uint8_t>>> JournalSegment::read_record(uint64_t sequence) {
    using Out = std::optional<std::vector<uint8_t>>;
    std::vector<JournalEntry> found;
    BRVL_TRY(read_range(sequence, sequence, found));
    if (found.empty()) return Out();
    return Out(std::move(found.front().payload));
}

Status JournalSegment::read_range(uint64_t first, uint64_t last, std::vector<JournalEntry>& out,
                                  const JournalReadAids& aids) {
    BRVL_TRY(map());
    if (!read_only_) {
        auto end = walk(first, last, WalkBounds{record_count_, written_, written_, false}, out, aids);
        return end.ok() ? ok_status() : std::move(end).error();
    }
    // Beside a live writer a walk can meet a block that is being sealed or written, or a
    // file grown past the mapping: it is made again. A walk that leaves the file as it found
    // it (no writer at work: a damaged file) has its answer, what it found.
    constexpr unsigned kMaxAttempts = 8;
    const size_t mark = out.size();
    for (unsigned attempt = 1;; ++attempt) {
        const std::optional<JournalSegmentState> before = live_state();
        auto end = walk(first, last, live_bounds(), out, aids);
        if (end.ok() && *end == WalkEnd::Complete) return ok_status();
        const bool grown = BRVL_TRY(remap_if_grown());
        const bool changed = grown || (end.ok() && *end == WalkEnd::Changed) || live_state() != before;
        if (!changed || attempt == kMaxAttempts) return end.ok() ? ok_status() : std::move(end).error();
        out.resize(mark);
        if (attempt > 2) ::sched_yield();
    }
}

// The blocks are walked from the last known block start at or before first, each selected
// one decoded once, and the frames of first..last handed out. A block that a writer is
// sealing (its pending position still names it) is read from the sealed copy staged
// behind it; a raw block read beside a writer is looked at again afterwards: sealed
// meanwhile, the walk is made again. Blocks that lie wholly before the committed end (a
// writer only adds after it) have their starts noted, and the sealed ones among them are
// read from and kept in the decoded blocks.
Result<JournalSegment::WalkEnd> JournalSegment::walk(uint64_t first, uint64_t last, const WalkBounds& b,
                                                     std::vector<JournalEntry>& out, const JournalReadAids& aids) {
    if (b.count == 0 || last < base_sequence_) return WalkEnd::Complete;
    if (auto after_last = checked_add(base_sequence_, b.count); after_last && last >= *after_last)
        last = *after_last - 1;
    first = std::max(first, base_sequence_);
    if (first > last) return WalkEnd::Complete;
    const uint64_t room = b.live ? mapped_room() : std::min(b.written, mapped_room());
    const uint64_t settled_end = b.live ? b.committed : b.written;
    uint64_t pos = 0, seq = base_sequence_;
    if (aids.starts != nullptr) {
        const std::vector<JournalBlockStart>& starts = *aids.starts;
        auto it = std::upper_bound(starts.begin(), starts.end(), first,
                                   [](uint64_t s, const JournalBlockStart& bs) { return s < bs.first_sequence; });
        if (it != starts.begin()) {
            --it;
            pos = it->position;
            seq = it->first_sequence;
        }
    }
    while (seq <= last) {
        // Beside a writer, a block at or after the committed end may be in the middle of
        // its first write: what does not add up there is not written yet.
        const bool in_flight = b.live && pos >= b.committed;
        auto fail = [&](const char* text) -> Result<WalkEnd> {
            if (in_flight) return WalkEnd::Short;
            return Error::invalid_data(text);
        };
        if (!range_within(pos, kBlockHeaderLen, room)) return b.live ? WalkEnd::MappingEnd : WalkEnd::Short;
        const BlockHeader bh = BlockHeader::read(file_.bytes(), header_len_ + pos);
        if (bh.record_count == 0 || bh.payload_size == 0) return WalkEnd::Short;
        const bool raw = (bh.flags & BlockHeader::kSealedFlags) == 0;
        auto end = checked_add(pos + kBlockHeaderLen, raw ? raw_extent(bh) : bh.payload_size);
        if (!end) return fail("journal block end overflow");
        const bool settled = *end <= settled_end;
        if (settled && aids.starts != nullptr && (aids.starts->empty() || pos > aids.starts->back().position))
            aids.starts->push_back(JournalBlockStart{pos, seq});
        if (seq < first && first - seq >= bh.record_count) {  // wholly before the range
            seq += bh.record_count;
            pos = *end;
            continue;
        }

        const uint8_t* payload = at(pos + kBlockHeaderLen);
        uint64_t size = *end - pos - kBlockHeaderLen;
        bool sealing = false;
        BlockBuffer decoded;
        if (*end > room) {
            if (!b.live) return WalkEnd::Short;
            // Beside a writer: the file may have grown past the mapping.
            if (!raw) return WalkEnd::MappingEnd;
            size = room - pos - kBlockHeaderLen;
        }
        if (!raw) {
            if (oversized(bh)) return fail("journal block uncompressed_size exceeds the block limit");
            if (b.live) {
                observe_fence();
                auto st = state_block();
                sealing = st.ok() && load_u64(*st + st::kPendPos) == pos;
            }
        }
        // A block no writer can change any more (sealed, or any block of a finished
        // segment) is read from, and kept in, the decoded blocks.
        const bool keepable = aids.blocks != nullptr && settled && !sealing && (!raw || finished_) && *end <= room;
        std::optional<JournalBlock> kept;
        if (keepable) {
            kept = aids.blocks->find(base_sequence_, pos);
            if (kept && (kept->first_sequence() != seq || kept->count() != bh.record_count)) kept.reset();
        }
        if (!kept && !raw) {
            if (sealing) {
                payload = sealed_source(PendingBlock{pos, bh.uncompressed_size, bh.record_count}, bh);
                // The copy is whole until the seal's commit: none, the file is damaged (or
                // the seal was committed meanwhile, and the state block tells).
                if (payload == nullptr) return WalkEnd::Short;
            }
            auto d = codec::decompress_block({payload, bh.payload_size}, compress_type_, bh.uncompressed_size);
            if (!d.ok()) {
                if (in_flight || sealing) return WalkEnd::Short;
                return std::move(d).error();
            }
            decoded = std::move(*d);
            payload = decoded.data();
            size = decoded.size();
        }
        if (!kept && keepable) {
            if (auto indexed = JournalBlock::index({payload, size}, seq, bh.record_count))
                kept = aids.blocks->keep(base_sequence_, pos, std::move(*indexed),
                                         (bh.flags & BlockHeader::kSingleRecord) != 0);
        }
        if (kept) {
            kept->copy_out(first, last, out);
            seq += bh.record_count;
            pos = *end;
            continue;
        }

        const size_t mark = out.size();
        const bool cut = raw && size < raw_extent(bh);  // a raw block running past the mapping
        uint64_t off = 0, i = 0;
        // A writable segment's raw block goes on from where the last read in it stopped.
        if (raw && !b.live && raw_cursor_ && raw_cursor_->block == pos && raw_cursor_->sequence > seq &&
            raw_cursor_->sequence <= first && raw_cursor_->sequence - seq <= bh.record_count &&
            raw_cursor_->offset <= size) {
            i = raw_cursor_->sequence - seq;
            seq = raw_cursor_->sequence;
            off = raw_cursor_->offset;
        }
        for (; i < bh.record_count && seq <= last; ++i, ++seq) {
            if (!range_within(off, kFrameHeadLen, size))
                return cut ? WalkEnd::MappingEnd : fail("journal record header out of block bounds");
            const uint8_t* f = payload + off;
            const uint64_t len = load_u32(f + journal_frame_at::kLength);
            if (!range_within(off + kFrameHeadLen, len, size))
                return cut ? WalkEnd::MappingEnd : fail("journal record payload out of block bounds");
            if (load_u64(f + journal_frame_at::kSequence) != seq)
                return fail("journal sequence not found in selected block");
            if (seq >= first)
                out.push_back(JournalEntry{seq, std::vector<uint8_t>(f + journal_frame_at::kPayload,
                                                                     f + journal_frame_at::kPayload + len)});
            off += kFrameHeadLen + len;
        }
        if (raw && !b.live) raw_cursor_ = RawCursor{pos, seq, off};
        if (b.live) {
            // The frames came from the mapping or the staged copy: were they still there?
            observe_fence();
            bool changed = false;
            if (raw) {
                changed = (BlockHeader::read(file_.bytes(), header_len_ + pos).flags & BlockHeader::kSealedFlags) != 0;
            } else if (sealing) {
                auto st = state_block();
                changed = !st.ok() || load_u64(*st + st::kPendPos) != pos;
            }
            if (changed) {
                out.resize(mark);
                return WalkEnd::Changed;
            }
        }
        pos = *end;
    }
    return WalkEnd::Complete;
}

}  // namespace brenvale
