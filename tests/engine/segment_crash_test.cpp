// A killed process must leave every segment openable and every acknowledged record
// readable. A child process runs a fixed workload and ends itself with _exit at the k-th
// crash point, for every k; the parent reopens the files and checks them.
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "crash_test_util.h"
#include "kill_harness.h"
#include "segment/set.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::pattern_bytes;
using testing::random_bytes;
using testing::TempDir;

constexpr uint64_t kSpan = 524288;
constexpr uint64_t kInitial = 131072;

struct Op {
    enum Kind { Write, Append, Correct } kind;
    int64_t ts = 0;      // Write
    int target = -1;     // Append / Correct: index of the op that wrote the record
    size_t size = 0;
    uint64_t seed = 0;
    bool random = true;

    std::vector<uint8_t> bytes() const {
        return random ? random_bytes(size, seed) : pattern_bytes(size, static_cast<uint8_t>(seed));
    }
};

// Covers: file creation, a new pending block, appends into it, appends to and corrections
// (shrinking and growing) of its last record, growing the file, a seal, a single-record
// block, then in the file at its size limit a record up to its end, a shrinking correction
// of it in place, a seal in place and a roll-over.
const std::vector<Op>& workload() {
    static const std::vector<Op> ops = {
        {Op::Write, 1, -1, 1000, 1, false},
        {Op::Write, 2, -1, 30000, 2, true},
        {Op::Append, 0, 1, 500, 3, true},
        {Op::Correct, 0, 1, 100, 4, true},
        {Op::Correct, 0, 1, 2000, 5, true},
        {Op::Write, 3, -1, 100000, 6, true},
        {Op::Write, 4, -1, 150000, 7, false},
        {Op::Write, 5, -1, 20000, 8, true},
        {Op::Write, 6, -1, 300000, 9, true},
        {Op::Write, 7, -1, 5000, 10, true},
        {Op::Append, 0, 9, 100, 11, true},
        {Op::Write, 8, -1, 5000, 12, false},
        {Op::Correct, 0, 11, 64, 13, true},
        {Op::Write, 9, -1, 90960, 14, true},
        {Op::Correct, 0, 13, 1000, 15, true},
        {Op::Write, 10, -1, 50000, 16, true},
        {Op::Write, 11, -1, 39000, 17, false},
        {Op::Write, 12, -1, 200000, 18, false},
    };
    return ops;
}

struct Ack {
    uint32_t op;
    uint32_t in_block;
    uint64_t offset;
};

// Runs the workload; after each op that returned, reports it on the pipe.
int run_workload(const std::string& dir, uint8_t type, int fd) {
    auto set = SegmentSet::create_dir(dir, {kSpan, kInitial, 3, type});
    if (!set.ok()) return 2;
    std::vector<SegmentWrite> at(workload().size());
    for (size_t i = 0; i < workload().size(); ++i) {
        const Op& op = workload()[i];
        const auto data = op.bytes();
        Ack ack{static_cast<uint32_t>(i), 0, 0};
        if (op.kind == Op::Write) {
            auto r = set->write(op.ts, data, nullptr);
            if (!r.ok()) return 3;
            at[i] = *r;
            ack.offset = r->block_offset();
            ack.in_block = r->in_block;
        } else {
            const SegmentWrite& w = at[static_cast<size_t>(op.target)];
            if (op.kind == Op::Append) {
                if (!set->append_at(w.block_offset(), w.in_block, data).ok()) return 4;
            } else if (!set->correction_write(w.block_offset(), w.in_block, data).ok()) {
                return 4;
            }
        }
        if (!testing::ack<Ack>(fd, ack)) return 5;
    }
    return 0;
}

struct Expected {
    int64_t ts;
    uint64_t offset;
    uint16_t in_block;
    std::vector<uint8_t> data;
    std::vector<std::vector<uint8_t>> alternatives;  // also acceptable (op in flight)
};

void check_records(SegmentSet& set, const std::vector<Expected>& model, long k) {
    for (const auto& e : model) {
        auto r = set.read_record(e.offset, e.in_block, nullptr);
        ASSERT_TRUE(r.ok()) << "crash point " << k << ": " << r.error().to_string();
        EXPECT_EQ(r->timestamp, e.ts) << "crash point " << k;
        bool match = r->data == e.data;
        for (const auto& alt : e.alternatives) match = match || r->data == alt;
        EXPECT_TRUE(match) << "crash point " << k << ": record " << e.ts << " has " << r->data.size() << " bytes";
    }
}

// The segments' counters match the records they hold: a record cut off by the repair is
// not counted, one kept is. A write in flight may or may not have been kept.
void check_counters(SegmentSet& set, const std::vector<Expected>& model, const Op* in_flight, long k) {
    uint64_t count = 0, raw = 0;
    for (uint64_t base : set.bases()) {
        auto seg = set.get(base);
        if (!seg.ok()) continue;  // a file the kill left without a header holds nothing
        count += (*seg)->record_count();
        raw += (*seg)->raw_record_bytes();
    }
    uint64_t model_raw = 0;
    for (const auto& e : model) {
        auto r = set.read_record(e.offset, e.in_block, nullptr);
        ASSERT_TRUE(r.ok());
        model_raw += r->data.size() + kFrameHeadLen;
    }
    const bool maybe_one_more = in_flight != nullptr && in_flight->kind == Op::Write;
    const bool exact = count == model.size() && raw == model_raw;
    const bool with_in_flight =
        maybe_one_more && count == model.size() + 1 && raw == model_raw + in_flight->size + kFrameHeadLen;
    EXPECT_TRUE(exact || with_in_flight) << "crash point " << k << ": " << count << " records, " << raw
                                         << " raw bytes for " << model.size() << " records of " << model_raw;
}

