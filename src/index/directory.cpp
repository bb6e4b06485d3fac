// The index's view of its directory: open lists the segment files and reads each one's
// header and last entry; a read-only index beside a live writer lists it again when it
// changed.
#include <sys/stat.h>
#include <time.h>

#include <cerrno>

#include <fmt/format.h>

#include "format/header.h"
#include "index/index.h"
#include "index/slots.h"
#include "log.h"

namespace brenvale {

using namespace index_detail;

namespace {

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
    c.count_due = IndexSegment::read_count_due(*header, bytes);
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

std::string_view base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
}

}  // namespace

// ---- open and listing ----

Result<Index> Index::open(const std::string& dir, const IndexOptions& options) {
    Index idx = configured(dir, options);
    const bool read_only = options.read_only;
    struct stat dir_st;
    if (::stat(dir.c_str(), &dir_st) != 0) {
        idx.latest_valid_ = true;
        return idx;
    }
    if (read_only) BRVL_TRY(idx.watch_.changed(dir));  // this listing is the first look
    BRVL_TRY(idx.scan_directory(/*initial=*/true));
    idx.watch_.listed();
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
            if (errno == ENOENT && (!initial || read_only_)) continue;  // removed by the writer meanwhile
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
        // Removed by the writer since the listing (a segment made for a write that was then
        // refused): not there.
        if (read_only_ && !c.header_readable && !BRVL_TRY(path_exists(f.path))) continue;
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
    // A later listing also settles what an earlier one that was cut short had changed.
    if (changed) ++listings_;
    if (changed || !initial) {
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

Status Index::refresh_for_reader() {
    if (!read_only_) return ok_status();
    // Without a base, every slot was empty at the last look: read them all again, as the
    // first entry of one of them fixes the grid.
    const bool baseless = continuous_ && !base_ && !slots_.empty();
    if (baseless) watch_.relist();
    // The directory is listed again only when it changed since the last complete listing.
    if (!BRVL_TRY(watch_.changed(dir_))) return ok_status();
    if (baseless) {
        slots_.clear();
        slots_changed();
        file_ids_.clear();
    }
    BRVL_TRY(scan_directory(/*initial=*/false));
    watch_.listed();
    return ok_status();
}

}  // namespace brenvale
