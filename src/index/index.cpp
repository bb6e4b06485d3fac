// The index's slot map and the lifecycle of its segments: create, segments by start
// (opened on demand, created where needed), the continuous grid, the latest timestamp,
// and the operations over every slot (visible range, retention, close, flush).
#include "index/index.h"

#include <atomic>

#include <fmt/format.h>

#include "index/slots.h"
#include "log.h"

namespace brenvale {

using namespace index_detail;

namespace {

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

}  // namespace

// ---- create ----

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

Result<Index> Index::create(const std::string& dir, const IndexOptions& options) {
    BRVL_TRY(create_dir_all(dir));
    Index idx = configured(dir, options);
    idx.read_only_ = false;
    idx.latest_valid_ = true;
    return idx;
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
        return with_key_range(it);
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
    return with_key_range(it);
}

IndexSegment* Index::with_key_range(std::map<int64_t, IndexSlot>::iterator it) {
    auto* seg = &std::get<IndexSegment>(it->second);
    const auto next = std::next(it);
    seg->set_key_last(next == slots_.end() ? kMaxTs : next->first - 1);
    seg->set_record_check(records_);
    return seg;
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

Result<IndexSegment*> Index::ensure_segment(int64_t start, IndexRangeSink* sink, const ClosingOff* closing) {
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
            std::optional<int64_t> last = slot_last(slot);
            if (closing != nullptr && s == closing->start && (!last || *last < closing->last_slot))
                last = closing->last_slot;
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
    made_ = start;
    return with_key_range(it);
}

bool Index::discard_made() {
    const std::optional<int64_t> made = std::exchange(made_, std::nullopt);
    auto it = made ? slots_.find(*made) : slots_.end();
    if (it == slots_.end()) return false;
    auto* seg = std::get_if<IndexSegment>(&it->second);
    if (seg == nullptr || seg->entry_count() != 0 || seg->count_due()) return false;
    const std::string path = seg->path();
    slots_.erase(it);
    slots_changed();
    latest_valid_ = false;
    // A file left by a failed removal (or a kill before it) holds no entry: a later append
    // takes it over or replaces it, an open removes it, and a reader drops it from its
    // slots when it lists the directory again.
    (void)remove_file(path);
    return true;
}

uint64_t Index::slot_entry_count(int64_t start) const {
    auto it = slots_.find(start);
    return it == slots_.end() ? 0 : slot_count(it->second);
}

bool Index::any_entries() const {
    for (const auto& [start, slot] : slots_)
        if (slot_count(slot) > 0) return true;
    return false;
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

// The newest segment that holds entries holds the latest timestamp; the segments above it
// were empty when looked at. Beside a live writer two things may have run meanwhile: the
// writer filled one of those (and may then have closed off the one below it with fillers),
// which a second look at them finds; or it created a segment after the listing, which a
// second look at the directory finds when the latest entry found is a sentinel (the
// close-off's fillers end a segment). Either sends the look round again.
Result<std::optional<int64_t>> Index::current_latest_timestamp() {
    BRVL_TRY(refresh_for_reader());
    if (!read_only_) return latest_timestamp();
    constexpr unsigned kMaxRounds = 64;  // each round follows the writer's progress
    for (unsigned round = 0; round < kMaxRounds; ++round) {
        std::vector<IndexSegment*> empty_above;
        IndexSegment* newest = nullptr;
        for (std::optional<int64_t> key = slots_.empty() ? std::nullopt : std::optional(slots_.rbegin()->first); key;) {
            auto seg = segment_at(*key);
            if (seg.ok() && (*seg)->entry_count() > 0) {
                newest = *seg;
                break;
            }
            if (!seg.ok() && seg.error().kind() != ErrorKind::NotFound) return std::move(seg).error();
            if (seg.ok()) empty_above.push_back(*seg);
            auto below = slots_.lower_bound(*key);
            key = below == slots_.begin() ? std::nullopt : std::optional(std::prev(below)->first);
        }
        bool moved = false;
        for (IndexSegment* seg : empty_above) {
            BRVL_TRY(seg->refresh());
            moved = moved || seg->entry_count() > 0;
        }
        if (!moved && continuous_ && newest != nullptr && newest->entry_count() > 0) {
            const uint64_t listings = listings_;
            auto last = newest->steady([&] { return newest->read_entry(newest->entry_count() - 1); });
            if (last.ok() && last->is_sentinel()) {
                BRVL_TRY(refresh_for_reader());
                moved = listings_ != listings;
            }
        }
        latest_valid_ = false;
        if (!moved) break;
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

uint64_t Index::next_generation() {
    static std::atomic<uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
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
        closed.count_due = seg->count_due();
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

template <typename DueOf>
std::vector<std::pair<int64_t, CountDue>> Index::own_counts_due(DueOf due_of) const {
    std::vector<std::pair<int64_t, CountDue>> out;
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        const bool newest = std::next(it) == slots_.end();
        const std::optional<CountDue> due = due_of(it->second, newest);
        if (!due) continue;
        bool own = newest && !due->in_own_segment;
        if (due->in_own_segment) {
            const int64_t ts = due->old.timestamp;
            if (continuous_) {
                const auto start = continuous_segment_start(ts);
                own = start.ok() && *start == it->first;
            } else {
                const auto next = std::next(it);
                own = ts >= it->first && (next == slots_.end() || ts < next->first);
            }
        }
        if (own) out.emplace_back(it->first, *due);
    }
    return out;
}

std::vector<std::pair<int64_t, CountDue>> Index::counts_due() const {
    return own_counts_due([](const IndexSlot& slot, bool) {
        const auto* seg = std::get_if<IndexSegment>(&slot);
        return seg != nullptr ? seg->count_due() : std::get<ClosedIndexSegment>(slot).count_due;
    });
}

Result<std::vector<std::pair<int64_t, CountDue>>> Index::current_counts_due() {
    if (!read_only_) return counts_due();
    BRVL_TRY(refresh_for_reader());
    // A writer keeps its change in the newest segment; an earlier version's record, read at
    // open, stays only until a writer settles it: both are read again from the files.
    return own_counts_due([](const IndexSlot& slot, bool newest) -> std::optional<CountDue> {
        const auto* seg = std::get_if<IndexSegment>(&slot);
        if (!newest && (seg != nullptr ? !seg->is_mapped() : !std::get<ClosedIndexSegment>(slot).count_due))
            return std::nullopt;
        if (seg != nullptr && seg->is_mapped()) {
            auto due = seg->steady([&]() -> Result<std::optional<CountDue>> { return seg->count_due(); });
            return due.ok() ? *due : std::nullopt;
        }
        const std::string& path = seg != nullptr ? seg->path() : std::get<ClosedIndexSegment>(slot).path;
        auto due = IndexSegment::read_count_due(path);
        return due.ok() ? *due : std::nullopt;
    });
}

Status Index::clear_count_due(int64_t start) {
    if (read_only_) return read_only_index_error();
    IndexSegment* seg = BRVL_TRY(segment_at(start));
    seg->clear_count_due();
    return ok_status();
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
