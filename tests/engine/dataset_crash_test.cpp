// A killed process must leave the dataset state file and the dataset itself openable, with
// every acknowledged change kept and the change in flight either whole or absent. A child
// runs a fixed workload and ends itself at the k-th crash point, for every k.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>

#include "crash_test_util.h"
#include "dataset.h"
#include "dataset_state.h"
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
    DatasetStateFields fields;
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
    DatasetStateFields v1;
    v1.stats_watermark = 11;
    v1.min_timestamp = 22;
    v1.max_timestamp = 33;
    v1.total_record_count = 44;
    v1.total_data_size = 55;
    v1.total_uncompressed_size = 66;
    v1.total_invalid_record_count = 77;
    const DatasetStateFields initial[3] = {DatasetStateFields{}, v1, DatasetStateFields{}};

    for (long k = 1; k <= total; ++k) {
        TempDir root;
        prepare_state_dirs(root);
        auto run = testing::run_to_crash_point(prefixes, k, [&](int fd) { return state_workload(root.path(), fd, nullptr); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const size_t done = run.acks.size();
        ASSERT_LT(done, trace.size());
        for (int d = 0; d < 3; ++d) {
            DatasetStateFields expected = initial[d];
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

struct DsOp {
    enum Kind { Write, Append, Delete, Flush, Reopen } kind;
    int64_t ts = 0;
    std::vector<uint8_t> data;
};

DatasetConfig crash_config(bool continuous, uint8_t compress_type) {
    DatasetConfig c;
    c.data_segment_size = 16 << 10;  // roll-overs every few records
    c.initial_data_segment_size = 4096;
    c.index_segment_size = 512;  // 12 entries per index segment
    c.initial_index_segment_size = 256;
    c.index_continuous = continuous ? 1 : 0;
    c.compress_type = compress_type;
    c.compress_level = 1;
    return c;
}

// New latest records with gaps, corrections and appends of the latest, out-of-order
// replacements, deletes, flushes and reopens.
std::vector<DsOp> dataset_ops(bool continuous) {
    std::mt19937_64 rng(continuous ? 7 : 8);
    auto data = [&](size_t n) {
        std::vector<uint8_t> d(n);
        for (auto& b : d) b = static_cast<uint8_t>(rng() % 7);  // compressible but not uniform
        return d;
    };
    std::vector<DsOp> ops;
    std::vector<int64_t> written;
    int64_t latest = 0;
    for (int i = 0; i < 90; ++i) {
        const unsigned r = static_cast<unsigned>(rng() % 20);
        if (r < 9 || written.size() < 3) {
            latest += 1 + static_cast<int64_t>(rng() % 3);
            ops.push_back({DsOp::Write, latest, data(50 + rng() % 2500)});
            written.push_back(latest);
        } else if (r < 11) {
            ops.push_back({DsOp::Write, latest, data(50 + rng() % 2500)});  // correction
        } else if (r < 13) {
            ops.push_back({DsOp::Append, latest, data(10 + rng() % 300)});
        } else if (r < 16) {
            int64_t ts = written[rng() % written.size()];
            if (continuous && rng() % 2) ts = latest - 1;  // may be a filler slot
            ops.push_back({DsOp::Write, ts, data(50 + rng() % 2500)});
        } else if (r < 18) {
            ops.push_back({DsOp::Delete, written[rng() % written.size()], {}});
        } else if (r < 19) {
            ops.push_back({DsOp::Flush, 0, {}});
        } else {
            ops.push_back({DsOp::Reopen, 0, {}});
        }
    }
    return ops;
}

const DataSetKey kCrashKey{"crash", "ds"};
constexpr uint32_t kRefused = 1u << 31;

int dataset_workload(const std::string& path, const DatasetConfig& cfg, const std::vector<DsOp>& ops, int fd) {
    auto created = Dataset::create(kCrashKey, path, cfg);
    if (!created.ok()) return 2;
    std::optional<Dataset> d(std::move(*created));
    for (size_t i = 0; i < ops.size(); ++i) {
        const DsOp& op = ops[i];
        Status st;
        switch (op.kind) {
            case DsOp::Write: st = d->write(op.ts, op.data); break;
            case DsOp::Append: st = d->append(op.ts, op.data); break;
            case DsOp::Delete: st = d->delete_record(op.ts); break;
            case DsOp::Flush: st = d->flush(); break;
            case DsOp::Reopen: {
                st = d->close();
                if (st.ok()) {
                    auto opened = Dataset::open(kCrashKey, path);
                    if (!opened.ok()) return 4;
                    d.emplace(std::move(*opened));
                }
                break;
            }
        }
        // A refusal (a deleted record deleted again, an append to a record that is no longer
        // the last of its block) changes nothing and is reported as such.
        uint32_t report = static_cast<uint32_t>(i);
        if (!st.ok()) {
            const ErrorKind kind = st.error().kind();
            if (kind != ErrorKind::NotFound && kind != ErrorKind::InvalidData) return 3;
            report |= kRefused;
        }
        if (!testing::ack(fd, report)) return 5;
    }
    return 0;
}

using Model = std::map<int64_t, std::vector<uint8_t>>;

void apply(Model& m, const DsOp& op) {
    switch (op.kind) {
        case DsOp::Write: m[op.ts] = op.data; break;
        case DsOp::Append: {
            auto& v = m[op.ts];
            v.insert(v.end(), op.data.begin(), op.data.end());
            break;
        }
        case DsOp::Delete: m.erase(op.ts); break;
        default: break;
    }
}

// Every record of `done` is read back byte-exact; the record of the op in flight holds its
// old or its new value; iterators and the bitmap agree; the dataset takes a new record.
void check_dataset(const std::string& path, const Model& done, const Model& flight, const std::string& where) {
    auto opened = Dataset::open(kCrashKey, path);
    ASSERT_TRUE(opened.ok()) << where << ": " << opened.error().to_string();
    Dataset& d = *opened;
    std::set<int64_t> keys;
    for (const auto& [ts, v] : done) keys.insert(ts);
    for (const auto& [ts, v] : flight) keys.insert(ts);
    // Whether a record (or its absence, nullptr) is the old or the new state of ts.
    auto agrees = [&](int64_t ts, const std::vector<uint8_t>* got) {
        auto same = [&](const Model& m) {
            auto it = m.find(ts);
            return it == m.end() ? got == nullptr : got != nullptr && *got == it->second;
        };
        return same(done) || same(flight);
    };
    for (int64_t ts : keys) {
        auto r = d.read(ts);
        ASSERT_TRUE(r.ok()) << where << ": read " << ts << ": " << r.error().to_string();
        const std::vector<uint8_t>* got = r->has_value() ? &(*r)->data : nullptr;
        EXPECT_TRUE(agrees(ts, got)) << where << ": record " << ts << " has " << (got ? got->size() : 0) << " bytes";
    }
    auto all = d.query_all(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(all.ok()) << where << ": " << all.error().to_string();
    for (const auto& rec : *all) EXPECT_TRUE(agrees(rec.timestamp, &rec.data)) << where << ": listed " << rec.timestamp;
    for (int64_t ts : keys) {
        bool listed = std::any_of(all->begin(), all->end(), [&](const Record& r) { return r.timestamp == ts; });
        EXPECT_TRUE(listed || agrees(ts, nullptr)) << where << ": " << ts << " not listed";
    }
    auto back = d.query(INT64_MIN, INT64_MAX)->reverse().collect_all();
    ASSERT_TRUE(back.ok()) << where << ": " << back.error().to_string();
    ASSERT_EQ(back->size(), all->size()) << where;
    for (size_t i = 0; i < all->size(); ++i) EXPECT_EQ((*back)[all->size() - 1 - i].timestamp, (*all)[i].timestamp);
    if (!keys.empty()) {
        const int64_t lo = *keys.begin();
        auto bits = d.query_exist(lo, *keys.rbegin());
        ASSERT_TRUE(bits.ok()) << where;
        size_t set = 0;
        for (uint8_t b : *bits) set += static_cast<size_t>(__builtin_popcount(b));
        EXPECT_EQ(set, all->size()) << where;
        for (const auto& rec : *all) {
            const uint64_t bit = static_cast<uint64_t>(rec.timestamp - lo);
            EXPECT_TRUE((*bits)[bit / 8] >> (bit % 8) & 1) << where << ": bit of " << rec.timestamp;
        }
    }
    const int64_t next = d.latest_timestamp().value_or(0) + 1;
    ASSERT_TRUE(d.write(next, std::vector<uint8_t>{1, 2, 3}).ok()) << where;
    EXPECT_EQ((*d.read(next))->data, (std::vector<uint8_t>{1, 2, 3})) << where;
}

void run_dataset_crash_points(bool continuous, uint8_t compress_type) {
    const std::vector<std::string> prefixes = {"dataset.", "state."};
    const DatasetConfig cfg = crash_config(continuous, compress_type);
    const std::vector<DsOp> ops = dataset_ops(continuous);
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
                             "state.persist", "state.persist.written"})
        EXPECT_TRUE(steps.count(name)) << "the workload never reaches " << name;
    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        auto run = testing::run_to_crash_point(prefixes, k, [&](int fd) {
            return dataset_workload(dir.file("ds"), cfg, ops, fd);
        });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        Model done;
        for (uint32_t a : run.acks)
            if ((a & kRefused) == 0) apply(done, ops[a]);
        Model flight = done;
        apply(flight, ops[run.acks.size()]);
        if (run.acks.empty() && !*path_exists(dir.file("ds/meta"))) continue;  // killed in create
        check_dataset(dir.file("ds"), done, flight, fmt::format("crash point {} after {} ops", k, run.acks.size()));
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(DatasetCrash, EveryDatasetAndStateCrashPointKeepsAcknowledgedRecordsSparseZstd) {
    run_dataset_crash_points(false, 0);
}
TEST(DatasetCrash, EveryDatasetAndStateCrashPointKeepsAcknowledgedRecordsContinuousDeflate) {
    run_dataset_crash_points(true, 1);
}

}  // namespace
}  // namespace brenvale
