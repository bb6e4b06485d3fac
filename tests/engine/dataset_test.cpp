#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dataset/dataset.h"
#include "file.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

using testing::bytes;
using testing::text;

struct FakeJournal : JournalHook {
    struct Event {
        char kind;
        IndexEntry entry;
        uint32_t before = 0;
        uint32_t appended = 0;
    };
    std::mutex mu;
    std::vector<Event> events;
    bool fail = false;
    bool full = false;  // refuses room as a journal on a full disk does
    int reserves = 0;   // reserve_record calls
    int held = 0;       // room held now

    Status reserve_record() override {
        std::lock_guard lock(mu);
        ++reserves;
        if (full) return Error::io(ENOSPC);
        ++held;
        return {};
    }
    void cancel_record() override {
        std::lock_guard lock(mu);
        --held;
    }
    Status record(Event e) {
        std::lock_guard lock(mu);
        if (held > 0) --held;
        events.push_back(e);
        if (fail) return Error::invalid_data("journal down");
        return {};
    }
    Status record_write(uint64_t, const IndexEntry& e) override { return record({'w', e}); }
    Status record_delete(uint64_t, const IndexEntry& e) override { return record({'d', e}); }
    Status record_append(uint64_t, const IndexEntry& e, uint32_t before, uint32_t appended) override {
        return record({'a', e, before, appended});
    }
};

struct FakeCloseHook : DatasetCloseHook {
    std::atomic<int> calls{0};
    void dataset_closed(const DataSetKey&, const Dataset&) override { ++calls; }
};

DatasetConfig small_config(bool continuous = false) {
    DatasetConfig c;
    c.data_segment_size = 1 << 20;
    c.initial_data_segment_size = 4096;
    c.index_segment_size = 16384;
    c.initial_index_segment_size = 1024;
    c.index_continuous = continuous ? 1 : 0;
    c.compress_level = 3;
    return c;
}

class DatasetTest : public ::testing::Test {
protected:
    DataSetKey key{"sensors", "temp"};
    TempDir dir;
    std::string ds_dir = dir.file("sensors/temp");
    std::shared_ptr<BlockCache> cache = std::make_shared<BlockCache>(1 << 20);
    std::shared_ptr<FakeJournal> journal = std::make_shared<FakeJournal>();
    std::shared_ptr<FakeCloseHook> close_hook = std::make_shared<FakeCloseHook>();
    DirtyListPtr dirty = std::make_shared<DirtyList>();

    DatasetRuntime runtime(bool read_only = false) {
        DatasetRuntime rt;
        rt.block_cache = cache;
        rt.journal_hook = read_only ? nullptr : journal;
        rt.dirty_list = read_only ? nullptr : dirty;
        rt.close_hook = close_hook;
        rt.read_only = read_only;
        return rt;
    }

    Dataset equip(Dataset d, bool read_only = false) {
        EXPECT_TRUE(d.set_identifier(7).ok());
        EXPECT_TRUE(d.attach_runtime(runtime(read_only)).ok());
        return d;
    }

    Dataset make(DatasetConfig cfg = small_config()) {
        auto d = Dataset::create(key, ds_dir, cfg);
        EXPECT_TRUE(d.ok()) << d.error().to_string();
        return equip(std::move(*d));
    }

    Dataset reopen(Dataset& d, bool read_only = false) {
        EXPECT_TRUE(d.close().ok());
        auto r = read_only ? Dataset::open_read_only(key, ds_dir) : Dataset::open(key, ds_dir);
        EXPECT_TRUE(r.ok()) << r.error().to_string();
        return equip(std::move(*r), read_only);
    }

    std::string closed_text() const { return "invalid data: dataset sensors/temp is closed"; }
};

std::string read_text(Dataset& d, int64_t ts) {
    auto r = d.read(ts);
    if (!r.ok()) return "error: " + r.error().to_string();
    if (!r->has_value()) return "<none>";
    return text((*r)->data);
}

std::vector<int64_t> timestamps(const std::vector<Record>& rs) {
    std::vector<int64_t> out;
    for (const auto& r : rs) out.push_back(r.timestamp);
    return out;
}

// ---- lifecycle ----

TEST_F(DatasetTest, CreateRefusesExistingMetaAndOpenNeedsOne) {
    auto missing = Dataset::open(key, ds_dir);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().to_string(), "not found: dataset meta not found at " + ds_dir + "/meta");

    Dataset d = make();
    auto again = Dataset::create(key, ds_dir, small_config());
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().to_string(), "already exists: dataset already exists at " + ds_dir);

    // data/ and index/ without meta can be created again.
    TempDir other;
    ASSERT_TRUE(create_dir_all(other.file("x/data")).ok());
    ASSERT_TRUE(create_dir_all(other.file("x/index")).ok());
    EXPECT_TRUE(Dataset::create(key, other.file("x"), small_config()).ok());

    DatasetConfig bad = small_config();
    bad.initial_data_segment_size = bad.data_segment_size + 1;
    auto invalid = Dataset::create(key, other.file("y"), bad);
    ASSERT_FALSE(invalid.ok());
    EXPECT_FALSE(*path_exists(other.file("y")));
}

