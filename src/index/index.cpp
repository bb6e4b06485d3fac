#include "index/index.h"

#include <atomic>

#include <sys/stat.h>

#include <cerrno>
#include <limits>

#include <fmt/format.h>

#include "format/header.h"
#include "log.h"

namespace brenvale {

namespace {

constexpr int64_t kMinTs = std::numeric_limits<int64_t>::min();
constexpr int64_t kMaxTs = std::numeric_limits<int64_t>::max();

uint64_t distance(int64_t from, int64_t to) { return static_cast<uint64_t>(to) - static_cast<uint64_t>(from); }

std::string i128_to_string(__int128 v) {
    if (v == 0) return "0";
    const bool neg = v < 0;
    unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string s;
    while (u != 0) {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
        u /= 10;
    }
    if (neg) s.insert(s.begin(), '-');
    return s;
}

// ts + k clamped to i64, for slot arithmetic that may step past the last timestamp.
int64_t add_clamped(int64_t ts, uint64_t k) {
    const __int128 v = static_cast<__int128>(ts) + static_cast<__int128>(k);
    return v > kMaxTs ? kMaxTs : static_cast<int64_t>(v);
}

std::optional<int64_t> slot_last(const IndexSlot& slot) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) {
        return seg->entry_count() > 0 ? seg->last_timestamp() : std::nullopt;
    }
    const auto& c = std::get<ClosedIndexSegment>(slot);
    return c.entry_count > 0 ? c.last_timestamp : std::nullopt;
}

uint64_t slot_count(const IndexSlot& slot) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) return seg->entry_count();
    return std::get<ClosedIndexSegment>(slot).entry_count;
}

const std::string& slot_path(const IndexSlot& slot) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) return seg->path();
    return std::get<ClosedIndexSegment>(slot).path;
}

// What a closed segment's file says, without keeping it open. A file whose header or
// wrote_position cannot be read is kept as unknown rather than as empty.
ClosedIndexSegment probe_segment(const std::string& path, int64_t start, uint64_t file_len, bool continuous) {
    ClosedIndexSegment c;
    c.path = path;
    c.start = start;
    c.capacity = index_slots_for(file_len);
    c.header_readable = false;
    auto file = MappedFile::open(path, /*writable=*/false);
    if (!file.ok()) return c;
    const std::span<const uint8_t> bytes(file->data(), file->size());
    if (index_file_unwritten(bytes)) {
        c.unwritten = true;
        c.header_readable = true;  // it holds no entry
        return c;
    }
    auto header = IndexHeader::read(bytes);
    if (!header.ok()) return c;
    const auto count = index_entry_count(header->wrote_position);
    if (!count) return c;
    c.header_readable = true;
    c.entry_count = *count;
    if (c.entry_count > 0) {
        const uint64_t last = index_entry_pos(c.entry_count - 1);
        if (range_within(last, kIndexEntrySize, bytes.size())) {
            const uint8_t* p = bytes.data() + last;
            const int64_t ts = IndexEntry::timestamp_at(p);
            // Every entry of a segment lies at or above its start, and the last entry of a
            // continuous segment holds the timestamp of its slot; any other last entry is
            // unknown, never trusted as the latest timestamp.
            const bool consistent =
                continuous ? ts == add_clamped(start, c.entry_count - 1) : ts >= start;
            if (IndexEntry::reserved_zero(p) && consistent) c.last_timestamp = ts;
        }
    }
    return c;
}

__int128 nanos(const timespec& t) { return static_cast<__int128>(t.tv_sec) * 1000000000 + t.tv_nsec; }

std::string_view base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
}

}  // namespace

// ---- create and open ----

Index Index::configured(const std::string& dir, const IndexOptions& options) {
    Index idx;
    idx.read_only_ = options.read_only;
    idx.dir_ = dir;
    idx.segment_size_ = options.segment_size;
    idx.initial_size_ = options.initial_segment_size;
    idx.continuous_ = options.continuous;
    idx.compress_level_ = options.compress_level;
    idx.compress_type_ = options.compress_type;
    return idx;
}

static Error read_only_index_error() { return Error::invalid_data("read-only index cannot be written"); }

Result<Index> Index::create(const std::string& dir, const IndexOptions& options) {
    BRVL_TRY(create_dir_all(dir));
    Index idx = configured(dir, options);
    idx.read_only_ = false;
    idx.latest_valid_ = true;
    return idx;
}

