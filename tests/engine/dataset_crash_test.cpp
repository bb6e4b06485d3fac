// A killed process must leave the dataset state file and the dataset itself openable, with
// every acknowledged change kept and the change in flight either whole or absent. A child
// runs a fixed workload and ends itself at the k-th crash point, for every k.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>

#include "crash_test_util.h"
#include "dataset/dataset.h"
#include "dataset/state_file.h"
#include "kill_harness.h"
#include "record_model.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

// ---- the state file ----

std::string v1_state() {
    std::string b(64, '\0');
    auto* p = reinterpret_cast<uint8_t*>(b.data());
    std::memcpy(p, "DSSF", 4);
    store_u32(p + 4, 1);
    for (int i = 1; i < 8; ++i) store_u64(p + 8 * i, static_cast<uint64_t>(i * 11));
    return b;
}

// Directory a holds no state file, b a version 1 file, c an invalid one. Each op reports
// the directory it changed and the fields it left.
struct StateStep {
    int dir;
    DatasetStateRecord fields;
};

int state_workload(const std::string& root, int fd, std::vector<StateStep>* trace) {
    std::optional<DatasetStateFile> files[3];
    const char* names[3] = {"a", "b", "c"};
    const std::vector<std::pair<int, std::function<Status(std::optional<DatasetStateFile>&, const std::string&)>>>
        ops = {
            {0, [](auto& f, const std::string& d) -> Status { f = BRVL_TRY(DatasetStateFile::open_or_create(d)); return {}; }},
            {0, [](auto& f, auto&) { DatasetStateFile::Totals t{10, 1000, 1200, 1}; return f->add_segment_totals(4096, &t, 1); }},
            {0, [](auto& f, auto&) { return f->set_range(-5, 50); }},
            {0, [](auto& f, auto&) { return f->increment_invalid(); }},
            {0, [](auto& f, auto&) { return f->subtract_stats({3, 300, 360, 0}); }},
            {0, [](auto& f, auto&) -> Status { BRVL_TRY(f->advance_retention_floor(20)); return {}; }},
            {0, [](auto& f, auto&) { return f->close(); }},
            {1, [](auto& f, const std::string& d) -> Status { f = BRVL_TRY(DatasetStateFile::open_or_create(d)); return {}; }},
            {1, [](auto& f, auto&) { DatasetStateFile::Totals t{1, 2, 3, 4}; return f->add_segment_totals(8192, &t, 1); }},
            {2, [](auto& f, const std::string& d) -> Status { f = BRVL_TRY(DatasetStateFile::open_or_create(d)); return {}; }},
            {2, [](auto& f, auto&) { return f->set_range(1, 2); }},
        };
    for (size_t i = 0; i < ops.size(); ++i) {
        const int d = ops[i].first;
        if (!ops[i].second(files[d], join_path(root, names[d])).ok()) return 3;
        if (trace != nullptr) trace->push_back({d, files[d]->fields()});
        if (!testing::ack(fd, static_cast<uint32_t>(i))) return 5;
    }
    return 0;
}

void prepare_state_dirs(const TempDir& root) {
    for (const char* d : {"a", "b", "c"}) ASSERT_TRUE(create_dir_all(root.file(d)).ok());
    ASSERT_TRUE(write_file_atomic(root.file("b/state"), v1_state()).ok());
    ASSERT_TRUE(write_file_atomic(root.file("c/state"), std::string(70, 'x')).ok());
}

