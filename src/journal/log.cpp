#include "journal/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "file.h"
#include "../log.h"  // the logging facade (journal/log.h is the journal log)
#include "paths.h"

namespace brenvale {

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
    if (!read_only) {
        BRVL_TRY(create_dir_all(log.data_dir_));
        const std::string meta = paths::journal_meta_file(logs_dir);
        auto exists = path_exists(meta);
        if (!exists.ok() || !*exists) BRVL_TRY(write_file_atomic(meta, kJournalMetaText));
    }
    BRVL_TRY(log.load_segments(read_only));
    return log;
}

Status JournalLog::load_segments(bool read_only) {
    std::map<uint64_t, std::string> found;
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
            if (!read_only) {
                log::warn(log::kJournalLog, "[journal] removing unfinished segment file {}", path);
                BRVL_TRY(remove_file(path));
            }
            continue;
        }
        const std::optional<uint64_t> base = parse_journal_segment_name(name);
        if (!base) {
            log::warn(log::kJournalLog, "[journal] skipping invalid segment filename: {}", path);
            continue;
        }
        found.emplace(*base, path);
    }

    for (auto it = found.begin(); it != found.end(); ++it) {
        const bool newest = std::next(it) == found.end();
        auto seg = read_only ? JournalSegment::open_read_only(it->second, it->first, options_.segment_size_limit)
                             : JournalSegment::open(it->second, it->first, options_.segment_size_limit);
        if (!seg.ok()) {
            // The newest segment decides the next sequence: without it, sequences already
            // handed out could be handed out again.
            if (newest) return std::move(seg).error();
            log::warn(log::kJournalLog, "[journal] skipping unreadable segment {}: {}", it->second, seg.error());
            continue;
        }
        segments_.emplace(it->first, std::move(*seg));
    }

    next_sequence_ = 1;
    if (segments_.empty()) return ok_status();
    const JournalSegment& last = *segments_.rbegin()->second;
    if (last.record_count() > static_cast<uint64_t>(INT64_MAX))
        return Error::invalid_data("journal segment record_count exceeds i64");
    auto next = checked_add(last.base_sequence(), last.record_count());
    if (!next || *next > static_cast<uint64_t>(INT64_MAX)) return Error::invalid_data("journal next_sequence overflow");
    next_sequence_ = *next;
    if (last.lost_records() == 0) return ok_status();

    // The blocks hold fewer records than the segment's state counted: the sequences up to
    // the counted ones may have been handed out, so the next record goes after them.
    auto counted = checked_add(*next, last.lost_records());
    if (!counted || *counted > kMaxJournalSequence) {
        log::warn(log::kJournalLog, "[journal] ignoring the implausible record count of segment {}", last.path());
        return ok_status();
    }
    log::warn(log::kJournalLog, "[journal] segment {} lost sequences {} to {}; the next record gets sequence {}",
              last.path(), *next, *counted - 1, *counted);
    if (!read_only) BRVL_TRY(create_segment(*counted));
    next_sequence_ = *counted;
    return ok_status();
}

Status JournalLog::create_segment(uint64_t base_sequence) {
    JournalSegmentOptions o;
    o.base_sequence = base_sequence;
    o.initial_size = std::min(options_.segment_size_limit, options_.initial_segment_size);
    o.max_file_size = options_.segment_size_limit;
    o.compress_level = options_.compress_level;
    o.compress_type = options_.compress_type;
    auto seg = BRVL_TRY(JournalSegment::create(join_path(data_dir_, segment_file_name(base_sequence)), o));
    segments_[base_sequence] = std::move(seg);
    return ok_status();
}

Result<uint64_t> JournalLog::append(std::span<const uint8_t> payload) {
    const uint64_t sequence = next_sequence_;
    if (sequence == 0 || sequence > kMaxJournalSequence) return Error::invalid_data("journal sequence overflow");
    if (segments_.empty()) BRVL_TRY(create_segment(sequence));
    Status appended = segments_.rbegin()->second->append(sequence, payload);
    if (!appended.ok() && appended.error().kind() == ErrorKind::SegmentFull) {
        // Roll over: the full segment is made durable, and a new one takes the record.
        JournalSegment& full = *segments_.rbegin()->second;
        BRVL_TRY(full.flush());
        BRVL_TRY(create_segment(sequence));
        appended = segments_.rbegin()->second->append(sequence, payload);
    }
    BRVL_TRY(appended);
    next_sequence_ = sequence + 1;
    return sequence;
}

Result<std::optional<JournalEntry>> JournalLog::read(int64_t sequence) {
    using Out = std::optional<JournalEntry>;
    if (sequence < 1 || static_cast<uint64_t>(sequence) >= next_sequence_) return Out();
    const auto seq = static_cast<uint64_t>(sequence);
    auto it = segments_.upper_bound(seq);
    if (it == segments_.begin()) return Out();
    JournalSegment& seg = *std::prev(it)->second;
    if (seq - seg.base_sequence() >= seg.record_count()) return Out();
    auto payload = BRVL_TRY(seg.read_record(seq));
    if (!payload) return Out();
    return Out(JournalEntry{seq, std::move(*payload)});
}

Result<std::vector<JournalEntry>> JournalLog::read_range(int64_t start, int64_t end) {
    std::vector<JournalEntry> out;
    if (start > end || next_sequence_ <= 1) return out;
    const int64_t lo = std::max<int64_t>(start, 1);
    const int64_t hi = std::min<int64_t>(static_cast<int64_t>(next_sequence_ - 1), end);
    for (int64_t s = lo; s <= hi; ++s) {
        if (auto e = BRVL_TRY(read(s))) out.push_back(std::move(*e));
    }
    return out;
}

Status JournalLog::flush() {
    for (auto& [base, seg] : segments_) {
        if (!seg->flushed()) BRVL_TRY(seg->flush());
    }
    return ok_status();
}

}  // namespace brenvale
