// A killed journal must never hand a sequence out twice: a child appends records (new
// segments, pending blocks, seals, single-record blocks, roll-overs) and ends itself at
// the k-th crash point, for every k; the parent reopens the log read-only and writable
// and checks every acknowledged record and the next sequence.
#include <gtest/gtest.h>

#include "crash_test_util.h"
#include "journal/journal.h"
#include "journal/log.h"
#include "paths.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kOps = 45;

Bytes payload(uint32_t i) {
    if (i == 12) return testing::random_bytes(300000, i);  // a block of its own
    if (i % 5 == 2) return testing::random_bytes(70000, i);
    return testing::pattern_bytes(3000, static_cast<uint8_t>(i));
}

JournalLogOptions options(uint8_t type) { return JournalLogOptions{512 * 1024, 64 * 1024, type, 3}; }

int workload(const std::string& logs, uint8_t type, int fd) {
    auto log = JournalLog::open(logs, options(type));
    if (!log.ok()) return 2;
    for (uint32_t i = 0; i < kOps; ++i) {
        auto seq = log->append(payload(i));
        if (!seq.ok() || *seq != i + 1) return 3;
        if (!testing::ack(fd, i)) return 4;
    }
    return 0;
}

std::map<std::string, Bytes> snapshot(const std::string& dir) {
    std::map<std::string, Bytes> out;
    auto names = list_dir(dir);
    if (names.ok())
        for (const auto& n : *names) out[n] = testing::file_bytes(join_path(dir, n));
    return out;
}

// The acknowledged records read back exactly; the one in flight is there whole or not at
// all. Returns whether the one in flight is there.
bool check_records(JournalLog& log, uint32_t acked, long k, bool with_in_flight = true) {
    for (uint32_t i = 0; i < acked; ++i) {
        auto e = log.read(i + 1);
        EXPECT_TRUE(e.ok() && e->has_value() && (*e)->payload == payload(i)) << "crash point " << k << " seq " << i + 1;
    }
    if (acked == kOps || !with_in_flight) return false;
    auto e = log.read(acked + 1);
    EXPECT_TRUE(e.ok()) << "crash point " << k;
    const bool present = e.ok() && e->has_value();
    if (present) {
        EXPECT_EQ((*e)->payload, payload(acked)) << "crash point " << k;
    }
    return present;
}

