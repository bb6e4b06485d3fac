#include "config.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "codec.h"

namespace brenvale {

namespace {

Status check_positive(std::string_view field, uint64_t value) {
    if (value == 0) return invalid_data_fmt("{} must be > 0", field);
    return ok_status();
}

}  // namespace

Status check_index_continuous(uint8_t value) {
    if (value > 1) return invalid_data_fmt("index_continuous must be 0 or 1, got {}", value);
    return ok_status();
}

Status check_retention_window(uint64_t value) {
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return invalid_data_fmt("retention_window must be <= i64::MAX, got {}", value);
    return ok_status();
}

Status DatasetConfig::validate() const {
    BRVL_TRY(check_positive("data_segment_size", data_segment_size));
    BRVL_TRY(check_positive("index_segment_size", index_segment_size));
    BRVL_TRY(check_positive("initial_data_segment_size", initial_data_segment_size));
    BRVL_TRY(check_positive("initial_index_segment_size", initial_index_segment_size));
    if (initial_data_segment_size > data_segment_size)
        return invalid_data_fmt("initial_data_segment_size must be <= data_segment_size, got {} > {}",
                                initial_data_segment_size, data_segment_size);
    if (initial_index_segment_size > index_segment_size)
        return invalid_data_fmt("initial_index_segment_size must be <= index_segment_size, got {} > {}",
                                initial_index_segment_size, index_segment_size);
    if (compress_level > config_defaults::kMaxCompressLevel)
        return invalid_data_fmt("compress_level must be <= 9, got {}", compress_level);
    BRVL_TRY(codec::check_compress_type(compress_type));
    BRVL_TRY(check_index_continuous(index_continuous));
    BRVL_TRY(check_retention_window(retention_window));
    return ok_status();
}

Status StoreConfig::validate() const {
    DatasetConfig defaults;
    defaults.data_segment_size = data_segment_size;
    defaults.index_segment_size = index_segment_size;
    defaults.initial_data_segment_size = initial_data_segment_size;
    defaults.initial_index_segment_size = initial_index_segment_size;
    defaults.compress_level = compress_level;
    defaults.compress_type = compress_type;
    BRVL_TRY(defaults.validate());
    if (retention_check_hour > config_defaults::kMaxRetentionCheckHour)
        return invalid_data_fmt("retention_check_hour must be <= 23, got {}", retention_check_hour);
    return ok_status();
}

StoreConfigBuilder& StoreConfigBuilder::compress_level(uint8_t v) {
    compress_level_ = std::min(v, config_defaults::kMaxCompressLevel);
    return *this;
}

StoreConfigBuilder& StoreConfigBuilder::retention_check_hour(uint8_t v) {
    retention_check_hour_ = std::min(v, config_defaults::kMaxRetentionCheckHour);
    return *this;
}

StoreConfig StoreConfigBuilder::build() const {
    StoreConfig c;
    c.flush_interval = flush_interval_.value_or(c.flush_interval);
    c.idle_timeout = idle_timeout_.value_or(c.idle_timeout);
    c.cache_idle_timeout = cache_idle_timeout_.value_or(c.cache_idle_timeout);
    c.data_segment_size = data_segment_size_.value_or(c.data_segment_size);
    c.index_segment_size = index_segment_size_.value_or(c.index_segment_size);
    c.initial_data_segment_size = initial_data_segment_size_.value_or(c.initial_data_segment_size);
    c.initial_index_segment_size = initial_index_segment_size_.value_or(c.initial_index_segment_size);
    c.cache_max_memory = cache_max_memory_.value_or(c.cache_max_memory);
    c.compress_level = compress_level_.value_or(c.compress_level);
    c.compress_type = compress_type_.value_or(c.compress_type);
    c.retention_check_hour = retention_check_hour_.value_or(c.retention_check_hour);
    c.enable_background_thread = enable_background_thread_.value_or(c.enable_background_thread);
    c.enable_journal = enable_journal_.value_or(c.enable_journal);
    c.read_only = read_only_.value_or(std::nullopt);
    return c;
}

DatasetConfigBuilder DatasetConfigBuilder::from_store(const StoreConfig& store) {
    DatasetConfigBuilder b;
    b.data_segment_size(store.data_segment_size)
        .index_segment_size(store.index_segment_size)
        .initial_data_segment_size(store.initial_data_segment_size)
        .initial_index_segment_size(store.initial_index_segment_size)
        .compress_type(store.compress_type)
        .retention_window(0)
        .timestamp_units_per_seconds(0)
        .index_continuous(false)
        .enable_journal(false);
    // The store's level is already within range; the setter keeps it so either way.
    b.compress_level(store.compress_level);
    return b;
}

DatasetConfigBuilder& DatasetConfigBuilder::compress_level(uint8_t v) {
    compress_level_ = std::min(v, config_defaults::kMaxCompressLevel);
    return *this;
}

Result<DatasetConfig> DatasetConfigBuilder::build() const {
    DatasetConfig c;
    c.retention_window = retention_window_.value_or(0);
    BRVL_TRY(check_retention_window(c.retention_window));
    c.data_segment_size = data_segment_size_.value_or(c.data_segment_size);
    c.index_segment_size = index_segment_size_.value_or(c.index_segment_size);
    c.initial_data_segment_size = initial_data_segment_size_.value_or(c.initial_data_segment_size);
    c.initial_index_segment_size = initial_index_segment_size_.value_or(c.initial_index_segment_size);
    c.timestamp_units_per_seconds = timestamp_units_per_seconds_.value_or(0);
    c.compress_level = compress_level_.value_or(c.compress_level);
    c.compress_type = compress_type_.value_or(c.compress_type);
    c.index_continuous = index_continuous_.value_or(0);
    c.enable_journal = enable_journal_;
    c.create_time = 0;
    BRVL_TRY(c.validate());
    return c;
}

}  // namespace brenvale