Result<Index> Index::open(const std::string& dir, const IndexOptions& options) {
    Index idx = configured(dir, options);
    const bool read_only = options.read_only;
    struct stat dir_st;
    if (::stat(dir.c_str(), &dir_st) != 0) {
        idx.latest_valid_ = true;
        return idx;
    }
    if (read_only) idx.note_listing(dir_st.st_mtim);
    BRVL_TRY(idx.scan_directory(/*initial=*/true));
    return idx;
}

// Lists the directory and brings the slots in line with it. The first scan (open) reads
// every file; a reader's later scans add new files, drop vanished ones and read again a
// file that was replaced under its name, keeping the slots that are unchanged.
Status Index::scan_directory(bool initial) {
    struct Found {
        std::string path;
        uint64_t size = 0;
        uint64_t file_id = 0;
    };
    std::map<int64_t, Found> found;
    const std::vector<std::string> names = BRVL_TRY(list_dir(dir_));
    for (const std::string& name : names) {
        const std::optional<int64_t> start = parse_index_segment_name(name);
        if (!start) {
            // A segment file that a kill left under its temporary name holds no entry.
            const std::string_view n(name);
            if (initial && !read_only_ && n.ends_with(paths::kTempSuffix) &&
                parse_index_segment_name(n.substr(0, n.size() - paths::kTempSuffix.size()))) {
                const std::string path = join_path(dir_, name);
                log::warn(log::kIndex, "[index] removing unfinished index segment file {}", path);
                BRVL_TRY(remove_file(path));
            }
            continue;
        }
        const std::string path = join_path(dir_, name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT && !initial) continue;  // removed by the writer meanwhile
            return Error::io(errno);
        }
        if (!S_ISREG(st.st_mode)) continue;

        auto it = found.find(*start);
        if (it != found.end()) {
            // Two names for one start: the canonical name wins, else the smaller name.
            const std::string canonical = index_segment_file_name(*start);
            const std::string_view held_name = base_name(it->second.path);
            const bool take_new = held_name != canonical && (name == canonical || name < held_name);
            if (initial) {
                log::warn(log::kIndex, "[index] ignoring segment file {}: start {} is already held by {}",
                          take_new ? it->second.path : path, *start, take_new ? path : it->second.path);
            }
            if (!take_new) continue;
        }
        found[*start] = Found{path, static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)};
    }

    bool changed = false;
    for (auto it = slots_.begin(); it != slots_.end();) {
        auto f = found.find(it->first);
        auto id = file_ids_.find(it->first);
        const bool same = f != found.end() && f->second.path == slot_path(it->second) && id != file_ids_.end() &&
                          id->second == f->second.file_id;
        if (same) {
            found.erase(f);
            ++it;
        } else {
            file_ids_.erase(it->first);
            it = slots_.erase(it);
            slots_changed();
            changed = true;
        }
    }
    for (auto& [start, f] : found) {
        ClosedIndexSegment c = probe_segment(f.path, start, f.size, continuous_);
        if (c.unwritten) {
            // Created but never given a header: it holds no entry. A reader sees nothing in
            // it; a writer removes it (a segment is made again where one is needed).
            if (read_only_) continue;
            log::warn(log::kIndex, "[index] removing index segment file {} that holds no entry (an interrupted create)",
                      f.path);
            BRVL_TRY(remove_file(f.path));
            continue;
        }
        file_ids_[start] = f.file_id;
        slots_.emplace(start, std::move(c));
        slots_changed();
        changed = true;
    }
    if (changed) {
        latest_valid_ = false;
        if (initial || read_only_) base_ = base_from_slots();
    }
    return ok_status();
}

std::optional<int64_t> Index::base_from_slots() const {
    if (!continuous_) return std::nullopt;
    // A segment without entries does not fix the grid: a kill between creating the first
    // segment and writing its entry would otherwise pin the base of an empty index.
    for (const auto& [start, slot] : slots_) {
        if (const auto* c = std::get_if<ClosedIndexSegment>(&slot)) {
            if (!c->header_readable || c->entry_count > 0) return start;
        } else if (std::get<IndexSegment>(slot).entry_count() > 0) {
            return start;
        }
    }
    return std::nullopt;
}

bool Index::any_entries() const {
    for (const auto& [start, slot] : slots_)
        if (slot_count(slot) > 0) return true;
    return false;
}