void run(uint8_t type) {
    std::set<std::string> steps;
    long total = 0;
    {
        TempDir dir;
        int rc = -1;
        total = testing::count_crash_points({}, [&](int fd) { return workload(dir.file("logs"), type, fd); }, &steps,
                                            &rc);
        ASSERT_EQ(rc, 0);
    }
    for (const char* step :
         {"journal.create.file", "journal.create.header", "journal.create.renamed", "append.frame",
          "append.block_header", "append.stats", "append.pending_size", "append.commit", "new_block.block",
          "new_block.stats", "new_block.pending_fields", "new_block.commit", "single.block", "single.stats",
          "seal.staged", "seal.block_header", "seal.copy_half", "seal.copied", "seal.wrote_position", "seal.commit"})
        EXPECT_TRUE(steps.count(step)) << "the workload never reaches " << step;

    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        const std::string logs = dir.file("logs");
        const testing::CrashRun run =
            testing::run_to_crash_point({}, k, [&](int fd) { return workload(logs, type, fd); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const auto acked = static_cast<uint32_t>(run.acks.size());
        const std::string data = paths::journal_data_dir(logs);

        {
            const auto before = snapshot(data);
            auto ro = JournalLog::open_read_only(logs, options(type));
            ASSERT_TRUE(ro.ok()) << "crash point " << k << ": " << ro.error().to_string();
            if (ro->has_value()) check_records(**ro, acked, k);
            EXPECT_EQ(snapshot(data), before) << "crash point " << k << ": a reader changed the files";
        }

        LogCapture logs_seen;
        auto log = JournalLog::open(logs, options(type));
        ASSERT_TRUE(log.ok()) << "crash point " << k << ": " << log.error().to_string();
        EXPECT_EQ(logs_seen.count_starting("[journal] segment "), 0u) << "crash point " << k << ": records lost";
        const bool in_flight = check_records(*log, acked, k);
        // No gap and no reuse: the next sequence follows the last record kept.
        EXPECT_EQ(log->next_sequence(), acked + 1u + (in_flight ? 1 : 0)) << "crash point " << k;
        const Bytes extra = {9, 9, 9};
        auto seq = log->append(extra);
        ASSERT_TRUE(seq.ok()) << "crash point " << k << ": " << seq.error().to_string();
        ASSERT_TRUE(log->flush().ok());
        log = Result<JournalLog>(Error::invalid_data("closed"));

        logs_seen.clear();
        auto again = JournalLog::open(logs, options(type));
        ASSERT_TRUE(again.ok()) << "crash point " << k;
        check_records(*again, acked, k, /*with_in_flight=*/false);
        auto e = again->read(static_cast<int64_t>(*seq));
        EXPECT_TRUE(e.ok() && e->has_value() && (*e)->payload == extra) << "crash point " << k;
        for (const auto& r : logs_seen.records())
            EXPECT_EQ(r.level == log::Level::Warn, false) << "crash point " << k << ": repaired twice: " << r.message;
        if (::testing::Test::HasFailure()) return;
    }
}

// A consumer group over the journal, killed at any step of appending, handing out,
// acknowledging or flushing: reopened, it delivers every sequence it had not acknowledged,
// each with the record appended under it, never another record under a sequence. (An
// acknowledged entry above committed may come again: delivery is at least once.)
struct ConsumerEvent {
    enum : uint32_t { Appended = 1, Acking = 2, Acked = 3 };
};

int consumer_workload(const std::string& root, int fd) {
    auto journal = Journal::open(root, StoreConfig{});
    if (!journal.ok()) return 2;
    auto queue = (*journal)->open_queue();
    if (!queue.ok()) return 2;
    auto group = queue->open_consumer("g", *ConsumerConfig::create(0, 0));
    if (!group.ok()) return 2;
    for (uint32_t i = 0; i < 12; ++i) {
        auto seq = (*journal)->append(JournalRecord::record_write(i + 1, {int64_t(i), i, 0}));
        if (!seq.ok() || !testing::ack(fd, ConsumerEvent::Appended << 16 | uint32_t(**seq))) return 3;
        if (i % 2 == 0) continue;
        auto polled = group->poll(0);
        if (!polled.ok() || !polled->has_value()) return 4;
        if (i % 3 != 0) {
            // An acknowledgement in flight when the kill comes may or may not count.
            if (!testing::ack(fd, ConsumerEvent::Acking << 16 | uint32_t((*polled)->sequence))) return 5;
            if (!group->ack(int64_t((*polled)->sequence)).ok()) return 5;
            if (!testing::ack(fd, ConsumerEvent::Acked << 16 | uint32_t((*polled)->sequence))) return 5;
        }
        if (i % 4 == 1 && !(*journal)->flush().ok()) return 6;
    }
    return 0;
}

TEST(JournalCrash, ConsumerGroupKilledAtAnyStepDeliversWhatItDidNotAcknowledge) {
    TempDir probe;
    const long total = testing::count_crash_points({}, [&](int fd) { return consumer_workload(probe.path(), fd); });
    ASSERT_GT(total, 50);
    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        const testing::CrashRun run =
            testing::run_to_crash_point({}, k, [&](int fd) { return consumer_workload(dir.path(), fd); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        std::set<uint64_t> appended, acking, acked;  // acked: reported done
        for (uint32_t a : run.acks) {
            const uint32_t kind = a >> 16;
            (kind == ConsumerEvent::Appended ? appended : kind == ConsumerEvent::Acking ? acking : acked)
                .insert(a & 0xFFFF);
        }

        auto journal = Journal::open(dir.path(), StoreConfig{});
        ASSERT_TRUE(journal.ok()) << "crash point " << k << ": " << journal.error().to_string();
        auto queue = (*journal)->open_queue();
        ASSERT_TRUE(queue.ok());
        auto group = queue->open_consumer("g", *ConsumerConfig::create(0, 0));
        ASSERT_TRUE(group.ok()) << "crash point " << k << ": " << group.error().to_string();
        std::set<uint64_t> delivered;
        for (;;) {
            auto polled = group->poll(0);
            ASSERT_TRUE(polled.ok()) << "crash point " << k;
            if (!polled->has_value()) break;
            const uint64_t seq = (*polled)->sequence;
            ASSERT_TRUE(delivered.insert(seq).second) << "crash point " << k << ": " << seq << " twice";
            auto rec = JournalRecord::decode((*polled)->payload);
            ASSERT_TRUE(rec.ok());
            EXPECT_EQ(rec->identifier, seq) << "crash point " << k << ": another record under " << seq;
            ASSERT_TRUE(group->ack(static_cast<int64_t>(seq)).ok());
        }
        for (uint64_t seq : appended)
            EXPECT_TRUE(acking.count(seq) || delivered.count(seq)) << "crash point " << k << ": " << seq << " lost";
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(JournalCrash, EveryCrashPointKeepsSequencesZstd) { run(0); }
TEST(JournalCrash, EveryCrashPointKeepsSequencesDeflate) { run(1); }

}  // namespace
}  // namespace brenvale
