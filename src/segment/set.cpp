#include "segment/set.h"

#include <algorithm>
#include <utility>

#include "log.h"
#include "segment/set_detail.h"

namespace brenvale {

using namespace segment_detail;

// ---- lookups ----

Result<DataSegment*> SegmentSet::get(uint64_t base) {
    auto it = entries_.find(base);
    if (it == entries_.end()) return Error::not_found(fmt::format("no segment at offset {}", base));
    Entry& e = it->second;
    if (!e.open) {
        std::unique_ptr<DataSegment> seg = BRVL_TRY(DataSegment::open(e.closed.path, base, span_, read_only_));
        seg->set_notifier(notifier_);
        seg->lend_stage(stage_.get());
        e.open = std::move(seg);
    } else if (!e.open->is_mapped()) {
        BRVL_TRY(e.open->ensure_mapped());
    }
    // Only the newest file takes records: the others are read through their mappings and
    // keep no descriptor, however many a reader maps.
    if (base != latest_base()) e.open->drop_descriptor();
    return e.open.get();
}

Result<DataSegment*> SegmentSet::locate(uint64_t offset) {
    const uint64_t base = offset / span_ * span_;
    // A reader beside a live writer learns of the files created since it listed them.
    if (read_only_ && entries_.find(base) == entries_.end()) (void)add_listed_entries();
    // Out of descriptors, or of mappings (a dataset read in full keeps each file it read
    // mapped).
    auto exhausted = [](const Error& e) { return out_of_descriptors(e) || e.is_io_code(ENOMEM); };
    auto seg = get(base);
    if (!seg.ok() && exhausted(seg.error()) && open_count() > 0) {
        // Other datasets gave back what they could: this set's other files go too, and the
        // segment is opened once more.
        if (Status closed = close_all(); closed.ok()) seg = get(base);
    }
    if (seg.ok()) return *seg;
    // A lack of descriptors or memory is no missing segment: the caller learns the cause.
    if (exhausted(seg.error())) return std::move(seg).error();
    return Error::not_found(fmt::format("no segment contains offset {}", offset));
}

DataSegment* SegmentSet::find_open(uint64_t base) const {
    auto it = entries_.find(base);
    return it == entries_.end() ? nullptr : it->second.open.get();
}

const ClosedSegment* SegmentSet::find_closed(uint64_t base) const {
    auto it = entries_.find(base);
    return it == entries_.end() || it->second.open ? nullptr : &it->second.closed;
}

size_t SegmentSet::open_count() const {
    size_t n = 0;
    for (const auto& [base, e] : entries_) n += e.open && e.open->is_mapped();
    return n;
}

std::vector<uint64_t> SegmentSet::bases() const {
    std::vector<uint64_t> out;
    out.reserve(entries_.size());
    for (const auto& [base, e] : entries_) out.push_back(base);
    return out;
}

std::optional<SegmentStats> SegmentSet::last_stats() const {
    if (entries_.empty()) return std::nullopt;
    return entries_.rbegin()->second.stats();
}

std::optional<SegmentStats> SegmentSet::newest_stats_with_records() const {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (const SegmentStats s = it->second.stats(); s.record_count > 0) return s;
    return std::nullopt;
}

SegmentStats SegmentSet::stats_from(uint64_t base) const {
    SegmentStats sum = empty_stats(base);
    for (auto it = entries_.lower_bound(base); it != entries_.end(); ++it) add_stats(sum, it->second.stats());
    return sum;
}

std::vector<SegmentStats> SegmentSet::stats_below(uint64_t base) const {
    std::vector<SegmentStats> out;
    for (auto it = entries_.begin(); it != entries_.end() && it->first < base; ++it) out.push_back(it->second.stats());
    return out;
}

// ---- writing ----

Status SegmentSet::report_stats(uint64_t new_base, SegmentStatsSink* sink) {
    if (sink == nullptr) return ok_status();
    const uint64_t watermark = sink->stats_watermark();
    if (new_base <= watermark) return ok_status();
    std::vector<SegmentStats> list;
    for (auto it = entries_.lower_bound(watermark); it != entries_.end() && it->first < new_base; ++it)
        list.push_back(it->second.stats());
    return sink->add_segment_stats(new_base, list);
}

Status SegmentSet::fold_finished(SegmentStatsSink* sink) {
    if (entries_.empty()) return ok_status();
    return report_stats(entries_.rbegin()->first, sink);
}

Result<DataSegment*> SegmentSet::create_segment(uint64_t base) {
    const std::string path = join_path(dir_, segment_file_name(base));
    auto made = DataSegment::create(path, {base, initial_size_, span_, compress_level_, compress_type_});
    if (!made.ok()) {
        // No file lies at or past the next base but one a failed create left (a full disk
        // refused its length): it goes.
        (void)remove_file_if_exists(path);
        return std::move(made).error();
    }
    std::unique_ptr<DataSegment> seg = std::move(*made);
    seg->set_notifier(notifier_);
    seg->lend_stage(stage_.get());
    DataSegment* raw = seg.get();
    Entry e;
    e.closed.path = seg->path();
    e.open = std::move(seg);
    auto [it, inserted] = entries_.insert_or_assign(base, std::move(e));
    // The file it follows takes no more records: it stays mapped for reads and gives its
    // descriptor back, whatever made the new file (a roll-over, a newest file that an
    // out-of-order record went into no longer taking records).
    if (it != entries_.begin()) {
        if (DataSegment* before = std::prev(it)->second.open.get()) before->drop_descriptor();
    }
    auto next = checked_add(base, span_);
    next_base_ = next ? *next : UINT64_MAX;
    return raw;
}

bool SegmentSet::discard_created(uint64_t base) {
    auto it = entries_.find(base);
    if (it == entries_.end() || !it->second.open || it->second.open->written_length() != 0) return false;
    const std::string path = it->second.open->path();
    it->second.open->unmap();
    entries_.erase(it);
    next_base_ = base;
    // A file left by a failed removal (or a kill before it) holds nothing: a later write
    // makes it anew, an open removes or skips it, and a reader that mapped it maps the new
    // one when it finds another file under the name.
    (void)remove_file(path);
    return true;
}

Result<RecordLocation> SegmentSet::append_growing(DataSegment* seg, int64_t timestamp,
                                                  std::span<const uint8_t> data) {
    for (;;) {
        auto loc = seg->append_record(timestamp, data, compress_level_);
        if (loc.ok() || loc.error().kind() != ErrorKind::SegmentFull || seg->at_size_limit()) return loc;
        BRVL_TRY(seg->grow());  // no room on the disk is no full segment: a new file would not help
    }
}

void SegmentSet::leave_full(DataSegment& full, uint64_t size) const {
    if (Status sealed = full.seal_for(size, compress_level_);
        !sealed.ok() && sealed.error().kind() != ErrorKind::SegmentFull)  // no room to seal in place: kept raw
        log::warn(log::kSegment, "[segment] pending block of {} left raw at its roll-over: {}", full.path(),
                  sealed.error());
    if (Status synced = full.flush(); !synced.ok()) {
        log::warn(log::kSegment, "[segment] flushing {} at its roll-over: {}; flushed later", full.path(),
                  synced.error());
        return;
    }
    full.clear_dirty_registered();
}

Result<SegmentWrite> SegmentSet::write(int64_t timestamp, std::span<const uint8_t> data, SegmentStatsSink* sink) {
    BRVL_TRY(check_writable());
    if (data.size() > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");

    // 1. The target: the newest file while it takes records, else a new file. The segments
    // below the totals' watermark are counted there already, and the watermark's own base
    // was the newest file made: when retention removed every file of a reopened dataset, new
    // files start past that base, so none is counted twice or made again under a used name.
    if (sink != nullptr && next_base_ < sink->stats_watermark()) {
        auto past = checked_add(sink->stats_watermark(), span_);
        next_base_ = past ? *past : UINT64_MAX;
    }
    uint64_t target = next_base_;
    if (!entries_.empty()) {
        const uint64_t last = entries_.rbegin()->first;
        // Only the newest file ever created may take records; after retention removed it,
        // an older file must not (its statistics are already folded into the totals), nor
        // a newest file whose statistics are folded (an earlier version folded them before
        // it made the next file, and a kill came in between).
        auto after_last = checked_add(last, span_);
        if (after_last && *after_last == next_base_ && (sink == nullptr || last >= sink->stats_watermark())) {
            auto seg = get(last);
            if (seg.ok()) {
                if ((*seg)->writable_head() && (*seg)->written_length() + kMinBlockLen <= span_) target = last;
            } else if (is_content_error(seg.error())) {
                // An unreadable latest file must not block the dataset: new records go to a new file.
                log::warn(log::kSegment, "[segment] cannot use data segment {} ({}); starting a new segment",
                          entries_.rbegin()->second.closed.path, seg.error());
            } else {
                return std::move(seg).error();
            }
        }
    }

    // 2. Get or create it.
    DataSegment* seg = nullptr;
    std::optional<uint64_t> created;  // a file this write made
    if (entries_.find(target) == entries_.end()) {
        seg = BRVL_TRY(create_segment(target));
        created = target;
    } else {
        seg = BRVL_TRY(get(target));
    }

    // 3. Append, growing the file while it can grow.
    auto loc = append_growing(seg, timestamp, data);
    DataSegment* full = nullptr;  // the file a roll-over left
    // A file that holds nothing cannot be helped by a new one: no roll-over from it.
    if (!loc.ok() && loc.error().kind() == ErrorKind::SegmentFull && seg->written_length() != 0) {
        // 4. Roll over: a new file takes the record; the full file takes no more.
        full = seg;
        full->set_writable_head(false);
        auto next = create_segment(next_base_);
        if (!next.ok()) {
            full->set_writable_head(true);
            return std::move(next).error();
        }
        seg = *next;
        created = target = seg->base_offset();
        loc = append_growing(seg, timestamp, data);
        if (loc.ok()) leave_full(*full, data.size());
    }
    if (!loc.ok()) {
        // A file made for a record that did not go in (no room on the disk, a record larger
        // than a segment) is not left behind: the file before it is the newest again, as if
        // the write had never been made.
        if (created && discard_created(*created) && full != nullptr) full->set_writable_head(true);
        return std::move(loc).error();
    }
    last_write_ = coarse_now();
    return SegmentWrite{target, loc->position, loc->in_block};
}

Result<uint32_t> SegmentSet::append_at(uint64_t block_offset, uint16_t in_block, std::span<const uint8_t> data) {
    BRVL_TRY(check_writable());
    const uint64_t latest = latest_base();
    if (block_offset / span_ * span_ != latest)
        return Error::invalid_data("append: target block is not in the latest segment");
    DataSegment* seg = BRVL_TRY(get(latest));
    if (block_offset < latest || block_offset - latest >= seg->written_length())
        return Error::invalid_data("append: block_offset is outside latest segment data");
    for (;;) {
        auto r = seg->append_to_record(block_offset - latest, in_block, data);
        if (r.ok() || r.error().kind() != ErrorKind::SegmentFull || seg->at_size_limit()) return r;
        // The record is the last of the file: grow the file rather than refuse (a grow that
        // fails for want of room gives its own error).
        BRVL_TRY(seg->grow());
    }
}

Status SegmentSet::correction_write(uint64_t block_offset, uint16_t in_block, std::span<const uint8_t> data) {
    BRVL_TRY(check_writable());
    if (next_base_ == 0) return Error::invalid_data("no segment available for correction write");
    const uint64_t latest = latest_base();
    if (block_offset / span_ * span_ != latest)
        return invalid_data_fmt("correction write: block_offset {} is not in the latest segment {}", block_offset,
                                latest);
    DataSegment* seg = BRVL_TRY(get(latest));
    const uint64_t end = latest + seg->written_length();
    if (block_offset < latest || block_offset >= end)
        return invalid_data_fmt("correction write: block_offset {} is not in the latest segment [{}, {})",
                                block_offset, latest, end);
    return seg->correct_record(block_offset - latest, in_block, data);
}

// ---- reading ----

Result<RecordLength> SegmentSet::read_length(uint64_t block_offset, uint16_t in_block, BlockCache* cache) {
    DataSegment* seg = BRVL_TRY(locate(block_offset));
    return seg->read_length(owner_, block_offset - seg->base_offset(), in_block, cache);
}

Result<Record> SegmentSet::read_record(uint64_t block_offset, uint16_t in_block,
                                                                          BlockCache* cache) {
    DataSegment* seg = BRVL_TRY(locate(block_offset));
    return seg->read_record(owner_, block_offset - seg->base_offset(), in_block, cache);
}

// ---- counting, flushing, closing, reclaiming ----

Result<bool> SegmentSet::mark_invalid(uint64_t block_offset) {
    BRVL_TRY(check_writable());
    auto it = entries_.find(block_offset / span_ * span_);
    if (it == entries_.end()) return Error::not_found(fmt::format("no segment contains offset {}", block_offset));
    Entry& e = it->second;
    if (e.open) {
        BRVL_TRY(e.open->mark_invalid());
        return false;
    }
    std::unique_ptr<DataSegment> seg = BRVL_TRY(DataSegment::open(e.closed.path, it->first, span_));
    BRVL_TRY(seg->mark_invalid());
    e.closed.stats.invalid_record_count = seg->invalid_record_count();
    BRVL_TRY(seg->flush());
    seg->unmap();
    return true;
}

Status SegmentSet::prepare_mark_invalid(uint64_t block_offset) {
    BRVL_TRY(check_writable());
    const uint64_t base = block_offset / span_ * span_;
    auto it = entries_.find(base);
    if (it == entries_.end()) return Error::not_found(fmt::format("no segment contains offset {}", block_offset));
    const bool was_closed = !it->second.open;
    DataSegment* seg = BRVL_TRY(get(base));
    counting_ = Counting{base, was_closed};
    return seg->prepare_count();
}

Status SegmentSet::done_counting() {
    const std::optional<Counting> counting = std::exchange(counting_, std::nullopt);
    if (!counting) return ok_status();
    auto it = entries_.find(counting->base);
    if (it == entries_.end()) return ok_status();
    if (counting->was_closed) return close_entry(it->second);
    // A file that is not the newest keeps no descriptor (the count may have opened it again).
    if (it->second.open && counting->base != latest_base()) it->second.open->drop_descriptor();
    return ok_status();
}

Result<SegmentSet::NextPlace> SegmentSet::next_place() {
    if (entries_.empty()) return NextPlace{{next_base_, 0}, 0};
    const uint64_t last = entries_.rbegin()->first;
    DataSegment* seg = entries_.rbegin()->second.open.get();
    if (seg == nullptr || !seg->is_mapped()) {
        auto opened = get(last);
        // An unreadable newest file takes no record: the next goes to a new file.
        if (!opened.ok() && is_content_error(opened.error())) return NextPlace{{next_base_, 0}, 0};
        seg = BRVL_TRY(std::move(opened));
    }
    const RecordPlace rel = seg->next_place();
    return NextPlace{{last + rel.block_offset, rel.in_block}, seg->invalid_record_count()};
}

namespace {

// Where the walk to the last block of the segment at `base` begins: at `from` in it, else
// at its start (a segment made after that place).
uint64_t walk_from(uint64_t base, uint64_t span, const std::optional<RecordPlace>& from) {
    return from && from->block_offset >= base && from->block_offset - base < span ? from->block_offset - base : 0;
}

}  // namespace

Result<std::optional<SegmentSet::Newest>> SegmentSet::newest_record(std::optional<RecordPlace> from) {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->second.stats().record_count == 0) continue;
        auto seg = get(it->first);
        if (!seg.ok()) {
            if (is_content_error(seg.error())) return std::optional<Newest>();  // its reads report it
            return std::move(seg).error();
        }
        const std::optional<DataSegment::Newest> n = (*seg)->newest_record(walk_from(it->first, span_, from));
        if (!n) return std::optional<Newest>();
        return std::optional<Newest>(Newest{{it->first + n->place.block_offset, n->place.in_block}, n->timestamp});
    }
    return std::optional<Newest>();
}

