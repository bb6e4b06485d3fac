// Helpers shared by the source files of the segment set (set.cpp, set_directory.cpp):
// sums of segment statistics. Not part of the set's interface.
#pragma once

#include <algorithm>
#include <cstdint>

#include "error.h"
#include "segment/data.h"

namespace brenvale::segment_detail {

inline SegmentStats empty_stats(uint64_t base) {
    SegmentStats s;
    s.base = base;
    return s;
}

inline void add_stats(SegmentStats& sum, const SegmentStats& s) {
    sum.record_count += s.record_count;
    sum.written_length += s.written_length;
    sum.raw_record_bytes += s.raw_record_bytes;
    sum.invalid_record_count += s.invalid_record_count;
    sum.min_timestamp = std::min(sum.min_timestamp, s.min_timestamp);
    sum.max_timestamp = std::max(sum.max_timestamp, s.max_timestamp);
}

}  // namespace brenvale::segment_detail
