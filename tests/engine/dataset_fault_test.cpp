// Injected I/O failures under a dataset: the n-th system call of the file layer fails
// (once with EIO, or from then on with ENOSPC like a full disk), for every n that a
// workload reaches. The operation that meets the failure returns an error and changes its
// record wholly or not at all; every earlier record stays readable; once the failures stop
// the dataset takes writes again and opens with every record.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>

#include "dataset/dataset.h"
#include "file.h"
#include "paths.h"
#include "record_model.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::RecordOp;
using testing::ScopedIoFaults;
using testing::TempDir;
using Model = testing::RecordModel;

const DataSetKey kKey{"fault", "ds"};

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

// Runs one op and applies it to the model (and to `done`) when it took effect; `failed`
// receives an error that is not a refusal.
Status step(std::optional<Dataset>& d, const std::string& path, Model& m, std::vector<RecordOp>& done,
            const RecordOp& op, std::optional<Error>* failed) {
    Status st = testing::run_record_op(d, op, kKey, path);
    if (st.ok()) testing::apply(m, op), done.push_back(op);
    else if (!testing::is_refusal(st.error())) *failed = st.error();
    return st;
}

// The counts of a dataset are those of the same changes made with room.
void expect_totals_with_room(Dataset& d, const DatasetConfig& cfg, const std::vector<RecordOp>& done,
                             const std::string& where) {
    TempDir dir;
    std::optional<Dataset> room(equip(*Dataset::create(kKey, dir.file("ds"), cfg), nullptr));
    for (const RecordOp& op : done) ASSERT_TRUE(testing::run_record_op(room, op, kKey, dir.file("ds")).ok()) << where;
    auto counts = [](Dataset& x) {
        const DataSetState s = x.inspect()->state;
        return std::tuple(s.total_record_count, s.total_invalid_record_count, s.total_uncompressed_size,
                          s.data_segments, s.index_segments);
    };
    EXPECT_EQ(counts(d), counts(*room)) << where << ": counts differ from those made with room";
}

// A reader beside the writer, which maps each data file the writer makes at once.
Dataset* g_reader = nullptr;
void reader_maps_new_files(const char* point) {
    if (g_reader != nullptr && std::string_view(point) == "create.header") (void)g_reader->inspect();
}
struct ReaderBeside {
    explicit ReaderBeside(Dataset& r) { g_reader = &r, set_crash_hook(reader_maps_new_files); }
    ~ReaderBeside() { g_reader = nullptr, set_crash_hook(nullptr); }
};

