// The background tasks: the schedule on a clock the test drives, the running flags shared
// by concurrent ticks and the thread, and what each task does to real datasets.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "bg/tasks.h"
#include "store_test_util.h"

namespace brenvale {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using testing::bytes;
using testing::LogCapture;
using testing::read_text;
using testing::TempDir;

constexpr int64_t kDay = 86400;

// Sets the engine's wall clock to the given second of the current UTC day (plus a tenth,
// so that the second does not turn while the test runs) for the life of the object.
class WallClockAt {
public:
    explicit WallClockAt(int64_t second_of_day) {
        set_wall_clock_offset(0ns);
        const nanoseconds now = unix_now();
        const nanoseconds day_start = std::chrono::seconds(now.count() / 1000000000 / kDay * kDay);
        set_wall_clock_offset(day_start + std::chrono::seconds(second_of_day) + 100ms - now);
    }
    ~WallClockAt() { set_wall_clock_offset(0ns); }
};

// A retention hour half a day away, so that only the other tasks fall due.
uint8_t far_retention_hour() {
    const int64_t hour = std::chrono::duration_cast<std::chrono::hours>(unix_now()).count() % 24;
    return static_cast<uint8_t>((hour + 12) % 24);
}

// What a flush of the journal waits on in the flag tests: pass() tells that the flush has
// begun and waits until open().
struct Gate {
    std::promise<void> entered, opened;
    std::shared_future<void> open_future = opened.get_future().share();
    void pass() {
        entered.set_value();
        open_future.wait();
    }
    void wait_entered() { entered.get_future().wait(); }
    void open() { opened.set_value(); }
};

class BgTasksTest : public ::testing::Test {
protected:
    TempDir dir;
    DatasetRegistryPtr registry = std::make_shared<DatasetRegistry>();
    DirtyListPtr dirty = std::make_shared<DirtyList>();
    std::shared_ptr<BlockCache> cache = std::make_shared<BlockCache>(1 << 20);
    std::shared_ptr<RegistryCloseHook> hook = std::make_shared<RegistryCloseHook>(registry);
    std::atomic<int64_t> clock_ns{0};
    const MonoInstant base = MonoClock::now();
    std::atomic<int> journal_flushes{0};
    Gate* gate = nullptr;  // when set, the journal flush waits on it

    BgSettings settings(nanoseconds flush = 15s) const {
        return BgSettings{flush, 1800s, 1800s, far_retention_hour()};
    }

    BgServices services() {
        return BgServices{registry, dirty, cache, [this]() -> Status {
                              ++journal_flushes;
                              if (gate != nullptr) gate->pass();
                              return {};
                          }};
    }

    std::unique_ptr<BgTasks> tasks(BgSettings s) {
        return BgTasks::create(services(), s, [this] { return base + nanoseconds(clock_ns.load()); });
    }

    void at(nanoseconds t) { clock_ns = t.count(); }

