// An index segment's file: create (under a temporary name, renamed into place), open with
// the check of every written entry, mapping again after an unmap, a reader's refresh, and
// flushes. Entry reads and writes live in segment_entries.cpp, the searches and the
// placement checks in segment_search.cpp.
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

// Maps a whole existing segment file; the descriptor is closed again. With `room`, the
// file's blocks are allocated first and *room tells whether that worked (the mapping is
// made either way).
Result<Mapping> map_whole_file(const std::string& path, bool writable, Status* room = nullptr) {
    const FileHandle fd =
        BRVL_TRY(FileHandle::open(path, writable ? FileHandle::Mode::ReadWrite : FileHandle::Mode::ReadOnly));
    const uint64_t len = BRVL_TRY(fd.size());
    if (len > SIZE_MAX) return Error::io(EFBIG);
    if (room != nullptr) *room = fd.reserve(len);
    return Mapping::map(fd.fd(), static_cast<size_t>(len), writable);
}

// Whether the file at path holds nothing but zero bytes (none included).
Result<bool> file_unwritten(const std::string& path) {
    MappedFile file = BRVL_TRY(MappedFile::open(path, /*writable=*/false));
    return index_file_unwritten(std::span<const uint8_t>(file.data(), file.size()));
}

}  // namespace

bool change_count_room(const IndexHeader& h) {
    return kHeaderPrefixLen + size_t{h.prefix.content_length} + 2 + h.state_length <= kChangeCountAt;
}

bool count_due_room(const IndexHeader& h) {
    return kHeaderPrefixLen + size_t{h.prefix.content_length} + 2 + h.state_length <= count_due_at::kRecordFrom;
}

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
    seg.due_room_ = true;
    seg.count_room_ = true;
    seg.file_size_ = seg.map_.size();
    seg.capacity_ = index_slots_for(seg.file_size_);
    seg.entry_count_ = 0;
    seg.max_file_size_ = size_limit;
    seg.allocated_ = true;
    seg.clean_ = true;
    seg.dirty_registered_ = false;
    seg.touch();
    return seg;
}

Result<IndexSegment> IndexSegment::open(const std::string& path, int64_t expected_start, uint64_t size_limit,
                                        bool read_only) {
    IndexSegment seg;
    seg.read_only_ = read_only;
    // A writable segment's blocks are allocated before anything is stored through the
    // mapping. Without room for them it opens all the same unless it needs a repair: its
    // reads go on, and its first change tries again.
    Status room;
    seg.map_ = BRVL_TRY(map_whole_file(path, !read_only, read_only ? nullptr : &room));
    seg.allocated_ = !read_only && room.ok();
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
    seg.due_room_ = count_due_room(header);
    seg.count_room_ = change_count_room(header);
    seg.file_size_ = bytes.size();
    seg.capacity_ = capacity;
    seg.entry_count_ = entry_count;
    seg.max_file_size_ = size_limit;
    if (entry_count > 0) seg.last_ts_ = IndexEntry::timestamp_at(bytes.data() + index_entry_pos(entry_count - 1));
    seg.clean_ = true;
    seg.dirty_registered_ = false;
    seg.touch();
    if (!read_only && seg.count_room_ && (seg.change_count() & 1) != 0) {
        if (!room.ok()) return std::move(room).error();
        // A kill inside a rewrite: the entry holds its old address or its new one (the
        // address is one store), and the count-due record settles its record's count.
        log::warn(log::kIndexSegment, "[IndexSegment open] {}: closing the change count of an interrupted rewrite",
                  path);
        seg.end_rewrite();
        seg.clean_ = false;
    }
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
    // A writable segment's blocks are allocated while the file is open (without room, by
    // its first change).
    Status room;
    Mapping m = BRVL_TRY(map_whole_file(path_, !read_only_, read_only_ ? nullptr : &room));
    if (m.data() == nullptr) return Error::mmap("index segment file is empty");
    map_ = std::move(m);
    allocated_ = !read_only_ && room.ok();
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

}  // namespace brenvale
