// The segment set's view of its directory: creating and opening it, checking each listed
// file as opening it for use would (a writable set repairs what a kill left), and a
// read-only set's look at the files a writer beside it added or removed.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

#include "format/header.h"
#include "log.h"
#include "segment/set.h"
#include "segment/set_detail.h"

namespace brenvale {

using namespace segment_detail;

namespace {

// The statistics in a file's header when its state is at rest: no pending fields without a
// pending block, and a pending block whose header agrees with them and that ends the
// blocks. Nothing when the file must be opened to be checked.
std::optional<SegmentStats> stats_at_rest(const std::string& path, uint64_t base) {
    auto file = MappedFile::open(path, /*writable=*/false);
    if (!file.ok()) return std::nullopt;
    const std::span<const uint8_t> b(file->data(), static_cast<size_t>(file->size()));
    auto h = DataHeader::read(b);
    if (!h.ok()) return std::nullopt;
    const DataSegmentState& st = h->state;
    const uint64_t hl = h->header_length;
    if (st.wrote_position < hl || st.wrote_position > b.size()) return std::nullopt;
    if (st.stale_pending_fields()) return std::nullopt;
    if (st.pending_position != kNoPendingBlock) {
        const uint64_t wrote = st.wrote_position - hl;
        if (st.pending_position > wrote || wrote - st.pending_position < kBlockHeaderLen ||
            wrote - st.pending_position - kBlockHeaderLen != st.pending_wrote_position)
            return std::nullopt;
        const BlockHeader bh = BlockHeader::read(b, hl + st.pending_position);
        if (bh.flags != 0 || bh.payload_size != st.pending_wrote_position ||
            bh.uncompressed_size != st.pending_wrote_position || bh.record_count != st.pending_count)
            return std::nullopt;
        // An odd change counter: a change of the block (its seal) was cut short.
        if ((load_u32(b.data() + hl + st.pending_position + block_at::kChangeCount) & 1) != 0) return std::nullopt;
    }
    SegmentStats s = empty_stats(base);
    s.min_timestamp = st.min_timestamp;
    s.max_timestamp = st.max_timestamp;
    s.record_count = st.record_count;
    s.raw_record_bytes = st.raw_record_bytes;
    s.invalid_record_count = st.invalid_record_count;
    s.written_length = st.wrote_position - hl;
    return s;
}

// A data segment file that never got its header (its magic is stored last) or holds
// nothing past it: what a kill between creating a file and writing its header leaves.
bool holds_nothing(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes.ok()) return false;
    const std::string& b = *bytes;
    auto zero = [&](size_t from, size_t to) {
        return std::all_of(b.begin() + static_cast<ptrdiff_t>(std::min(from, b.size())),
                           b.begin() + static_cast<ptrdiff_t>(std::min(to, b.size())), [](char c) { return c == 0; });
    };
    return zero(0, kHeaderMagicLen) && zero(kDataHeaderLen, b.size());
}

}  // namespace

// ---- creating and opening ----

SegmentSet SegmentSet::configured(const std::string& dataset_dir, const SegmentSetOptions& options) {
    SegmentSet set;
    set.dir_ = paths::data_dir(dataset_dir);
    set.span_ = options.span;
    set.initial_size_ = options.initial_size;
    set.compress_level_ = options.compress_level;
    set.compress_type_ = options.compress_type;
    set.read_only_ = options.read_only;
    set.stage_ = std::make_unique<StageArea>(paths::stage_file(set.dir_));
    return set;
}

Result<SegmentSet> SegmentSet::create_dir(const std::string& dataset_dir, const SegmentSetOptions& options) {
    SegmentSet set = configured(dataset_dir, options);
    set.read_only_ = false;
    BRVL_TRY(create_dir_all(set.dir_));
    BRVL_TRY(set.stage_->prepare());
    return set;
}

Result<SegmentSet> SegmentSet::open_dir(const std::string& dataset_dir, const SegmentSetOptions& options) {
    SegmentSet set = configured(dataset_dir, options);
    BRVL_TRY(set.add_listed_entries());
    // Every interrupted change that the stage file could finish is finished now; the file
    // stays for the next ones. Without room for it the dataset still opens: the first
    // change that stages a copy tries again.
    if (!set.read_only_) {
        if (Status st = set.stage_->prepare(); !st.ok())
            log::warn(log::kSegment, "[segment] cannot bring the stage file of {} to its full length: {}", set.dir_,
                      st.error());
    }
    return set;
}