Result<std::optional<SegmentSet::Newest>> SegmentSet::current_newest_record(std::optional<RecordPlace> from) {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        auto seg = get(it->first);
        if (!seg.ok()) continue;  // a file the writer has only begun to create holds nothing yet
        if (BRVL_TRY((*seg)->live_stats()).record_count == 0) continue;
        const std::optional<DataSegment::Newest> n = (*seg)->newest_record(walk_from(it->first, span_, from));
        if (!n) return std::optional<Newest>();
        return std::optional<Newest>(Newest{{it->first + n->place.block_offset, n->place.in_block}, n->timestamp});
    }
    return std::optional<Newest>();
}

Status SegmentSet::flush_all() {
    for (auto& [base, e] : entries_) {
        if (e.open) BRVL_TRY(e.open->flush());
    }
    return ok_status();
}

Status SegmentSet::flush_dirty(uint64_t base) {
    DataSegment* seg = find_open(base);
    if (seg == nullptr) return ok_status();
    if (!seg->is_mapped() || seg->is_clean()) {
        // Already synced: the entry taken off the list was its registration.
        seg->clear_dirty_registered();
        return ok_status();
    }
    return seg->flush_dirty();
}

Status SegmentSet::close_entry(Entry& e) const {
    if (!e.open) return ok_status();
    if (e.open->is_mapped() && !read_only_ && !e.open->is_clean()) BRVL_TRY(e.open->flush());
    e.closed.path = e.open->path();
    e.closed.file_size = e.open->file_size();
    e.closed.stats = e.open->stats();
    e.open->unmap();
    e.open.reset();
    return ok_status();
}

Status SegmentSet::close_all() {
    for (auto& [base, e] : entries_) BRVL_TRY(close_entry(e));
    stage_->release();
    return ok_status();
}

std::vector<SegmentStats> SegmentSet::reclaim(int64_t threshold) {
    std::vector<SegmentStats> removed;
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& e = it->second;
        if (e.open || e.closed.stats.max_timestamp == INT64_MIN || e.closed.stats.max_timestamp >= threshold) {
            ++it;
            continue;
        }
        removed.push_back(e.closed.stats);
        (void)remove_file(e.closed.path);  // a failed deletion still drops the entry
        log::info(log::kSegment, "[retention] deleted data segment: {}", e.closed.path);
        it = entries_.erase(it);
    }
    return removed;
}

void SegmentSet::set_notifier(std::optional<DirtyNotifier> notifier) {
    notifier_ = std::move(notifier);
    for (auto& [base, e] : entries_) {
        if (e.open) e.open->set_notifier(notifier_);
    }
}

}  // namespace brenvale
