// Store-wide settings (StoreConfig) and the settings of one dataset (DatasetConfig), each
// produced by a builder whose fields are all optional, with defaults, clamps and validation.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "error.h"

namespace brenvale {

namespace config_defaults {
inline constexpr std::chrono::nanoseconds kFlushInterval = std::chrono::seconds(15);
inline constexpr std::chrono::nanoseconds kIdleTimeout = std::chrono::seconds(1800);
inline constexpr std::chrono::nanoseconds kCacheIdleTimeout = std::chrono::seconds(1800);
inline constexpr uint64_t kDataSegmentSize = 67108864;       // 64 MiB
inline constexpr uint64_t kIndexSegmentSize = 16777216;      // 16 MiB
inline constexpr uint64_t kInitialDataSegmentSize = 262144;  // 256 KiB
inline constexpr uint64_t kInitialIndexSegmentSize = 16384;  // 16 KiB
inline constexpr uint64_t kCacheMaxMemory = 268435456;       // 256 MiB
inline constexpr uint8_t kCompressLevel = 6;
inline constexpr uint8_t kCompressType = 0;
inline constexpr uint8_t kRetentionCheckHour = 0;
inline constexpr uint8_t kMaxCompressLevel = 9;
inline constexpr uint8_t kMaxRetentionCheckHour = 23;
}  // namespace config_defaults

// The resolved store-wide settings; every field is present. Default-constructed = the defaults.
struct StoreConfig {
    std::chrono::nanoseconds flush_interval = config_defaults::kFlushInterval;
    std::chrono::nanoseconds idle_timeout = config_defaults::kIdleTimeout;
    std::chrono::nanoseconds cache_idle_timeout = config_defaults::kCacheIdleTimeout;
    uint64_t data_segment_size = config_defaults::kDataSegmentSize;
    uint64_t index_segment_size = config_defaults::kIndexSegmentSize;
    uint64_t initial_data_segment_size = config_defaults::kInitialDataSegmentSize;
    uint64_t initial_index_segment_size = config_defaults::kInitialIndexSegmentSize;
    uint64_t cache_max_memory = config_defaults::kCacheMaxMemory;
    uint8_t compress_level = config_defaults::kCompressLevel;
    uint8_t compress_type = config_defaults::kCompressType;
    uint8_t retention_check_hour = config_defaults::kRetentionCheckHour;
    bool enable_background_thread = true;
    bool enable_journal = true;
    // true: read-only; false: writable or fail; unset: writable when the lock can be had.
    std::optional<bool> read_only;

    bool operator==(const StoreConfig&) const = default;

    // The dataset rules applied to the store's defaults, then the retention hour.
    Status validate() const;
};

class StoreConfigBuilder {
public:
    StoreConfigBuilder& flush_interval(std::chrono::nanoseconds v) { flush_interval_ = v; return *this; }
    StoreConfigBuilder& idle_timeout(std::chrono::nanoseconds v) { idle_timeout_ = v; return *this; }
    StoreConfigBuilder& cache_idle_timeout(std::chrono::nanoseconds v) { cache_idle_timeout_ = v; return *this; }
    StoreConfigBuilder& data_segment_size(uint64_t v) { data_segment_size_ = v; return *this; }
    StoreConfigBuilder& index_segment_size(uint64_t v) { index_segment_size_ = v; return *this; }
    StoreConfigBuilder& initial_data_segment_size(uint64_t v) { initial_data_segment_size_ = v; return *this; }
    StoreConfigBuilder& initial_index_segment_size(uint64_t v) { initial_index_segment_size_ = v; return *this; }
    StoreConfigBuilder& cache_max_memory(uint64_t v) { cache_max_memory_ = v; return *this; }
    // Values above 9 are lowered to 9.
    StoreConfigBuilder& compress_level(uint8_t v);
    StoreConfigBuilder& compress_type(uint8_t v) { compress_type_ = v; return *this; }
    // Values above 23 are lowered to 23.
    StoreConfigBuilder& retention_check_hour(uint8_t v);
    StoreConfigBuilder& enable_background_thread(bool v) { enable_background_thread_ = v; return *this; }
    StoreConfigBuilder& enable_journal(bool v) { enable_journal_ = v; return *this; }
    // Gives read_only, possibly as unset (std::nullopt); not calling it leaves it not given.
    StoreConfigBuilder& read_only(std::optional<bool> v) { read_only_ = v; return *this; }

