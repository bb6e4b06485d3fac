// A short run of the dataset kill test: a few dozen kills of a writer over the four
// dataset kinds, each followed by a check in a fresh process.
#include <gtest/gtest.h>

#include "kill_harness.h"

namespace brenvale {
namespace {

TEST(DatasetKillTest, KilledWriterLeavesEveryAcknowledgedRecord) {
    killtest::Options o;
    o.kills = 48;
    o.seed = static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed()) + 1;
    o.max_delay_ms = 25;
    const auto report = killtest::run(o);
    const std::string text = killtest::format_report(report);
    EXPECT_EQ(report.kills, o.kills);
    EXPECT_GT(report.acked_ops, o.kills) << text;
    EXPECT_TRUE(report.failures.empty()) << text;
}

}  // namespace
}  // namespace brenvale