// Runs the workload with the plan's n-th call failing; false when the workload never
// reaches that call.
bool run_with_fault(const FaultMode& mode, const DatasetConfig& cfg, const std::vector<RecordOp>& ops, uint64_t n) {
    TempDir dir;
    const std::string path = dir.file("ds");
    DirtyListPtr dirty = mode.dirty_list ? std::make_shared<DirtyList>() : nullptr;
    auto created = Dataset::create(kKey, path, cfg);
    EXPECT_TRUE(created.ok());
    if (!created.ok()) return false;
    std::optional<Dataset> d(equip(std::move(*created), dirty));
    Dataset reader = *Dataset::open_read_only(kKey, path);
    ReaderBeside beside(reader);
    const std::string where = fmt::format("call {}", n);
    Model model;
    std::vector<RecordOp> done;
    size_t i = 0;
    std::optional<ScopedIoFaults> faults;
    faults.emplace(mode.ops, n, mode.error, mode.sticky);
    for (; i < ops.size(); ++i) {
        const uint64_t failures = io_calls_failed();
        std::optional<Error> failed;
        Model before = model;
        const auto files = list_dir(paths::data_dir(path));
        Status st = step(d, path, model, done, ops[i], &failed);
        if (io_calls_failed() > failures && model == before) {  // this op met the failure
            // A full disk is no full segment, and a file made for the record does not stay.
            EXPECT_FALSE(!st.ok() && st.error().kind() == ErrorKind::SegmentFull) << where << ", op " << i;
            auto after = list_dir(paths::data_dir(path));
            if (!st.ok() && files.ok() && after.ok()) {
                EXPECT_EQ(files->size(), after->size()) << where << ", op " << i;
            }
            break;
        }
        EXPECT_FALSE(failed) << where << ", op " << i << ": " << failed->to_string();
    }
    if (io_calls_failed() == 0) return false;
    if (i == ops.size()) return true;  // the failure was absorbed (a grow replaced by a roll-over, ...)

    // The failed op changed its record wholly or not at all; the others are untouched,
    // while the disk is still full and after a reopen once it has room again.
    Model after = model;
    testing::apply(after, ops[i]);
    testing::expect_records(*d, model, &after, where + " (failing)");
    // The latest record changed in place on the full disk, as it would be with room.
    for (const RecordOp::Kind kind : {RecordOp::Append, RecordOp::Write}) {
        std::optional<Error> full;
        const std::vector<uint8_t> bytes(kind == RecordOp::Append ? 9 : 100, 2);
        if (const auto latest = d->latest_timestamp()) (void)step(d, path, model, done, {kind, *latest, bytes}, &full);
    }
    after = model;
    testing::apply(after, ops[i]);
    faults.reset();
    if (n % 2 == 1) {  // every other run goes on with the same handle
        Status closed = d->close();
        EXPECT_TRUE(closed.ok()) << where << ": " << closed.error().to_string();
        d.reset();
        auto opened = Dataset::open(kKey, path);
        EXPECT_TRUE(opened.ok()) << where << ": " << opened.error().to_string();
        if (!opened.ok()) return true;
        d.emplace(equip(std::move(*opened), dirty));
        testing::expect_records(*d, model, &after, where + " (reopened)");
    }

    // Repeat the failed op unless it took effect, then finish the workload.
    auto now = d->read(ops[i].ts);
    EXPECT_TRUE(now.ok());
    auto it = after.find(ops[i].ts);
    const bool took_effect = model != after && now.ok() &&
                             (it == after.end() ? !now->has_value() : now->has_value() && (*now)->data == it->second);
    // A call that reports an error has changed nothing.
    EXPECT_FALSE(took_effect) << where << ", op " << i << " took effect and reported an error";
    if (took_effect) {
        model = after;
        ++i;
    }
    for (; i < ops.size(); ++i) {
        std::optional<Error> failed;
        (void)step(d, path, model, done, ops[i], &failed);
        EXPECT_FALSE(failed) << where << ", op " << i << " after: " << failed->to_string();
    }
    const DataSetState counted = reader.inspect()->state;  // counts first, reads after: each maps a remade file
    EXPECT_EQ(counted.total_record_count - counted.total_invalid_record_count, model.size()) << where << " (reader)";
    testing::expect_records(reader, model, nullptr, where + " (reader)");
    EXPECT_TRUE(d->close().ok()) << where;
    auto last = Dataset::open(kKey, path);
    EXPECT_TRUE(last.ok()) << where;
    if (last.ok()) testing::expect_records(*last, model, nullptr, where + " (final)");
    if (last.ok()) expect_totals_with_room(*last, cfg, done, where);
    return true;
}

// `record_size`: every record written is made that long (0: as the workload has it).
void run_fault_modes(const FaultMode& mode, bool continuous, uint8_t compress_type, uint64_t seed,
                     size_t record_size = 0) {
    DatasetConfig cfg = testing::small_segments(continuous, compress_type);
    std::vector<RecordOp> ops = testing::record_ops(seed, 70, continuous, /*reopens=*/false);
    if (record_size != 0) {  // records larger than a new file: a roll-over's file grows for them
        cfg.data_segment_size = 128 << 10;
        cfg.initial_data_segment_size = 16 << 10;
        for (RecordOp& op : ops)
            if (op.kind == RecordOp::Write) op.data.resize(record_size, 3);
    }
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
    run_fault_modes({io_op::kDiskFull, ENOSPC, true, true}, false, 0, 5, 34000);
}

TEST(DatasetFaultTest, OneFailedCallOfAnyKindIsReportedAndRecovered) {
    run_fault_modes({io_op::kAll, EIO, false, true}, true, 0, 3);
    run_fault_modes({io_op::kAll, EIO, false, false}, false, 1, 4);
}

