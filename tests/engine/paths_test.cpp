// Names of a store directory: one table of what parses and what does not.
#include <optional>

#include <gtest/gtest.h>

#include "paths.h"

namespace brenvale {
namespace {

TEST(Paths, DirectoryLayout) {
    const DataSetKey key{"sensor", "raw"};
    const std::string dir = paths::dataset_dir("/r", key);
    EXPECT_EQ(dir, "/r/sensor/raw");
    EXPECT_EQ(paths::meta_file(dir), "/r/sensor/raw/meta");
    EXPECT_EQ(paths::identifier_file(dir), "/r/sensor/raw/identifier");
    EXPECT_EQ(paths::state_file(dir), "/r/sensor/raw/state");
    EXPECT_EQ(paths::data_dir(dir), "/r/sensor/raw/data");
    EXPECT_EQ(paths::index_dir(dir), "/r/sensor/raw/index");
    EXPECT_EQ(paths::consumer_state_file(paths::queue_dir(dir), "g"), "/r/sensor/raw/queue/g");
    EXPECT_EQ(paths::lock_file("/r"), "/r/.lock");
    EXPECT_EQ(paths::max_identifier_file("/r"), "/r/max_identifier");
    EXPECT_EQ(paths::journal_meta_file(paths::journal_logs_dir("/r")), "/r/.journal/logs/meta");
    EXPECT_EQ(paths::journal_data_dir(paths::journal_logs_dir("/r")), "/r/.journal/logs/data");
    EXPECT_EQ(paths::journal_queue_dir("/r"), "/r/.journal/queue");
    EXPECT_EQ(paths::name_dir("/r", "sensor"), "/r/sensor");
    const std::string dropping = paths::dropping_dir("/r/sensor", 0xabc);
    EXPECT_EQ(dropping, "/r/sensor/.dropping-0000000000000abc");
    EXPECT_TRUE(paths::is_dropping_name(dropping.substr(dropping.rfind('/') + 1)));
    EXPECT_FALSE(paths::is_dropping_name("raw"));
}

TEST(Paths, SegmentNamesRoundTripAndStrayNamesAreRefused) {
    EXPECT_EQ(segment_file_name(0), "00000000000000000000");
    EXPECT_EQ(segment_file_name(67108864), "00000000000067108864");
    EXPECT_EQ(index_segment_file_name(42), "00000000000000000042");
    EXPECT_EQ(index_segment_file_name(-5), "-0000000000000000005");

    struct Case {
        const char* name;
        std::optional<uint64_t> data;
        std::optional<uint64_t> journal;
    };
    const Case cases[] = {
        {"00000000000000000001", 1, 1},
        {"00000000000000000000", 0, std::nullopt},  // journal sequences start at 1
        {"0000000000000000001", 1, std::nullopt},   // 19 digits
        {"000000000000000000001", 1, std::nullopt}, // 21 digits
        {"+0000000000000000001", 1, std::nullopt},
        {"09223372036854775807", 9223372036854775807ULL, 9223372036854775807ULL},
        {"09223372036854775808", 9223372036854775808ULL, std::nullopt},  // above i64::MAX
        {"18446744073709551615", 18446744073709551615ULL, std::nullopt},
        {"18446744073709551616", std::nullopt, std::nullopt},
        {"99999999999999999999", std::nullopt, std::nullopt},
        {"abc", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"0000000000000000001x", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_segment_file_name(c.name), c.data) << c.name;
        EXPECT_EQ(parse_journal_segment_name(c.name), c.journal) << c.name;
    }
}

}  // namespace
}  // namespace brenvale
