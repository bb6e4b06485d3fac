// Retention: the threshold below which records are expired, and the pass that deletes
// whole segment files below it.
#include "dataset/inner.h"

namespace brenvale {

using namespace dataset_detail;

Result<int64_t> now_in_units(uint64_t units) {
    auto now = unix_now();
    if (now.count() < 0) return Error::invalid_data("system time is before Unix epoch");
    int64_t secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    if (units == 0) return secs;
    __int128 product = static_cast<__int128>(secs) * static_cast<__int128>(units);
    if (product > INT64_MAX) return Error::invalid_data("wall-clock timestamp exceeds i64 timestamp range");
    return static_cast<int64_t>(product);
}

namespace dataset_detail {

// The retention threshold: nothing when there is none.
Result<std::optional<int64_t>> retention_threshold(const DatasetInner& in) {
    uint64_t window = in.config.retention_window;
    if (window == 0) return std::optional<int64_t>();
    if (window > static_cast<uint64_t>(INT64_MAX))
        return invalid_data_fmt("retention_window {} exceeds i64 range", window);
    int64_t w = static_cast<int64_t>(window);
    if (in.config.timestamp_units_per_seconds != 0) {
        int64_t now = BRVL_TRY(now_in_units(in.config.timestamp_units_per_seconds));
        int64_t t = saturating_sub(now, w);
        int64_t floor = in.state.fields().retention_floor;
        if (floor != INT64_MAX && floor > t) t = floor;
        return std::optional<int64_t>(t);
    }
    if (!in.latest_written_timestamp) return std::optional<int64_t>();
    return std::optional<int64_t>(saturating_sub(*in.latest_written_timestamp, w));
}

Status check_retention(const DatasetInner& in, int64_t ts) {
    auto threshold = BRVL_TRY(retention_threshold(in));
    if (threshold && ts < *threshold)
        return Error::expired(fmt::format("timestamp {} is older than retention threshold {}", ts, *threshold));
    return {};
}

// Whether ts is below the threshold (reads: nothing, no error).
Result<bool> is_expired(const DatasetInner& in, int64_t ts) {
    auto threshold = BRVL_TRY(retention_threshold(in));
    return threshold.has_value() && ts < *threshold;
}

// start raised to the threshold.
Result<int64_t> raise_to_threshold(const DatasetInner& in, int64_t start) {
    auto threshold = BRVL_TRY(retention_threshold(in));
    return threshold && *threshold > start ? *threshold : start;
}

}  // namespace dataset_detail

// ---- retention ----

Result<uint64_t> Dataset::reclaim_expired() {
    {
        Guard g = BRVL_TRY(lock());
        if (g->runtime.read_only) return Error::invalid_data("read-only dataset cannot reclaim expired segments");
    }
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    auto t = BRVL_TRY(retention_threshold(in));
    if (!t) return uint64_t{0};
    int64_t threshold = *t;
    // A wall-clock threshold is recorded as the retention floor, which never moves back.
    if (in.config.timestamp_units_per_seconds != 0) threshold = BRVL_TRY(in.state.advance_retention_floor(*t));
    const MonoInstant remembered = in.last_activity;
    BRVL_TRY(inner_flush(in));
    BRVL_TRY(in.segments.close_all());
    BRVL_TRY(in.index.close_segments());
    uint64_t removed = in.index.reclaim(threshold);
    auto stats = in.segments.reclaim(threshold);
    removed += stats.size();
    for (const auto& s : stats) {
        if (s.base < in.state.stats_watermark())
            BRVL_TRY(in.state.subtract_stats(totals_of(s)));
    }
    BRVL_TRY(in.state.update_range(in.index.visible_range()));
    in.last_activity = remembered;
    return removed;
}

}  // namespace brenvale