TEST(StateFileCrash, EveryCrashPointLeavesTheOldOrTheNewRecord) {
    const std::vector<std::string> prefixes = {"state.", "atomic write"};
    std::vector<StateStep> trace;
    std::set<std::string> steps;
    long total;
    {
        TempDir root;
        prepare_state_dirs(root);
        int rc = -1;
        total = testing::count_crash_points(
            prefixes, [&](int fd) { return state_workload(root.path(), fd, &trace); }, &steps, &rc);
        ASSERT_EQ(rc, 0);
    }
    for (const char* name : {"state.persist", "state.persist.written", "state.upgrade.extended", "state.recreate",
                             "atomic write: before rename"})
        EXPECT_TRUE(steps.count(name)) << "the workload never reaches " << name;
    DatasetStateRecord v1;
    v1.stats_watermark = 11;
    v1.min_timestamp = 22;
    v1.max_timestamp = 33;
    v1.total_record_count = 44;
    v1.total_data_size = 55;
    v1.total_uncompressed_size = 66;
    v1.total_invalid_record_count = 77;
    const DatasetStateRecord initial[3] = {DatasetStateRecord{}, v1, DatasetStateRecord{}};

    for (long k = 1; k <= total; ++k) {
        TempDir root;
        prepare_state_dirs(root);
        auto run = testing::run_to_crash_point(prefixes, k, [&](int fd) { return state_workload(root.path(), fd, nullptr); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const size_t done = run.acks.size();
        ASSERT_LT(done, trace.size());
        for (int d = 0; d < 3; ++d) {
            DatasetStateRecord expected = initial[d];
            for (size_t i = 0; i < done; ++i)
                if (trace[i].dir == d) expected = trace[i].fields;
            const bool in_flight = trace[done].dir == d;
            LogCapture logs(log::Level::Warn);
            auto f = DatasetStateFile::open_or_create(root.file(std::string(1, static_cast<char>('a' + d))));
            ASSERT_TRUE(f.ok()) << "crash point " << k << ": " << f.error().to_string();
            EXPECT_TRUE(f->fields() == expected || (in_flight && f->fields() == trace[done].fields))
                << "crash point " << k << ", directory " << d << ", " << done << " ops done";
            // Only the invalid file of c is ever recreated, and only until its recreation is done.
            const bool may_recreate = d == 2 && done <= 9;
            EXPECT_TRUE(logs.records().empty() || may_recreate)
                << "crash point " << k << ": " << logs.records().front().message;
        }
        if (::testing::Test::HasFailure()) return;
    }
}

// ---- the dataset ----

using testing::RecordModel;
using testing::RecordOp;

const DataSetKey kCrashKey{"crash", "ds"};
constexpr uint32_t kRefused = 1u << 31;

int dataset_workload(const std::string& path, const DatasetConfig& cfg, const std::vector<RecordOp>& ops, int fd) {
    auto created = Dataset::create(kCrashKey, path, cfg);
    if (!created.ok()) return 2;
    std::optional<Dataset> d(std::move(*created));
    for (size_t i = 0; i < ops.size(); ++i) {
        Status st = testing::run_record_op(d, ops[i], kCrashKey, path);
        uint32_t report = static_cast<uint32_t>(i);
        if (!st.ok()) {
            if (!testing::is_refusal(st.error())) return 3;
            report |= kRefused;
        }
        if (!testing::ack(fd, report)) return 5;
    }
    return 0;
}

// Every acknowledged record reads back byte-exact (read-only, then writable), the record
// of the op in flight holds its old or its new value, the counts are those of the records,
// and the dataset takes a new record.
void check_dataset(const std::string& path, const RecordModel& done, const RecordModel& flight,
                   const std::string& where) {
    {  // as the kill left the files (a change count left odd is read through)
        auto ro = Dataset::open_read_only(kCrashKey, path);
        ASSERT_TRUE(ro.ok()) << where << ": " << ro.error().to_string();
        testing::expect_records(*ro, done, &flight, where + ", read-only");
    }
    auto opened = Dataset::open(kCrashKey, path);
    ASSERT_TRUE(opened.ok()) << where << ": " << opened.error().to_string();
    Dataset& d = *opened;
    testing::expect_records(d, done, &flight, where);
    const int64_t next = d.latest_timestamp().value_or(0) + 1;
    ASSERT_TRUE(d.write(next, std::vector<uint8_t>{1, 2, 3}).ok()) << where;
    EXPECT_EQ((*d.read(next))->data, (std::vector<uint8_t>{1, 2, 3})) << where;
}

void run_dataset_crash_points(bool continuous, uint8_t compress_type) {
    const std::vector<std::string> prefixes = {"dataset.", "state.", "index.count_due", "index.rewrite"};
    const DatasetConfig cfg = testing::small_segments(continuous, compress_type);
    const std::vector<RecordOp> ops = testing::record_ops(continuous ? 7 : 8, 90, continuous, /*reopens=*/true);
    std::set<std::string> steps;
    long total;
    {
        TempDir dir;
        int rc = -1;
        total = testing::count_crash_points(
            prefixes, [&](int fd) { return dataset_workload(dir.file("ds"), cfg, ops, fd); }, &steps, &rc);
        ASSERT_EQ(rc, 0);
    }
    for (const char* name : {"dataset.write.stored", "dataset.write.replaced", "dataset.delete.unindexed",
                             "dataset.count.segment", "index.count_due.set", "index.count_due.cleared",
                             "index.rewrite.begun", "index.rewrite.stored", "state.persist", "state.persist.written"})
        EXPECT_TRUE(steps.count(name)) << "the workload never reaches " << name;
    LogCapture logs(log::Level::Warn);
    auto logged = [&](std::string_view part) {
        const auto records = logs.records();
        return std::count_if(records.begin(), records.end(),
                             [&](const testing::LogRecord& r) { return r.message.find(part) != std::string::npos; });
    };
    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        auto run = testing::run_to_crash_point(prefixes, k, [&](int fd) {
            return dataset_workload(dir.file("ds"), cfg, ops, fd);
        });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        RecordModel done;
        for (uint32_t a : run.acks)
            if ((a & kRefused) == 0) testing::apply(done, ops[a]);
        RecordModel flight = done;
        testing::apply(flight, ops[run.acks.size()]);
        if (run.acks.empty() && !*path_exists(dir.file("ds/meta"))) continue;  // killed in create
        check_dataset(dir.file("ds"), done, flight, fmt::format("crash point {} after {} ops", k, run.acks.size()));
        if (::testing::Test::HasFailure()) return;
    }
    // A rewrite cut off inside its change count: read through by a reader, closed by a writer.
    EXPECT_GT(logged(": a rewrite of an entry did not end; reading the entries as they were left"), 0);
    EXPECT_GT(logged(": closing the change count of an interrupted rewrite"), 0);
}

TEST(DatasetCrash, EveryDatasetAndStateCrashPointKeepsAcknowledgedRecordsSparseZstd) {
    run_dataset_crash_points(false, 0);
}
TEST(DatasetCrash, EveryDatasetAndStateCrashPointKeepsAcknowledgedRecordsContinuousDeflate) {
    run_dataset_crash_points(true, 1);
}

// A writer killed inside a change, after storing some of its counters: every count is that
// of the records present, after a read-only open, a writable open and a full read, in the
// files at rest after the close, and in the read-only dataset once the writable open made
// the counts good.
TEST(DatasetCrash, CountsAfterAKillAreTheRecordsPresent) {
    struct Step {
        int64_t ts;
        size_t size;
        bool append;
        bool erase = false;
    };
    struct Case {
        const char* point;  // the first one the steps reach
        std::vector<Step> steps;
        uint64_t records, raw;  // present after the kill
        uint64_t invalid = 0;   // records the index no longer points to
        long hit = 1;           // the kill comes at this arrival at the point
    };
    // Between the index change and the count of the record it took the entry from.
    const std::vector<Step> erase = {{0, 100, false}, {1, 100, false}, {0, 0, false, true}};
    const std::vector<Step> three = {{0, 100, false}, {1, 100, false}, {2, 300000, false}};
    const Case cases[] = {
        {"new_block.stats", three, 0, 0},  // in the write of each record, 12 + 100 bytes each
        {"append.stats", three, 1, 112},
        {"single.stats", three, 2, 224},
        {"correct.commit", {{0, 100, false}, {0, 40, false}}, 1, 52},  // committed: its new 12 + 40
        {"append_to.pending_size", {{0, 101, false}, {0, 2, true}}, 1, 113},  // into the frame's padding
        {"index.count_due.set", erase, 2, 224, 0},  // the entry not changed yet
        {"dataset.delete.unindexed", erase, 2, 224, 1},
        {"dataset.write.replaced", {{0, 100, false}, {1, 100, false}, {0, 50, false}}, 3, 286, 1},
        // Between a record stored and its index entry: a new latest record counts as invalid;
        // an out-of-order write gets its entry, and the record it replaced counts as invalid.
        {"dataset.write.stored", {{0, 100, false}}, 1, 112, 1},
        {"new_block.commit", three, 1, 112, 1},  // committed, the written end not yet stored
        {"append.commit", three, 2, 224, 1},
        {"index.count_due.cleared", {{0, 100, false}}, 1, 112, 0},  // the record's fields not yet zero
        {"dataset.write.stored", {{0, 100, false}, {1, 100, false}, {0, 50, false}}, 3, 286, 1, 3},
        // The change kept before the out-of-order write stores its record: nothing changed.
        {"index.count_due.set", {{0, 100, false}, {1, 100, false}, {0, 50, false}}, 2, 224, 0},
    };
    DatasetConfig cfg = testing::small_segments(false, 0);
    cfg.data_segment_size = 1 << 20;
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("ds");
        auto run = testing::run_to_crash_point({c.point}, c.hit, [&](int) {
            auto d = Dataset::create(kCrashKey, path, cfg);
            for (const Step& s : c.steps) {
                const std::vector<uint8_t> data(s.size, 1);
                if (d.ok()) (void)(s.erase ? d->delete_record(s.ts) : s.append ? d->append(s.ts, data) : d->write(s.ts, data));
            }
            return 0;
        });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << c.point;
        auto expect_counts = [&](auto&& d, const char* when) {
            ASSERT_TRUE(d.ok()) << when;
            auto in = d->inspect();
            ASSERT_TRUE(in.ok());
            EXPECT_EQ(std::make_tuple(in->state.total_record_count, in->state.total_uncompressed_size,
                                      in->state.total_invalid_record_count),
                      std::make_tuple(c.records, c.raw, c.invalid))
                << c.point << ", " << when;
        };
        auto ro = Dataset::open_read_only(kCrashKey, path);
        expect_counts(ro, "read-only open");
        auto d = Dataset::open(kCrashKey, path);
        expect_counts(d, "writable open");
        EXPECT_EQ(d->query_all(INT64_MIN, INT64_MAX)->size(), c.records - c.invalid);
        expect_counts(d, "full read");
        ASSERT_TRUE(d->close().ok());
        expect_counts(ro, "read-only, after the writable open counted what the kill left");
        SegmentStats at_rest;
        EXPECT_EQ(killtest::check_files_at_rest(path, &at_rest), "") << c.point;
    }
}

}  // namespace
}  // namespace brenvale
