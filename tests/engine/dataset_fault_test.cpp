// Injected I/O failures under a dataset: the n-th system call of the file layer fails
// (once with EIO, or from then on with ENOSPC like a full disk), for every n that a
// workload reaches. The operation that meets the failure returns an error and changes its
// record wholly or not at all; every earlier record stays readable; once the failures stop
// the dataset takes writes again and opens with every record.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "dataset.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::ScopedIoFaults;
using testing::TempDir;

const DataSetKey kKey{"fault", "ds"};

struct Op {
    enum Kind { Write, Append, Delete, Flush } kind;
    int64_t ts = 0;
    std::vector<uint8_t> data;
};

DatasetConfig fault_config(bool continuous, uint8_t compress_type) {
    DatasetConfig c;
    c.data_segment_size = 16 << 10;  // roll-overs and grows every few records
    c.initial_data_segment_size = 4096;
    c.index_segment_size = 512;
    c.initial_index_segment_size = 256;
    c.index_continuous = continuous ? 1 : 0;
    c.compress_type = compress_type;
    c.compress_level = 1;
    return c;
}

std::vector<Op> fault_ops(uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto data = [&](size_t n) {
        std::vector<uint8_t> d(n);
        for (auto& b : d) b = static_cast<uint8_t>(rng() % 5);
        return d;
    };
    std::vector<Op> ops;
    std::vector<int64_t> written;
    int64_t latest = 0;
    for (int i = 0; i < 70; ++i) {
        const unsigned r = static_cast<unsigned>(rng() % 16);
        if (r < 8 || written.size() < 3) {
            latest += 1 + static_cast<int64_t>(rng() % 2);
            ops.push_back({Op::Write, latest, data(40 + rng() % 2000)});
            written.push_back(latest);
        } else if (r < 10) {
            ops.push_back({Op::Write, latest, data(40 + rng() % 2000)});
        } else if (r < 11) {
            ops.push_back({Op::Append, latest, data(10 + rng() % 200)});
        } else if (r < 13) {
            ops.push_back({Op::Write, written[rng() % written.size()], data(40 + rng() % 2000)});
        } else if (r < 15) {
            ops.push_back({Op::Delete, written[rng() % written.size()], {}});
        } else {
            ops.push_back({Op::Flush, 0, {}});
        }
    }
    return ops;
}

using Model = std::map<int64_t, std::vector<uint8_t>>;

void apply(Model& m, const Op& op) {
    if (op.kind == Op::Write) m[op.ts] = op.data;
    if (op.kind == Op::Append) {
        auto& v = m[op.ts];
        v.insert(v.end(), op.data.begin(), op.data.end());
    }
    if (op.kind == Op::Delete) m.erase(op.ts);
}

Status run_op(Dataset& d, const Op& op) {
    switch (op.kind) {
        case Op::Write: return d.write(op.ts, op.data);
        case Op::Append: return d.append(op.ts, op.data);
        case Op::Delete: return d.delete_record(op.ts);
        case Op::Flush: return d.flush();
    }
    return {};
}