    Dataset dataset(const std::string& name, DatasetConfig cfg = {}) {
        cfg.data_segment_size = std::min<uint64_t>(cfg.data_segment_size, 1 << 16);
        cfg.initial_data_segment_size = 4096;
        cfg.index_segment_size = std::min<uint64_t>(cfg.index_segment_size, 4096);
        cfg.initial_index_segment_size = 1024;
        auto d = Dataset::create({name, "x"}, dir.file(name + "/x"), cfg);
        EXPECT_TRUE(d.ok()) << d.error().to_string();
        EXPECT_TRUE(d->set_identifier(registry->size() + 1).ok());
        DatasetRuntime rt;
        rt.block_cache = cache;
        rt.dirty_list = dirty;
        rt.close_hook = hook;
        EXPECT_TRUE(d->attach_runtime(rt).ok());
        registry->insert(*d);
        return std::move(*d);
    }
};

TEST(BgRetentionDelay, Table) {
    struct Case {
        uint8_t hour;
        int64_t unix_seconds;
        int64_t delay;
    };
    const int64_t day = 19000 * kDay;  // some day's midnight UTC
    const Case cases[] = {
        {3, day + 3 * 3600 - 1, 1},
        {3, day + 3 * 3600, kDay},
        {3, day + 3 * 3600 + 1, kDay - 1},
        {0, day, kDay},
        {0, day + kDay - 1, 1},
        {23, day + 3600, 22 * 3600},
        {27, day, 3 * 3600},  // the hour is taken mod 24
        {2, -5, 2 * 3600},    // a clock before the epoch counts as midnight
    };
    for (const Case& c : cases)
        EXPECT_EQ(retention_delay(c.hour, std::chrono::seconds(c.unix_seconds)).count(), c.delay)
            << int{c.hour} << " at " << c.unix_seconds;
}

TEST_F(BgTasksTest, ScheduleOnTheTasksClock) {
    struct Step {
        nanoseconds at;
        uint64_t executed;
        nanoseconds next;
    };
    // Flush every 15 s, idle and cache every 60 s; each task counts from its last start.
    const Step with_cache[] = {{0s, 0, 15s},       {14999ms, 0, 1ms}, {15s, 1, 15s}, {45s, 1, 15s},
                               {59s, 0, 1s},       {60s, 3, 15s},     {61s, 0, 14s}, {200s, 3, 15s},
                               {200s, 0, 15s}};
    auto t = tasks(settings());
    for (const Step& s : with_cache) {
        at(s.at);
        EXPECT_EQ(t->next_delay(), s.executed > 0 ? 0ns : s.next) << s.at.count();
        const BgTick tick = t->tick();
        EXPECT_EQ(tick.executed, s.executed) << s.at.count();
        EXPECT_EQ(tick.next_delay, s.next) << s.at.count();
    }
    EXPECT_EQ(journal_flushes, 4);

    // Without a cache capacity the eviction is never due and never counts.
    cache = std::make_shared<BlockCache>(0);
    at(0s);
    t = tasks(settings());
    at(60s);
    EXPECT_EQ(t->tick().executed, 2u);

    // A flush interval of 0: the flush is due at every tick.
    t = tasks(settings(0s));
    EXPECT_EQ(t->next_delay(), 0ns);
    for (int i = 0; i < 3; ++i) {
        const BgTick tick = t->tick();
        EXPECT_EQ(tick.executed, 1u);
        EXPECT_EQ(tick.next_delay, 0ns);
    }
}

TEST_F(BgTasksTest, ATaskRunningInOneTickIsNotStartedByAnother) {
    auto t = tasks(settings());
    Gate g;
    gate = &g;
    at(15s);
    BgTick first;
    std::thread other([&] { first = t->tick(); });
    g.wait_entered();
    // The flush is running: the second tick does not start it, and counts it from now.
    at(20s);
    const BgTick second = t->tick();
    EXPECT_EQ(second.executed, 0u);
    EXPECT_EQ(second.next_delay, 15s);
    EXPECT_EQ(t->next_delay(), 15s);
    g.open();
    other.join();
    EXPECT_EQ(first.executed, 1u);
    EXPECT_EQ(journal_flushes, 1);
    EXPECT_EQ(t->next_delay(), 10s);  // the flush started at 15 s
}

TEST_F(BgTasksTest, ThreadBesideManualTicksWithZeroFlushInterval) {
    std::atomic<int> in_flush{0}, most{0};
    BgServices sv = services();
    sv.flush_journal = [&]() -> Status {
        const int n = ++in_flush;
        int seen = most.load();
        while (n > seen && !most.compare_exchange_weak(seen, n)) {
        }
        std::this_thread::yield();
        ++journal_flushes;
        --in_flush;
        return {};
    };
    const auto start = MonoClock::now();
    auto t = std::move(*BgTasks::spawn(sv, settings(0s)));
    EXPECT_TRUE(t->has_thread());
    uint64_t manual = 0;
    for (int i = 0; i < 300; ++i) manual += t->tick().executed;
    while (journal_flushes < static_cast<int>(manual) + 3) std::this_thread::sleep_for(1ms);
    t->shutdown();
    const auto elapsed = MonoClock::now() - start;
    EXPECT_FALSE(t->has_thread());
    EXPECT_EQ(most, 1);  // the running flag: never two flushes at once
    // Every pass of the thread waits at least the minimal wait: no spinning at interval 0.
    EXPECT_LE(journal_flushes - static_cast<int>(manual), elapsed / kBgMinWait + 1);
    const int after = journal_flushes;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(journal_flushes, after);  // the thread is gone

    // A shutdown arriving during a flush returns once that flush has ended, and no other begins.
    Gate g;
    gate = &g;
    t = std::move(*BgTasks::spawn(services(), settings(0s)));
    g.wait_entered();
    std::thread stopper([&] { t->shutdown(); });
    const int during = journal_flushes;
    g.open();
    stopper.join();
    EXPECT_EQ(journal_flushes, during);
}

TEST_F(BgTasksTest, FlushSyncsExactlyTheNamedFilesAndDoesNotRequeueTwice) {
    Dataset a = dataset("a");
    Dataset b = dataset("b");
    Dataset idle = dataset("c");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(a.write(i, bytes("a")).ok());
        ASSERT_TRUE(b.write(i, bytes("b")).ok());
    }
    ASSERT_TRUE(idle.flush().ok());
    const size_t named = dirty->size();
    ASSERT_EQ(named, 4u);  // a data and an index segment of each: pushed once until flushed
    dirty->push({{"gone", "x"}, DirtyTarget::data_segment(0)});  // a dataset closed since
    dirty->push({{".journal", "logs"}, DirtyTarget::data_segment(0)});