// A directory without meta (an interrupted create or drop) may hold the files of an older
// dataset. A create starts from empty files: nothing of the old records, index entries,
// totals or consumer states comes back, before or after a reopen.
TEST_F(DatasetTest, CreateOverLeftoversStartsFromEmptyFiles) {
    for (bool continuous : {false, true}) {
        SCOPED_TRACE(continuous);
        const std::string& path = ds_dir;
        ASSERT_TRUE(remove_dir_all(dir.path()).ok() && create_dir_all(dir.path()).ok());
        {
            Dataset old = equip(std::move(*Dataset::create(key, path, small_config(!continuous))));
            for (int64_t ts = 0; ts < 2000; ++ts) ASSERT_TRUE(old.write(ts, bytes(std::string(100, 'o'))).ok());
            ASSERT_GE(old.inspect()->state.index_segments, 2u);
            ASSERT_TRUE(old.close().ok());
        }
        ASSERT_TRUE(create_dir_all(path + "/queue").ok());
        ASSERT_TRUE(write_file_atomic(path + "/queue/group", "old consumer").ok());
        ASSERT_TRUE(remove_file(path + "/meta").ok());
        LogCapture logs(log::Level::Warn);

        auto created = Dataset::create(key, path, small_config(continuous));
        ASSERT_TRUE(created.ok()) << created.error().to_string();
        EXPECT_TRUE(logs.contains(log::Level::Warn, "brenvale::dataset",
                                  "[dataset] removing leftovers of an earlier dataset at " + path));
        Dataset d = equip(std::move(*created));
        for (int round = 0; round < 2; ++round) {
            auto st = d.inspect();
            ASSERT_TRUE(st.ok());
            EXPECT_EQ(st->state.total_record_count, 2u * round);
            EXPECT_EQ(st->state.total_invalid_record_count, 1u * round);
            EXPECT_EQ(st->state.data_segments, 1u * round);
            EXPECT_EQ(st->state.index_segments, 1u * round);
            EXPECT_EQ(st->state.min_timestamp, round ? std::optional<int64_t>(-100) : std::nullopt);
            EXPECT_EQ(read_text(d, 5), "<none>");
            if (round == 0) {
                // Below every old timestamp: a continuous base of the old index would refuse it.
                ASSERT_TRUE(d.write(-100, bytes("new")).ok());
                ASSERT_TRUE(d.write(10, bytes("newer")).ok());
                ASSERT_TRUE(d.delete_record(10).ok());
                d = reopen(d);
                EXPECT_FALSE(*path_exists(path + "/queue/group"));
            }
            auto all = d.query_all(INT64_MIN, INT64_MAX);
            ASSERT_TRUE(all.ok()) << all.error().to_string();
            EXPECT_EQ(timestamps(*all), std::vector<int64_t>{-100});
            EXPECT_EQ(d.latest_timestamp(), 10);
        }
    }
}

TEST_F(DatasetTest, NewDatasetInspectsEmpty) {
    auto created = Dataset::create(key, ds_dir, small_config(true));
    ASSERT_TRUE(created.ok());
    Dataset d = std::move(*created);
    EXPECT_EQ(d.identifier(), 0u);
    EXPECT_FALSE(d.latest_timestamp().has_value());
    auto r = d.inspect();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->info.name, "sensors");
    EXPECT_EQ(r->info.base_dir, ds_dir);
    EXPECT_TRUE(r->info.index_continuous);
    EXPECT_GT(r->info.create_time, 1600000000000u);
    EXPECT_EQ(r->state.total_record_count, 0u);
    EXPECT_EQ(r->state.pending_index_entries, 0u);
    EXPECT_FALSE(r->state.min_timestamp.has_value());
    EXPECT_FALSE(r->state.has_block_cache);
    EXPECT_EQ(*d.queue_dir(), ds_dir + "/queue");
}

TEST_F(DatasetTest, CloseTwiceCallsHookTwiceAndRefusesOperations) {
    Dataset d = make();
    ASSERT_TRUE(d.write(1, bytes("a")).ok());
    ASSERT_TRUE(d.close().ok());
    ASSERT_TRUE(d.close().ok());
    EXPECT_EQ(close_hook->calls.load(), 2);
    EXPECT_EQ(d.write(2, bytes("b")).error().to_string(), closed_text());
    EXPECT_EQ(d.read(1).error().to_string(), closed_text());
    EXPECT_EQ(d.flush().error().to_string(), closed_text());
    EXPECT_EQ(d.inspect().error().to_string(), closed_text());
    EXPECT_EQ(d.query(0, 10).error().to_string(), closed_text());
    EXPECT_EQ(d.delete_record(1).error().to_string(), closed_text());
    // Getters still answer.
    EXPECT_EQ(d.identifier(), 7u);
    EXPECT_EQ(d.latest_timestamp(), 1);
}

// A reopened dataset restores its records and latest timestamp, also when the newest record
// was deleted. The invalid records counted are the changes made, whatever took an entry: a
// delete, or retention that removed index segments before one (their records lost their
// entries without being invalid). A writable inspect, a read-only one and a writable
// reopen agree; the reopen warns of nothing and leaves every file closed.
TEST_F(DatasetTest, ReopenRestoresRecordsAndLatestEvenWhenDeleted) {
    struct Case {
        const char* what;
        bool continuous;
        bool retention;
    };
    for (const Case& c : {Case{"sparse", false, false}, Case{"continuous", true, false},
                          Case{"index segments reclaimed, then a delete", false, true}}) {
        SCOPED_TRACE(c.what);
        TempDir local;
        std::string path = local.file("d");
        DatasetConfig cfg = small_config(c.continuous);
        if (c.retention) {
            cfg.data_segment_size = cfg.initial_data_segment_size = 1 << 20;
            cfg.index_segment_size = cfg.initial_index_segment_size = 4096;
            cfg.retention_window = 1000;
        }
        auto created = Dataset::create(key, path, cfg);
        ASSERT_TRUE(created.ok());
        Dataset d = equip(std::move(*created));
        const int64_t last = c.retention ? 3000 : 298;
        for (int64_t ts = c.retention ? 1 : -5; ts <= last; ts += c.retention ? 1 : 3)
            ASSERT_TRUE(d.write(ts, bytes(fmt::format("v{}", ts))).ok());
        if (c.retention) {
            ASSERT_GT(*d.reclaim_expired(), 10u);
            EXPECT_EQ(d.inspect()->state.data_segments, 1u);
        }
        ASSERT_TRUE(d.delete_record(last).ok());
        auto invalid = [](Dataset& x) { return x.inspect()->state.total_invalid_record_count; };
        EXPECT_EQ(invalid(d), 1u);
        Dataset ro = equip(std::move(*Dataset::open_read_only(key, path)), true);
        EXPECT_EQ(invalid(ro), 1u);
        ASSERT_TRUE(d.close().ok());
        testing::LogCapture logs(log::Level::Warn);
        auto opened = Dataset::open(key, path);
        ASSERT_TRUE(opened.ok()) << opened.error().to_string();
        EXPECT_TRUE(logs.records().empty()) << logs.records().front().message;
        Dataset r = equip(std::move(*opened));
        auto st = r.inspect();
        ASSERT_TRUE(st.ok());
        EXPECT_EQ(st->state.total_invalid_record_count, 1u);
        EXPECT_EQ(std::make_pair(st->state.open_index_segments, st->state.open_data_segments), std::make_pair(0u, 0u));
        EXPECT_EQ(invalid(ro), 1u);
        EXPECT_EQ(r.latest_timestamp(), last);
        EXPECT_EQ(read_text(r, last), "<none>");
        if (c.retention) continue;
        EXPECT_EQ(read_text(r, -5), "v-5");
        EXPECT_EQ(read_text(r, 295), "v295");
        EXPECT_EQ(read_text(r, 296), "<none>");
        auto all = r.query_all(INT64_MIN, INT64_MAX);
        ASSERT_TRUE(all.ok());
        EXPECT_EQ(all->size(), 101u);
        st = r.inspect();
        ASSERT_TRUE(st.ok());
        EXPECT_EQ(st->state.total_record_count, 102u);
        EXPECT_EQ(st->state.min_timestamp, -5);
        EXPECT_EQ(st->state.max_timestamp, 298);
    }
}

