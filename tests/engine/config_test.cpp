#include "config.h"

#include <gtest/gtest.h>

namespace brenvale {
namespace {

using namespace std::chrono_literals;

void expect_invalid(const Status& s, const std::string& text) {
    ASSERT_FALSE(s.ok()) << "expected: " << text;
    EXPECT_EQ(s.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(s.error().to_string(), "invalid data: " + text);
}

void expect_invalid(const Result<DatasetConfig>& r, const std::string& text) {
    ASSERT_FALSE(r.ok()) << "expected: " << text;
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().to_string(), "invalid data: " + text);
}

// ---- StoreConfig ----

TEST(StoreConfigTest, BuilderDefaults) {
    StoreConfig c = StoreConfigBuilder().build();
    EXPECT_EQ(c.flush_interval, 15s);
    EXPECT_EQ(c.idle_timeout, 1800s);
    EXPECT_EQ(c.cache_idle_timeout, 1800s);
    EXPECT_EQ(c.data_segment_size, 67108864u);
    EXPECT_EQ(c.index_segment_size, 16777216u);
    EXPECT_EQ(c.initial_data_segment_size, 262144u);
    EXPECT_EQ(c.initial_index_segment_size, 16384u);
    EXPECT_EQ(c.cache_max_memory, 268435456u);
    EXPECT_EQ(c.compress_level, 6);
    EXPECT_EQ(c.compress_type, 0);
    EXPECT_EQ(c.retention_check_hour, 0);
    EXPECT_TRUE(c.enable_background_thread);
    EXPECT_TRUE(c.enable_journal);
    EXPECT_FALSE(c.read_only.has_value());
    EXPECT_EQ(c, StoreConfig{});
    EXPECT_TRUE(c.validate().ok());
}

TEST(StoreConfigTest, BuilderKeepsGivenValues) {
    StoreConfig c = StoreConfigBuilder()
                        .flush_interval(1500ms)
                        .idle_timeout(2s)
                        .cache_idle_timeout(0s)
                        .data_segment_size(1048576)
                        .index_segment_size(65536)
                        .initial_data_segment_size(4096)
                        .initial_index_segment_size(1024)
                        .cache_max_memory(0)
                        .compress_level(3)
                        .compress_type(1)
                        .retention_check_hour(5)
                        .enable_background_thread(false)
                        .enable_journal(false)
                        .read_only(true)
                        .build();
    EXPECT_EQ(c.flush_interval, 1500ms);  // sub-second parts are kept
    EXPECT_EQ(c.idle_timeout, 2s);
    EXPECT_EQ(c.cache_idle_timeout, 0s);
    EXPECT_EQ(c.data_segment_size, 1048576u);
    EXPECT_EQ(c.index_segment_size, 65536u);
    EXPECT_EQ(c.initial_data_segment_size, 4096u);
    EXPECT_EQ(c.initial_index_segment_size, 1024u);
    EXPECT_EQ(c.cache_max_memory, 0u);
    EXPECT_EQ(c.compress_level, 3);
    EXPECT_EQ(c.compress_type, 1);
    EXPECT_EQ(c.retention_check_hour, 5);
    EXPECT_FALSE(c.enable_background_thread);
    EXPECT_FALSE(c.enable_journal);
    EXPECT_EQ(c.read_only, std::optional<bool>(true));
    EXPECT_TRUE(c.validate().ok());
}

TEST(StoreConfigTest, ReadOnlyStates) {
    EXPECT_EQ(StoreConfigBuilder().build().read_only, std::nullopt);
    EXPECT_EQ(StoreConfigBuilder().read_only(std::nullopt).build().read_only, std::nullopt);
    EXPECT_EQ(StoreConfigBuilder().read_only(false).build().read_only, std::optional<bool>(false));
    EXPECT_EQ(StoreConfigBuilder().read_only(true).build().read_only, std::optional<bool>(true));
    // A later call replaces an earlier one, also with unset.
    EXPECT_EQ(StoreConfigBuilder().read_only(true).read_only(std::nullopt).build().read_only, std::nullopt);
}

TEST(StoreConfigTest, SettersClamp) {
    EXPECT_EQ(StoreConfigBuilder().compress_level(200).build().compress_level, 9);
    EXPECT_EQ(StoreConfigBuilder().compress_level(9).build().compress_level, 9);
    EXPECT_EQ(StoreConfigBuilder().compress_level(10).build().compress_level, 9);
    EXPECT_EQ(StoreConfigBuilder().compress_level(0).build().compress_level, 0);
    EXPECT_EQ(StoreConfigBuilder().retention_check_hour(30).build().retention_check_hour, 23);
    EXPECT_EQ(StoreConfigBuilder().retention_check_hour(24).build().retention_check_hour, 23);
    EXPECT_EQ(StoreConfigBuilder().retention_check_hour(255).build().retention_check_hour, 23);
    EXPECT_EQ(StoreConfigBuilder().retention_check_hour(23).build().retention_check_hour, 23);
}

TEST(StoreConfigTest, ValidateAppliesDatasetRulesThenHour) {
    StoreConfig c;
    c.initial_data_segment_size = c.data_segment_size + 1;
    expect_invalid(c.validate(), "initial_data_segment_size must be <= data_segment_size, got 67108865 > 67108864");

    c = StoreConfig{};
    c.index_segment_size = 0;
    expect_invalid(c.validate(), "index_segment_size must be > 0");

    c = StoreConfig{};
    c.compress_level = 10;  // only reachable by setting the field directly
    expect_invalid(c.validate(), "compress_level must be <= 9, got 10");

    c = StoreConfig{};
    c.compress_type = 2;
    expect_invalid(c.validate(), "unknown compress_type 2");

    c = StoreConfig{};
    c.retention_check_hour = 24;
    expect_invalid(c.validate(), "retention_check_hour must be <= 23, got 24");
    c.retention_check_hour = 23;
    EXPECT_TRUE(c.validate().ok());

    // The dataset rules come before the hour.
    c.retention_check_hour = 99;
    c.data_segment_size = 0;
    expect_invalid(c.validate(), "data_segment_size must be > 0");
}

// ---- DatasetConfig ----

TEST(DatasetConfigTest, BuilderDefaults) {
    auto r = DatasetConfigBuilder().build();
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    const DatasetConfig& c = *r;
    EXPECT_EQ(c.data_segment_size, 67108864u);
    EXPECT_EQ(c.index_segment_size, 16777216u);
    EXPECT_EQ(c.initial_data_segment_size, 262144u);
    EXPECT_EQ(c.initial_index_segment_size, 16384u);
    EXPECT_EQ(c.retention_window, 0u);
    EXPECT_EQ(c.timestamp_units_per_seconds, 0u);
    EXPECT_EQ(c.create_time, 0u);
    EXPECT_EQ(c.compress_level, 6);
    EXPECT_EQ(c.compress_type, 0);
    EXPECT_EQ(c.index_continuous, 0);
    EXPECT_FALSE(c.enable_journal);
}

TEST(DatasetConfigTest, BuilderSettersAndClamp) {
    auto r = DatasetConfigBuilder()
                 .data_segment_size(8192)
                 .index_segment_size(4096)
                 .initial_data_segment_size(8192)  // equal sizes are accepted
                 .initial_index_segment_size(4096)
                 .retention_window(3600)
                 .timestamp_units_per_seconds(1000)
                 .compress_level(200)
                 .compress_type(1)
                 .index_continuous(true)
                 .enable_journal(true)
                 .build();
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_EQ(r->data_segment_size, 8192u);
    EXPECT_EQ(r->initial_data_segment_size, 8192u);
    EXPECT_EQ(r->index_segment_size, 4096u);
    EXPECT_EQ(r->initial_index_segment_size, 4096u);
    EXPECT_EQ(r->retention_window, 3600u);
    EXPECT_EQ(r->timestamp_units_per_seconds, 1000u);
    EXPECT_EQ(r->compress_level, 9);
    EXPECT_EQ(r->compress_type, 1);
    EXPECT_EQ(r->index_continuous, 1);
    EXPECT_TRUE(r->enable_journal);
    EXPECT_EQ(r->create_time, 0u);

    EXPECT_EQ(DatasetConfigBuilder().index_continuous(true).index_continuous(false).build()->index_continuous, 0);
}

TEST(DatasetConfigTest, FromStoreCarriesStoreDefaults) {
    StoreConfig s = StoreConfigBuilder()
                        .data_segment_size(1048576)
                        .index_segment_size(131072)
                        .initial_data_segment_size(65536)
                        .initial_index_segment_size(8192)
                        .compress_level(2)
                        .compress_type(1)
                        .enable_journal(true)
                        .build();
    auto r = DatasetConfigBuilder::from_store(s).build();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data_segment_size, 1048576u);
    EXPECT_EQ(r->index_segment_size, 131072u);
    EXPECT_EQ(r->initial_data_segment_size, 65536u);
    EXPECT_EQ(r->initial_index_segment_size, 8192u);
    EXPECT_EQ(r->compress_level, 2);
    EXPECT_EQ(r->compress_type, 1);
    EXPECT_EQ(r->retention_window, 0u);
    EXPECT_EQ(r->index_continuous, 0);
    EXPECT_FALSE(r->enable_journal);  // the store's journal flag is not inherited
}

TEST(DatasetConfigTest, ValidateMessagesInOrder) {
    // Each step breaks one more rule than the last; the earliest broken rule is reported.
    DatasetConfig c;
    EXPECT_TRUE(c.validate().ok());

    c.retention_window = uint64_t{1} << 63;
    expect_invalid(c.validate(), "retention_window must be <= i64::MAX, got 9223372036854775808");
    c.index_continuous = 2;
    expect_invalid(c.validate(), "index_continuous must be 0 or 1, got 2");
    c.compress_type = 7;
    expect_invalid(c.validate(), "unknown compress_type 7");
    c.compress_level = 10;
    expect_invalid(c.validate(), "compress_level must be <= 9, got 10");
    c.initial_index_segment_size = c.index_segment_size + 4;
    expect_invalid(c.validate(), "initial_index_segment_size must be <= index_segment_size, got 16777220 > 16777216");
    c.initial_data_segment_size = 70000000;
    expect_invalid(c.validate(), "initial_data_segment_size must be <= data_segment_size, got 70000000 > 67108864");
    c.initial_index_segment_size = 0;
    expect_invalid(c.validate(), "initial_index_segment_size must be > 0");
    c.initial_data_segment_size = 0;
    expect_invalid(c.validate(), "initial_data_segment_size must be > 0");
    c.index_segment_size = 0;
    expect_invalid(c.validate(), "index_segment_size must be > 0");
    c.data_segment_size = 0;
    expect_invalid(c.validate(), "data_segment_size must be > 0");
}

TEST(DatasetConfigTest, ValidateTakesValuesInOrder) {
    auto config = [](uint64_t initial_data, uint64_t initial_index, uint8_t continuous, uint64_t retention) {
        DatasetConfig c;
        c.data_segment_size = 100;
        c.index_segment_size = 50;
        c.compress_level = 9;
        c.compress_type = 1;
        c.index_continuous = continuous;
        c.initial_data_segment_size = initial_data;
        c.initial_index_segment_size = initial_index;
        c.retention_window = retention;
        return c;
    };
    EXPECT_TRUE(config(100, 50, 1, 0).validate().ok());
    expect_invalid(config(101, 50, 1, 0).validate(),
                   "initial_data_segment_size must be <= data_segment_size, got 101 > 100");
    expect_invalid(config(100, 51, 1, 0).validate(),
                   "initial_index_segment_size must be <= index_segment_size, got 51 > 50");
    expect_invalid(config(100, 50, 3, 0).validate(), "index_continuous must be 0 or 1, got 3");
    expect_invalid(config(100, 50, 1, UINT64_MAX).validate(),
                   "retention_window must be <= i64::MAX, got 18446744073709551615");
}

TEST(DatasetConfigTest, BuildChecksRetentionWindowFirst) {
    expect_invalid(DatasetConfigBuilder().data_segment_size(0).build(), "data_segment_size must be > 0");
    expect_invalid(DatasetConfigBuilder().data_segment_size(0).retention_window(uint64_t{1} << 63).build(),
                   "retention_window must be <= i64::MAX, got 9223372036854775808");

    auto max = DatasetConfigBuilder().retention_window(9223372036854775807ULL).build();
    ASSERT_TRUE(max.ok()) << max.error().to_string();
    EXPECT_EQ(max->retention_window, 9223372036854775807ULL);
    expect_invalid(DatasetConfigBuilder().retention_window(9223372036854775808ULL).build(),
                   "retention_window must be <= i64::MAX, got 9223372036854775808");
}

TEST(DatasetConfigTest, SingleFieldChecks) {
    EXPECT_TRUE(check_index_continuous(0).ok());
    EXPECT_TRUE(check_index_continuous(1).ok());
    expect_invalid(check_index_continuous(255), "index_continuous must be 0 or 1, got 255");
    EXPECT_TRUE(check_retention_window(0).ok());
    EXPECT_TRUE(check_retention_window(9223372036854775807ULL).ok());
    expect_invalid(check_retention_window(9223372036854775808ULL),
                   "retention_window must be <= i64::MAX, got 9223372036854775808");
}

}  // namespace
}  // namespace brenvale