    // Fills every field not given with its default; never fails.
    StoreConfig build() const;

private:
    std::optional<std::chrono::nanoseconds> flush_interval_;
    std::optional<std::chrono::nanoseconds> idle_timeout_;
    std::optional<std::chrono::nanoseconds> cache_idle_timeout_;
    std::optional<uint64_t> data_segment_size_;
    std::optional<uint64_t> index_segment_size_;
    std::optional<uint64_t> initial_data_segment_size_;
    std::optional<uint64_t> initial_index_segment_size_;
    std::optional<uint64_t> cache_max_memory_;
    std::optional<uint8_t> compress_level_;
    std::optional<uint8_t> compress_type_;
    std::optional<uint8_t> retention_check_hour_;
    std::optional<bool> enable_background_thread_;
    std::optional<bool> enable_journal_;
    // Outer: given or not; inner: the value given, which may be unset.
    std::optional<std::optional<bool>> read_only_;
};

// The resolved settings of one dataset, fixed at its creation and kept in its meta file.
struct DatasetConfig {
    uint64_t data_segment_size = config_defaults::kDataSegmentSize;
    uint64_t index_segment_size = config_defaults::kIndexSegmentSize;
    uint64_t initial_data_segment_size = config_defaults::kInitialDataSegmentSize;
    uint64_t initial_index_segment_size = config_defaults::kInitialIndexSegmentSize;
    uint64_t retention_window = 0;             // 0 = no retention; at most i64::MAX
    uint64_t timestamp_units_per_seconds = 0;  // 0 = legacy retention, Unix-second stamps
    uint64_t create_time = 0;                  // ms since the Unix epoch; 0 until created
    uint8_t compress_level = config_defaults::kCompressLevel;
    uint8_t compress_type = config_defaults::kCompressType;
    uint8_t index_continuous = 0;  // 0 sparse, 1 continuous
    bool enable_journal = false;

    bool operator==(const DatasetConfig&) const = default;

    // Checks the values in a fixed order and reports the first failure.
    Status validate() const;
};

class DatasetConfigBuilder {
public:
    // A builder carrying the store's dataset defaults: the four sizes, compress level and type.
    static DatasetConfigBuilder from_store(const StoreConfig& store);

    DatasetConfigBuilder& data_segment_size(uint64_t v) { data_segment_size_ = v; return *this; }
    DatasetConfigBuilder& index_segment_size(uint64_t v) { index_segment_size_ = v; return *this; }
    DatasetConfigBuilder& initial_data_segment_size(uint64_t v) { initial_data_segment_size_ = v; return *this; }
    DatasetConfigBuilder& initial_index_segment_size(uint64_t v) { initial_index_segment_size_ = v; return *this; }
    DatasetConfigBuilder& retention_window(uint64_t v) { retention_window_ = v; return *this; }
    DatasetConfigBuilder& timestamp_units_per_seconds(uint64_t v) { timestamp_units_per_seconds_ = v; return *this; }
    // Values above 9 are lowered to 9.
    DatasetConfigBuilder& compress_level(uint8_t v);
    DatasetConfigBuilder& compress_type(uint8_t v) { compress_type_ = v; return *this; }
    DatasetConfigBuilder& index_continuous(bool v) { index_continuous_ = v ? 1 : 0; return *this; }
    DatasetConfigBuilder& enable_journal(bool v) { enable_journal_ = v; return *this; }

    // Resolves the defaults and validates; the creation time stays 0.
    Result<DatasetConfig> build() const;

private:
    std::optional<uint64_t> data_segment_size_;
    std::optional<uint64_t> index_segment_size_;
    std::optional<uint64_t> initial_data_segment_size_;
    std::optional<uint64_t> initial_index_segment_size_;
    std::optional<uint64_t> retention_window_;
    std::optional<uint64_t> timestamp_units_per_seconds_;
    std::optional<uint8_t> compress_level_;
    std::optional<uint8_t> compress_type_;
    std::optional<uint8_t> index_continuous_;
    bool enable_journal_ = false;
};

// 0 (sparse) or 1 (continuous), else "index_continuous must be 0 or 1, got {}".
Status check_index_continuous(uint8_t value);
// At most i64::MAX, else "retention_window must be <= i64::MAX, got {}".
Status check_retention_window(uint64_t value);

}  // namespace brenvale