TEST_F(DatasetTest, ReadOnlyOpenRefusesChangesAndWritesNothing) {
    Dataset d = make();
    ASSERT_TRUE(d.write(10, bytes("x")).ok());
    Dataset ro = reopen(d, /*read_only=*/true);
    EXPECT_EQ(read_text(ro, 10), "x");
    EXPECT_EQ(ro.write(11, bytes("y")).error().to_string(), "invalid data: read-only dataset cannot be written");
    EXPECT_EQ(ro.append(11, bytes("y")).error().to_string(), "invalid data: read-only dataset cannot be appended");
    EXPECT_EQ(ro.delete_record(10).error().to_string(), "invalid data: read-only dataset cannot be deleted");
    EXPECT_EQ(ro.reclaim_expired().error().to_string(),
              "invalid data: read-only dataset cannot reclaim expired segments");
    EXPECT_TRUE(ro.flush().ok());
    EXPECT_TRUE(ro.inspect()->state.read_only);
    EXPECT_TRUE(ro.close().ok());
}

TEST_F(DatasetTest, FlushTakesOnlyThisDatasetsDirtyEntries) {
    Dataset d = make();
    dirty->push({DataSetKey{"other", "a"}, DirtyTarget::data_segment(0)});
    ASSERT_TRUE(d.write(1, bytes("a")).ok());
    dirty->push({DataSetKey{"other", "b"}, DirtyTarget::index_segment(5)});
    ASSERT_TRUE(d.write(2, bytes("b")).ok());
    EXPECT_GE(dirty->size(), 4u);  // two of ours: the data and the index segment
    ASSERT_TRUE(d.flush().ok());
    auto rest = dirty->take_all();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].key.name, "other");
    EXPECT_EQ(rest[0].key.dataset_type, "a");
    EXPECT_EQ(rest[1].key.dataset_type, "b");
    // A change after the flush registers the segments again.
    ASSERT_TRUE(d.write(3, bytes("c")).ok());
    EXPECT_EQ(dirty->size(), 2u);
}

TEST_F(DatasetTest, ReleaseFilesUnmapsAndReadsMapAgain) {
    Dataset d = make();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(d.write(i, bytes(std::string(100, 'a' + i % 26))).ok());
    ASSERT_TRUE(d.release_files().ok());
    auto st = d.inspect();
    ASSERT_TRUE(st.ok());
    EXPECT_EQ(st->state.open_data_segments, 0u);
    EXPECT_EQ(st->state.open_index_segments, 0u);
    EXPECT_EQ(st->state.total_record_count, 50u);
    EXPECT_EQ(read_text(d, 49), std::string(100, 'a' + 49 % 26));
    ASSERT_TRUE(d.write(50, bytes("z")).ok());
    EXPECT_EQ(read_text(d, 50), "z");
}

// ---- writes ----

TEST_F(DatasetTest, PayloadLimitIsFourMiBInclusive) {
    DatasetConfig cfg = small_config();
    cfg.data_segment_size = 16 << 20;
    Dataset d = make(cfg);
    std::vector<uint8_t> max(kMaxRecordData, 0x5A);
    ASSERT_TRUE(d.write(1, max).ok());
    std::vector<uint8_t> over(kMaxRecordData + 1, 0x5A);
    EXPECT_EQ(d.write(2, over).error().to_string(), "invalid data: record data_len exceeds 4MiB limit");
    EXPECT_EQ(d.append(2, over).error().to_string(), "invalid data: record data_len exceeds 4MiB limit");
    auto back = d.read(1);
    ASSERT_TRUE(back.ok() && back->has_value());
    EXPECT_EQ((*back)->data, max);
}

TEST_F(DatasetTest, CorrectionOutOfOrderAndNewLatestRoads) {
    Dataset d = make();
    ASSERT_TRUE(d.write(10, bytes("ten")).ok());
    ASSERT_TRUE(d.write(20, bytes("twenty")).ok());
    // Correction of the latest: same address, latest unchanged, no invalid record.
    ASSERT_TRUE(d.write(20, bytes("TWENTY!")).ok());
    EXPECT_EQ(read_text(d, 20), "TWENTY!");
    EXPECT_EQ(d.latest_timestamp(), 20);
    ASSERT_EQ(journal->events.size(), 3u);
    EXPECT_EQ(journal->events[2].entry, journal->events[1].entry);
    // Out of order over an existing record: the old one counts as invalid.
    ASSERT_TRUE(d.write(10, bytes("TEN")).ok());
    // A sparse index has no slot for a gap below the latest: refused before anything is written.
    EXPECT_EQ(d.write(15, bytes("fifteen")).error().to_string(),
              "not found: no index entry at timestamp 15 (required for out-of-order write)");
    EXPECT_EQ(d.latest_timestamp(), 20);
    EXPECT_EQ(read_text(d, 10), "TEN");
    EXPECT_EQ(read_text(d, 15), "<none>");
    auto st = d.inspect();
    ASSERT_TRUE(st.ok());
    EXPECT_EQ(st->state.total_invalid_record_count, 1u);
    EXPECT_EQ(st->state.total_record_count, 3u);
    auto all = d.query_all(0, 100);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(timestamps(*all), (std::vector<int64_t>{10, 20}));

    // A continuous index fills the gap.
    TempDir other;
    auto c = Dataset::create(key, other.file("c"), small_config(true));
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c->write(10, bytes("ten")).ok());
    ASSERT_TRUE(c->write(20, bytes("twenty")).ok());
    ASSERT_TRUE(c->write(15, bytes("fifteen")).ok());
    EXPECT_EQ(read_text(*c, 15), "fifteen");
    EXPECT_EQ(c->latest_timestamp(), 20);
}