// Once a dataset's files are allocated, a full disk refuses no write that fits in them:
// seals and corrections stage their copies in the stage file made at its full length.
TEST(DatasetFaultTest, AFullDiskTakesEveryWriteThatFitsTheAllocatedFiles) {
    for (uint8_t type : {0, 1}) {
        SCOPED_TRACE(fmt::format("compress type {}", type));
        TempDir dir;
        DatasetConfig cfg;
        cfg.data_segment_size = cfg.initial_data_segment_size = 4 << 20;
        cfg.index_segment_size = cfg.initial_index_segment_size = 1 << 20;
        cfg.compress_type = type;
        auto d = Dataset::create(kKey, dir.file("ds"), cfg);
        ASSERT_TRUE(d.ok());
        Model m{{1, testing::bytes("first")}};
        ASSERT_TRUE(d->write(1, m[1]).ok());  // the data and index files exist from here
        {
            ScopedIoFaults full(io_op::kDiskFull, 0, ENOSPC, /*sticky=*/true);
            for (int64_t ts = 2; ts <= 2500; ++ts) {  // about 2.5 MB: several sealed blocks
                for (int version = 0; version < (ts % 5 == 0 ? 2 : 1); ++version) {  // and corrections
                    m[ts] = testing::random_bytes(1000, static_cast<uint64_t>(ts * 2 + version));
                    Status st = d->write(ts, m[ts]);
                    ASSERT_TRUE(st.ok()) << "timestamp " << ts << ": " << st.error().to_string();
                }
            }
            EXPECT_EQ(io_calls_failed(), 0u);
        }
        ASSERT_TRUE(d->close().ok());
        auto back = Dataset::open(kKey, dir.file("ds"));
        ASSERT_TRUE(back.ok());
        testing::expect_records(*back, m, nullptr, "reopened");
    }
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
            Dataset d = equip(std::move(*Dataset::create(kKey, dir.file("ds"), testing::small_segments(false, 0))), dirty);
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
            testing::expect_records(*back, m, nullptr, "reopened");
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
            auto created = Dataset::create(kKey, path, testing::small_segments(true, 1));
            if (io_calls_failed() == 0) {
                EXPECT_GT(n, 5u);
                break;
            }
            EXPECT_FALSE(created.ok());
        }
        auto again = *path_exists(path + "/meta") ? Dataset::open(kKey, path) : Dataset::create(kKey, path, testing::small_segments(true, 1));
        ASSERT_TRUE(again.ok()) << again.error().to_string();
        ASSERT_TRUE(again->write(5, std::vector<uint8_t>{5}).ok());
    }
    TempDir source;
    Model m;
    {
        Dataset d = equip(std::move(*Dataset::create(kKey, source.file("ds"), testing::small_segments(false, 0))), nullptr);
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
        testing::expect_records(*opened, m, nullptr, "reopened");
        if (::testing::Test::HasFailure()) return;
    }
}

// A read that runs out of memory (an allocation failure unwinding through it) reaches its
// caller as the exception and leaves the dataset usable from every handle: a read
// changes nothing that such an exception could leave half done.
TEST(DatasetFaultTest, AllocationFailureInAReadLeavesTheDatasetUsable) {
    TempDir dir;
    auto d = Dataset::create(kKey, dir.file("ds"), DatasetConfig{});
    ASSERT_TRUE(d.ok());
    for (int64_t t = 1; t <= 20; ++t) ASSERT_TRUE(d->write(t, testing::bytes(fmt::format("v{}", t))).ok());
    Dataset other = *d;
    const std::vector<std::pair<const char*, std::function<void()>>> reads = {
        {"query_all", [&] { (void)d->query_all(INT64_MIN, INT64_MAX); }},
        {"query_length_all", [&] { (void)d->query_length_all(1, 20); }},
        {"query_exist", [&] { (void)d->query_exist(1, 20); }},
    };
    for (const auto& [what, read] : reads) {
        for (uint64_t skip : {0, 1}) {  // the first or the second allocation sized by the range
            SCOPED_TRACE(fmt::format("{} skip {}", what, skip));
            set_alloc_fault(skip);
            EXPECT_THROW(read(), std::bad_alloc);
            clear_alloc_fault();
            auto all = other.query_all(1, 20);
            ASSERT_TRUE(all.ok()) << all.error().to_string();
            EXPECT_EQ(all->size(), 20u);
            ASSERT_TRUE(other.write(100, testing::bytes("late")).ok());
            ASSERT_TRUE(d->delete_record(100).ok());
        }
    }
}

