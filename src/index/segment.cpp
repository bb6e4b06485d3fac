#include "index/segment.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include <fmt/format.h>

#include "codec.h"
#include "format/header.h"
#include "log.h"

namespace brenvale {

namespace {

Error wrote_position_misaligned(uint64_t wrote_position) {
    return invalid_data_fmt("index wrote_position {} is not aligned to {}-byte entries", wrote_position,
                            kIndexEntrySize);
}

bool wrote_position_valid(uint64_t wrote_position) { return index_entry_count(wrote_position).has_value(); }

// Distance from start to ts when ts >= start (always representable as u64).
uint64_t distance(int64_t from, int64_t to) { return static_cast<uint64_t>(to) - static_cast<uint64_t>(from); }

// Maps a whole existing segment file; the descriptor is closed again.
Result<Mapping> map_whole_file(const std::string& path, bool writable) {
    const FileHandle fd =
        BRVL_TRY(FileHandle::open(path, writable ? FileHandle::Mode::ReadWrite : FileHandle::Mode::ReadOnly));
    const uint64_t len = BRVL_TRY(fd.size());
    if (len > SIZE_MAX) return Error::io(EFBIG);
    return Mapping::map(fd.fd(), static_cast<size_t>(len), writable);
}

Error read_only_error() { return Error::invalid_data("read-only index segment cannot be written"); }

// Whether the file at path holds nothing but zero bytes (none included).
Result<bool> file_unwritten(const std::string& path) {
    MappedFile file = BRVL_TRY(MappedFile::open(path, /*writable=*/false));
    return index_file_unwritten(std::span<const uint8_t>(file.data(), file.size()));
}

}  // namespace

bool index_file_unwritten(std::span<const uint8_t> bytes) {
    // A header always starts with the magic: only a file whose first bytes are zero needs
    // the whole scan.
    if (bytes.size() >= 4 && load_u32(bytes.data()) != 0) return false;
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// ---- lifecycle ----

// A moved-from segment holds no mapping, so its destructor releases nothing; every member
// moves as it is.
IndexSegment::IndexSegment(IndexSegment&& o) noexcept = default;

IndexSegment& IndexSegment::operator=(IndexSegment&& o) noexcept {
    if (this != &o) {
        std::destroy_at(this);  // flushes and unmaps this segment
        std::construct_at(this, std::move(o));
    }
    return *this;
}

IndexSegment::~IndexSegment() { release(); }

void IndexSegment::release() {
    if (!is_mapped()) return;
    if (!clean_) {  // a clean mapping holds nothing that is not on disk already
        Status st = map_.flush();
        if (!st.ok()) log::error(log::kIndexSegment, "[IndexSegment drop] mmap flush failed: {}", st.error());
    }
    map_.unmap();
}

Result<IndexSegment> IndexSegment::create(const std::string& dir, int64_t start, const IndexSegmentOptions& o) {
    const uint64_t initial_size = o.initial_size;
    const uint64_t size_limit = o.size_limit;
    const uint8_t compress_level = o.compress_level;
    const uint8_t compress_type = o.compress_type;
    BRVL_TRY(codec::check_compress_type(compress_type));
    const uint64_t created_ms = unix_millis_now();
    if (initial_size < kIndexEntryStart) {
        return invalid_data_fmt("initial index segment size {} is smaller than header {}", initial_size,
                                kIndexEntryStart);
    }
    BRVL_TRY(create_dir_all(dir));
    const std::string path = join_path(dir, index_segment_file_name(start));
    const uint64_t len = index_entry_pos(index_slots_for(initial_size));

    const bool exists = BRVL_TRY(path_exists(path));
    if (exists && BRVL_TRY(file_unwritten(path))) {
        log::warn(log::kIndexSegment, "[IndexSegment create] replacing index segment file {} that holds no entry",
                  path);
        BRVL_TRY(remove_file(path));
    } else if (exists) {
        // Left behind by an interrupted write: take it over only when it holds nothing.
        IndexSegment existing = BRVL_TRY(open(path, start, size_limit));
        if (existing.entry_count() != 0) {
            return Error::already_exists(
                fmt::format("index segment {} already holds {} entries", path, existing.entry_count()));
        }
        log::warn(log::kIndexSegment, "[IndexSegment create] reusing empty segment file {}", path);
        return existing;
    }

    // The file gets its header under a temporary name (a leftover of an earlier kill is
    // truncated) and appears under its own name only whole.
    const std::string tmp = path + std::string(paths::kTempSuffix);
    IndexSegment seg;
    {
        const FileHandle fd = BRVL_TRY(FileHandle::open(tmp, FileHandle::Mode::CreateTruncate, 0666));
        crash_point("index.create.file");
        Status reserved = fd.reserve(len);
        auto mapped = reserved.ok() ? Mapping::map(fd.fd(), len, true) : Result<Mapping>(std::move(reserved).error());
        if (!mapped.ok()) {
            (void)remove_file(tmp);  // never leave a half-made file of our own behind
            return std::move(mapped).error();
        }
        seg.map_ = std::move(*mapped);
    }
    HeaderMeta meta;
    meta.created_ms = created_ms;
    meta.start_key = static_cast<uint64_t>(start);
    meta.size_limit = size_limit;
    meta.compress_level = compress_level;
    meta.compress_type = compress_type;
    IndexHeader::write(seg.map_.bytes(), meta, kIndexEntryStart);
    Status made = seg.map_.flush();
    if (made.ok()) {
        crash_point("index.create.header");
        if (::rename(tmp.c_str(), path.c_str()) != 0) made = Error::io(errno);
    }
    if (!made.ok()) {
        (void)remove_file(tmp);
        return std::move(made).error();
    }
    crash_point("index.create.renamed");
    // The new name must survive a power loss as long as the entries that will be flushed
    // into the file.
    BRVL_TRY(sync_dir(dir));

    seg.path_ = path;
    seg.start_ = start;
    seg.file_size_ = seg.map_.size();
    seg.capacity_ = index_slots_for(seg.file_size_);
    seg.entry_count_ = 0;
    seg.max_file_size_ = size_limit;
    seg.clean_ = true;
    seg.dirty_registered_ = false;
    seg.touch();
    return seg;
}

Result<IndexSegment> IndexSegment::open(const std::string& path, int64_t expected_start, uint64_t size_limit,
                                        bool read_only) {
    IndexSegment seg;
    seg.read_only_ = read_only;
    seg.map_ = BRVL_TRY(map_whole_file(path, !read_only));
    if (read_only) {
        // A writer grows the file before it writes past the old end: a written position
        // past the mapping means that the file grew after it was mapped. Map it again;
        // whatever still lies past the mapping becomes visible at a later refresh.
        auto first = IndexHeader::read(std::span<const uint8_t>(seg.map_.data(), seg.map_.size()));
        if (first.ok() && wrote_position_valid(first->wrote_position) &&
            (first->wrote_position - kIndexEntryStart) / kIndexEntrySize > index_slots_for(seg.map_.size()))
            seg.map_ = BRVL_TRY(map_whole_file(path, false));
    }
    const std::span<const uint8_t> bytes(seg.map_.data(), seg.map_.size());
    const IndexHeader header = BRVL_TRY(IndexHeader::read(bytes));
    // Appends locate the state through the header by file type; refuse a foreign file
    // now rather than after its first entry is written.
    if (header.prefix.file_type != kFileTypeIndex) {
        return invalid_data_fmt("unexpected file_type {}", header.prefix.file_type);
    }
    const int64_t header_start = static_cast<int64_t>(header.meta.start_key);
    if (header_start != expected_start) {
        return invalid_data_fmt("index segment header start {} does not match file name start {}", header_start,
                                expected_start);
    }
    if (!wrote_position_valid(header.wrote_position)) return wrote_position_misaligned(header.wrote_position);

    const uint64_t capacity = index_slots_for(bytes.size());
    uint64_t entry_count = (header.wrote_position - kIndexEntryStart) / kIndexEntrySize;
    if (read_only && entry_count > capacity) entry_count = capacity;
    const uint64_t checked = entry_count < capacity ? entry_count : capacity;
    // The check below reads every written entry: their pages are mapped in by one call
    // instead of a fault every few pages (should the call fail, they fault as before).
    if (checked > 0) (void)::madvise(seg.map_.data(), static_cast<size_t>(index_entry_pos(checked)), MADV_POPULATE_READ);
    for (uint64_t i = 0; i < checked; ++i) {
        if (!IndexEntry::reserved_zero(bytes.data() + index_entry_pos(i))) {
            Error inner = Error::invalid_data("index entry reserved bytes must be zero");
            return invalid_data_fmt("index segment {} entry {} malformed: {}", path, i, inner.to_string());
        }
    }
    if (entry_count > capacity) {
        return invalid_data_fmt("index entry {} at {} is beyond file bounds", capacity,
                                index_entry_pos(capacity));
    }

    seg.path_ = path;
    seg.start_ = expected_start;
    seg.file_size_ = bytes.size();
    seg.capacity_ = capacity;
    seg.entry_count_ = entry_count;
    seg.max_file_size_ = size_limit;
    if (entry_count > 0) seg.last_ts_ = IndexEntry::timestamp_at(bytes.data() + index_entry_pos(entry_count - 1));
    seg.clean_ = true;
    seg.dirty_registered_ = false;
    seg.touch();
    return seg;
}

Result<std::optional<int64_t>> IndexSegment::read_last_timestamp(const std::string& path) {
    MappedFile file = BRVL_TRY(MappedFile::open(path, /*writable=*/false));
    if (file.size() < kHeaderPrefixLen) return std::optional<int64_t>();
    const std::span<const uint8_t> bytes(file.data(), file.size());
    const IndexHeader header = BRVL_TRY(IndexHeader::read(bytes));
    // A damaged wrote_position is unreadable, never "no entry": retention deletes
    // segments it believes to be empty.
    if (!wrote_position_valid(header.wrote_position)) return wrote_position_misaligned(header.wrote_position);
    const uint64_t written = header.wrote_position - kIndexEntryStart;
    if (written < kIndexEntrySize) return std::optional<int64_t>();
    const uint64_t last = kIndexEntryStart + written - kIndexEntrySize;
    if (!range_within(last, 8, bytes.size())) return Error::invalid_data("truncated last index entry");
    return std::optional<int64_t>(IndexEntry::timestamp_at(bytes.data() + last));
}

Status IndexSegment::ensure_open() {
    if (is_mapped()) return ok_status();
    Mapping m = BRVL_TRY(map_whole_file(path_, !read_only_));
    if (m.data() == nullptr) return Error::mmap("index segment file is empty");
    map_ = std::move(m);
    state_locator_.forget();  // a new mapping: locate the state block again
    touch();
    clean_ = true;
    if (read_only_ && map_.size() > file_size_) {  // a writer grew the file meanwhile
        file_size_ = map_.size();
        capacity_ = index_slots_for(file_size_);
    }
    return ok_status();
}

Status IndexSegment::refresh() {
    if (!read_only_ || !is_mapped()) return ok_status();
    // A reader polls: a file of a newer version is warned about once per mapping.
    auto pos = state_locator_.locate({map_.data(), map_.size()}, kFileTypeIndex, 0, /*once_for_newer=*/true);
    if (!pos.ok()) return ok_status();  // keep what was read at open
    const uint64_t wrote_position = load_u64(map_.data() + *pos + index_state_at::kWrote);
    observe_fence();  // the entries below the position are whole
    if (!wrote_position_valid(wrote_position)) return ok_status();
    const uint64_t count = (wrote_position - kIndexEntryStart) / kIndexEntrySize;
    if (count == entry_count_) return ok_status();
    if (count > index_slots_for(map_.size())) {
        // The writer has grown the file: map all of it again.
        Mapping m = BRVL_TRY(map_whole_file(path_, false));
        if (m.size() > map_.size()) {
            map_ = std::move(m);
            state_locator_.forget();
            file_size_ = map_.size();
            capacity_ = index_slots_for(file_size_);
        }
    }
    entry_count_ = std::min(count, index_slots_for(map_.size()));
    last_ts_.reset();
    if (entry_count_ > 0) last_ts_ = IndexEntry::timestamp_at(entry_at(entry_count_ - 1));
    return ok_status();
}

void IndexSegment::unmap() {
    map_.unmap();
    state_locator_.forget();
}

// ---- writes ----

void IndexSegment::mark_changed() {
    touch();
    clean_ = false;
    if (!dirty_registered_ && notifier_) {
        notifier_->mark_dirty(DirtyTarget::index_segment(start_));
        dirty_registered_ = true;
    }
}

void IndexSegment::store_entry(uint64_t i, const IndexEntry& e) {
    e.encode(map_.data() + index_entry_pos(i));
}

Status IndexSegment::append_entry(const IndexEntry& e) {
    if (read_only_) return read_only_error();
    if (entry_count_ >= capacity_) return Error::segment_full();
    if (!is_mapped()) return Error::mmap("index segment closed");
    if (entry_count_ >= index_slots_for(map_.size())) {
        return invalid_data_fmt("index entry {} at {} is beyond file bounds", entry_count_,
                                index_entry_pos(entry_count_));
    }
    store_entry(entry_count_, e);
    crash_point("index.append.entry");
    entry_count_ += 1;
    last_ts_ = e.timestamp;
    mark_changed();
    // The state block is located once per mapping, except in a file of a newer version,
    // which is warned about on every update.
    const size_t state = BRVL_TRY(state_locator_.locate({map_.data(), map_.size()}, kFileTypeIndex, 0));
    // A reader in another process trusts the entries below the written position.
    publish_fence();
    store_u64(map_.data() + state + index_state_at::kWrote, index_entry_pos(entry_count_));
    return ok_status();
}

Status IndexSegment::append_entry_growing(const IndexEntry& e) {
    for (;;) {
        Status st = append_entry(e);
        if (st.ok() || st.error().kind() != ErrorKind::SegmentFull) return st;
        if (file_size_ >= max_file_size_) {
            if (is_mapped() && !clean_) BRVL_TRY(map_.flush());
            touch();
            clean_ = true;
            dirty_registered_ = false;
            return st;
        }
        BRVL_TRY(grow());
    }
}

Status IndexSegment::grow() {
    if (read_only_) return read_only_error();
    uint64_t doubled = 0;
    if (__builtin_mul_overflow(file_size_, uint64_t{2}, &doubled)) doubled = ~uint64_t{0};
    const uint64_t new_size = doubled < max_file_size_ ? doubled : max_file_size_;
    // Never shrink: a file already beyond the limit counts as at the limit.
    if (new_size <= file_size_) {
        return invalid_data_fmt("index segment already at max_file_size ({})", max_file_size_);
    }
    if (new_size > SIZE_MAX) return Error::io(EFBIG);
    // The new mapping is made before the old one goes: a failure leaves the segment as it was.
    const FileHandle fd = BRVL_TRY(FileHandle::open(path_, FileHandle::Mode::ReadWrite));
    BRVL_TRY(fd.reserve(new_size));
    crash_point("index.grow.reserved");
    map_ = BRVL_TRY(Mapping::map(fd.fd(), static_cast<size_t>(new_size), true));
    crash_point("index.grow.mapped");
    file_size_ = new_size;
    capacity_ = index_slots_for(new_size);
    mark_changed();
    return ok_status();
}

Status IndexSegment::write_entry(uint64_t index, const IndexEntry& e) {
    if (read_only_) return read_only_error();
    if (index >= entry_count_) return invalid_data_fmt("entry index {} out of range [0, {})", index, entry_count_);
    if (!is_mapped()) return Error::mmap("index segment closed");
    if (entry_at(index) == nullptr) {
        return invalid_data_fmt("index entry {} at {} is beyond file bounds", index,
                                index_entry_pos(index));
    }
    store_entry(index, e);
    mark_changed();
    return ok_status();
}

Result<IndexEntry> IndexSegment::read_entry(uint64_t index) {
    BRVL_TRY(ensure_open());
    if (index >= entry_count_) return invalid_data_fmt("entry index {} out of range [0, {})", index, entry_count_);
    const uint8_t* p = entry_at(index);
    if (p == nullptr) {
        return invalid_data_fmt("index entry {} at {} is beyond file bounds", index,
                                index_entry_pos(index));
    }
    touch();
    if (!IndexEntry::reserved_zero(p)) return Error::invalid_data("index entry reserved bytes must be zero");
    return IndexEntry::decode(p);
}

Status IndexSegment::flush() {
    if (is_mapped() && !clean_) BRVL_TRY(map_.flush());
    touch();
    clean_ = true;
    return ok_status();
}

Status IndexSegment::flush_dirty() {
    // The list entry that named this segment has been taken: whatever happens, the next
    // change must be able to report the segment again.
    dirty_registered_ = false;
    if (!is_mapped() || clean_) return ok_status();
    Status st = map_.flush();
    if (!st.ok()) {
        mark_changed();  // stays unclean and goes back on the list for a later try
        return st;
    }
    touch();
    clean_ = true;
    return ok_status();
}

void IndexSegment::set_notifier(std::optional<DirtyNotifier> notifier) {
    notifier_ = std::move(notifier);
    if (!clean_ && !dirty_registered_ && notifier_) {
        notifier_->mark_dirty(DirtyTarget::index_segment(start_));
        dirty_registered_ = true;
    }
}

// ---- searches ----

// Sorted timestamps let the search start from a guess, interpolated between the first
// and the last entry; a galloping search from the guess then brackets the answer in
// O(log distance) probes and bisection finishes it. Evenly spaced timestamps need a few
// probes instead of log2 n cache misses; any spacing needs at most about 2 log2 n.
template <typename Key>
uint64_t IndexSegment::search_by(int64_t ts, bool upper, uint64_t n, uint64_t reachable, Key key) const {
    // Whether entry i comes before the answer; an entry past the mapping counts as greater.
    auto before = [&](uint64_t i) {
        if (i >= reachable) return false;
        const int64_t stored = key(i);
        return upper ? stored <= ts : stored < ts;
    };
    uint64_t lo = 0, hi = n;  // the answer lies in [lo, hi]
    const uint8_t* first = n > 8 ? entry_at(0) : nullptr;
    const uint8_t* last = n > 8 ? entry_at(n - 1) : nullptr;
    if (first != nullptr && last != nullptr) {
        const int64_t k0 = IndexEntry::timestamp_at(first);
        const int64_t k1 = IndexEntry::timestamp_at(last);
        uint64_t guess = 0;
        if (ts >= k1) {
            guess = n - 1;
        } else if (ts > k0) {  // k0 < ts < k1: the guess lies in [0, n - 2]
            const double span = static_cast<double>(static_cast<uint64_t>(k1) - static_cast<uint64_t>(k0));
            const double off = static_cast<double>(static_cast<uint64_t>(ts) - static_cast<uint64_t>(k0));
            const double g = off / span * static_cast<double>(n - 1);
            guess = g < static_cast<double>(n - 2) ? static_cast<uint64_t>(g) : n - 2;
        }
        if (before(guess)) {
            lo = guess + 1;
            for (uint64_t step = 1; lo < hi; step *= 2) {
                const uint64_t probe = guess + step < hi ? guess + step : hi - 1;
                if (!before(probe)) {
                    hi = probe;
                    break;
                }
                lo = probe + 1;
                if (probe == hi - 1) break;
            }
        } else {
            hi = guess;
            for (uint64_t step = 1; lo < hi; step *= 2) {
                const uint64_t probe = step <= guess - lo ? guess - step : lo;
                if (before(probe)) {
                    lo = probe + 1;
                    break;
                }
                hi = probe;
                if (probe == lo) break;
            }
        }
    }
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (before(mid)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// The search goes by the stored timestamps first. Its answer stands when the entries on
// both sides of it are well placed: well-placed entries ascend, so nothing was missed.
// Otherwise a damaged entry may have sent it the wrong way, and it is made again over
// the well-placed entries alone.
uint64_t IndexSegment::sparse_search(int64_t ts, bool upper, uint64_t n) const {
    const uint64_t reachable = reachable_count();
    return settle_search(search_by(ts, upper, n, reachable, [this](uint64_t i) { return ts_at(i); }), ts, upper, n,
                         reachable);
}

uint64_t IndexSegment::settle_search(uint64_t p, int64_t ts, bool upper, uint64_t n, uint64_t reachable) const {
    auto before = [&](uint64_t i) { return upper ? ts_at(i) <= ts : ts_at(i) < ts; };
    const bool below_holds = p == 0 || (sparse_well_placed(p - 1, reachable) && before(p - 1));
    const bool above_holds = p >= reachable || (sparse_well_placed(p, reachable) && !before(p));
    if (below_holds && above_holds) return p;
    return search_by(ts, upper, n, reachable, [&](uint64_t i) { return search_key(i, reachable); });
}

// Two adjacent malformed entries are already unusual; a search looks no further for a
// well-placed one than this.
constexpr uint64_t kSearchReach = 8;

bool IndexSegment::sparse_outlier(uint64_t i, uint64_t n) const {
    const __int128 t = ts_at(i);
    const __int128 lower = i > 0 ? __int128{ts_at(i - 1)} : __int128{start_} - 1;
    const __int128 upper = i + 1 < n ? __int128{ts_at(i + 1)} : __int128{key_last_} + 1;
    return !(lower < t && t < upper) && lower < upper;
}

bool IndexSegment::sparse_well_placed(uint64_t i, uint64_t n) const {
    const int64_t t = ts_at(i);
    if (t < start_ || t > key_last_) return false;
    const bool left = i > 0 && ts_at(i - 1) >= t;
    const bool right = i + 1 < n && t >= ts_at(i + 1);
    if ((!left && !right) || !sparse_outlier(i, n)) return true;
    // An outlier: kept only when each neighbour it conflicts with could be the damaged one.
    const bool edge = i == 0 || i + 1 == n;
    auto excuses = [&](uint64_t j) {
        const int64_t tj = ts_at(j);
        if (tj < start_ || tj > key_last_) return true;
        return sparse_outlier(j, n) && (edge || (j != 0 && j + 1 != n));
    };
    return (!left || excuses(i - 1)) && (!right || excuses(i + 1));
}

bool IndexSegment::well_placed(uint64_t i, bool continuous) const {
    if (continuous) return in_own_slot(i, ts_at(i));
    return sparse_well_placed(i, reachable_count());
}

int64_t IndexSegment::search_key(uint64_t i, uint64_t n) const {
    if (sparse_well_placed(i, n)) return ts_at(i);
    for (uint64_t j = i + 1; j < n && j <= i + kSearchReach; ++j)
        if (sparse_well_placed(j, n)) return ts_at(j);
    for (uint64_t j = i; j > 0 && i - j < kSearchReach; --j)
        if (sparse_well_placed(j - 1, n)) return ts_at(j - 1);
    return ts_at(i);
}

uint64_t IndexSegment::reachable_count() const {
    if (!is_mapped()) return 0;
    const uint64_t mapped = index_slots_for(map_.size());
    return entry_count_ < mapped ? entry_count_ : mapped;
}

std::optional<std::pair<uint64_t, IndexEntry>> IndexSegment::find(int64_t ts, bool continuous,
                                                                  std::optional<uint64_t> limit) const {
    if (continuous) {
        if (ts < start_) return std::nullopt;
        uint64_t count = entry_count_;
        if (limit && *limit < count) count = *limit;
        const uint64_t i = distance(start_, ts);
        if (i >= count) return std::nullopt;
        const uint8_t* p = entry_at(i);
        if (p == nullptr || IndexEntry::timestamp_at(p) != ts || !IndexEntry::reserved_zero(p)) return std::nullopt;
        return std::make_pair(i, IndexEntry::decode(p));
    }
    const uint64_t n = reachable_count();
    uint64_t lo = search_by(ts, false, n, n, [this](uint64_t i) { return ts_at(i); });
    // A plainly placed entry of ts is the answer (and well placed); anything else is
    // settled as any search, and a malformed entry it lands on passed over.
    if (lo >= n || ts_at(lo) != ts || !plainly_placed(lo, ts)) {
        lo = settle_search(lo, ts, false, n, n);
        while (lo < n && !sparse_well_placed(lo, n)) ++lo;
        if (lo >= n) return std::nullopt;
    }
    const uint8_t* p = entry_at(lo);
    if (IndexEntry::timestamp_at(p) != ts || !IndexEntry::reserved_zero(p)) return std::nullopt;
    return std::make_pair(lo, IndexEntry::decode(p));
}

std::optional<IndexEntry> IndexSegment::lookup_continuous(int64_t ts) const {
    auto hit = find(ts, true);
    if (!hit) return std::nullopt;
    return hit->second;
}

std::optional<IndexEntry> IndexSegment::lookup_sparse(int64_t ts) const {
    auto hit = find(ts, false);
    if (!hit) return std::nullopt;
    return hit->second;
}

uint64_t IndexSegment::upper_bound(int64_t ts, bool continuous) const {
    if (continuous) {
        if (entry_count_ == 0 || ts < start_) return 0;
        const uint64_t d = distance(start_, ts);
        return d >= entry_count_ ? entry_count_ : d + 1;
    }
    return sparse_search(ts, true, entry_count_);
}

uint64_t IndexSegment::lower_bound(int64_t ts, bool continuous) const {
    if (continuous) {
        if (ts <= start_) return 0;
        const uint64_t d = distance(start_, ts);
        return d < entry_count_ ? d : entry_count_;
    }
    return sparse_search(ts, false, entry_count_);
}

std::vector<IndexEntry> IndexSegment::range(int64_t start, int64_t end, bool continuous) const {
    std::vector<IndexEntry> out;
    append_range(start, end, continuous, out);
    return out;
}

// Entries a search may be off by in a sparse segment whose adjacent entries stand out of
// order (both kept by well_placed).
constexpr uint64_t kSearchSlack = 2;

uint64_t IndexSegment::scan_from(int64_t ts, bool continuous) const {
    const uint64_t lo = lower_bound(ts, continuous);
    if (continuous) return lo;
    return lo > kSearchSlack ? lo - kSearchSlack : 0;
}

uint64_t IndexSegment::scan_below(int64_t ts, bool continuous) const {
    const uint64_t hi = upper_bound(ts, continuous);
    return continuous ? hi : std::min(hi + kSearchSlack, reachable_count());
}

void IndexSegment::append_range(int64_t start, int64_t end, bool continuous, std::vector<IndexEntry>& out) const {
    if (start > end) return;
    // What a damaged file holds is never trusted: an entry is handed out only when well
    // placed, inside [start, end] and above everything handed out before it (also by
    // earlier segments). Only a well-placed entry above end ends the walk.
    std::optional<int64_t> prev;
    if (!out.empty()) prev = out.back().timestamp;
    const uint64_t reachable = reachable_count();
    const uint64_t n = continuous ? std::min(reachable, upper_bound(end, true)) : reachable;
    for (uint64_t i = scan_from(start, continuous); i < n; ++i) {
        if (continuous ? !well_placed(i, true) : !sparse_well_placed(i, reachable)) continue;
        const uint8_t* p = entry_at(i);
        const int64_t ts = IndexEntry::timestamp_at(p);
        if (ts > end) break;
        if (ts < start || (prev && ts <= *prev) || !IndexEntry::reserved_zero(p)) continue;
        out.push_back(IndexEntry::decode(p));
        prev = ts;
    }
}

uint64_t IndexSegment::range_bound(int64_t start, int64_t end, bool continuous) const {
    if (start > end) return 0;
    const uint64_t n = reachable_count();
    const uint64_t lo = lower_bound(start, continuous);
    const uint64_t hi = upper_bound(end, continuous);
    return std::min(hi, n) > lo ? std::min(hi, n) - lo : 0;
}

}  // namespace brenvale