TEST_F(DatasetTest, CorrectionsThroughTheCacheAreSeenByReaders) {
    Dataset d = make();
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(d.write(i, bytes(fmt::format("r{}", i))).ok());
    EXPECT_EQ(read_text(d, 5), "r5");  // caches the sealed block
    ASSERT_TRUE(d.write(5, bytes("new five")).ok());
    EXPECT_EQ(read_text(d, 5), "new five");
    EXPECT_EQ(read_text(d, 6), "r6");
    ASSERT_TRUE(d.delete_record(6).ok());
    EXPECT_EQ(read_text(d, 6), "<none>");
    EXPECT_EQ(read_text(d, 7), "r7");
}

TEST_F(DatasetTest, AppendRules) {
    Dataset d = make();
    ASSERT_TRUE(d.append(5, {}).ok());  // empty dataset, empty data: nothing
    EXPECT_FALSE(d.latest_timestamp().has_value());
    EXPECT_TRUE(journal->events.empty());
    ASSERT_TRUE(d.append(5, bytes("abc")).ok());  // creates the record
    ASSERT_TRUE(d.append(5, bytes("def")).ok());  // extends it in place
    EXPECT_EQ(read_text(d, 5), "abcdef");
    ASSERT_EQ(journal->events.size(), 2u);
    EXPECT_EQ(journal->events[0].kind, 'a');
    EXPECT_EQ(journal->events[0].before, 0u);
    EXPECT_EQ(journal->events[0].appended, 3u);
    EXPECT_EQ(journal->events[1].before, 3u);
    EXPECT_EQ(journal->events[1].appended, 3u);
    EXPECT_EQ(d.append(4, bytes("x")).error().to_string(),
              "invalid data: append timestamp is older than latest_written_timestamp");
    ASSERT_TRUE(d.append(9, {}).ok());
    EXPECT_EQ(d.latest_timestamp(), 5);
    ASSERT_TRUE(d.append(9, bytes("nine")).ok());
    EXPECT_EQ(d.latest_timestamp(), 9);
    ASSERT_TRUE(d.delete_record(9).ok());
    EXPECT_EQ(d.append(9, bytes("x")).error().to_string(),
              "not found: latest index entry at timestamp 9 is deleted");
}

TEST_F(DatasetTest, DeleteRules) {
    Dataset d = make();
    EXPECT_EQ(d.delete_record(3).error().to_string(),
              "not found: no entry to delete at timestamp 3 (dataset is empty)");
    ASSERT_TRUE(d.write(3, bytes("x")).ok());
    ASSERT_TRUE(d.delete_record(3).ok());
    EXPECT_EQ(d.latest_timestamp(), 3);
    EXPECT_EQ(read_text(d, 3), "<none>");
    EXPECT_FALSE(*d.read_exist(3));
    EXPECT_FALSE(d.read_length(3)->has_value());
    EXPECT_FALSE(d.delete_record(2).ok());
    ASSERT_EQ(journal->events.back().kind, 'd');
    EXPECT_EQ(journal->events.back().entry.timestamp, 3);
    EXPECT_FALSE(journal->events.back().entry.is_sentinel());
}

TEST_F(DatasetTest, JournalFailureIsReportedAfterTheChange) {
    Dataset d = make();
    journal->fail = true;
    auto st = d.write(1, bytes("kept"));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().to_string(), "invalid data: journal down");
    journal->fail = false;
    EXPECT_EQ(read_text(d, 1), "kept");
}