    auto t = tasks(settings());
    LogCapture logs;
    at(15s);
    {
        testing::ScopedIoFaults count(io_op::kMsync, UINT64_MAX, EIO);
        ASSERT_EQ(t->tick().executed, 1u);
        EXPECT_EQ(io_calls_seen(), named);
    }
    EXPECT_EQ(dirty->size(), 0u);
    EXPECT_TRUE(logs.records().empty()) << logs.records().front().message;

    // A failed flush: the dataset puts back its own targets, once.
    for (int i = 3; i < 5; ++i) {
        ASSERT_TRUE(a.write(i, bytes("a")).ok());
        ASSERT_TRUE(b.write(i, bytes("b")).ok());
    }
    at(30s);
    {
        testing::ScopedIoFaults first_fails(io_op::kMsync, 0, EIO);
        ASSERT_EQ(t->tick().executed, 1u);
    }
    const auto left = dirty->take_for({"a", "x"});
    EXPECT_EQ(left.size(), 2u);
    EXPECT_EQ(dirty->size(), 0u);
    ASSERT_EQ(logs.records().size(), 1u);
    EXPECT_EQ(logs.records()[0].target, "brenvale::bg");
    EXPECT_EQ(logs.records()[0].message,
              "[bg flush] failed for DataSetKey { name: \"a\", dataset_type: \"x\" }: I/O error: " +
                  Error::io(EIO).detail());
}

TEST_F(BgTasksTest, IdleDatasetsReleaseTheirFilesAndMapThemAgainOnUse) {
    Dataset a = dataset("a");
    ASSERT_TRUE(a.write(1, bytes("one")).ok());
    auto open_files = [&] {
        auto st = a.inspect();
        return st->state.open_data_segments + st->state.open_index_segments;
    };
    ASSERT_EQ(open_files(), 2u);

    BgSettings busy = settings();
    busy.idle_timeout = 3600s;
    auto t = tasks(busy);
    at(60s);
    EXPECT_EQ(t->tick().executed, 3u);
    EXPECT_EQ(open_files(), 2u);  // active within the idle timeout

    BgSettings quick = settings();
    quick.idle_timeout = 0s;
    at(0s);
    t = tasks(quick);
    LogCapture logs;
    at(60s);
    EXPECT_EQ(t->tick().executed, 3u);
    EXPECT_EQ(open_files(), 0u);
    EXPECT_TRUE(logs.contains(log::Level::Info, "brenvale::bg",
                              "[bg idle] closed dataset DataSetKey { name: \"a\", dataset_type: \"x\" }"));
    EXPECT_TRUE(registry->get({"a", "x"}).has_value());  // still open
    EXPECT_EQ(read_text(a, 1), "one");
    ASSERT_TRUE(a.write(2, bytes("two")).ok());
    EXPECT_EQ(open_files(), 2u);
}

