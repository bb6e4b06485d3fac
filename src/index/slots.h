// Helpers shared by the source files of the index (index.cpp, directory.cpp, append.cpp,
// scan.cpp): slot arithmetic and what a slot knows, open or closed. Not part of the
// index's interface.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "error.h"
#include "index/index.h"

namespace brenvale::index_detail {

inline constexpr int64_t kMinTs = std::numeric_limits<int64_t>::min();
inline constexpr int64_t kMaxTs = std::numeric_limits<int64_t>::max();

inline uint64_t distance(int64_t from, int64_t to) {
    return static_cast<uint64_t>(to) - static_cast<uint64_t>(from);
}

// ts + k clamped to i64, for slot arithmetic that may step past the last timestamp.
inline int64_t add_clamped(int64_t ts, uint64_t k) {
    const __int128 v = static_cast<__int128>(ts) + static_cast<__int128>(k);
    return v > kMaxTs ? kMaxTs : static_cast<int64_t>(v);
}

inline std::optional<int64_t> slot_last(const IndexSlot& slot) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) {
        return seg->entry_count() > 0 ? seg->last_timestamp() : std::nullopt;
    }
    const auto& c = std::get<ClosedIndexSegment>(slot);
    return c.entry_count > 0 ? c.last_timestamp : std::nullopt;
}

inline uint64_t slot_count(const IndexSlot& slot) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) return seg->entry_count();
    return std::get<ClosedIndexSegment>(slot).entry_count;
}

inline const std::string& slot_path(const IndexSlot& slot) {
    if (const auto* seg = std::get_if<IndexSegment>(&slot)) return seg->path();
    return std::get<ClosedIndexSegment>(slot).path;
}

inline Error read_only_index_error() { return Error::invalid_data("read-only index cannot be written"); }

}  // namespace brenvale::index_detail