// Every record-changing call asks the journal for room before it changes anything and
// leaves none held: refused, the call fails with the journal's error and nothing changed;
// a call that then fails or changes nothing gives the room back; a change uses it.
TEST_F(DatasetTest, JournalRoomIsAskedForBeforeARecordChangesAndNeverLeftHeld) {
    using Call = std::function<Status(Dataset&)>;
    struct Case {
        const char* what;
        Call call;
        bool asks;    // for room
        bool ok;      // with room
        bool event;   // with room: the journal has its event
        Call before;  // made first, with room
    };
    const Case cases[] = {
        {"new latest write", [](Dataset& d) { return d.write(20, bytes("n")); }, true, true, true, {}},
        {"correction of the latest", [](Dataset& d) { return d.write(10, bytes("c")); }, true, true, true, {}},
        {"out-of-order write", [](Dataset& d) { return d.write(4, bytes("o")); }, true, true, true, {}},
        {"write of too much data", [](Dataset& d) { return d.write(30, std::vector<uint8_t>(kMaxRecordData + 1)); },
         false, false, false, {}},
        {"append to the latest", [](Dataset& d) { return d.append(10, bytes("+")); }, true, true, true, {}},
        {"append of a new latest", [](Dataset& d) { return d.append(30, bytes("a")); }, true, true, true, {}},
        {"append of nothing", [](Dataset& d) { return d.append(10, {}); }, false, true, false, {}},
        {"append before the latest", [](Dataset& d) { return d.append(5, bytes("x")); }, false, false, false, {}},
        {"append to a deleted latest", [](Dataset& d) { return d.append(10, bytes("x")); }, true, false, false,
         [](Dataset& d) { return d.delete_record(10); }},
        {"delete", [](Dataset& d) { return d.delete_record(6); }, true, true, true, {}},
        {"delete where nothing is", [](Dataset& d) { return d.delete_record(15); }, false, false, false, {}},
        {"delete of a deleted record", [](Dataset& d) { return d.delete_record(3); }, false, false, false, {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        for (bool full : {true, false}) {
            SCOPED_TRACE(fmt::format("{}, {}", c.what, full ? "no room" : "room"));
            auto made = Dataset::create(key, dir.file(fmt::format("case{}", ++n)), small_config());
            ASSERT_TRUE(made.ok());
            Dataset d = equip(std::move(*made));
            for (int64_t ts = 1; ts <= 10; ++ts) ASSERT_TRUE(d.write(ts, bytes(fmt::format("r{}", ts))).ok());
            ASSERT_TRUE(d.delete_record(3).ok());
            if (c.before) {
                ASSERT_TRUE(c.before(d).ok());
            }
            const std::vector<Record> before = *d.query_all(INT64_MIN, INT64_MAX);
            {
                std::lock_guard lock(journal->mu);
                journal->events.clear();
                journal->reserves = 0;
                journal->full = full;
            }
            const Status st = c.call(d);
            journal->full = false;
            EXPECT_EQ(journal->reserves, c.asks ? 1 : 0);
            EXPECT_EQ(journal->held, 0);
            if (full && c.asks) {
                ASSERT_FALSE(st.ok());
                EXPECT_TRUE(st.error().is_io_code(ENOSPC)) << st.error().to_string();
                EXPECT_TRUE(journal->events.empty());
                EXPECT_EQ(*d.query_all(INT64_MIN, INT64_MAX), before);
            } else {
                EXPECT_EQ(st.ok(), c.ok) << (st.ok() ? "" : st.error().to_string());
                EXPECT_EQ(journal->events.size(), c.event ? 1u : 0u);
            }
        }
    }
}

struct ThrowingJournal : JournalHook {
    Status record_write(uint64_t, const IndexEntry&) override { throw std::runtime_error("hook failed"); }
    Status record_delete(uint64_t, const IndexEntry&) override { return {}; }
    Status record_append(uint64_t, const IndexEntry&, uint32_t, uint32_t) override { return {}; }
};

TEST_F(DatasetTest, OperationEndingAbnormallyPoisonsTheMutex) {
    Dataset d = make();
    DatasetRuntime rt = runtime();
    rt.journal_hook = std::make_shared<ThrowingJournal>();
    ASSERT_TRUE(d.attach_runtime(rt).ok());
    EXPECT_THROW((void)d.write(1, bytes("x")), std::runtime_error);
    EXPECT_EQ(d.read(1).error().to_string(), "invalid data: dataset mutex poisoned");
    EXPECT_EQ(d.close().error().to_string(), "invalid data: dataset mutex poisoned");
    // Getters fall back instead of failing.
    EXPECT_EQ(d.identifier(), 0u);
    EXPECT_FALSE(d.latest_timestamp().has_value());
    EXPECT_EQ(d.data_dir(), "");
}

// A dataset call made by a destructor while an unrelated exception unwinds the stack ends
// normally and must not poison the mutex; an exception thrown inside such a call still does.
TEST_F(DatasetTest, CallDuringUnwindingOfAnOlderExceptionKeepsTheMutex) {
    Dataset d = make();
    struct WritesOnUnwind {
        Dataset& d;
        bool nested_throw;
        ~WritesOnUnwind() {
            if (!nested_throw) {
                EXPECT_TRUE(d.write(1, bytes("from a destructor")).ok());
                return;
            }
            try {
                (void)d.write(2, bytes("x"));
            } catch (const std::runtime_error&) {
            }
        }
    };
    try {
        WritesOnUnwind w{d, false};
        throw std::logic_error("unrelated");
    } catch (const std::logic_error&) {
    }
    EXPECT_EQ(read_text(d, 1), "from a destructor");

    DatasetRuntime rt = runtime();
    rt.journal_hook = std::make_shared<ThrowingJournal>();
    ASSERT_TRUE(d.attach_runtime(rt).ok());
    try {
        WritesOnUnwind w{d, true};
        throw std::logic_error("unrelated");
    } catch (const std::logic_error&) {
    }
    EXPECT_EQ(d.read(1).error().to_string(), "invalid data: dataset mutex poisoned");
}

TEST_F(DatasetTest, WriteNextAndWriteNow) {
    Dataset d = make();
    EXPECT_EQ(*d.write_next(bytes("a")), 1);
    EXPECT_EQ(*d.write_next(bytes("b")), 2);
    ASSERT_TRUE(d.write(INT64_MAX, bytes("top")).ok());
    auto top = d.write_next(bytes("lost?"));
    ASSERT_FALSE(top.ok());
    EXPECT_EQ(top.error().to_string(), "invalid data: timestamp overflow: dataset latest timestamp is i64::MAX");
    EXPECT_EQ(read_text(d, INT64_MAX), "top");

    TempDir other;
    DatasetConfig cfg = small_config();
    cfg.timestamp_units_per_seconds = 1000;
    auto ms = Dataset::create(key, other.file("ms"), cfg);
    ASSERT_TRUE(ms.ok());
    int64_t before = *now_in_units(1000);
    ASSERT_TRUE(ms->write_now(bytes("now")).ok());
    int64_t after = *now_in_units(1000);
    auto latest = ms->latest_timestamp();
    ASSERT_TRUE(latest.has_value());
    EXPECT_GE(*latest, before);
    EXPECT_LE(*latest, after);
    EXPECT_EQ(*latest % 1000, 0);
    int64_t secs = *now_in_units(0);
    EXPECT_LT(secs, before / 100);
}

// ---- reads ----

TEST_F(DatasetTest, ContinuousIndexFillersAreInvisible) {
    Dataset d = make(small_config(true));
    ASSERT_TRUE(d.write(100, bytes("a")).ok());
    ASSERT_TRUE(d.write(105, bytes("b")).ok());
    EXPECT_EQ(read_text(d, 102), "<none>");
    EXPECT_FALSE(*d.read_exist(102));
    auto exist = d.query_exist(100, 107);
    ASSERT_TRUE(exist.ok());
    EXPECT_EQ(*exist, (std::vector<uint8_t>{0b00100001}));
    auto lens = d.query_length_all(0, 1000);
    ASSERT_TRUE(lens.ok());
    EXPECT_EQ(*lens, (std::vector<RecordLength>{{100, 1}, {105, 1}}));
    ASSERT_TRUE(d.write(102, bytes("late")).ok());
    EXPECT_EQ(read_text(d, 102), "late");
    EXPECT_EQ(*d.read_length(102), 4u);
    auto latest = d.read_latest();
    ASSERT_TRUE(latest.ok() && latest->has_value());
    EXPECT_EQ((*latest)->timestamp, 105);
}

TEST_F(DatasetTest, ExistenceBitmapLimits) {
    Dataset d = make();
    ASSERT_TRUE(d.write(0, bytes("x")).ok());
    EXPECT_TRUE(d.query_exist(5, 4)->empty());
    EXPECT_EQ(*d.query_exist(0, 0), (std::vector<uint8_t>{1}));
    auto max = d.query_exist(0, 33554431);
    ASSERT_TRUE(max.ok());
    EXPECT_EQ(max->size(), 4194304u);
    EXPECT_EQ((*max)[0], 1);
    EXPECT_EQ(d.query_exist(0, 33554432).error().to_string(),
              "invalid data: query_exist bitmap exceeds 4 MiB limit: 4194305 bytes");
    EXPECT_EQ(d.query_exist(INT64_MIN, INT64_MAX).error().to_string(), "invalid data: query_exist range overflow");
}

class IteratorTest : public DatasetTest {
protected:
    void SetUp() override {
        d = std::make_unique<Dataset>(make());
        for (int64_t ts : {1, 2, 3, 4, 5}) ASSERT_TRUE(d->write(ts * 10, bytes(std::to_string(ts * 10))).ok());
    }
    std::vector<int64_t> collect(QueryIterator it) {
        auto all = it.collect_all();
        EXPECT_TRUE(all.ok());
        return all.ok() ? timestamps(*all) : std::vector<int64_t>{};
    }
    std::unique_ptr<Dataset> d;
};

TEST_F(IteratorTest, ForwardBackwardAndSkips) {
    EXPECT_EQ(collect(*d->query(0, 100)), (std::vector<int64_t>{10, 20, 30, 40, 50}));
    EXPECT_EQ(collect(std::move(d->query(0, 100)->reverse())), (std::vector<int64_t>{50, 40, 30, 20, 10}));
    EXPECT_EQ(collect(std::move(d->query(0, 100)->skip(2))), (std::vector<int64_t>{30, 40, 50}));
    EXPECT_EQ(collect(std::move(d->query(0, 100)->reverse().skip(1))), (std::vector<int64_t>{40, 30, 20, 10}));
    EXPECT_EQ(collect(std::move(d->query(20, 40)->skip(5))), (std::vector<int64_t>{}));
    // Deleted entries never count toward a skip.
    ASSERT_TRUE(d->delete_record(20).ok());
    EXPECT_EQ(collect(std::move(d->query(0, 100)->skip(2))), (std::vector<int64_t>{40, 50}));
    auto none = d->query(0, 100)->collect_take(0);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
    auto two = d->query(0, 100)->reverse().collect_take(2);
    ASSERT_TRUE(two.ok());
    EXPECT_EQ(timestamps(*two), (std::vector<int64_t>{50, 40}));
}

TEST_F(IteratorTest, MixedDirectionsMeetInTheMiddle) {
    auto it = d->query(0, 100);
    ASSERT_TRUE(it.ok());
    EXPECT_EQ((*it->next())->timestamp, 10);
    it->reverse();
    EXPECT_EQ((*it->next())->timestamp, 50);
    it->reverse();
    EXPECT_EQ((*it->next())->timestamp, 20);
    auto lens = it->collect_all_lengths();
    ASSERT_TRUE(lens.ok());
    EXPECT_EQ(*lens, (std::vector<RecordLength>{{30, 2}, {40, 2}}));
}

TEST_F(IteratorTest, SeesWritesBetweenStepsAndEndsAtTheTopOfTheRange) {
    auto it = d->query(0, INT64_MAX);
    ASSERT_TRUE(it.ok());
    EXPECT_EQ((*it->next())->timestamp, 10);
    ASSERT_TRUE(d->delete_record(20).ok());
    ASSERT_TRUE(d->write(INT64_MAX, bytes("top")).ok());
    EXPECT_EQ(collect(std::move(*it)), (std::vector<int64_t>{30, 40, 50, INT64_MAX}));
}

TEST_F(IteratorTest, ClosedOrReleasedDatasetBetweenSteps) {
    auto it = d->query(0, 100);
    ASSERT_TRUE(it.ok());
    EXPECT_EQ((*it->next())->timestamp, 10);
    ASSERT_TRUE(d->release_files().ok());
    EXPECT_EQ((*it->next())->timestamp, 20);
    ASSERT_TRUE(d->close().ok());
    auto after = it->next();
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error().to_string(), closed_text());
}

TEST_F(DatasetTest, IteratorsAcrossManySealedBlocksMatchPointReads) {
    Dataset d = make(small_config(true));
    std::mt19937_64 rng(42);
    std::map<int64_t, std::string> model;
    for (int i = 0; i < 5000; ++i) {
        int64_t ts = i * 2;
        std::string v(rng() % 300, static_cast<char>('a' + rng() % 26));
        ASSERT_TRUE(d.write(ts, bytes(v)).ok());
        model[ts] = v;
    }
    for (int i = 0; i < 300; ++i) {
        int64_t ts = static_cast<int64_t>(rng() % 5000) * 2;
        if (model.erase(ts)) {
            ASSERT_TRUE(d.delete_record(ts).ok());
        }
    }
    auto it = d.query(-100, 20000);
    ASSERT_TRUE(it.ok());
    auto fwd = it->collect_all();
    ASSERT_TRUE(fwd.ok());
    ASSERT_EQ(fwd->size(), model.size());
    size_t i = 0;
    for (const auto& [ts, v] : model) {
        ASSERT_EQ((*fwd)[i].timestamp, ts);
        ASSERT_EQ(text((*fwd)[i].data), v);
        ++i;
    }
    auto back = d.query(-100, 20000)->reverse().collect_all();
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back->size(), model.size());
    EXPECT_EQ(back->front().timestamp, model.rbegin()->first);
}