Status Index::refresh_for_reader() {
    if (!read_only_) return ok_status();
    // The directory is listed again only when it changed since the last listing. A change
    // within the clock tick of that listing may not move the time stamp, so a listing
    // whose directory time is not older than the listing itself is repeated next time.
    struct stat st;
    if (::stat(dir_.c_str(), &st) != 0) {
        if (errno != ENOENT) return Error::io(errno);
        return ok_status();
    }
    const bool settled = listed_ && nanos(st.st_mtim) == listed_mtime_ && listed_mtime_ < listed_at_;
    // Without a base, every slot was empty at the last look: read them all again, as the
    // first entry of one of them fixes the grid.
    const bool baseless = continuous_ && !base_ && !slots_.empty();
    if (settled && !baseless) return ok_status();
    if (baseless) {
        slots_.clear();
        slots_changed();
        file_ids_.clear();
    }
    note_listing(st.st_mtim);
    return scan_directory(/*initial=*/false);
}

void Index::note_listing(const timespec& dir_mtime) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);  // the clock that stamps directory times
    listed_at_ = nanos(now);
    listed_mtime_ = nanos(dir_mtime);
    listed_ = true;
}

void Index::set_notifier(std::optional<DirtyNotifier> notifier) {
    notifier_ = std::move(notifier);
    for (auto& [start, slot] : slots_) {
        if (auto* seg = std::get_if<IndexSegment>(&slot)) seg->set_notifier(notifier_);
    }
}

// ---- segments ----

Result<IndexSegment*> Index::segment_at(int64_t start) {
    auto it = slots_.find(start);
    if (it == slots_.end()) return Error::not_found(fmt::format("no index segment at {}", start));
    if (auto* seg = std::get_if<IndexSegment>(&it->second)) {
        BRVL_TRY(seg->ensure_open());
        if (read_only_) {
            BRVL_TRY(seg->refresh());
            latest_valid_ = false;
        }
        return seg;
    }
    const auto& closed = std::get<ClosedIndexSegment>(it->second);
    auto opened = IndexSegment::open(closed.path, start, segment_size_, read_only_);
    if (!opened.ok()) {
        // Beside a live writer a segment may vanish (retention): it holds nothing then.
        if (read_only_ && opened.error().is_io_code(ENOENT)) {
            file_ids_.erase(start);
            slots_.erase(it);
            slots_changed();
            latest_valid_ = false;
            return Error::not_found(fmt::format("no index segment at {}", start));
        }
        return std::move(opened).error();
    }
    IndexSegment seg = std::move(*opened);
    seg.set_notifier(notifier_);
    it->second.emplace<IndexSegment>(std::move(seg));
    slots_changed();
    latest_valid_ = false;
    return &std::get<IndexSegment>(it->second);
}

Result<uint64_t> Index::entries_per_segment() const {
    if (segment_size_ <= kIndexEntryStart) {
        return invalid_data_fmt("index segment size {} is too small", segment_size_);
    }
    const uint64_t n = (segment_size_ - kIndexEntryStart) / kIndexEntrySize;
    if (n == 0) return invalid_data_fmt("index segment size {} cannot hold an index entry", segment_size_);
    return n;
}

Result<int64_t> Index::continuous_segment_start(int64_t ts) const {
    if (!base_) return Error::not_found("continuous index base timestamp missing");
    if (ts < *base_) {
        return Error::not_found(fmt::format("timestamp {} is before continuous index base {}", ts, *base_));
    }
    const uint64_t n = BRVL_TRY(entries_per_segment());
    const __int128 d = static_cast<__int128>(ts) - static_cast<__int128>(*base_);
    const __int128 start = static_cast<__int128>(*base_) + d - d % static_cast<__int128>(n);
    if (start < kMinTs || start > kMaxTs) {
        return invalid_data_fmt("continuous segment boundary {} for timestamp {} is not representable",
                                i128_to_string(start), ts);
    }
    return static_cast<int64_t>(start);
}

Result<IndexSegment*> Index::ensure_segment(int64_t start, IndexRangeSink* sink) {
    if (slots_.count(start) != 0) return segment_at(start);
    if (!slots_.empty()) {
        if (auto* last = std::get_if<IndexSegment>(&slots_.rbegin()->second)) {
            BRVL_TRY(last->flush());
            last->clear_dirty_registered();
        }
    }
    if (sink != nullptr) {
        std::optional<std::pair<int64_t, int64_t>> range;
        for (const auto& [s, slot] : slots_) {
            const std::optional<int64_t> last = slot_last(slot);
            if (!last) continue;
            if (!range) range.emplace(s, *last);
            else {
                if (s < range->first) range->first = s;
                if (*last > range->second) range->second = *last;
            }
        }
        BRVL_TRY(sink->update_range(range));
    }
    IndexSegment seg =
        BRVL_TRY(IndexSegment::create(dir_, start, {initial_size_, segment_size_, compress_level_, compress_type_}));
    seg.set_notifier(notifier_);
    auto [it, inserted] = slots_.emplace(start, std::move(seg));
    (void)inserted;
    slots_changed();
    return &std::get<IndexSegment>(it->second);
}

