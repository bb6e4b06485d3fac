// Reads of the index: lookups, range lists and the cursor scans of the query iterators.
#include <fmt/format.h>

#include "index/index.h"
#include "index/slots.h"

namespace brenvale {

using namespace index_detail;

// ---- reads ----

Result<IndexEntry> Index::read_entry(IndexSegment& seg, uint64_t i) {
    if (!read_only_) return seg.read_entry(i);
    return seg.steady([&] { return seg.read_entry(i); });
}

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
        seg = *s;
    } else {
        seg = BRVL_TRY(segment_for(ts));
        if (seg == nullptr) return std::optional<IndexEntry>();
    }
    auto find = [&]() -> Result<std::optional<IndexEntry>> {
        return continuous_ ? seg->lookup_continuous(ts) : seg->lookup_sparse(ts);
    };
    // A reader beside a live writer never takes an entry that a rewrite changed under it.
    return read_only_ ? seg->steady(find) : find();
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
    alloc_fault_point();
    out.reserve(static_cast<size_t>(bound));
    for (IndexSegment* seg : segs) {
        if (!read_only_) {
            seg->append_range(start, end, continuous_, out);
            continue;
        }
        const size_t before = out.size();
        BRVL_TRY(seg->steady([&]() -> Status {
            out.resize(before);
            seg->append_range(start, end, continuous_, out);
            return ok_status();
        }));
    }
    return out;
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
        uint64_t pos = at_cursor ? cursor->entry_index + 1 : seg->scan_from(start, continuous_);
        for (uint64_t i = pos; i < seg->entry_count(); ++i) {
            const IndexEntry e = BRVL_TRY(read_entry(*seg, i));
            // A malformed entry is passed over; only a well-placed one above end ends the scan.
            if (!seg->well_placed(i, continuous_)) continue;
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
        // From the cursor the next candidate is the preceding entry, with no search.
        const bool at_cursor = cursor && *key == cursor->segment_start;
        uint64_t hi = at_cursor ? std::min(cursor->entry_index, seg->entry_count()) : seg->scan_below(end, continuous_);
        for (uint64_t i = hi; i > 0; --i) {
            const IndexEntry e = BRVL_TRY(read_entry(*seg, i - 1));
            // A malformed entry is passed over; only a well-placed one below start ends the scan.
            if (!seg->well_placed(i - 1, continuous_)) continue;
            if (e.timestamp > end) continue;
            if (e.timestamp < start) return Out();
            return Out(IndexHit{*key, i - 1, e, seg, generation_});
        }
        if (*key == kMinTs) break;
        key = greatest_at_or_below(*key - 1);
    }
    return Out();
}

}  // namespace brenvale