// An iterator walking while the dataset changes between its steps: new latest records that
// start new index and data segments, corrections, deletes and (continuous) records filled
// into gaps, ahead of it and behind it. Each step returns what the dataset holds at that
// moment next to the previous item, with its current bytes.
TEST_F(DatasetTest, IteratorStepsSeeChangesMadeBetweenThem) {
    for (bool continuous : {false, true}) {
        for (bool backward : {false, true}) {
            SCOPED_TRACE(fmt::format("continuous {} backward {}", continuous, backward));
            const std::string path = dir.file(fmt::format("walk{}{}", continuous, backward));
            auto created = Dataset::create(key, path, small_config(continuous));
            ASSERT_TRUE(created.ok());
            Dataset d = equip(std::move(*created));
            std::mt19937_64 rng(continuous * 2 + backward);
            std::map<int64_t, std::string> model;
            auto put = [&](int64_t ts) {
                std::string v(rng() % 600, ' ');
                for (char& c : v) c = static_cast<char>('a' + rng() % 26);
                ASSERT_TRUE(d.write(ts, bytes(v)).ok()) << ts;
                model[ts] = v;
            };
            for (int64_t i = 0; i < 4000; ++i) put(i * 3);
            auto it = d.query(INT64_MIN, INT64_MAX);
            ASSERT_TRUE(it.ok());
            if (backward) it->reverse();
            std::optional<int64_t> last;
            for (int step = 0;; ++step) {
                const int64_t any = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
                switch (rng() % 8) {
                    case 0:
                    case 1:
                        if (step < 3000) put(model.rbegin()->first + 1 + static_cast<int64_t>(rng() % 3));
                        break;
                    case 2: case 3: put(any); break;
                    case 4:
                        if (model.size() > 1) {
                            ASSERT_TRUE(d.delete_record(any).ok());
                            model.erase(any);
                        }
                        break;
                    case 5:
                        if (continuous && !model.count(any + 1) && any + 1 < model.rbegin()->first) put(any + 1);
                        break;
                    default: break;
                }
                auto got = it->next();
                ASSERT_TRUE(got.ok()) << got.error().to_string();
                auto want = model.end();
                if (!backward) {
                    want = last ? model.upper_bound(*last) : model.begin();
                } else if (auto below = last ? model.lower_bound(*last) : model.end(); below != model.begin()) {
                    want = std::prev(below);
                }
                if (want == model.end()) {
                    EXPECT_FALSE(got->has_value());
                    break;
                }
                ASSERT_TRUE(got->has_value()) << want->first;
                ASSERT_EQ((*got)->timestamp, want->first);
                ASSERT_EQ(text((*got)->data), want->second);
                last = want->first;
            }
            // The walk crossed segment boundaries of both kinds.
            EXPECT_GT(list_dir(path + "/index")->size(), 4u);
            EXPECT_GT(list_dir(path + "/data")->size(), 1u);
            // The blocks of this dataset leave the shared cache before the next one (same
            // identifier) is made.
            ASSERT_TRUE(d.close().ok());
        }
    }
}

