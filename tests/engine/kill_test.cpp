// A short run of the dataset kill test: a few dozen kills of a writer over the four
// dataset kinds, each followed by a check in a fresh process.
#include <gtest/gtest.h>

#include "kill_harness.h"

namespace brenvale {
namespace {

// The random operations, and a writer that only rewrites one record out of order.
TEST(DatasetKillTest, KilledWriterLeavesEveryAcknowledgedRecord) {
    for (const bool rewrite_one : {false, true}) {
        SCOPED_TRACE(rewrite_one ? "rewriting one record" : "random operations");
        killtest::Options o;
        o.kills = rewrite_one ? 24 : 48;
        o.seed = static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed()) + 1;
        o.max_delay_ms = 25;
        o.rewrite_one = rewrite_one;
        const auto report = killtest::run(o);
        const std::string text = killtest::format_report(report);
        EXPECT_EQ(report.kills, o.kills);
        EXPECT_GT(report.acked_ops, o.kills) << text;
        EXPECT_TRUE(report.failures.empty()) << text;
    }
}

}  // namespace
}  // namespace brenvale