// The dataset holds `m` exactly, except that `alt` (the op that failed) may also show.
void expect_model(Dataset& d, const Model& m, const Model* alt, const std::string& where) {
    auto matches = [&](int64_t ts, const std::vector<uint8_t>* got) {
        auto same = [&](const Model& x) {
            auto it = x.find(ts);
            return it == x.end() ? got == nullptr : got != nullptr && *got == it->second;
        };
        return same(m) || (alt != nullptr && same(*alt));
    };
    std::set<int64_t> keys;
    for (const auto& [ts, v] : m) keys.insert(ts);
    if (alt)
        for (const auto& [ts, v] : *alt) keys.insert(ts);
    for (int64_t ts : keys) {
        auto r = d.read(ts);
        ASSERT_TRUE(r.ok()) << where << ": read " << ts << ": " << r.error().to_string();
        EXPECT_TRUE(matches(ts, r->has_value() ? &(*r)->data : nullptr)) << where << ": record " << ts;
    }
    auto all = d.query_all(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(all.ok()) << where << ": " << all.error().to_string();
    std::set<int64_t> listed;
    for (const auto& rec : *all) {
        listed.insert(rec.timestamp);
        EXPECT_TRUE(matches(rec.timestamp, &rec.data)) << where << ": listed " << rec.timestamp;
    }
    for (int64_t ts : keys) EXPECT_TRUE(listed.count(ts) || matches(ts, nullptr)) << where << ": " << ts << " not listed";
}

struct FaultMode {
    uint32_t ops;
    int error;
    bool sticky;
    bool dirty_list;
};

Dataset equip(Dataset d, const DirtyListPtr& dirty) {
    EXPECT_TRUE(d.set_identifier(5).ok());
    DatasetRuntime rt;
    rt.block_cache = std::make_shared<BlockCache>(1 << 20);
    rt.dirty_list = dirty;
    EXPECT_TRUE(d.attach_runtime(rt).ok());
    return d;
}

// Runs one op: true when it took effect, false when the dataset refused it (an append to
// a record that is no longer the last of its block or does not fit beside it, a delete of
// a deleted record), which changes nothing. `failed` receives an error of any other cause.
bool step(Dataset& d, Model& m, const Op& op, std::optional<Error>* failed) {
    Status st = run_op(d, op);
    if (st.ok()) {
        apply(m, op);
        return true;
    }
    const ErrorKind k = st.error().kind();
    if (k != ErrorKind::NotFound && k != ErrorKind::InvalidData && k != ErrorKind::SegmentFull)
        *failed = std::move(st).error();
    return false;
}

// Runs the workload with the plan's n-th call failing; false when the workload never
// reaches that call.
bool run_with_fault(const FaultMode& mode, const DatasetConfig& cfg, const std::vector<Op>& ops, uint64_t n) {
    TempDir dir;
    const std::string path = dir.file("ds");
    DirtyListPtr dirty = mode.dirty_list ? std::make_shared<DirtyList>() : nullptr;
    auto created = Dataset::create(kKey, path, cfg);
    EXPECT_TRUE(created.ok());
    if (!created.ok()) return false;
    std::optional<Dataset> d(equip(std::move(*created), dirty));
    const std::string where = fmt::format("call {}", n);
    Model model;
    size_t i = 0;
    std::optional<ScopedIoFaults> faults;
    faults.emplace(mode.ops, n, mode.error, mode.sticky);
    for (; i < ops.size(); ++i) {
        const uint64_t failures = io_calls_failed();
        std::optional<Error> failed;
        Model before = model;
        step(*d, model, ops[i], &failed);
        if (io_calls_failed() > failures && model == before) break;  // this op met the failure
        EXPECT_FALSE(failed) << where << ", op " << i << ": " << failed->to_string();
    }
    if (io_calls_failed() == 0) return false;
    if (i == ops.size()) return true;  // the failure was absorbed (a grow replaced by a roll-over, ...)

    // The failed op changed its record wholly or not at all; the others are untouched,
    // while the disk is still full and after a reopen once it has room again.
    Model after = model;
    apply(after, ops[i]);
    expect_model(*d, model, &after, where + " (failing)");
    faults.reset();
    if (n % 2 == 1) {  // every other run goes on with the same handle
        Status closed = d->close();
        EXPECT_TRUE(closed.ok()) << where << ": " << closed.error().to_string();
        d.reset();
        auto opened = Dataset::open(kKey, path);
        EXPECT_TRUE(opened.ok()) << where << ": " << opened.error().to_string();
        if (!opened.ok()) return true;
        d.emplace(equip(std::move(*opened), dirty));
        expect_model(*d, model, &after, where + " (reopened)");
    }

    // Repeat the failed op unless it took effect, then finish the workload.
    auto now = d->read(ops[i].ts);
    EXPECT_TRUE(now.ok());
    auto it = after.find(ops[i].ts);
    const bool took_effect = model != after && now.ok() &&
                             (it == after.end() ? !now->has_value() : now->has_value() && (*now)->data == it->second);
    if (took_effect) {
        model = after;
        ++i;
    }
    for (; i < ops.size(); ++i) {
        std::optional<Error> failed;
        step(*d, model, ops[i], &failed);
        EXPECT_FALSE(failed) << where << ", op " << i << " after: " << failed->to_string();
    }
    EXPECT_TRUE(d->close().ok()) << where;
    auto last = Dataset::open(kKey, path);
    EXPECT_TRUE(last.ok()) << where;
    if (last.ok()) expect_model(*last, model, nullptr, where + " (final)");
    return true;
}

void run_fault_modes(const FaultMode& mode, bool continuous, uint8_t compress_type, uint64_t seed) {
    const DatasetConfig cfg = fault_config(continuous, compress_type);
    const std::vector<Op> ops = fault_ops(seed);
    uint64_t n = 0;
    while (run_with_fault(mode, cfg, ops, n)) {
        if (::testing::Test::HasFailure()) return;
        ++n;
    }
    EXPECT_GT(n, 20u) << "the workload makes few calls of this kind";
}

TEST(DatasetFaultTest, FullDiskAtEveryCallKeepsEarlierRecordsAndWritesResume) {
    run_fault_modes({io_op::kDiskFull, ENOSPC, true, true}, false, 0, 1);
    run_fault_modes({io_op::kDiskFull, ENOSPC, true, false}, true, 1, 2);
}

TEST(DatasetFaultTest, OneFailedCallOfAnyKindIsReportedAndRecovered) {
    run_fault_modes({io_op::kAll, EIO, false, true}, true, 0, 3);
    run_fault_modes({io_op::kAll, EIO, false, false}, false, 1, 4);
}

// Writes records over several data and index segments; returns what they hold.
Model fill(Dataset& d, int count) {
    Model m;
    for (int64_t ts = 1; ts <= count; ++ts) {
        std::vector<uint8_t> v(100 + static_cast<size_t>(ts) * 7 % 900, static_cast<uint8_t>(ts));
        EXPECT_TRUE(d.write(ts, v).ok());
        m[ts] = v;
    }
    return m;
}

// A flush whose n-th msync fails returns the error and keeps what it did not sync dirty:
// the next flush syncs it. Failing again and again does not grow the dirty list.
TEST(DatasetFaultTest, FailedFlushKeepsChangesDirtyAndALaterFlushSyncsThem) {
    for (bool with_list : {true, false}) {
        for (uint64_t n = 0;; ++n) {
            SCOPED_TRACE(fmt::format("dirty list {}, msync {}", with_list, n));
            TempDir dir;
            DirtyListPtr dirty = with_list ? std::make_shared<DirtyList>() : nullptr;
            Dataset d = equip(std::move(*Dataset::create(kKey, dir.file("ds"), fault_config(false, 0))), dirty);
            const Model m = fill(d, 120);
            Status failed;
            {
                ScopedIoFaults faults(io_op::kMsync, n, EIO);
                failed = d.flush();
                if (io_calls_failed() == 0) {
                    EXPECT_TRUE(failed.ok());
                    EXPECT_GE(n, 2u);  // the newest data and index segments at least
                    break;
                }
            }
            ASSERT_FALSE(failed.ok());
            EXPECT_TRUE(failed.error().is_io_code(EIO)) << failed.error().to_string();
            if (with_list) {
                {
                    ScopedIoFaults full(io_op::kMsync, 0, EIO, /*sticky=*/true);
                    const size_t listed = dirty->size();
                    for (int i = 0; i < 4; ++i) EXPECT_FALSE(d.flush().ok());
                    EXPECT_LE(dirty->size(), listed) << "the dirty list grows with each failed flush";
                }
                // The next flush syncs what is left; after it nothing is dirty.
                ScopedIoFaults count(io_op::kMsync, UINT64_MAX, EIO);
                ASSERT_TRUE(d.flush().ok());
                EXPECT_GT(io_calls_seen(), 0u);
                EXPECT_EQ(dirty->size(), 0u);
                const uint64_t synced = io_calls_seen();
                ASSERT_TRUE(d.flush().ok());
                EXPECT_EQ(io_calls_seen(), synced);
            } else {
                ASSERT_TRUE(d.flush().ok());
            }
            ASSERT_TRUE(d.close().ok());
            auto back = Dataset::open(kKey, dir.file("ds"));
            ASSERT_TRUE(back.ok());
            expect_model(*back, m, nullptr, "reopened");
            if (::testing::Test::HasFailure()) return;
        }
    }
}

// A create or an open whose n-th file-layer call fails returns the error; then a create
// (no meta yet) or an open (meta written) without failures succeeds with every record.
TEST(DatasetFaultTest, FailedCreateOrOpenStepLeavesADatasetThatOpens) {
    for (uint64_t n = 0;; ++n) {
        SCOPED_TRACE(fmt::format("create, call {}", n));
        TempDir dir;
        const std::string path = dir.file("ds");
        {
            ScopedIoFaults faults(io_op::kAll, n, EIO);
            auto created = Dataset::create(kKey, path, fault_config(true, 1));
            if (io_calls_failed() == 0) {
                EXPECT_GT(n, 5u);
                break;
            }
            EXPECT_FALSE(created.ok());
        }
        auto again = *path_exists(path + "/meta") ? Dataset::open(kKey, path) : Dataset::create(kKey, path, fault_config(true, 1));
        ASSERT_TRUE(again.ok()) << again.error().to_string();
        ASSERT_TRUE(again->write(5, std::vector<uint8_t>{5}).ok());
    }
    TempDir source;
    Model m;
    {
        Dataset d = equip(std::move(*Dataset::create(kKey, source.file("ds"), fault_config(false, 0))), nullptr);
        m = fill(d, 150);
        ASSERT_TRUE(d.close().ok());
    }
    // A version 1 state file makes the open rewrite it as well.
    std::string v1(64, '\0');
    std::memcpy(v1.data(), "DSSF", 4);
    store_u32(reinterpret_cast<uint8_t*>(v1.data()) + 4, 1);
    for (uint64_t n = 0;; ++n) {
        SCOPED_TRACE(fmt::format("open, call {}", n));
        TempDir dir;
        const std::string path = dir.file("ds");
        std::filesystem::copy(source.file("ds"), path, std::filesystem::copy_options::recursive);
        ASSERT_TRUE(write_file_atomic(path + "/state", v1).ok());
        {
            ScopedIoFaults faults(io_op::kAll, n, EIO);
            auto opened = Dataset::open(kKey, path);
            if (opened.ok()) (void)opened->read(1);  // segments open lazily
            if (io_calls_failed() == 0) {
                EXPECT_GT(n, 3u);
                break;
            }
        }
        auto opened = Dataset::open(kKey, path);
        ASSERT_TRUE(opened.ok()) << opened.error().to_string();
        expect_model(*opened, m, nullptr, "reopened");
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace brenvale