// Without a usable block cache (none attached, a disabled one, or no identifier yet) a
// range list or an iterator still decompresses each sealed block once, not once per record.
TEST_F(DatasetTest, WithoutACacheEachBlockIsDecompressedOncePerCallOrIterator) {
    for (int mode = 0; mode < 3; ++mode) {
        TempDir here;
        auto created = Dataset::create(key, here.file("ds"), small_config());
        ASSERT_TRUE(created.ok());
        Dataset d = std::move(*created);
        DatasetRuntime rt = runtime();
        rt.block_cache = mode == 0 ? nullptr : std::make_shared<BlockCache>(mode == 1 ? 0 : 1 << 20);
        ASSERT_TRUE(d.set_identifier(mode == 2 ? 0 : 7).ok());
        ASSERT_TRUE(d.attach_runtime(rt).ok());
        std::mt19937_64 rng(mode);
        for (int64_t ts = 0; ts < 300; ++ts) {
            std::string v(5000 + rng() % 3000, static_cast<char>('a' + ts % 26));
            ASSERT_TRUE(d.write(ts, bytes(v)).ok());
        }
        auto entries = d.index_entries(0, 300);
        ASSERT_TRUE(entries.ok());
        std::set<uint64_t> blocks;
        for (const auto& e : *entries) blocks.insert(e.block_offset);
        ASSERT_GE(blocks.size(), 6u);
        const uint64_t sealed = blocks.size() - 1;  // the newest block is the raw pending one
        auto decompressions = [](auto&& run) {
            uint64_t before = decompression_count();
            run();
            return decompression_count() - before;
        };
        EXPECT_EQ(decompressions([&] { EXPECT_EQ(d.query_all(0, 300)->size(), 300u); }), sealed) << mode;
        EXPECT_EQ(decompressions([&] { EXPECT_EQ(d.query_length_all(0, 300)->size(), 300u); }), sealed) << mode;
        EXPECT_EQ(decompressions([&] { EXPECT_EQ(d.query(0, 300)->collect_all()->size(), 300u); }), sealed) << mode;
        EXPECT_EQ(decompressions([&] { EXPECT_EQ(d.query(0, 300)->reverse().collect_all_lengths()->size(), 300u); }),
                  sealed)
            << mode;
        // A read of a record the iterator has not seen yet still finds its block.
        auto it = d.query(0, 300);
        ASSERT_TRUE(it.ok());
        EXPECT_EQ((*it->next())->timestamp, 0);
        it->skip(150);
        EXPECT_EQ((*it->next())->timestamp, 151);
        EXPECT_EQ((*it->next())->data.front(), static_cast<uint8_t>('a' + 152 % 26));
    }
}

// ---- retention ----

TEST_F(DatasetTest, LegacyRetentionThreshold) {
    DatasetConfig cfg = small_config(true);
    cfg.retention_window = 100;
    Dataset d = make(cfg);
    EXPECT_EQ(*d.reclaim_expired(), 0u);  // nothing written: no threshold
    ASSERT_TRUE(d.write(-1000, bytes("old")).ok());
    ASSERT_TRUE(d.write(1000, bytes("new")).ok());
    EXPECT_TRUE(d.write(900, bytes("edge")).ok());
    EXPECT_EQ(d.write(899, bytes("x")).error().to_string(),
              "expired: timestamp 899 is older than retention threshold 900");
    EXPECT_EQ(d.delete_record(-1000).error().to_string(),
              "expired: timestamp -1000 is older than retention threshold 900");
    EXPECT_EQ(read_text(d, -1000), "<none>");
    EXPECT_FALSE(*d.read_exist(-1000));
    auto all = d.query_all(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(timestamps(*all), (std::vector<int64_t>{900, 1000}));
    auto bitmap = d.query_exist(-1000, 1000);
    ASSERT_TRUE(bitmap.ok());
    EXPECT_EQ(bitmap->size(), 251u);
    EXPECT_EQ((*bitmap)[0], 0);  // the expired record is not shown
    EXPECT_EQ((*bitmap)[1900 / 8] >> (1900 % 8) & 1, 1);
}

TEST_F(DatasetTest, ReclaimRemovesExpiredSegmentsAndKeepsWritingContinuous) {
    DatasetConfig cfg = small_config(true);
    cfg.retention_window = 1000;
    cfg.data_segment_size = 8192;
    cfg.initial_data_segment_size = 4096;
    cfg.index_segment_size = 1024;  // 28 entries per index segment
    cfg.initial_index_segment_size = 1024;
    Dataset d = make(cfg);
    std::string payload(200, 'p');
    for (int64_t ts = 0; ts < 2000; ts += 10) ASSERT_TRUE(d.write(ts, bytes(payload)).ok());
    auto before = d.inspect();
    ASSERT_TRUE(before.ok());
    uint64_t files_before = before->state.data_segments + before->state.index_segments;
    auto removed = d.reclaim_expired();
    ASSERT_TRUE(removed.ok()) << removed.error().to_string();
    EXPECT_GT(*removed, 0u);
    auto after = d.inspect();
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after->state.data_segments + after->state.index_segments + *removed, files_before);
    EXPECT_LT(after->state.total_record_count, before->state.total_record_count);
    // Everything at or above the threshold is still readable and writes go on.
    auto kept = d.query_all(990, 2000);
    ASSERT_TRUE(kept.ok());
    EXPECT_EQ(kept->size(), 101u);
    for (int64_t ts = 2000; ts < 2100; ts += 10) ASSERT_TRUE(d.write(ts, bytes(payload)).ok());
    EXPECT_EQ(read_text(d, 2090), payload);

    // Everything expires: the newest index segment stays so that writing goes on.
    ASSERT_TRUE(d.write(100000, bytes("far")).ok());
    ASSERT_TRUE(d.reclaim_expired().ok());
    ASSERT_TRUE(d.write(100001, bytes("next")).ok());
    EXPECT_EQ(read_text(d, 100001), "next");
    Dataset r = reopen(d);
    EXPECT_EQ(r.latest_timestamp(), 100001);
    EXPECT_EQ(read_text(r, 100000), "far");
}

