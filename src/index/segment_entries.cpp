// Reads and writes of an index segment's entries, straight in the mapping: appends (with
// the written position as their commit), growth by doubling, overwrites in place inside the
// header's change count, and the count-due record that spans an overwrite and the count of
// the record it replaced.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "index/segment.h"
#include "log.h"

namespace brenvale {

namespace {

Error read_only_error() { return Error::invalid_data("read-only index segment cannot be written"); }

}  // namespace

// ---- writes ----

Status IndexSegment::ensure_allocated() {
    if (allocated_) return ok_status();
    if (!is_mapped()) return Error::mmap("index segment closed");
    const FileHandle fd = BRVL_TRY(FileHandle::open(path_, FileHandle::Mode::ReadWrite));
    BRVL_TRY(fd.reserve(map_.size()));
    allocated_ = true;
    return ok_status();
}

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

Status IndexSegment::publish_entries(uint64_t count) {
    if (count == 0) return ok_status();
    entry_count_ += count;
    last_ts_ = IndexEntry::timestamp_at(map_.data() + index_entry_pos(entry_count_ - 1));
    mark_changed();
    // The state block is located once per mapping, except in a file of a newer version,
    // which is warned about on every update.
    const size_t state = BRVL_TRY(state_locator_.locate({map_.data(), map_.size()}, kFileTypeIndex, 0));
    // A reader in another process trusts the entries below the written position.
    publish_fence();
    store_u64(map_.data() + state + index_state_at::kWrote, index_entry_pos(entry_count_));
    return ok_status();
}

Status IndexSegment::append_entry(const IndexEntry& e) {
    if (read_only_) return read_only_error();
    if (entry_count_ >= capacity_) return Error::segment_full();
    if (!is_mapped()) return Error::mmap("index segment closed");
    if (entry_count_ >= index_slots_for(map_.size())) {
        return invalid_data_fmt("index entry {} at {} is beyond file bounds", entry_count_,
                                index_entry_pos(entry_count_));
    }
    BRVL_TRY(ensure_allocated());
    store_entry(entry_count_, e);
    crash_point("index.append.entry");
    return publish_entries(1);
}

Status IndexSegment::append_run(int64_t first, uint64_t fillers, const IndexEntry* last) {
    if (read_only_) return read_only_error();
    const uint64_t want = fillers + (last != nullptr ? 1 : 0);
    if (want == 0) return ok_status();
    uint64_t target = 0;
    if (__builtin_add_overflow(entry_count_, want, &target)) target = ~uint64_t{0};
    BRVL_TRY(reserve_entries(target));
    if (!is_mapped()) return Error::mmap("index segment closed");
    const uint64_t n = std::min(want, capacity_ > entry_count_ ? capacity_ - entry_count_ : 0);
    if (entry_count_ + n > index_slots_for(map_.size())) {
        return invalid_data_fmt("index entry {} at {} is beyond file bounds", index_slots_for(map_.size()),
                                index_entry_pos(index_slots_for(map_.size())));
    }
    BRVL_TRY(ensure_allocated());
    // The entries first, past the written position where no reader looks; then one commit.
    for (uint64_t k = 0; k < n; ++k) {
        const IndexEntry e = k < fillers ? IndexEntry::sentinel(static_cast<int64_t>(static_cast<uint64_t>(first) + k))
                                         : *last;
        store_entry(entry_count_ + k, e);
        crash_point("index.append.entry");
    }
    BRVL_TRY(publish_entries(n));
    if (n == want) return ok_status();
    // At its size limit: flushed, as append_entry_growing leaves a full segment.
    if (is_mapped() && !clean_) BRVL_TRY(map_.flush());
    touch();
    clean_ = true;
    dirty_registered_ = false;
    return Error::segment_full();
}

Status IndexSegment::reserve_entries(uint64_t count) {
    if (read_only_) return read_only_error();
    while (capacity_ < count && file_size_ < max_file_size_) BRVL_TRY(grow());
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
    allocated_ = true;  // reserve allocated all of it
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
    BRVL_TRY(ensure_allocated());
    uint8_t* p = map_.data() + index_entry_pos(index);
    begin_rewrite();
    if (IndexEntry::timestamp_at(p) == e.timestamp && IndexEntry::reserved_zero(p)) e.store_address(p);
    else store_entry(index, e);
    crash_point("index.rewrite.stored");
    end_rewrite();
    mark_changed();
    return ok_status();
}

// ---- the change count of rewrites ----

uint64_t IndexSegment::change_count() const {
    if (!count_room_ || !is_mapped() || map_.size() < kChangeCountAt + 8) return 0;
    return load_u64(map_.data() + kChangeCountAt);
}

void IndexSegment::begin_rewrite() {
    if (!count_room_ || map_.size() < kChangeCountAt + 8) return;
    uint8_t* c = map_.data() + kChangeCountAt;
    const uint64_t v = load_u64(c);
    store_u64(c, change_begun(v));
    crash_point("index.rewrite.begun");
    publish_fence();
}

void IndexSegment::end_rewrite() {
    if (!count_room_ || map_.size() < kChangeCountAt + 8) return;
    publish_fence();
    uint8_t* c = map_.data() + kChangeCountAt;
    const uint64_t v = load_u64(c);
    store_u64(c, change_ended(v));
}

bool IndexSegment::rewrite_abandoned(LiveWait& wait, uint64_t count) const {
    if (!wait.stayed(0, count)) return false;
    abandoned_count_ = count;
    log::warn(log::kIndexSegment, "[IndexSegment read] {}: a rewrite of an entry did not end; reading the entries as "
                                  "they were left", path_);
    return true;
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

// ---- count due ----

Status IndexSegment::prepare_change_slow() {
    if (read_only_) return read_only_error();
    BRVL_TRY(ensure_open());
    return ensure_allocated();
}

// The fields first, the flag last: a kill leaves either no record or a whole one.
Status IndexSegment::set_count_due(const CountDue& due) {
    if (read_only_) return read_only_error();
    if (!is_mapped()) return Error::mmap("index segment closed");
    if (!due_room_ || map_.size() < count_due_at::kEnd) return ok_status();
    BRVL_TRY(ensure_allocated());
    uint8_t* h = map_.data();
    const RecordPlace from = due.record_from.value_or(RecordPlace{kSentinelBlockOffset, 0});
    store_u64(h + count_due_at::kRecordFrom, from.block_offset);
    store_i64(h + count_due_at::kTimestamp, due.old.timestamp);
    store_u64(h + count_due_at::kBlockOffset, due.old.block_offset);
    store_u16(h + count_due_at::kInBlock, due.old.in_block);
    store_u16(h + count_due_at::kRecordFromInBlock, from.in_block);
    store_u64(h + count_due_at::kSegmentInvalid, due.segment_invalid);
    store_u64(h + count_due_at::kTotalInvalid, due.total_invalid);
    crash_point("index.count_due.fields");
    publish_fence();
    store_u64(h + count_due_at::kFlag, count_due_at::kChange);
    crash_point("index.count_due.set");
    mark_changed();
    return ok_status();
}

// Read at open, each field is either this append's or the one before: a record stored at or
// past the place, holding the timestamp and without its entry, is only this append's.
void IndexSegment::set_append_record(int64_t ts, RecordPlace from, uint64_t segment_invalid) {
    if (read_only_ || !due_room_ || !is_mapped() || map_.size() < count_due_at::kEnd) return;
    uint8_t* h = map_.data();
    store_u64(h + count_due_at::kRecordFrom, from.block_offset);
    store_i64(h + count_due_at::kTimestamp, ts);
    store_u16(h + count_due_at::kRecordFromInBlock, from.in_block);
    store_u64(h + count_due_at::kSegmentInvalid, segment_invalid);
    publish_fence();
    store_u64(h + count_due_at::kFlag, count_due_at::kAppend);
    crash_point("index.count_due.append");
}

namespace {

// Whether a field of the record (all but its flag) holds a byte other than zero.
bool change_fields_set(const uint8_t* h) {
    auto zero = [](const uint8_t* from, const uint8_t* to) { return std::all_of(from, to, [](uint8_t b) { return b == 0; }); };
    return !zero(h + count_due_at::kRecordFrom, h + count_due_at::kFlag) ||
           !zero(h + count_due_at::kTimestamp, h + count_due_at::kEnd);
}

}  // namespace

// The flag first (the fields mean nothing without it), then the fields back to zero, in the
// same cache line: a header at rest holds no change record. Fields a kill left behind a
// cleared flag are zeroed by the next call (a writable open settles them). An append record,
// cleared after the append that marked the segment changed, marks nothing.
void IndexSegment::clear_count_due() {
    if (read_only_ || !due_room_ || !is_mapped() || map_.size() < count_due_at::kEnd) return;
    uint8_t* h = map_.data();
    const uint64_t kind = load_u64(h + count_due_at::kFlag);
    if (kind != 0) {
        store_u64(h + count_due_at::kFlag, 0);
        crash_point("index.count_due.cleared");
    } else if (!change_fields_set(h)) {
        return;
    }
    std::memset(h + count_due_at::kRecordFrom, 0, count_due_at::kFlag - count_due_at::kRecordFrom);
    std::memset(h + count_due_at::kTimestamp, 0, count_due_at::kEnd - count_due_at::kTimestamp);
    if (kind != count_due_at::kAppend) mark_changed();
}

std::optional<CountDue> IndexSegment::count_due() const {
    if (!is_mapped() || !due_room_ || map_.size() < count_due_at::kEnd) return std::nullopt;
    return decode_count_due(map_.data());
}

std::optional<CountDue> IndexSegment::read_count_due(const IndexHeader& header, std::span<const uint8_t> bytes) {
    if (!count_due_room(header) || bytes.size() < count_due_at::kEnd) return std::nullopt;
    return decode_count_due(bytes.data());
}

Result<std::optional<CountDue>> IndexSegment::read_count_due(const std::string& path) {
    const FileHandle fd = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadOnly));
    uint8_t header[kIndexEntryStart];
    ssize_t n;
    do {
        n = ::pread(fd.fd(), header, sizeof header, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Error::io(errno);
    if (static_cast<size_t>(n) < sizeof header) return std::optional<CountDue>();
    const std::span<const uint8_t> bytes(header, sizeof header);
    auto parsed = IndexHeader::read(bytes);
    if (!parsed.ok()) return std::optional<CountDue>();
    return read_count_due(*parsed, bytes);
}

std::optional<CountDue> decode_count_due(const uint8_t* h) {
    const uint64_t flag = load_u64(h + count_due_at::kFlag);
    if (flag != count_due_at::kOwnSegment && flag != count_due_at::kChange && flag != count_due_at::kAppend) {
        if (flag == 0 && !change_fields_set(h)) return std::nullopt;
        CountDue left;
        left.leftover = true;
        return left;
    }
    CountDue due;
    due.append = flag == count_due_at::kAppend;
    due.old.timestamp = load_i64(h + count_due_at::kTimestamp);
    due.old.block_offset = load_u64(h + count_due_at::kBlockOffset);
    due.old.in_block = load_u16(h + count_due_at::kInBlock);
    due.segment_invalid = load_u64(h + count_due_at::kSegmentInvalid);
    due.total_invalid = load_u64(h + count_due_at::kTotalInvalid);
    due.in_own_segment = flag == count_due_at::kOwnSegment;
    const uint64_t from = load_u64(h + count_due_at::kRecordFrom);
    if (due.append) {
        due.old = IndexEntry::sentinel(due.old.timestamp);
        due.total_invalid = CountDue::kNotInTotals;
    }
    if (!due.in_own_segment && from != kSentinelBlockOffset)
        due.record_from = RecordPlace{from, load_u16(h + count_due_at::kRecordFromInBlock)};
    // A writer beside (another process) clears the flag before it zeroes the fields: a
    // record whose flag moved while it was read is gone.
    observe_fence();
    if (load_u64(h + count_due_at::kFlag) != flag) return std::nullopt;
    return due;
}

}  // namespace brenvale