TEST_F(BgTasksTest, AClosedHandleLeavesTheDirtyEntriesOfANewDatasetOfItsKey) {
    Dataset stale = dataset("a");
    ASSERT_TRUE(stale.close().ok());
    ASSERT_TRUE(remove_dir_all(dir.file("a/x")).ok());
    ASSERT_TRUE(dataset("a").write(1, bytes("one")).ok());
    const size_t entries = dirty->size();
    ASSERT_GT(entries, 0u);
    EXPECT_EQ(testing::error_text(stale.release_files()), "invalid data: dataset a/x is closed");
    EXPECT_EQ(dirty->size(), entries);  // still there for the background flush
}

TEST_F(BgTasksTest, IdleReleaseSkipsADatasetClosedMeanwhile) {
    Dataset a = dataset("a");
    ASSERT_TRUE(a.write(1, bytes("one")).ok());
    // Closed after the release found it: still registered, as between a drop's close and
    // its close hook.
    DatasetRuntime no_hook;
    no_hook.dirty_list = dirty;
    ASSERT_TRUE(a.attach_runtime(no_hook).ok());
    ASSERT_TRUE(a.close().ok());
    ASSERT_TRUE(registry->get({"a", "x"}).has_value());
    BgSettings quick = settings();
    quick.idle_timeout = 0s;
    auto t = tasks(quick);
    LogCapture logs;
    at(60s);
    EXPECT_EQ(t->tick().executed, 3u);
    EXPECT_EQ(logs.count_starting("[bg idle]"), 0u);
}

TEST_F(BgTasksTest, RetentionRunsAtTheConfiguredHour) {
    DatasetConfig windowed;
    windowed.retention_window = 1000;  // legacy retention: below the latest timestamp - 1000
    windowed.data_segment_size = 8192;
    windowed.index_segment_size = 1024;
    Dataset a = dataset("a", windowed);
    Dataset b = dataset("b", {});
    const std::string payload(200, 'p');
    for (int64_t ts = 0; ts < 2000; ts += 10) {
        ASSERT_TRUE(a.write(ts, bytes(payload)).ok());
        ASSERT_TRUE(b.write(ts, bytes(payload)).ok());
    }
    auto files = [](Dataset& d) {
        auto st = d.inspect();
        return st->state.data_segments + st->state.index_segments;
    };
    const uint32_t a_before = files(a), b_before = files(b);

    std::optional<WallClockAt> clock;
    clock.emplace(3 * 3600 - 1);  // 02:59:59.1 UTC
    BgSettings s = settings();
    s.retention_check_hour = 3;
    auto t = tasks(s);
    EXPECT_EQ(t->next_delay(), 1s);
    at(999ms);
    EXPECT_EQ(t->tick().executed, 0u);
    EXPECT_EQ(files(a), a_before);
    LogCapture logs;
    clock.reset();
    clock.emplace(3 * 3600);  // the wall clock has moved on with the tasks' clock
    at(1s);
    EXPECT_EQ(t->tick().executed, 1u);
    EXPECT_LT(files(a), a_before);
    EXPECT_EQ(files(b), b_before);
    EXPECT_EQ(read_text(a, 1990), payload);
    EXPECT_TRUE(logs.contains(log::Level::Info, "brenvale::bg",
                              fmt::format("[bg retention] reclaimed {} segment files total", a_before - files(a))));
    // The next run is a day later (with the flush, the idle release and the eviction).
    at(2s);
    EXPECT_EQ(t->tick().executed, 0u);
    at(1s + 86399s);
    EXPECT_EQ(t->tick().executed, 3u);
    at(1s + 86400s);
    EXPECT_EQ(t->tick().executed, 1u);
}

}  // namespace
}  // namespace brenvale