void run_crash_points(uint8_t type) {
    // A full run counts the crash points and the steps they name.
    long total = 0;
    {
        TempDir dir;
        std::set<std::string> steps;
        int rc = -1;
        total = testing::count_crash_points({}, [&](int fd) { return run_workload(dir.path(), type, fd); }, &steps, &rc);
        ASSERT_EQ(rc, 0);
        for (const char* name :
             {"stage.created", "in_place.begin", "create.file", "create.header_fields", "create.header", "append.frame", "append.block_header",
              "append.stats", "append.pending_size", "append.commit", "new_block.block", "new_block.stats",
              "new_block.pending_fields", "new_block.commit", "single.block", "single.stats", "seal.staged",
              "seal.block_header", "seal.copy_half", "seal.copied", "seal.wrote_position", "seal.commit",
              "append_to.data", "append_to.block_header", "append_to.pending_size", "append_to.commit",
              "correct.staged", "correct.commit", "correct.copied", "correct.applied"})
            EXPECT_TRUE(steps.count(name)) << "workload never reaches " << name;
    }
    ASSERT_GT(total, 40);

    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        const auto run =
            testing::run_to_crash_point<Ack>({}, k, [&](int fd) { return run_workload(dir.path(), type, fd); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const std::vector<Ack>& acks = run.acks;

        // The model of what the acknowledged ops left, and what the op in flight may leave.
        std::vector<Expected> model;
        std::vector<int> record_of(workload().size(), -1);
        for (const Ack& ack : acks) {
            const Op& op = workload()[ack.op];
            if (op.kind == Op::Write) {
                record_of[ack.op] = static_cast<int>(model.size());
                model.push_back({op.ts, ack.offset, static_cast<uint16_t>(ack.in_block), op.bytes(), {}});
            } else {
                Expected& e = model[static_cast<size_t>(record_of[static_cast<size_t>(op.target)])];
                auto d = op.bytes();
                if (op.kind == Op::Append) e.data.insert(e.data.end(), d.begin(), d.end());
                else e.data = d;
            }
        }
        if (acks.size() < workload().size()) {
            const Op& op = workload()[acks.size()];
            if (op.kind != Op::Write) {
                Expected& e = model[static_cast<size_t>(record_of[static_cast<size_t>(op.target)])];
                if (op.kind == Op::Append) {
                    auto grown = e.data;
                    auto d = op.bytes();
                    grown.insert(grown.end(), d.begin(), d.end());
                    e.alternatives.push_back(grown);
                } else {
                    e.alternatives.push_back(op.bytes());  // a correction is all or nothing
                }
            }
        }

        const std::string data_dir = join_path(dir.path(), "data");
        auto files = [&] {
            std::map<std::string, std::vector<uint8_t>> out;
            const std::vector<std::string> names = list_dir(data_dir).value();
            for (const auto& name : names) out[name] = testing::file_bytes(join_path(data_dir, name));
            return out;
        };
        {
            // A reader sees the same records without repairing or removing anything.
            const auto before = files();
            auto reader = SegmentSet::open_dir(dir.path(), {kSpan, kInitial, 3, type, /*read_only=*/true});
            ASSERT_TRUE(reader.ok()) << "crash point " << k;
            check_records(*reader, model, k);
            ASSERT_TRUE(reader->close_all().ok());
            EXPECT_TRUE(files() == before) << "crash point " << k;
        }
        auto set = SegmentSet::open_dir(dir.path(), {kSpan, kInitial, 3, type});
        ASSERT_TRUE(set.ok()) << "crash point " << k;
        check_records(*set, model, k);
        check_counters(*set, model, acks.size() < workload().size() ? &workload()[acks.size()] : nullptr, k);
        // New records are taken, and the repaired files read back the same after another reopen.
        auto w = set->write(1000, std::vector<uint8_t>{1, 2, 3}, nullptr);
        ASSERT_TRUE(w.ok()) << "crash point " << k << ": " << w.error().to_string();
        model.push_back({1000, w->block_offset(), w->in_block, {1, 2, 3}, {}});
        check_records(*set, model, k);
        ASSERT_TRUE(set->close_all().ok());
        // At rest every file is in its layout, with counters equal to its records.
        SegmentStats at_rest;
        EXPECT_EQ(killtest::check_files_at_rest(dir.path(), &at_rest), "") << "crash point " << k;

        LogCapture logs;
        auto again = SegmentSet::open_dir(dir.path(), {kSpan, kInitial, 3, type});
        ASSERT_TRUE(again.ok());
        check_records(*again, model, k);
        for (const auto& rec : logs.records())
            EXPECT_EQ(rec.message.find("[DataSegment open]"), std::string::npos)
                << "crash point " << k << ": repaired twice: " << rec.message;
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(SegmentCrash, EveryCrashPointLeavesReadableSegmentsZstd) { run_crash_points(0); }
TEST(SegmentCrash, EveryCrashPointLeavesReadableSegmentsDeflate) { run_crash_points(1); }

}  // namespace
}  // namespace brenvale
