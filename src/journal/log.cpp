#include "journal/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "file.h"
#include "journal/record.h"
#include "../log.h"  // the logging facade (journal/log.h is the journal log)
#include "paths.h"

namespace brenvale {

namespace {

// The frame of a reserved record event: one at its largest.
constexpr uint64_t kReservedFrame = kJournalFraming.framed(kJournalMaxRecordEventSize);
// The frames held at once: as many as leave one pending block room for the largest record
// of any type beside them, so that an append made without a reservation while others are
// held always finds room for itself and them in one pending block.
constexpr uint64_t kMaxReservedBytes = kMaxPendingPayload - kJournalFraming.framed(kJournalMaxRecordSize);
// The record events that fill them.
constexpr uint64_t kMaxReservations = kMaxReservedBytes / kReservedFrame;
static_assert(kMaxReservations >= 1024 && kMaxReservations < kMaxPendingCount);

}  // namespace

JournalLogOptions JournalLogOptions::from(const StoreConfig& c) {
    return JournalLogOptions{c.data_segment_size, c.initial_data_segment_size, c.compress_type, c.compress_level};
}

Result<JournalLog> JournalLog::open(const std::string& logs_dir, const JournalLogOptions& options) {
    return open_impl(logs_dir, options, false);
}

Result<std::optional<JournalLog>> JournalLog::open_read_only(const std::string& logs_dir,
                                                             const JournalLogOptions& options) {
    using Out = std::optional<JournalLog>;
    for (const std::string& dir : {logs_dir, paths::journal_data_dir(logs_dir)}) {
        auto found = is_directory(dir);
        if (!found.ok() || !*found) return Out();
    }
    return Out(BRVL_TRY(open_impl(logs_dir, options, true)));
}

Result<JournalLog> JournalLog::open_impl(const std::string& logs_dir, const JournalLogOptions& options,
                                         bool read_only) {
    JournalLog log;
    log.logs_dir_ = logs_dir;
    log.data_dir_ = paths::journal_data_dir(logs_dir);
    log.options_ = options;
    log.read_only_ = read_only;
    log.blocks_ = JournalBlocks(options.block_cache);
    if (!read_only) {
        BRVL_TRY(create_dir_all(log.data_dir_));
        const std::string meta = paths::journal_meta_file(logs_dir);
        auto exists = path_exists(meta);
        if (!exists.ok() || !*exists) BRVL_TRY(write_file_atomic(meta, kJournalMetaText));
    }
    BRVL_TRY(log.load_segments());
    return log;
}

Result<std::map<uint64_t, JournalLog::Listed>> JournalLog::list_segment_files(bool first_listing) {
    std::map<uint64_t, Listed> found;
    for (const std::string& name : BRVL_TRY(list_dir(data_dir_))) {
        const std::string path = join_path(data_dir_, name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            return Error::io(errno);
        }
        if (!S_ISREG(st.st_mode)) continue;
        const std::string_view n(name);
        if (n.ends_with(paths::kTempSuffix) &&
            parse_journal_segment_name(n.substr(0, n.size() - paths::kTempSuffix.size()))) {
            // A segment that a kill left under its temporary name never held a record.
            if (first_listing && !read_only_) {
                log::warn(log::kJournalLog, "[journal] removing unfinished segment file {}", path);
                BRVL_TRY(remove_file(path));
            }
            continue;
        }
        const std::optional<uint64_t> base = parse_journal_segment_name(name);
        if (!base) {
            if (first_listing) log::warn(log::kJournalLog, "[journal] skipping invalid segment filename: {}", path);
            continue;
        }
        Listed& l = found[*base];
        l.path = path;
        l.file_id = static_cast<uint64_t>(st.st_ino);
    }
    return found;
}

void JournalLog::take_listing(std::map<uint64_t, Listed> found) {
    // Files gone from the directory are forgotten; new ones and files replaced under their
    // name are taken in. The blocks kept of a file gone or replaced go (all of them: it
    // happens only when the journal was replaced behind a reader's back).
    const size_t before = segments_.size();
    std::erase_if(segments_, [&](const auto& e) { return !found.contains(e.first); });
    bool replaced = segments_.size() != before;
    for (auto& [base, f] : found) {
        auto it = segments_.find(base);
        if (it != segments_.end() && it->second.file_id != f.file_id) replaced = true;
        if (it == segments_.end() || it->second.file_id != f.file_id) segments_[base] = std::move(f);
    }
    if (replaced) blocks_.forget_all();
    // An older segment's header is looked at once: one that cannot be used is skipped.
    for (auto it = segments_.begin(); it != segments_.end() && std::next(it) != segments_.end(); ++it) {
        Listed& l = it->second;
        if (l.checked) continue;
        l.checked = true;
        auto seg = JournalSegment::open_finished(l.path, it->first, options_.segment_size_limit, /*warn_version=*/true);
        if (!seg.ok()) {
            log::warn(log::kJournalLog, "[journal] skipping unreadable segment {}: {}", l.path, seg.error());
            l.unreadable = true;
        }
    }
}

Status JournalLog::open_newest() {
    if (segments_.empty()) return ok_status();
    const auto newest = std::prev(segments_.end());
    for (auto it = segments_.begin(); it != newest; ++it) {
        std::unique_ptr<JournalSegment>& older = it->second.open;
        if (!older) continue;
        if (!older->flushed()) BRVL_TRY(older->flush());
        older.reset();
    }
    Listed& l = newest->second;
    if (l.open) return ok_status();
    l.open = BRVL_TRY(read_only_ ? JournalSegment::open_read_only(l.path, newest->first, options_.segment_size_limit)
                                 : JournalSegment::open(l.path, newest->first, options_.segment_size_limit));
    l.checked = true;
    l.unreadable = false;
    return ok_status();
}

Result<uint64_t> JournalLog::sequence_after_newest() {
    if (segments_.empty()) return uint64_t{1};
    const uint64_t base = segments_.rbegin()->first;
    JournalSegment& newest = *segments_.rbegin()->second.open;
    uint64_t count = newest.current_count();
    // A read-only log takes the count the writer stored, unless it cannot be one (damage):
    // then what the blocks held at open.
    auto plausible = [&](uint64_t n) {
        auto next = checked_add(base, n);
        return n <= static_cast<uint64_t>(INT64_MAX) && next && *next <= kMaxJournalSequence + 1;
    };
    if (read_only_ && !plausible(count)) count = newest.record_count();
    if (count > static_cast<uint64_t>(INT64_MAX)) return Error::invalid_data("journal segment record_count exceeds i64");
    auto next = checked_add(base, count);
    if (!next || *next > static_cast<uint64_t>(INT64_MAX)) return Error::invalid_data("journal next_sequence overflow");
    return *next;
}

Status JournalLog::load_segments() {
    if (read_only_) BRVL_TRY(watch_.changed(data_dir_));  // this listing is the first look
    take_listing(BRVL_TRY(list_segment_files(/*first_listing=*/true)));
    watch_.listed();
    // The newest segment decides the next sequence: when it cannot be opened, sequences
    // already handed out could be handed out again.
    BRVL_TRY(open_newest());
    next_sequence_ = BRVL_TRY(sequence_after_newest());
    if (segments_.empty()) return ok_status();
    const JournalSegment& last = *segments_.rbegin()->second.open;
    if (last.lost_records() == 0) return ok_status();

    // The blocks hold fewer records than the segment's state counted: the sequences up to
    // the counted ones may have been handed out, so the next record goes after them.
    auto counted = checked_add(next_sequence_, last.lost_records());
    if (!counted || *counted > kMaxJournalSequence) {
        log::warn(log::kJournalLog, "[journal] ignoring the implausible record count of segment {}", last.path());
        return ok_status();
    }
    log::warn(log::kJournalLog, "[journal] segment {} lost sequences {} to {}; the next record gets sequence {}",
              last.path(), next_sequence_, *counted - 1, *counted);
    if (!read_only_) BRVL_TRY(create_segment(*counted));
    next_sequence_ = *counted;
    return ok_status();
}

Status JournalLog::follow_writer() {
    if (!read_only_) return ok_status();
    if (BRVL_TRY(watch_.changed(data_dir_))) {
        take_listing(BRVL_TRY(list_segment_files(/*first_listing=*/false)));
        watch_.listed();
    }
    BRVL_TRY(open_newest());
    next_sequence_ = BRVL_TRY(sequence_after_newest());
    return ok_status();
}

size_t JournalLog::open_segment_count() const {
    size_t n = 0;
    for (const auto& [base, l] : segments_) n += l.open != nullptr;
    return n;
}

Status JournalLog::create_segment(uint64_t base_sequence) {
    JournalSegmentOptions o;
    o.base_sequence = base_sequence;
    o.initial_size = std::min(options_.segment_size_limit, options_.initial_segment_size);
    o.max_file_size = options_.segment_size_limit;
    o.compress_level = options_.compress_level;
    o.compress_type = options_.compress_type;
    const std::string path = join_path(data_dir_, segment_file_name(base_sequence));
    auto seg = BRVL_TRY(JournalSegment::create(path, o));
    struct stat st;
    if (segments_.contains(base_sequence)) blocks_.forget_all();
    Listed& l = segments_[base_sequence];
    l = Listed{path, ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0, true, false,
               std::move(seg), {}};
    // The segment it follows takes no more records: flushed at the roll-over, it is closed.
    return open_newest();
}

JournalSegment* JournalLog::newest() const {
    return segments_.empty() ? nullptr : segments_.rbegin()->second.open.get();
}

Status JournalLog::ready_room(uint64_t first, uint64_t reserved, uint64_t reserved_bytes) {
    const uint64_t count = reserved + (first != 0 ? 1 : 0);
    const uint64_t bytes = first + reserved_bytes;
    if (next_sequence_ == 0 || next_sequence_ + (count - 1) > kMaxJournalSequence)
        return Error::invalid_data("journal sequence overflow");
    if (segments_.empty()) BRVL_TRY(create_segment(next_sequence_));
    JournalSegment* last = newest();
    if (last == nullptr) return Error::invalid_data("journal has no writable segment");
    Status room = last->make_room(bytes, count);
    // An empty segment that cannot take them is not followed by another: a new one could
    // not either.
    if (room.ok() || room.error().kind() != ErrorKind::SegmentFull || last->record_count() == 0) return room;
    BRVL_TRY(last->flush());
    BRVL_TRY(create_segment(next_sequence_));
    last = newest();
    if (last == nullptr) return Error::invalid_data("journal has no segment after rollover");
    return last->make_room(bytes, count);
}

Status JournalLog::reserve(uint64_t payload_size) {
    if (read_only_) return Error::invalid_data("read-only journal segment cannot be modified");
    const uint64_t frame = kJournalFraming.framed(payload_size);
    if (frame > kMaxReservedBytes - std::min(reserved_bytes_, kMaxReservedBytes))
        return invalid_data_fmt("journal cannot hold more than {} reservations at once", kMaxReservations);
    BRVL_TRY(ready_room(0, reserved_ + 1, reserved_bytes_ + frame));
    ++reserved_;
    reserved_bytes_ += frame;
    return ok_status();
}

void JournalLog::release(uint64_t payload_size) {
    if (reserved_ == 0) return;
    --reserved_;
    reserved_bytes_ -= std::min(reserved_bytes_, kJournalFraming.framed(payload_size));
    if (reserved_ == 0) reserved_bytes_ = 0;
}

Result<uint64_t> JournalLog::append(std::span<const uint8_t> payload, bool reserved, uint64_t reserved_size) {
    if (reserved) release(reserved_size);
    const uint64_t sequence = next_sequence_;
    if (sequence == 0 || sequence > kMaxJournalSequence) return Error::invalid_data("journal sequence overflow");
    if (reserved_ > 0) {
        // Whatever this append takes, the room held for the reserved ones stays. (A reserved
        // append finds it readied already: the room it held covers it.)
        const uint64_t framed = kJournalFraming.framed(payload.size());
        if (framed > kMaxPendingPayload - reserved_bytes_)
            return Error::invalid_data("journal record too large to append beside held reservations");
        BRVL_TRY(ready_room(framed, reserved_, reserved_bytes_));
    }
    if (segments_.empty()) BRVL_TRY(create_segment(sequence));
    JournalSegment* last = newest();
    if (last == nullptr) return Error::invalid_data("journal has no writable segment");
    Status appended = last->append(sequence, payload);
    if (!appended.ok() && appended.error().kind() == ErrorKind::SegmentFull) {
        // Roll over: the full segment is made durable, and a new one takes the record.
        BRVL_TRY(last->flush());
        BRVL_TRY(create_segment(sequence));
        JournalSegment* next = segments_.rbegin()->second.open.get();
        if (next == nullptr) return Error::invalid_data("journal has no segment after rollover");
        appended = next->append(sequence, payload);
    }
    BRVL_TRY(appended);
    next_sequence_ = sequence + 1;
    return sequence;
}

Result<std::optional<JournalEntry>> JournalLog::read(int64_t sequence) {
    using Out = std::optional<JournalEntry>;
    std::vector<JournalEntry> found = BRVL_TRY(read_range(sequence, sequence));
    if (found.empty()) return Out();
    return Out(std::move(found.front()));
}

Result<std::vector<JournalEntry>> JournalLog::read_range(int64_t start, int64_t end) {
    std::vector<JournalEntry> out;
    if (start > end || end < 1) return out;
    // A reader asking beyond what it knows looks at what the writer added.
    if (read_only_ && static_cast<uint64_t>(end) >= next_sequence_) BRVL_TRY(follow_writer());
    if (next_sequence_ <= 1) return out;
    const uint64_t lo = static_cast<uint64_t>(std::max<int64_t>(start, 1));
    const uint64_t hi = std::min(next_sequence_ - 1, static_cast<uint64_t>(end));
    if (lo > hi) return out;
    auto it = segments_.upper_bound(lo);
    if (it != segments_.begin()) --it;
    for (; it != segments_.end() && it->first <= hi; ++it) {
        const auto after = std::next(it);
        const uint64_t seg_lo = std::max(lo, it->first);
        const uint64_t seg_hi = after == segments_.end() ? hi : std::min(hi, after->first - 1);
        if (seg_lo > seg_hi || it->second.unreadable) continue;
        Listed& l = it->second;
        const JournalReadAids aids{&blocks_, &l.starts};
        JournalSegment* seg = l.open.get();
        std::unique_ptr<JournalSegment> held;
        uint64_t from = seg_lo;
        if (seg == nullptr) {
            // An older segment is read from its kept blocks, else opened for this call only.
            from = read_kept(it->first, l, seg_lo, seg_hi, out);
            if (from > seg_hi) continue;
            held = BRVL_TRY(JournalSegment::open_finished(l.path, it->first, options_.segment_size_limit, false));
            seg = held.get();
        }
        BRVL_TRY(seg->read_range(from, seg_hi, out, aids));
    }
    return out;
}

uint64_t JournalLog::read_kept(uint64_t base, const Listed& l, uint64_t from, uint64_t to,
                               std::vector<JournalEntry>& out) {
    while (from <= to) {
        auto it = std::upper_bound(l.starts.begin(), l.starts.end(), from,
                                   [](uint64_t s, const JournalBlockStart& bs) { return s < bs.first_sequence; });
        if (it == l.starts.begin()) break;
        --it;
        const std::optional<JournalBlock> block = blocks_.find(base, it->position);
        if (!block || block->first_sequence() != it->first_sequence || !block->holds(from)) break;
        from = block->copy_out(from, to, out);
    }
    return from;
}

Status JournalLog::flush() {
    // Only the newest segment can have changed: older ones were flushed when they closed.
    for (auto& [base, l] : segments_) {
        if (l.open && !l.open->flushed()) BRVL_TRY(l.open->flush());
    }
    return ok_status();
}

}  // namespace brenvale
