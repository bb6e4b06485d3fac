// The searches of an index segment, on the mapping: lookups, bounds, range lists, and the
// placement checks that keep a damaged entry from hiding its neighbours.
#include <algorithm>

#include "index/segment.h"

namespace brenvale {

namespace {

// Distance from start to ts when ts >= start (always representable as u64).
uint64_t distance(int64_t from, int64_t to) { return static_cast<uint64_t>(to) - static_cast<uint64_t>(from); }

}  // namespace

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
    if (i > 0 && ts_at(i - 1) >= t && blamed(i, i - 1, n)) return false;
    if (i + 1 < n && t >= ts_at(i + 1) && blamed(i, i + 1, n)) return false;
    return true;
}

bool IndexSegment::blamed(uint64_t i, uint64_t j, uint64_t n) const {
    const int64_t tj = ts_at(j);
    if (tj < start_ || tj > key_last_) return false;  // j is wrong on its own
    // The first entry is the segment's start (its file name): the one that differs is wrong.
    if (i == 0 || j == 0) return (ts_at(0) == start_) == (i != 0);
    // The one whose other neighbour agrees with the order is right.
    const bool oi = sparse_outlier(i, n), oj = sparse_outlier(j, n);
    if (oi != oj) return oi;
    // Else the records settle it: an entry whose record has another timestamp is wrong, and
    // so is the neighbour of one whose record has its own. Nothing known: both are kept.
    if (const std::optional<bool> own = record_agrees(i)) return !*own;
    return record_agrees(j).value_or(false);
}

std::optional<bool> IndexSegment::record_agrees(uint64_t i) const {
    if (records_ == nullptr) return std::nullopt;
    const uint8_t* p = entry_at(i);
    if (p == nullptr || !IndexEntry::reserved_zero(p)) return std::nullopt;
    const IndexEntry e = IndexEntry::decode(p);
    if (e.is_sentinel()) return std::nullopt;  // no record to ask
    const std::optional<int64_t> ts = records_->record_timestamp(e);
    if (!ts) return std::nullopt;
    return *ts == e.timestamp;
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