// A listed file as a closed entry, checked as opening it for use would: the pending block
// and the counters are trusted up to their commit points. A writable set repairs the file
// (or removes one that a kill left without a header, with a warning); a read-only set
// takes the repaired values in memory and skips a file without a header. A damaged file
// keeps empty statistics (its failure shows when it is used); one that cannot be read
// (no room for its repair, no descriptor) fails the listing. Nothing when the file is not
// taken.
//
// Only the newest file takes records, and a file stops changing (but for its invalid
// count, one store) once it is sealed and flushed for the roll-over that creates the next,
// when the next file holds its first record: a change in flight shows in any other file's
// header state or its pending block's change counter, which are read first; the newest file
// (`newest`), where a record's counters may have been stored without its commit, is
// always checked against its blocks.
Result<std::optional<ClosedSegment>> SegmentSet::check_listed(const std::string& path, uint64_t base, bool newest) {
    struct stat fst;
    if (::stat(path.c_str(), &fst) != 0) {
        if (errno == ENOENT) return std::optional<ClosedSegment>();  // removed since the listing
        return Error::io(errno);
    }
    ClosedSegment c;
    c.path = path;
    c.file_size = static_cast<uint64_t>(fst.st_size);
    c.stats = empty_stats(base);
    if (!newest) {
        if (auto at_rest = stats_at_rest(path, base)) {
            c.stats = *at_rest;
            return std::optional<ClosedSegment>(c);
        }
    }
    auto seg = DataSegment::open(path, base, span_, read_only_);
    if (!seg.ok()) {
        // A file that cannot be read for want of room, memory or descriptors is no damage:
        // the open fails with that error, naming the file, before it changed anything there.
        if (!is_content_error(seg.error())) {
            if (seg.error().is_io_code(ENOENT)) return std::optional<ClosedSegment>();  // removed meanwhile
            return seg.error().in_file(path);
        }
        if (!holds_nothing(path)) return std::optional<ClosedSegment>(c);
        if (read_only_) return std::optional<ClosedSegment>();
        log::warn(log::kSegment, "[segment] removing data segment {} left without a header by an interrupted create",
                  path);
        BRVL_TRY(remove_file(path));
        return std::optional<ClosedSegment>();
    }
    if (!read_only_ && !(*seg)->is_clean()) BRVL_TRY((*seg)->flush());
    c.file_size = (*seg)->file_size();
    c.stats = (*seg)->stats();
    (*seg)->unmap();
    return std::optional<ClosedSegment>(c);
}

Result<std::vector<SegmentSet::ListedFile>> SegmentSet::list_segment_files() const {
    std::vector<ListedFile> listed;
    struct stat dst;
    if (::stat(dir_.c_str(), &dst) != 0) return listed;  // nothing to examine: an empty set
    BRVL_TRY(for_each_in_dir(dir_, [&](std::string_view name, uint64_t id) {
        if (auto base = parse_segment_file_name(name)) listed.push_back({*base, std::string(name), id});
    }));
    return listed;
}

// Adds a closed entry for every segment file of the directory that has none yet.
Status SegmentSet::add_listed_entries() { return add_entries(BRVL_TRY(list_segment_files())); }

Status SegmentSet::add_entries(std::vector<ListedFile> listed) {
    // Newest first: the first file taken above every known one is checked in full.
    std::sort(listed.begin(), listed.end(), [](const ListedFile& a, const ListedFile& b) {
        return std::tie(b.base, b.name) < std::tie(a.base, a.name);
    });
    std::optional<uint64_t> top;
    if (!entries_.empty()) top = entries_.rbegin()->first;
    bool added = false;
    for (const ListedFile& f : listed) {
        const uint64_t base = f.base;
        const bool canonical = f.name == segment_file_name(base);
        auto existing = entries_.find(base);
        if (existing != entries_.end() && canonical && existing->second.open && read_only_) {
            // A file under its name that is not the one mapped: the writer removed a file it
            // had made for a record that did not go in, and made it again. The new one is
            // mapped in its place (the listing tells, with no call of its own); one the
            // writer is still making is mapped when next used, holding nothing until then.
            DataSegment& seg = *existing->second.open;
            if (seg.is_mapped() && seg.file_id() != f.id) {
                auto followed = seg.follow_replaced();
                if (!followed.ok() && !is_content_error(followed.error()) && !followed.error().is_io_code(ENOENT))
                    return std::move(followed).error();
            }
            continue;
        }
        if (existing != entries_.end() && (!canonical || existing->second.open ||
                                           existing->second.closed.path == join_path(dir_, f.name)))
            continue;  // prefer the 20-digit name; never replace an open entry
        const bool newest = !added && (!top || base > *top);
        auto checked = BRVL_TRY(check_listed(join_path(dir_, f.name), base, newest));
        if (!checked) continue;
        Entry e;
        e.closed = std::move(*checked);
        entries_[base] = std::move(e);
        added = true;
    }
    if (added) {
        auto next = checked_add(entries_.rbegin()->first, span_);
        next_base_ = std::max(next_base_, next ? *next : UINT64_MAX);
    }
    return ok_status();
}

// ---- a reader beside a writer ----

Result<SegmentStats> SegmentSet::current_stats_from(uint64_t base) {
    if (!read_only_) return stats_from(base);
    // Files removed by the writer's retention go; files it created come, and files it made
    // again under their names are mapped anew.
    auto listed = BRVL_TRY(list_segment_files());
    std::vector<uint64_t> present;
    for (const ListedFile& f : listed) present.push_back(f.base);
    std::sort(present.begin(), present.end());
    std::erase_if(entries_, [&](const auto& kv) { return !std::binary_search(present.begin(), present.end(), kv.first); });
    BRVL_TRY(add_entries(std::move(listed)));
    SegmentStats sum = empty_stats(base);
    for (auto it = entries_.lower_bound(base); it != entries_.end(); ++it) {
        // A file the writer has only begun to create holds nothing yet.
        auto seg = get(it->first);
        add_stats(sum, seg.ok() ? BRVL_TRY((*seg)->live_stats()) : it->second.stats());
    }
    return sum;
}

}  // namespace brenvale