uint64_t Index::slot_entry_count(int64_t start) const {
    auto it = slots_.find(start);
    return it == slots_.end() ? 0 : slot_count(it->second);
}

Result<IndexSegment*> Index::segment_for(int64_t ts) {
    int64_t start = 0;
    if (continuous_) {
        start = BRVL_TRY(continuous_segment_start(ts));
    } else {
        auto it = slots_.upper_bound(ts);
        if (it == slots_.begin()) return static_cast<IndexSegment*>(nullptr);
        start = std::prev(it)->first;
    }
    auto seg = segment_at(start);
    if (!seg.ok() && seg.error().kind() == ErrorKind::NotFound) return static_cast<IndexSegment*>(nullptr);
    return seg;
}

// ---- latest timestamp ----

std::optional<int64_t> Index::latest_timestamp() const {
    if (!latest_valid_) {
        latest_.reset();
        for (const auto& [start, slot] : slots_) {
            const std::optional<int64_t> last = slot_last(slot);
            if (last && (!latest_ || *last > *latest_)) latest_ = last;
        }
        latest_valid_ = true;
    }
    return latest_;
}

Result<std::optional<int64_t>> Index::current_latest_timestamp() {
    BRVL_TRY(refresh_for_reader());
    if (read_only_ && !slots_.empty()) {
        auto newest = segment_at(slots_.rbegin()->first);
        if (!newest.ok() && newest.error().kind() != ErrorKind::NotFound) return std::move(newest).error();
    }
    return latest_timestamp();
}

Status Index::check_newest_readable() const {
    if (slots_.empty()) return ok_status();
    const auto* c = std::get_if<ClosedIndexSegment>(&slots_.rbegin()->second);
    if (c == nullptr || (c->header_readable && (c->entry_count == 0 || c->last_timestamp))) return ok_status();
    auto last = IndexSegment::read_last_timestamp(c->path);
    if (!last.ok()) return std::move(last).error();
    return invalid_data_fmt("last entry of index segment {} cannot be read", c->path);
}

void Index::note_append(const Status& st, int64_t ts) {
    if (!st.ok()) {
        latest_valid_ = false;
        return;
    }
    if (latest_valid_ && (!latest_ || ts > *latest_)) latest_ = ts;
}

// ---- appends ----

Status Index::append_continuous(const IndexEntry& e, IndexRangeSink* sink) {
    const int64_t start = BRVL_TRY(continuous_segment_start(e.timestamp));
    const uint64_t i = distance(start, e.timestamp);
    IndexSegment* seg = BRVL_TRY(ensure_segment(start, sink));
    if (seg->entry_count() != i) {
        return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}", i,
                                seg->entry_count());
    }
    Status st = seg->append_entry_growing(e);
    note_append(st, e.timestamp);
    if (!st.ok() && st.error().kind() == ErrorKind::SegmentFull) {
        return invalid_data_fmt("continuous index segment {} is full before timestamp {}", start, e.timestamp);
    }
    return st;
}

Status Index::append_sparse(const IndexEntry& e, IndexRangeSink* sink) {
    const std::optional<int64_t> latest = latest_timestamp();
    if (latest && e.timestamp <= *latest) {
        return invalid_data_fmt("non-continuous index append timestamp {} must be greater than latest {}",
                                e.timestamp, *latest);
    }
    // A new segment always has room (the size was checked), so two rounds suffice.
    for (int round = 0; round < 2; ++round) {
        IndexSegment* target = nullptr;
        if (slots_.empty()) {
            target = BRVL_TRY(ensure_segment(e.timestamp, sink));
        } else {
            const int64_t last_start = slots_.rbegin()->first;
            IndexSegment* last = BRVL_TRY(segment_at(last_start));
            if (last->entry_count() == 0 && last_start != e.timestamp) {
                // An empty newest segment (left by a crash or a failed append) may be named
                // above this timestamp, where lookups would never search: replace it.
                const std::string path = last->path();
                BRVL_TRY(remove_file(path));
                slots_.erase(last_start);
                slots_changed();
                target = BRVL_TRY(ensure_segment(e.timestamp, sink));
            } else if (last->entry_count() < last->capacity() || last->file_size() < last->max_file_size()) {
                target = last;
            } else {
                target = BRVL_TRY(ensure_segment(e.timestamp, sink));
            }
        }
        Status st = target->append_entry_growing(e);
        note_append(st, e.timestamp);
        if (st.ok() || st.error().kind() != ErrorKind::SegmentFull) return st;
    }
    return Error::segment_full();
}