TEST_F(DatasetTest, WallClockRetentionFloorNeverMovesBack) {
    DatasetConfig cfg = small_config();
    cfg.retention_window = 3600;
    cfg.timestamp_units_per_seconds = 1;
    Dataset d = make(cfg);
    int64_t now = *now_in_units(1);
    ASSERT_TRUE(d.write(now - 10, bytes("recent")).ok());
    EXPECT_EQ(d.write(now - 7200, bytes("old")).error().kind(), ErrorKind::Expired);
    ASSERT_TRUE(d.reclaim_expired().ok());
    auto st = d.inspect();
    ASSERT_TRUE(st.ok());
    ASSERT_TRUE(st->state.retention_floor.has_value());
    EXPECT_GE(*st->state.retention_floor, now - 3600);
    Dataset r = reopen(d);
    EXPECT_EQ(r.inspect()->state.retention_floor, st->state.retention_floor);
}

// Wall-clock retention in milliseconds over small data segments; the engine's clock is
// moved by the tests (and put back when the guard goes).
DatasetConfig ms_retention_config() {
    DatasetConfig c = small_config();
    c.retention_window = 60000;
    c.timestamp_units_per_seconds = 1000;
    c.data_segment_size = 4096;
    c.initial_data_segment_size = 4096;
    return c;
}

struct ClockGuard {
    ~ClockGuard() { set_wall_clock_offset(std::chrono::nanoseconds(0)); }
};

// Open iterators take the threshold of each step: they return only what read returns, and a
// retention pass that deleted the files of records behind them fails nothing.
TEST_F(DatasetTest, IteratorsTakeTheRetentionThresholdOfEachStep) {
    ClockGuard clock;
    Dataset d = make(ms_retention_config());
    const int64_t now = *now_in_units(1000);
    for (int64_t i = 0; i < 30; ++i) ASSERT_TRUE(d.write(now - 30000 + 1000 * i, bytes(std::string(1000, 'r'))).ok());
    auto fwd = d.query(INT64_MIN, INT64_MAX);
    auto back = d.query(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(fwd.ok() && back.ok());
    back->reverse();
    EXPECT_EQ((*fwd->next())->timestamp, now - 30000);
    set_wall_clock_offset(std::chrono::seconds(45));  // the threshold moves to about now - 15000
    auto second = fwd->next();
    ASSERT_TRUE(second.ok() && second->has_value());
    EXPECT_GT((*second)->timestamp, now - 17000);
    EXPECT_TRUE((*d.read((*second)->timestamp)).has_value());
    ASSERT_GT(*d.reclaim_expired(), 0u);
    auto kept = d.query_all(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(kept.ok());
    auto rest = fwd->collect_all();
    ASSERT_TRUE(rest.ok()) << rest.error().to_string();
    rest->insert(rest->begin(), std::move(**second));
    EXPECT_EQ(timestamps(*rest), timestamps(*kept));
    auto down = back->collect_all();
    ASSERT_TRUE(down.ok()) << down.error().to_string();
    std::reverse(down->begin(), down->end());
    EXPECT_EQ(timestamps(*down), timestamps(*kept));
}

// After retention deleted every data segment, a reopened dataset starts new segments above
// those already counted in the state file: every record is counted once.
TEST_F(DatasetTest, NewSegmentsAfterEverythingExpiredStartAboveTheCountedOnes) {
    ClockGuard clock;
    Dataset d = make(ms_retention_config());
    for (int round = 0; round < 3; ++round) {
        set_wall_clock_offset(std::chrono::seconds(100 * round));
        const int64_t now = *now_in_units(1000);
        for (int64_t i = 0; i < 20; ++i) ASSERT_TRUE(d.write(now - 20000 + 1000 * i, bytes(std::string(1000, 'r'))).ok());
        auto st = d.inspect();
        ASSERT_TRUE(st.ok());
        EXPECT_EQ(st->state.total_record_count, 20u) << "round " << round;
        EXPECT_LE(st->state.data_segments, 10u) << "round " << round;
        set_wall_clock_offset(std::chrono::seconds(100 * round + 90));  // everything expires
        ASSERT_TRUE(d.reclaim_expired().ok());
        EXPECT_EQ(d.inspect()->state.data_segments, 0u);
        EXPECT_EQ(d.inspect()->state.total_record_count, 0u) << "round " << round;
        d = reopen(d);
    }
}

// ---- concurrency ----

TEST_F(DatasetTest, ConcurrentWritersReadersAndIdleRelease) {
    Dataset d = make();
    std::atomic<bool> stop{false};
    std::atomic<int64_t> written{-1};
    std::thread writer([&] {
        for (int64_t ts = 0; ts < 3000; ++ts) {
            ASSERT_TRUE(d.write(ts, bytes(fmt::format("value-{}", ts))).ok());
            written.store(ts);
        }
        stop.store(true);
    });
    std::thread reader([&] {
        while (!stop.load()) {
            int64_t upto = written.load();
            if (upto < 0) continue;
            auto r = d.read(upto);
            ASSERT_TRUE(r.ok()) << r.error().to_string();
            ASSERT_TRUE(r->has_value());
            ASSERT_EQ(text((*r)->data), fmt::format("value-{}", upto));
            auto it = d.query(0, upto);
            ASSERT_TRUE(it.ok());
            auto first = it->collect_take(3);
            ASSERT_TRUE(first.ok());
        }
    });
    std::thread releaser([&] {
        while (!stop.load()) {
            ASSERT_TRUE(d.release_files().ok());
            ASSERT_TRUE(d.flush_dirty(dirty->take_for(key)).ok());
            std::this_thread::yield();
        }
    });
    writer.join();
    reader.join();
    releaser.join();
    auto all = d.query_all(0, 3000);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all->size(), 3000u);
}

}  // namespace
}  // namespace brenvale