// An out-of-order write or a delete whose replaced record lies in a closed data segment
// that cannot be opened (no descriptor left) fails and changes nothing: what the count
// needs is opened before the index entry changes.
TEST(DatasetFaultTest, AChangeWhoseCountCannotBeMadeChangesNothing) {
    using testing::RecordOp;
    for (const RecordOp& change : {RecordOp{RecordOp::Write, 1, testing::bytes("again")}, RecordOp{RecordOp::Delete, 1, {}}}) {
        TempDir dir;
        const std::string path = dir.file("ds");
        Model m;
        std::optional<Dataset> d = *Dataset::create(kKey, path, testing::small_segments(false, 0));
        for (int64_t ts = 1; ts <= 60; ++ts) ASSERT_TRUE(d->write(ts, m[ts] = testing::random_bytes(600, ts)).ok());
        ASSERT_TRUE(testing::run_record_op(d, {RecordOp::Reopen, 0, {}}, kKey, path).ok());
        // Open: the newest data segment and the index segment of timestamp 1; closed: the
        // data segment of its record.
        ASSERT_TRUE(d->write(61, m[61] = testing::bytes("new")).ok() && d->query_exist(1, 2).ok());
        {
            ScopedIoFaults no_descriptor(io_op::kOpen, 0, EMFILE, /*sticky=*/true);
            Status st = testing::run_record_op(d, change, kKey, path);
            EXPECT_TRUE(!st.ok() && st.error().is_io_code(EMFILE)) << (st.ok() ? "made" : st.error().to_string());
        }
        testing::expect_records(*d, m, nullptr, "refused");
        ASSERT_TRUE(d->write(2, m[2] = testing::bytes("two")).ok());  // the same index segment
        ASSERT_TRUE(testing::run_record_op(d, {RecordOp::Reopen, 0, {}}, kKey, path).ok());
        testing::expect_records(*d, m, nullptr, "reopened");
    }
}

// Counts whose writes to the state file fail (a full disk there), then a kill: every change
// reported a success is counted by the next open, however many counts failed before it. A
// change after a failed count waits for the state file to hold it, else it is refused and
// changes nothing.
TEST(DatasetFaultTest, ChangesReportedMadeAfterFailedCountsAreCountedAfterAKill) {
    using testing::RecordOp;
    const RecordOp rewrite3{RecordOp::Write, 3, testing::bytes("again")};
    const RecordOp rewrite5{RecordOp::Write, 5, testing::bytes("again")};
    const RecordOp delete4{RecordOp::Delete, 4, {}};
    const std::vector<std::vector<RecordOp>> cases = {{rewrite3, rewrite5}, {delete4, rewrite3}, {rewrite3, delete4}};
    for (const auto& changes : cases) {
        TempDir dir;
        const std::string path = dir.file("ds");
        Model m;
        {
            std::optional<Dataset> d = *Dataset::create(kKey, path, testing::small_segments(false, 0));
            for (int64_t ts = 1; ts <= 60; ++ts) ASSERT_TRUE(d->write(ts, m[ts] = testing::random_bytes(600, ts)).ok());
            ASSERT_GT(d->inspect()->state.data_segments, 2u);  // timestamps 3 to 5 lie in folded segments
            ASSERT_TRUE(d->close().ok());
        }
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {  // killed at the end: no close
            std::optional<Dataset> d = *Dataset::open(kKey, path);
            ScopedIoFaults full(io_op::kWrite, 0, ENOSPC, /*sticky=*/true);
            int made = 0;
            for (size_t i = 0; i < changes.size(); ++i)
                if (testing::run_record_op(d, changes[i], kKey, path).ok()) made |= 1 << i;
            _exit(made);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        uint64_t made = 0;
        for (size_t i = 0; i < changes.size(); ++i)
            if (WEXITSTATUS(status) & (1 << i)) testing::apply(m, changes[i]), ++made;
        EXPECT_EQ(made, 1u) << "the first is made; the second waits for the state file";
        auto d = Dataset::open(kKey, path);
        ASSERT_TRUE(d.ok()) << d.error().to_string();
        testing::expect_records(*d, m, nullptr, "after the kill");
        EXPECT_EQ(d->inspect()->state.total_invalid_record_count, made);
    }
}

}  // namespace
}  // namespace brenvale