Status Index::append_fillers(int64_t from, int64_t to, IndexRangeSink* sink) {
    if (from > to) return ok_status();
    if (!base_) base_ = from;
    if (from < *base_) {
        return Error::not_found(fmt::format("timestamp {} is before continuous index base {}", from, *base_));
    }
    const uint64_t n = BRVL_TRY(entries_per_segment());
    int64_t ts = from;
    for (;;) {
        // One segment at a time: look the segment up once for its whole run.
        const int64_t start = BRVL_TRY(continuous_segment_start(ts));
        const int64_t seg_end = add_clamped(start, n - 1);
        const int64_t run_end = seg_end < to ? seg_end : to;
        IndexSegment* seg = BRVL_TRY(ensure_segment(start, sink));
        for (int64_t t = ts;; ++t) {
            const uint64_t i = distance(start, t);
            if (seg->entry_count() != i) {
                return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}", i,
                                        seg->entry_count());
            }
            Status st = seg->append_entry_growing(IndexEntry::sentinel(t));
            note_append(st, t);
            if (!st.ok()) {
                if (st.error().kind() == ErrorKind::SegmentFull) {
                    return invalid_data_fmt("continuous index segment {} is full before timestamp {}", start, t);
                }
                return st;
            }
            if (t == run_end) break;
        }
        if (run_end == to) return ok_status();
        ts = run_end + 1;
    }
}

Status Index::append(int64_t ts, uint64_t block_offset, uint16_t in_block, IndexRangeSink* sink) {
    if (read_only_) return read_only_index_error();
    BRVL_TRY(entries_per_segment());
    const IndexEntry e{ts, block_offset, in_block};
    if (!continuous_) return append_sparse(e, sink);
    const bool had_base = base_.has_value();
    if (!had_base) base_ = ts;
    Status st = append_continuous(e, sink);
    if (!st.ok() && !had_base && !any_entries()) base_.reset();  // nothing was stored against it
    return st;
}

Status Index::append_latest(std::optional<int64_t> latest, int64_t ts, uint64_t block_offset, uint16_t in_block,
                            IndexRangeSink* sink) {
    if (read_only_) return read_only_index_error();
    BRVL_TRY(entries_per_segment());
    const IndexEntry e{ts, block_offset, in_block};
    if (!continuous_) return append_sparse(e, sink);
    const bool had_base = base_.has_value();
    if (!had_base) {
        base_ = ts;
    } else if (ts < *base_) {
        return Error::not_found(fmt::format("timestamp {} is before continuous index base {}", ts, *base_));
    }
    Status st = [&]() -> Status {
        if (ts == kMinTs) return ok_status();
        const int64_t st_start = BRVL_TRY(continuous_segment_start(ts));
        if (latest && *latest < kMaxTs) {
            const int64_t l_start = BRVL_TRY(continuous_segment_start(*latest));
            if (l_start != st_start && slots_.count(l_start) != 0) {
                // Close off the latest record's segment from where it stands. A segment
                // that retention has removed is not brought back.
                const uint64_t n = BRVL_TRY(entries_per_segment());
                const uint64_t k = slot_entry_count(l_start);
                if (k < n) BRVL_TRY(append_fillers(add_clamped(l_start, k), add_clamped(l_start, n - 1), sink));
            }
        }
        // Fill this timestamp's own segment from its current end up to ts - 1.
        const uint64_t k = slot_entry_count(st_start);
        if (k < distance(st_start, ts)) BRVL_TRY(append_fillers(add_clamped(st_start, k), ts - 1, sink));
        return ok_status();
    }();
    if (st.ok()) st = append_continuous(e, sink);
    if (!st.ok() && !had_base && !any_entries()) base_.reset();
    return st;
}

// ---- out-of-order writes and deletes ----

Result<IndexEntry> Index::fill_hole_and_append(const IndexEntry& e, IndexRangeSink* sink) {
    const int64_t t = e.timestamp;
    if (!continuous_) {
        return Error::not_found(fmt::format("no index entry at timestamp {} (required for out-of-order write)", t));
    }
    const int64_t start = BRVL_TRY(continuous_segment_start(t));
    const uint64_t k = slot_entry_count(start);
    if (k > distance(start, t)) return invalid_data_fmt("continuous index hole invariant violated at timestamp {}", t);
    if (t != kMinTs) BRVL_TRY(append_fillers(add_clamped(start, k), t - 1, sink));
    BRVL_TRY(append_continuous(e, sink));
    return IndexEntry::sentinel(t);
}

