// Helpers of the store tests: a small-segment configuration and record reads as text.
#pragma once

#include <optional>
#include <string>

#include "store/store.h"
#include "test_util.h"

namespace brenvale::testing {

// Small segments, no background thread, no journal unless asked.
inline StoreConfig small_store_config(std::optional<bool> read_only = false, bool journal = false) {
    return StoreConfigBuilder()
        .data_segment_size(1 << 16)
        .initial_data_segment_size(4096)
        .index_segment_size(4096)
        .initial_index_segment_size(1024)
        .cache_max_memory(1 << 20)
        .enable_background_thread(false)
        .enable_journal(journal)
        .read_only(read_only)
        .build();
}

inline std::string read_text(Dataset d, int64_t ts) {
    auto r = d.read(ts);
    if (!r.ok()) return "error: " + r.error().to_string();
    if (!r->has_value()) return "<none>";
    return text((*r)->data);
}

// The value of a Result that must be ok; the error's text otherwise.
template <typename T>
std::string error_text(const Result<T>& r) {
    return r.ok() ? "<ok>" : r.error().to_string();
}

}  // namespace brenvale::testing