Result<IndexEntry> Index::overwrite(int64_t ts, uint64_t block_offset, uint16_t in_block, IndexRangeSink* sink) {
    if (read_only_) return read_only_index_error();
    const IndexEntry e{ts, block_offset, in_block};
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    if (seg != nullptr) {
        if (auto hit = seg->find(ts, continuous_, seg->entry_count())) {
            BRVL_TRY(seg->write_entry(hit->first, e));
            return hit->second;
        }
    }
    return fill_hole_and_append(e, sink);
}

Status Index::check_overwrite(int64_t ts) {
    if (read_only_) return read_only_index_error();
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    if (seg != nullptr && seg->find(ts, continuous_, seg->entry_count())) return ok_status();
    if (!continuous_) {
        return Error::not_found(fmt::format("no index entry at timestamp {} (required for out-of-order write)", ts));
    }
    const int64_t start = BRVL_TRY(continuous_segment_start(ts));
    if (slot_entry_count(start) > distance(start, ts)) {
        return invalid_data_fmt("continuous index hole invariant violated at timestamp {}", ts);
    }
    return ok_status();
}

Status Index::check_append(int64_t ts) {
    if (read_only_) return read_only_index_error();
    BRVL_TRY(entries_per_segment());
    // The segments an append writes into are opened now, so that a damaged file is
    // reported before the record is stored: the newest one (the latest entry's) and, in
    // continuous mode, the one of ts.
    if (!slots_.empty()) BRVL_TRY(segment_at(slots_.rbegin()->first));
    if (!continuous_) {
        const std::optional<int64_t> latest = latest_timestamp();
        if (latest && ts <= *latest) {
            return invalid_data_fmt("non-continuous index append timestamp {} must be greater than latest {}", ts,
                                    *latest);
        }
        return ok_status();
    }
    if (!base_) return ok_status();  // the entry fixes the base
    const int64_t start = BRVL_TRY(continuous_segment_start(ts));
    if (slots_.count(start) != 0) BRVL_TRY(segment_at(start));
    const uint64_t k = slot_entry_count(start);
    if (k > distance(start, ts)) {
        return invalid_data_fmt("continuous index append expected entry_index {}, got wrote_count {}",
                                distance(start, ts), k);
    }
    return ok_status();
}

Result<IndexEntry> Index::delete_entry(int64_t ts) {
    if (read_only_) return read_only_index_error();
    IndexSegment* seg = BRVL_TRY(segment_for(ts));
    std::optional<std::pair<uint64_t, IndexEntry>> hit;
    if (seg != nullptr) hit = seg->find(ts, continuous_);
    if (!hit) return Error::not_found(fmt::format("no entry at timestamp {} to delete", ts));
    if (hit->second.is_sentinel()) return Error::not_found(fmt::format("no real data at timestamp {} (filler)", ts));
    BRVL_TRY(seg->write_entry(hit->first, IndexEntry::sentinel(ts)));
    return hit->second;
}

// ---- reads ----

Result<std::optional<IndexEntry>> Index::lookup(int64_t ts) {
    BRVL_TRY(refresh_for_reader());
    IndexSegment* seg = nullptr;
    if (continuous_) {
        auto start = continuous_segment_start(ts);
        if (!start.ok()) {
            if (start.error().kind() == ErrorKind::NotFound) return std::optional<IndexEntry>();
            return std::move(start).error();
        }
        auto s = segment_at(*start);
        if (!s.ok()) {
            if (s.error().kind() == ErrorKind::NotFound) return std::optional<IndexEntry>();
            return std::move(s).error();
        }
        return (*s)->lookup_continuous(ts);
    }
    seg = BRVL_TRY(segment_for(ts));
    if (seg == nullptr) return std::optional<IndexEntry>();
    return seg->lookup_sparse(ts);
}

Result<std::vector<IndexEntry>> Index::range(int64_t start, int64_t end) {
    std::vector<IndexEntry> out;
    if (start > end) return out;
    BRVL_TRY(refresh_for_reader());
    std::vector<int64_t> keys;
    auto it = slots_.lower_bound(start);
    if (it != slots_.begin()) keys.push_back(std::prev(it)->first);
    for (; it != slots_.end() && it->first <= end; ++it) keys.push_back(it->first);
    // Open the segments first (a slot's segment stays put in the map while others open),
    // then gather their entries into one vector of the right size.
    std::vector<IndexSegment*> segs;
    segs.reserve(keys.size());
    uint64_t bound = 0;
    for (int64_t key : keys) {
        auto opened = segment_at(key);
        if (!opened.ok() && opened.error().kind() == ErrorKind::NotFound) continue;  // vanished (reader)
        IndexSegment* seg = BRVL_TRY(std::move(opened));
        bound += seg->range_bound(start, end, continuous_);
        segs.push_back(seg);
    }
    out.reserve(static_cast<size_t>(bound));
    for (IndexSegment* seg : segs) seg->append_range(start, end, continuous_, out);
    return out;
}

uint64_t Index::next_generation() {
    static std::atomic<uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

Result<std::optional<IndexHit>> Index::next_forward(int64_t start, int64_t end, std::optional<IndexCursor> cursor) {
    using Out = std::optional<IndexHit>;
    if (start > end) return Out();
    if (cursor) {
        IndexCursor c = *cursor;
        if (IndexEntry e; step_from_cursor(start, end, c, /*forward=*/true, e)) return Out(IndexHit::at(c, e));
    }
    if (!cursor) BRVL_TRY(refresh_for_reader());
    std::optional<int64_t> key;
    if (cursor) {
        auto it = slots_.lower_bound(cursor->segment_start);
        if (it != slots_.end()) key = it->first;  // the cursor's segment, else the next one
    } else {
        auto it = slots_.lower_bound(start);
        if (it != slots_.begin()) key = std::prev(it)->first;
        else if (it != slots_.end()) key = it->first;
    }
    while (key) {
        if (*key > end) return Out();
        auto opened = segment_at(*key);
        if (!opened.ok() && opened.error().kind() == ErrorKind::NotFound) {  // vanished (reader)
            auto next = slots_.upper_bound(*key);
            key = next != slots_.end() ? std::optional<int64_t>(next->first) : std::nullopt;
            continue;
        }
        IndexSegment* seg = BRVL_TRY(std::move(opened));
        // Entries of a segment ascend: from the cursor the next candidate is the following
        // entry, with no search (the loop below still passes over any below start).
        const bool at_cursor = cursor && *key == cursor->segment_start && cursor->entry_index < ~uint64_t{0};
        uint64_t pos = at_cursor ? cursor->entry_index + 1 : seg->lower_bound(start, continuous_);
        for (uint64_t i = pos; i < seg->entry_count(); ++i) {
            const IndexEntry e = BRVL_TRY(seg->read_entry(i));
            if (!in_own_slot(*key, i, e)) continue;
            if (e.timestamp < start) continue;
            if (e.timestamp > end) return Out();
            return Out(IndexHit{*key, i, e, seg, generation_});
        }
        auto next = slots_.upper_bound(*key);
        key = next != slots_.end() ? std::optional<int64_t>(next->first) : std::nullopt;
    }
    return Out();
}

Result<std::optional<IndexHit>> Index::next_backward(int64_t start, int64_t end, std::optional<IndexCursor> cursor) {
    using Out = std::optional<IndexHit>;
    if (start > end) return Out();
    if (cursor) {
        IndexCursor c = *cursor;
        if (IndexEntry e; step_from_cursor(start, end, c, /*forward=*/false, e)) return Out(IndexHit::at(c, e));
    }
    auto greatest_at_or_below = [&](int64_t v) -> std::optional<int64_t> {
        auto it = slots_.upper_bound(v);
        if (it == slots_.begin()) return std::nullopt;
        return std::prev(it)->first;
    };
    if (!cursor) BRVL_TRY(refresh_for_reader());
    std::optional<int64_t> key = greatest_at_or_below(cursor ? cursor->segment_start : end);
    while (key) {
        auto opened = segment_at(*key);
        if (!opened.ok() && opened.error().kind() == ErrorKind::NotFound) {  // vanished (reader)
            key = *key == kMinTs ? std::nullopt : greatest_at_or_below(*key - 1);
            continue;
        }
        IndexSegment* seg = BRVL_TRY(std::move(opened));
        // From the cursor the next candidate is the preceding entry, with no search; the
        // loop ends at the first entry below start.
        const bool at_cursor = cursor && *key == cursor->segment_start;
        uint64_t hi = at_cursor ? std::min(cursor->entry_index, seg->entry_count()) : seg->upper_bound(end, continuous_);
        for (uint64_t i = hi; i > 0; --i) {
            const IndexEntry e = BRVL_TRY(seg->read_entry(i - 1));
            if (!in_own_slot(*key, i - 1, e)) continue;
            if (e.timestamp > end) continue;
            if (e.timestamp < start) return Out();
            return Out(IndexHit{*key, i - 1, e, seg, generation_});
        }
        if (*key == kMinTs) break;
        key = greatest_at_or_below(*key - 1);
    }
    return Out();
}

// ---- whole-index operations ----

std::optional<std::pair<int64_t, int64_t>> Index::visible_range() const {
    std::optional<std::pair<int64_t, int64_t>> range;
    if (slots_.empty()) return range;
    const auto newest = std::prev(slots_.end());
    for (auto it = slots_.begin(); it != newest; ++it) {
        const std::optional<int64_t> last = slot_last(it->second);
        if (!last) continue;
        if (!range) range.emplace(it->first, *last);
        else {
            if (it->first < range->first) range->first = it->first;
            if (*last > range->second) range->second = *last;
        }
    }
    return range;
}

uint64_t Index::reclaim(int64_t threshold) {
    const size_t before = slots_.size();
    for (auto it = slots_.begin(); it != slots_.end();) {
        const auto* closed = std::get_if<ClosedIndexSegment>(&it->second);
        if (closed == nullptr) {
            ++it;
            continue;
        }
        auto last = IndexSegment::read_last_timestamp(closed->path);
        if (!last.ok()) {
            log::warn(log::kIndex, "[retention] failed to read {}: {} (keeping)", closed->path, last.error());
            ++it;
            continue;
        }
        if (last->has_value() && **last >= threshold) {
            ++it;
            continue;
        }
        // A last entry below the segment's own start, or off its slot in a continuous
        // segment, is damage: such a file is kept rather than judged by it.
        if (last->has_value() &&
            (**last < closed->start ||
             (continuous_ && closed->entry_count > 0 && **last != add_clamped(closed->start, closed->entry_count - 1)))) {
            log::warn(log::kIndex, "[retention] index segment {} has an inconsistent last entry (keeping)", closed->path);
            ++it;
            continue;
        }
        (void)remove_file(closed->path);  // a failed delete still drops the segment
        if (last->has_value()) log::info(log::kIndex, "[retention] deleted index segment: {}", closed->path);
        else log::info(log::kIndex, "[retention] deleted empty index segment: {}", closed->path);
        it = slots_.erase(it);
        slots_changed();
    }
    latest_valid_ = false;
    return before - slots_.size();
}

Status Index::close_segments() {
    for (auto& [start, slot] : slots_) {
        auto* seg = std::get_if<IndexSegment>(&slot);
        if (seg == nullptr) continue;
        std::optional<int64_t> last;
        if (seg->entry_count() > 0) {
            auto e = seg->read_entry(seg->entry_count() - 1);
            if (e.ok()) last = e->timestamp;
        }
        // A failed flush leaves the segment open and mapped, so nothing written is lost
        // and no later create can replace its file.
        if (seg->is_mapped()) BRVL_TRY(seg->flush());
        ClosedIndexSegment closed;
        closed.path = seg->path();
        closed.start = start;
        closed.capacity = seg->capacity();
        closed.entry_count = seg->entry_count();
        closed.entry_area_start = seg->entry_area_start();
        closed.last_timestamp = last;
        seg->unmap();
        slot.emplace<ClosedIndexSegment>(std::move(closed));
        slots_changed();
        latest_valid_ = false;
    }
    return ok_status();
}

Status Index::flush() {
    for (auto& [start, slot] : slots_) {
        if (auto* seg = std::get_if<IndexSegment>(&slot)) BRVL_TRY(seg->flush());
    }
    return ok_status();
}

Status Index::flush_dirty(int64_t start) {
    auto it = slots_.find(start);
    if (it == slots_.end()) return ok_status();
    auto* seg = std::get_if<IndexSegment>(&it->second);
    if (seg == nullptr) return ok_status();
    return seg->flush_dirty();
}

size_t Index::open_segment_count() const {
    size_t n = 0;
    for (const auto& [start, slot] : slots_) {
        const auto* seg = std::get_if<IndexSegment>(&slot);
        n += seg != nullptr && seg->is_mapped();
    }
    return n;
}

std::optional<IndexSlotInfo> Index::last_segment() const {
    if (slots_.empty()) return std::nullopt;
    const auto& [start, slot] = *slots_.rbegin();
    return IndexSlotInfo{start, slot_count(slot), slot_last(slot), std::holds_alternative<IndexSegment>(slot)};
}

std::vector<IndexSlotInfo> Index::slots() const {
    std::vector<IndexSlotInfo> out;
    out.reserve(slots_.size());
    for (const auto& [start, slot] : slots_) {
        out.push_back({start, slot_count(slot), slot_last(slot), std::holds_alternative<IndexSegment>(slot)});
    }
    return out;
}

}  // namespace brenvale
