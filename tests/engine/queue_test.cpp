#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dataset/dataset.h"
#include "file.h"
#include "journal/journal.h"
#include "queue/queue.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;
using namespace std::chrono_literals;

using testing::bytes;
using testing::text;

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

ConsumerConfig config(uint64_t expire = 0, uint64_t retries = 0) { return *ConsumerConfig::create(expire, retries); }

std::string status_text(const Status& s) { return s.ok() ? "ok" : s.error().to_string(); }

// The timestamp a poll returned, "none", or the error text.
std::string polled(const Result<std::optional<Record>>& r) {
    if (!r.ok()) return r.error().to_string();
    return r->has_value() ? std::to_string((*r)->timestamp) : "none";
}

struct JournalProbe : JournalHook {
    std::function<void()> on_write;
    Status record_write(uint64_t, const IndexEntry&) override {
        if (on_write) on_write();
        return {};
    }
    Status record_delete(uint64_t, const IndexEntry&) override { return {}; }
    Status record_append(uint64_t, const IndexEntry&, uint32_t, uint32_t) override { return {}; }
};

class QueueTest : public ::testing::Test {
protected:
    DataSetKey key{"jobs", "work"};
    TempDir dir;
    std::string ds_dir = dir.file("jobs/work");
    DirtyListPtr dirty = std::make_shared<DirtyList>();
    std::shared_ptr<JournalProbe> journal = std::make_shared<JournalProbe>();

    ~QueueTest() override { set_wall_clock_offset(0ns); }

    Dataset make(DatasetConfig cfg = small_config(), bool with_dirty_list = true) {
        auto d = Dataset::create(key, ds_dir, cfg);
        EXPECT_TRUE(d.ok()) << d.error().to_string();
        return equip(std::move(*d), with_dirty_list);
    }
    Dataset equip(Dataset d, bool with_dirty_list = true) {
        DatasetRuntime rt;
        rt.block_cache = std::make_shared<BlockCache>(1 << 20);
        rt.dirty_list = with_dirty_list ? dirty : nullptr;
        rt.journal_hook = journal;
        EXPECT_TRUE(d.set_identifier(3).ok());
        EXPECT_TRUE(d.attach_runtime(rt).ok());
        return d;
    }
    static DatasetQueue queue_of(Dataset& d) {
        auto q = d.open_queue();
        EXPECT_TRUE(q.ok()) << q.error().to_string();
        return std::move(*q);
    }
    static DatasetQueueConsumer consumer(DatasetQueue& q, const std::string& name, ConsumerConfig c = config()) {
        auto r = q.open_consumer(name, c);
        EXPECT_TRUE(r.ok()) << r.error().to_string();
        return std::move(*r);
    }
    // The engine's wall clock moves by whole expiry periods; expiries in these tests are
    // long enough that the real clock's own progress during a test does not matter.
    void advance_clock(std::chrono::seconds by) {
        clock_offset_ += by;
        set_wall_clock_offset(clock_offset_);
    }
    std::chrono::nanoseconds clock_offset_{0};
};

// ---- configuration, names, attachment ----

TEST_F(QueueTest, ConfigLimitsAndGroupNames) {
    EXPECT_EQ(*ConsumerConfig::create(65535, 255), (ConsumerConfig{65535, 255}));
    EXPECT_EQ(ConsumerConfig::create(65536, 256).error().to_string(),
              "invalid data: running_expired_seconds exceeds u16::MAX: 65536");
    EXPECT_EQ(ConsumerConfig::create(0, 256).error().to_string(), "invalid data: max_retry_count exceeds u8::MAX: 256");

    Dataset d = make();
    DatasetQueue q = queue_of(d);
    const std::string refused =
        "invalid data: queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes";
    for (const std::string& name : {std::string(), std::string("a b"), std::string("a/b"), std::string(256, 'g')}) {
        EXPECT_EQ(q.open_consumer(name, config()).error().to_string(), refused);
        EXPECT_EQ(q.drop_consumer(name).error().to_string(), refused);
    }
    EXPECT_TRUE(q.open_consumer(std::string(255, 'g'), config()).ok());
    EXPECT_TRUE(q.open_consumer("Az09_-", config()).ok());
}

TEST_F(QueueTest, OneQueueAtATimeWritableOnly) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    EXPECT_EQ(d.open_queue().error().to_string(), "queue already open: queue already open for dataset jobs");
    EXPECT_TRUE(is_directory(ds_dir + "/queue").value());
    DatasetQueueConsumer c = consumer(q, "g");
    auto st = d.inspect();
    EXPECT_TRUE(st->state.has_queue);
    EXPECT_EQ(st->state.queue_consumer_groups, 1u);

    ASSERT_TRUE(d.close_queue().ok());
    EXPECT_FALSE(d.inspect()->state.has_queue);
    EXPECT_EQ(d.inspect()->state.queue_consumer_groups, 0u);
    EXPECT_EQ(q.push(bytes("x")).error().to_string(), "queue closed: queue is closed");
    DatasetQueue fresh = queue_of(d);
    // Closing the stale handle leaves the newer queue attached and open.
    ASSERT_TRUE(q.close().ok());
    EXPECT_TRUE(d.inspect()->state.has_queue);
    EXPECT_EQ(*fresh.push(bytes("y")), 1);

    ASSERT_TRUE(d.close().ok());
    EXPECT_EQ(d.open_queue().error().to_string(), "invalid data: dataset jobs/work is closed");
    auto ro = Dataset::open_read_only(key, ds_dir);
    ASSERT_TRUE(ro.ok());
    DatasetRuntime rt;
    rt.read_only = true;
    ASSERT_TRUE(ro->attach_runtime(rt).ok());
    EXPECT_EQ(ro->open_queue().error().to_string(), "invalid data: read-only dataset cannot open queue");
}

// ---- delivery ----

TEST_F(QueueTest, GroupsStartAfterTheLatestRecordAndEachGetsEveryRecordOnce) {
    Dataset d = make();
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(d.write(i, bytes("old")).ok());
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer a = consumer(q, "a");
    EXPECT_EQ(a.inspect()->committed, 5);
    EXPECT_EQ(polled(a.poll(0)), "none");
    EXPECT_EQ(polled(a.poll(5)), "none");  // waits out its deadline
    EXPECT_EQ(*q.push(bytes("six")), 6);
    DatasetQueueConsumer b = consumer(q, "b");  // created after 6
    ASSERT_TRUE(d.write(7, bytes("seven")).ok());  // any write reaches the groups, not only push
    auto r = a.poll(0);
    ASSERT_TRUE(r.ok() && r->has_value());
    EXPECT_EQ((*r)->timestamp, 6);
    EXPECT_EQ(text((*r)->data), "six");
    EXPECT_EQ(polled(a.poll(0)), "7");
    EXPECT_EQ(polled(a.poll(0)), "none");
    EXPECT_EQ(polled(b.poll(0)), "7");
    EXPECT_EQ(polled(b.poll(0)), "none");

    EXPECT_EQ(a.ack(99).error().to_string(), "not found: pending entry for timestamp 99");
    ASSERT_TRUE(a.ack(6).ok());
    ASSERT_TRUE(a.ack(7).ok());
    EXPECT_EQ(a.ack(7).error().to_string(), "not found: pending entry for timestamp 7");
    auto in = a.inspect();
    EXPECT_EQ(in->committed, 7);
    EXPECT_TRUE(in->pending.empty());
    EXPECT_EQ(in->group_name, "a");
}

TEST_F(QueueTest, EmptyDatasetGroupGetsEverythingAfterTheSmallestTimestamp) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g");
    EXPECT_EQ(c.inspect()->committed, INT64_MIN);
    ASSERT_TRUE(d.write(INT64_MIN, bytes("floor")).ok());
    ASSERT_TRUE(d.write(INT64_MIN + 1, bytes("next")).ok());
    EXPECT_EQ(polled(c.poll(0)), std::to_string(INT64_MIN + 1));  // i64::MIN is never handed out
    ASSERT_TRUE(d.write(INT64_MAX, bytes("top")).ok());
    EXPECT_EQ(polled(c.poll(0)), std::to_string(INT64_MAX));
    ASSERT_TRUE(c.ack(INT64_MIN + 1).ok());
    ASSERT_TRUE(c.ack(INT64_MAX).ok());
    EXPECT_EQ(c.inspect()->committed, INT64_MAX);
    EXPECT_EQ(polled(c.poll(0)), "none");  // nothing lies after the top: no second hand-out
}

TEST_F(QueueTest, HandlesShareProgressAndAckOutOfOrderWaitsForTheFront) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer h1 = consumer(q, "g", config(30, 3));
    DatasetQueueConsumer h2 = consumer(q, "g", config(30, 3));
    EXPECT_EQ(q.open_consumer("g", config(30, 4)).error().to_string(),
              "invalid data: consumer group g is already open with a different config");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.push(bytes("r")).ok());
    EXPECT_EQ(polled(h1.poll(0)), "1");
    EXPECT_EQ(polled(h2.poll(0)), "2");
    ASSERT_TRUE(h1.ack(2).ok());
    EXPECT_EQ(h2.inspect()->committed, INT64_MIN);
    ASSERT_TRUE(h2.ack(1).ok());
    EXPECT_EQ(h1.inspect()->committed, 2);
    EXPECT_EQ(polled(h2.poll(0)), "3");
    auto in = h1.inspect();
    ASSERT_EQ(in->pending.size(), 1u);
    EXPECT_EQ(in->pending[0].timestamp, 3);
    EXPECT_EQ(in->pending[0].attempts, 0);
    EXPECT_EQ(in->config, config(30, 3));
}

TEST_F(QueueTest, ExpiredEntriesComeBackUpToTheRetryLimit) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g", config(100, 2));
    DatasetQueueConsumer never = consumer(q, "never", config(0, 0));
    ASSERT_TRUE(q.push(bytes("a")).ok());
    ASSERT_TRUE(q.push(bytes("b")).ok());
    EXPECT_EQ(polled(c.poll(0)), "1");
    EXPECT_EQ(polled(never.poll(0)), "1");
    EXPECT_EQ(polled(c.poll(0)), "2");  // 1 is still in flight
    for (uint8_t attempt = 1; attempt <= 2; ++attempt) {
        advance_clock(100s);
        EXPECT_EQ(polled(c.poll(0)), "1");
        EXPECT_EQ(c.inspect()->pending[0].attempts, attempt);
        EXPECT_EQ(polled(c.poll(0)), "2");
    }
    advance_clock(100s);
    // Both are out of retries: dropped, and committed passes them without an ack.
    EXPECT_EQ(polled(c.poll(0)), "none");
    EXPECT_EQ(c.inspect()->committed, 2);
    EXPECT_TRUE(c.inspect()->pending.empty());
    // With running_expired_seconds 0 an entry in flight waits for its ack.
    advance_clock(100000s);
    EXPECT_EQ(polled(never.poll(0)), "2");
    EXPECT_EQ(polled(never.poll(0)), "none");
}

TEST_F(QueueTest, GoneRecordsAreFinishedAndAFullGroupDoesNotStall) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g", config(100, 0));  // unlimited retries
    for (size_t i = 0; i <= kMaxPendingEntries; ++i) ASSERT_TRUE(q.push(bytes("r")).ok());
    for (size_t i = 1; i <= kMaxPendingEntries; ++i) ASSERT_EQ(polled(c.poll(0)), std::to_string(i));
    auto full = c.poll(0);
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error().to_string(),
              fmt::format("pending entries full: {}/queue/g ({} entries)", ds_dir, kMaxPendingEntries));
    EXPECT_EQ(c.inspect()->pending.size(), kMaxPendingEntries);

    // Every pending record is deleted: at their next hand-out they are finished instead
    // of being handed out again forever, and the group moves on.
    for (size_t i = 1; i <= kMaxPendingEntries; ++i) ASSERT_TRUE(d.delete_record(static_cast<int64_t>(i)).ok());
    advance_clock(100s);
    EXPECT_EQ(polled(c.poll(0)), std::to_string(kMaxPendingEntries + 1));
    EXPECT_EQ(c.inspect()->committed, static_cast<int64_t>(kMaxPendingEntries));
}

TEST_F(QueueTest, OutOfOrderWriteBetweenPendingEntriesKeepsTheGroupLoadable) {
    Dataset d = make(small_config(/*continuous=*/true));
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g");
    ASSERT_TRUE(d.write(1, bytes("one")).ok());
    ASSERT_TRUE(d.write(3, bytes("three")).ok());
    EXPECT_EQ(polled(c.poll(0)), "1");
    EXPECT_EQ(polled(c.poll(0)), "3");
    ASSERT_TRUE(d.write(2, bytes("two")).ok());  // fills the hole below the latest
    EXPECT_EQ(polled(c.poll(0)), "2");
    auto pending = c.inspect()->pending;
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[1].timestamp, 2);
    ASSERT_TRUE(c.flush().ok());
    ASSERT_TRUE(c.ack(1).ok());
    ASSERT_TRUE(c.close().ok());
    DatasetQueueConsumer again = consumer(q, "g");  // loads the page written above
    EXPECT_EQ(again.inspect()->pending.size(), 2u);
    EXPECT_EQ(polled(again.poll(0)), "2");
    EXPECT_EQ(polled(again.poll(0)), "3");
}

// ---- close, drop, names ----

TEST_F(QueueTest, ConsumerCloseClosesTheGroupAndReleasesItsEntries) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer h1 = consumer(q, "g");
    DatasetQueueConsumer h2 = consumer(q, "g");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.push(bytes("r")).ok());
    EXPECT_EQ(polled(h1.poll(0)), "1");
    EXPECT_EQ(polled(h1.poll(0)), "2");
    ASSERT_TRUE(h1.ack(1).ok());
    ASSERT_TRUE(h2.close().ok());
    const std::string closed = "queue closed: queue consumer is closed";
    EXPECT_EQ(polled(h1.poll(0)), closed);
    for (auto* h : {&h1, &h2}) {
        EXPECT_EQ(polled(h->try_poll()), closed);
        EXPECT_EQ(status_text(h->ack(2)), closed);
        EXPECT_EQ(status_text(h->flush()), closed);
        EXPECT_EQ(h->inspect().error().to_string(), closed);
        EXPECT_EQ(status_text(h->set_poll_callback(make_poll_callback([] {}))), closed);
        EXPECT_EQ(status_text(h->close()), "ok");  // a second close does nothing
    }
    EXPECT_EQ(d.inspect()->state.queue_consumer_groups, 0u);
    // A new incarnation loads the file: 1 is finished, 2 was released and comes back.
    DatasetQueueConsumer h3 = consumer(q, "g");
    EXPECT_EQ(h3.inspect()->committed, 1);
    EXPECT_EQ(polled(h3.poll(0)), "2");
    EXPECT_EQ(polled(h3.poll(0)), "3");
    EXPECT_EQ(polled(h1.poll(0)), closed);  // the old incarnation stays closed
}

TEST_F(QueueTest, DropRemovesTheGroupAndNamesListTheDirectory) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    EXPECT_EQ(status_text(q.drop_consumer("nope")), "consumer group not found: nope");
    ASSERT_TRUE(q.push(bytes("r")).ok());
    DatasetQueueConsumer g = consumer(q, "g");
    DatasetQueueConsumer b = consumer(q, "b");
    ASSERT_TRUE(write_file_atomic(ds_dir + "/queue/Zed", "junk").ok());
    ASSERT_TRUE(write_file_atomic(ds_dir + "/queue/bad\xff", "junk").ok());
    EXPECT_EQ(*q.consumer_group_names(), (std::vector<std::string>{"Zed", "b", "bad\xEF\xBF\xBD", "g"}));

    ASSERT_TRUE(q.drop_consumer("g").ok());
    EXPECT_FALSE(path_exists(ds_dir + "/queue/g").value());
    EXPECT_EQ(polled(g.poll(0)), "queue closed: queue consumer is closed");
    ASSERT_TRUE(q.drop_consumer("Zed").ok());  // not open, but its file is there
    EXPECT_EQ(*q.consumer_group_names(), (std::vector<std::string>{"b", "bad\xEF\xBF\xBD"}));
    // The next open of the name makes a fresh group, starting after the latest record.
    DatasetQueueConsumer g2 = consumer(q, "g");
    EXPECT_EQ(g2.inspect()->committed, 1);

    ASSERT_TRUE(q.close().ok());
    ASSERT_TRUE(remove_dir_all(ds_dir + "/queue").ok());
    EXPECT_EQ(*q.consumer_group_names(), std::vector<std::string>());  // still answers when closed
    const std::string closed = "queue closed: queue is closed";
    EXPECT_EQ(q.open_consumer("g", config()).error().to_string(), closed);
    EXPECT_EQ(status_text(q.drop_consumer("b")), closed);
    EXPECT_EQ(q.push(bytes("x")).error().to_string(), closed);
    EXPECT_EQ(polled(b.poll(0)), "queue closed: queue consumer is closed");
    EXPECT_EQ(status_text(b.close()), "ok");
}

// ---- durability ----

TEST_F(QueueTest, StatesReachTheDirtyListOnceAndEveryFlushPathPersistsThem) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g");
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(q.push(bytes("r")).ok());
    (void)dirty->take_all();
    EXPECT_EQ(polled(c.poll(0)), "1");
    EXPECT_EQ(polled(c.poll(0)), "2");
    ASSERT_TRUE(c.ack(1).ok());
    auto targets = dirty->take_for(key);
    ASSERT_EQ(targets.size(), 1u);  // one entry for the hand-outs and the ack
    EXPECT_EQ(targets[0], DirtyTarget::queue_state("g"));

    // The background flush persists exactly that group.
    auto on_disk = [&] {
        auto s = ConsumerGroupState::open_or_create(ds_dir + "/queue/g", 0);
        EXPECT_TRUE(s.ok());
        return s.ok() ? s->committed() : -1;
    };
    EXPECT_EQ(on_disk(), INT64_MIN);
    ASSERT_TRUE(d.flush_dirty(targets).ok());
    EXPECT_EQ(on_disk(), 1);
    ASSERT_TRUE(c.ack(2).ok());
    EXPECT_EQ(dirty->size(), 1u);  // queued again after the persist
    ASSERT_TRUE(d.flush().ok());   // a dataset flush takes the dataset's own entries
    EXPECT_EQ(on_disk(), 2);
    EXPECT_EQ(dirty->size(), 0u);

    // A target of a group that is no longer open, or of a dataset without a queue, is
    // skipped.
    ASSERT_TRUE(d.flush_dirty({DirtyTarget::queue_state("other")}).ok());
    EXPECT_EQ(polled(c.poll(0)), "3");
    ASSERT_TRUE(c.ack(3).ok());
    // Closing the dataset detaches the queue first and persists its groups.
    ASSERT_TRUE(d.close().ok());
    EXPECT_EQ(on_disk(), 3);
    EXPECT_EQ(polled(c.poll(0)), "queue closed: queue consumer is closed");
    ASSERT_TRUE(d.flush_dirty({DirtyTarget::queue_state("g")}).ok());
}

TEST_F(QueueTest, FullFlushWithoutADirtyListPersistsEveryGroup) {
    Dataset d = make(small_config(), /*with_dirty_list=*/false);
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer a = consumer(q, "a");
    DatasetQueueConsumer b = consumer(q, "b");
    ASSERT_TRUE(q.push(bytes("r")).ok());
    for (auto* c : {&a, &b}) {
        EXPECT_EQ(polled(c->poll(0)), "1");
        ASSERT_TRUE(c->ack(1).ok());
    }
    ASSERT_TRUE(d.flush().ok());
    for (const char* name : {"a", "b"}) {
        auto s = ConsumerGroupState::open_or_create(ds_dir + "/queue/" + name, 0);
        ASSERT_TRUE(s.ok());
        EXPECT_EQ(s->committed(), 1) << name;
    }
}

// ---- waiting ----

TEST_F(QueueTest, BlockedPollIsWokenByAWriteADropOrAGroupClose) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    const std::string closed = "queue closed: queue consumer is closed";
    struct Case {
        const char* name;
        std::function<void()> event;
        std::string expect;
    };
    std::vector<Case> cases = {
        {"push", [&] { (void)q.push(bytes("p")); }, "1"},
        {"write", [&] { (void)d.write(2, bytes("w")); }, "2"},
        {"drop", [&] { (void)q.drop_consumer("drop"); }, closed},
        {"consumer close", [&] { (void)q.open_consumer("consumer_close", config())->close(); }, closed},
    };
    for (const auto& cs : cases) {
        std::string group = cs.name;
        std::replace(group.begin(), group.end(), ' ', '_');
        DatasetQueueConsumer c = consumer(q, group);
        std::thread t([&] {
            std::this_thread::sleep_for(20ms);
            cs.event();
        });
        // The largest timeout: its deadline saturates, and only the event ends the wait.
        EXPECT_EQ(polled(c.poll(UINT64_MAX)), cs.expect) << cs.name;
        t.join();
        EXPECT_TRUE(c.close().ok());
    }
}

TEST_F(QueueTest, QueueCloseAndDatasetCloseWakeWaitingPollers) {
    for (bool dataset_close : {false, true}) {
        TempDir other;
        auto created = Dataset::create(key, other.file("ds"), small_config());
        ASSERT_TRUE(created.ok());
        Dataset d = equip(std::move(*created));
        DatasetQueue q = queue_of(d);
        DatasetQueueConsumer a = consumer(q, "a");
        DatasetQueueConsumer b = consumer(q, "b");
        std::vector<std::string> got(2);
        std::thread ta([&] { got[0] = polled(a.poll(UINT64_MAX)); });
        std::thread tb([&] { got[1] = polled(b.poll(UINT64_MAX)); });
        std::this_thread::sleep_for(20ms);
        ASSERT_TRUE((dataset_close ? d.close() : q.close()).ok());
        ta.join();
        tb.join();
        for (const auto& g : got) EXPECT_EQ(g, "queue closed: queue consumer is closed") << dataset_close;
    }
}

// One write wakes every waiting poller, of every group and every handle: none sleeps until
// its deadline. The bound lies far below the deadline and far above any wake-up.
TEST_F(QueueTest, OneWriteWakesEveryWaitingPoller) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    struct Case {
        std::vector<std::string> groups;  // a poller each; a name twice: two handles of a group
        std::function<void()> wake;
    };
    const std::vector<Case> cases = {
        {{"a", "b"}, [&] { ASSERT_TRUE(q.push(bytes("p")).ok()); }},
        {{"a", "b"}, [&] { ASSERT_TRUE(d.write(d.latest_timestamp().value_or(0) + 1, bytes("w")).ok()); }},
        {{"g", "g"}, [&] { ASSERT_TRUE(q.push(bytes("1")).ok() && q.push(bytes("2")).ok()); }},
    };
    for (int trial = 0; trial < 5; ++trial) {
        for (size_t i = 0; i < cases.size(); ++i) {
            std::vector<DatasetQueueConsumer> handles;
            for (const auto& g : cases[i].groups) handles.push_back(consumer(q, fmt::format("{}{}_{}", g, trial, i)));
            std::vector<std::function<std::string()>> polls;
            for (auto& h : handles) polls.push_back([&h] { return polled(h.poll(5000)); });
            for (const auto& o : testing::polls_woken_by(polls, cases[i].wake)) {
                EXPECT_NE(o.got, "none") << "case " << i << ", trial " << trial;
                EXPECT_LT(o.took, 2500ms) << "case " << i << ", trial " << trial;
            }
        }
    }
}

// A waiting poll wakes when a record that another handle of its group took and did not
// acknowledge expires, not at its deadline: with running_expired_seconds 1, the second
// handle's poll(10000) gets the record within 2.5 s, of a dataset queue and of the journal
// queue alike. In a child, which an alarm ends should the poll hang.
TEST_F(QueueTest, AWaitingPollGetsARecordThatExpiresMeanwhile) {
    struct Case {
        const char* what;
        // Hands a record to one handle, then polls a second one; the position it got twice.
        std::function<std::optional<int64_t>(std::chrono::milliseconds& took)> run;
    };
    auto timed = [](auto& handle, std::chrono::milliseconds& took) {
        const auto t0 = std::chrono::steady_clock::now();
        auto again = handle.poll(10000);
        took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        return again;
    };
    const Case cases[] = {
        {"dataset queue",
         [&](std::chrono::milliseconds& took) -> std::optional<int64_t> {
             Dataset d = make();
             DatasetQueue q = queue_of(d);
             DatasetQueueConsumer first = consumer(q, "g", config(1)), second = consumer(q, "g", config(1));
             if (!q.push(bytes("job")).ok() || polled(first.poll(0)) != "1") return std::nullopt;
             auto again = timed(second, took);
             if (!again.ok() || !again->has_value()) return std::nullopt;
             return (*again)->timestamp;
         }},
        {"journal queue",
         [&](std::chrono::milliseconds& took) -> std::optional<int64_t> {
             StoreConfig sc;
             sc.enable_journal = true;
             auto j = Journal::open(dir.file("store"), sc);
             if (!j.ok()) return std::nullopt;
             JournalQueue q = *(*j)->open_queue();
             auto first = *q.open_consumer("g", config(1)), second = *q.open_consumer("g", config(1));
             auto got = (*j)->append(JournalRecord::record_write(1, {1, 2, 3}));
             auto handed = first.poll(0);
             if (!got.ok() || !handed.ok() || !handed->has_value() || (*handed)->sequence != 1) return std::nullopt;
             auto again = timed(second, took);
             if (!again.ok() || !again->has_value()) return std::nullopt;
             return static_cast<int64_t>((*again)->sequence);
         }},
    };
    for (const Case& c : cases) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::alarm(30);
            std::chrono::milliseconds took{0};
            const std::optional<int64_t> got = c.run(took);
            _exit(got != 1 ? 3 : took >= 2500ms ? 4 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << c.what;
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.what << " (3: the record did not come back, 4: it came back late)";
    }
}

TEST_F(QueueTest, ACancelledWaitEndsThePollWithNothingHandedOut) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g");
    int checks = 0;
    EXPECT_EQ(polled(c.poll(UINT64_MAX, PollWait{5ms, [&] { return ++checks == 3; }})), "none");
    EXPECT_EQ(checks, 3);
    EXPECT_TRUE(c.inspect()->pending.empty());
}

// A queue whose handles are all gone (the queue handle and every consumer made from it)
// is detached and closed, so the dataset can open a new one.
TEST_F(QueueTest, AQueueWithoutHandlesIsDetached) {
    Dataset d = make();
    {
        auto c = d.open_queue()->open_consumer("g", config());  // the queue handle goes at once
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(d.open_queue().error().to_string(), "queue already open: queue already open for dataset jobs");
        ASSERT_TRUE(d.write(1, bytes("one")).ok());
        EXPECT_EQ(polled(c->poll(0)), "1");
    }
    EXPECT_FALSE(d.inspect()->state.has_queue);
    DatasetQueue q = queue_of(d);
    EXPECT_EQ(polled(consumer(q, "g").poll(0)), "1");  // released by the close, handed out again
}

TEST_F(QueueTest, HandlesOfOneGroupAcrossThreadsGetEveryRecordExactlyOnce) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    constexpr int kRecords = 1500;
    constexpr int kConsumers = 4;
    std::mutex mu;
    std::map<int64_t, int> seen;
    std::atomic<int> acked{0};
    std::vector<std::thread> threads;
    std::vector<DatasetQueueConsumer> handles;
    for (int i = 0; i < kConsumers; ++i) handles.push_back(consumer(q, "g"));
    DatasetQueueConsumer other = consumer(q, "other");
    for (int i = 0; i < kConsumers; ++i) {
        threads.emplace_back([&, i] {
            while (acked.load() < kRecords) {
                auto r = handles[i].poll(5);
                // A handle descheduled with its record in flight holds back committed;
                // the acks of the others pile up behind it until the window is full.
                if (!r.ok() && r.error().kind() == ErrorKind::PendingFull) continue;
                ASSERT_TRUE(r.ok()) << r.error().to_string();
                if (!r->has_value()) continue;
                const int64_t ts = (*r)->timestamp;
                {
                    std::lock_guard lock(mu);
                    ++seen[ts];
                }
                ASSERT_TRUE(handles[i].ack(ts).ok());
                ++acked;
            }
        });
    }
    std::thread producer([&] {
        for (int i = 0; i < kRecords; ++i) ASSERT_TRUE(q.push(bytes(std::to_string(i))).ok());
    });
    // Flushes and inspects race the consumers (lock order: dataset before group state).
    std::thread flusher([&] {
        while (acked.load() < kRecords) {
            ASSERT_TRUE(d.flush().ok());
            ASSERT_TRUE(d.inspect().ok());
        }
    });
    producer.join();
    for (auto& t : threads) t.join();
    flusher.join();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kRecords));
    for (const auto& [ts, n] : seen) ASSERT_EQ(n, 1) << "timestamp " << ts << " delivered " << n << " times";
    EXPECT_EQ(seen.begin()->first, 1);
    EXPECT_EQ(seen.rbegin()->first, kRecords);
    EXPECT_EQ(handles[0].inspect()->committed, kRecords);
    EXPECT_TRUE(handles[0].inspect()->pending.empty());
    EXPECT_EQ(polled(other.poll(0)), "1");  // the other group is untouched
}

// ---- wake callbacks ----

TEST_F(QueueTest, CallbacksRunOnTheWriterAfterItsLocksAndMayCallBack) {
    Dataset d = make(small_config(/*continuous=*/true));
    DatasetQueue q = queue_of(d);
    DatasetQueueConsumer c = consumer(q, "g");
    DatasetQueueConsumer other = consumer(q, "other");
    std::vector<std::string> log;
    std::thread::id ran_on;
    ASSERT_TRUE(c.set_poll_callback(make_poll_callback([&] {
                     ran_on = std::this_thread::get_id();
                     // Back into the queue and the dataset from inside the callback.
                     auto r = c.try_poll();
                     ASSERT_TRUE(r.ok()) << r.error().to_string();
                     if (r->has_value()) {
                         ASSERT_TRUE(c.ack((*r)->timestamp).ok());
                     }
                     log.push_back(polled(r) + "/" + std::to_string(d.latest_timestamp().value_or(-1)));
                     ASSERT_TRUE(d.inspect().ok());
                     ASSERT_TRUE(d.flush().ok());
                 })).ok());
    EXPECT_EQ(status_text(c.set_poll_callback(make_poll_callback([] {}))),
              "invalid data: queue poll callback is already registered");
    ASSERT_TRUE(other.set_poll_callback(make_poll_callback([] { throw std::runtime_error("boom"); })).ok());

    LogCapture logs;
    EXPECT_EQ(*q.push(bytes("a")), 1);
    EXPECT_EQ(log, std::vector<std::string>{"1/1"});  // ran before push returned
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_TRUE(logs.contains(log::Level::Warn, log::kQueue, "[queue] poll callback panicked"));

    // Only a new latest record wakes: a correction at the latest, a write below it, an
    // append in place and a delete do not.
    ASSERT_TRUE(d.write(1, bytes("again")).ok());
    ASSERT_TRUE(d.write(3, bytes("c")).ok());
    ASSERT_TRUE(d.append(3, bytes("+")).ok());
    ASSERT_TRUE(d.write(2, bytes("b")).ok());
    ASSERT_TRUE(d.delete_record(2).ok());
    EXPECT_EQ(log, (std::vector<std::string>{"1/1", "3/3"}));
    ASSERT_TRUE(d.append(4, bytes("new")).ok());  // an append that makes a new latest record
    EXPECT_EQ(log.size(), 3u);

    // A callback that writes to the same dataset wakes itself once more.
    int depth = 0;
    ASSERT_TRUE(other.set_poll_callback(nullptr).ok());
    ASSERT_TRUE(other.set_poll_callback(make_poll_callback([&] {
                     if (++depth == 1) {
                         ASSERT_TRUE(d.write(100, bytes("nested")).ok());
                     }
                 })).ok());
    ASSERT_TRUE(d.write(50, bytes("outer")).ok());
    EXPECT_EQ(depth, 2);

    // A closed group's callbacks are dropped.
    ASSERT_TRUE(c.close().ok());
    const size_t before = log.size();
    ASSERT_TRUE(q.push(bytes("z")).ok());
    EXPECT_EQ(log.size(), before);
}

TEST_F(QueueTest, CallbacksFromManyWritersAndPollersDoNotDeadlock) {
    Dataset d = make();
    DatasetQueue q = queue_of(d);
    constexpr int kPerWriter = 300;
    std::atomic<int> delivered{0};
    std::vector<DatasetQueueConsumer> handles;
    for (int i = 0; i < 3; ++i) handles.push_back(consumer(q, "g"));
    for (auto& h : handles) {
        ASSERT_TRUE(h.set_poll_callback(make_poll_callback([&h, &d, &delivered] {
                         auto r = h.try_poll();
                         if (r.ok() && r->has_value() && h.ack((*r)->timestamp).ok()) ++delivered;
                         (void)d.read_latest();
                     })).ok());
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w)
        writers.emplace_back([&] {
            for (int i = 0; i < kPerWriter; ++i) ASSERT_TRUE(q.push(bytes("x")).ok());
        });
    std::thread closer([&] {
        for (int i = 0; i < 20; ++i) {
            auto extra = q.open_consumer("extra", config());
            ASSERT_TRUE(extra.ok());
            ASSERT_TRUE(extra->set_poll_callback(make_poll_callback([] {})).ok());
            ASSERT_TRUE(extra->close().ok());
        }
    });
    for (auto& t : writers) t.join();
    closer.join();
    // Whatever the callbacks left behind is still there to poll.
    while (true) {
        auto r = handles[0].poll(0);
        ASSERT_TRUE(r.ok());
        if (!r->has_value()) break;
        ASSERT_TRUE(handles[0].ack((*r)->timestamp).ok());
        ++delivered;
    }
    EXPECT_EQ(delivered.load(), 3 * kPerWriter);
}

// ---- locks ----

TEST_F(QueueTest, ReentrantCallsFailInsteadOfDeadlocking) {
    Dataset d = make();
    // The journal hook runs under the dataset mutex: a call back into the dataset from
    // there is refused.
    std::string inner_error;
    journal->on_write = [&] {
        auto r = d.read(1);
        inner_error = r.ok() ? "ok" : r.error().to_string();
    };
    ASSERT_TRUE(d.write(1, bytes("x")).ok());
    EXPECT_EQ(inner_error, "invalid data: dataset mutex already held by this thread (re-entrant call)");
    journal->on_write = nullptr;

    // A callback dropped by the dataset's close is destroyed under the dataset mutex; a
    // destructor that calls back into the dataset is refused, not deadlocked.
    struct CallsBackWhenDestroyed {
        Dataset& d;
        std::string& seen;
        ~CallsBackWhenDestroyed() {
            auto r = d.read(1);
            seen = r.ok() ? "ok" : r.error().to_string();
        }
    };
    std::string seen;
    {
        DatasetQueue q = queue_of(d);
        DatasetQueueConsumer c = consumer(q, "g");
        auto probe = std::make_shared<CallsBackWhenDestroyed>(d, seen);
        ASSERT_TRUE(c.set_poll_callback(make_poll_callback([probe] {})).ok());
    }
    ASSERT_TRUE(d.close().ok());
    EXPECT_EQ(seen, "invalid data: dataset mutex already held by this thread (re-entrant call)");

    QueueMutex m("test mutex");
    {
        auto g = m.lock();
        ASSERT_TRUE(g.ok());
        EXPECT_EQ(m.lock().error().to_string(), "invalid data: test mutex already held by this thread (re-entrant call)");
        g->unlock();
        ASSERT_TRUE(g->relock("x").ok());
    }
    EXPECT_TRUE(m.lock().ok());
}

TEST_F(QueueTest, QueueMutexIsPoisonedByAnOperationEndingAbnormally) {
    QueueMutex m("queue inner mutex");
    try {
        auto g = m.lock();
        ASSERT_TRUE(g.ok());
        throw std::runtime_error("failed while holding");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(m.lock().error().to_string(), "invalid data: queue inner mutex poisoned");
    EXPECT_EQ(m.lock("consumer state mutex poisoned").error().to_string(),
              "invalid data: consumer state mutex poisoned");
    // A guard taken while another exception is already in flight is not poisoned by it.
    QueueMutex n("other");
    try {
        struct Unwinder {
            QueueMutex& n;
            ~Unwinder() {
                auto g = n.lock();
                EXPECT_TRUE(g.ok());
            }
        } u{n};
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(n.lock().ok());
}

}  // namespace
}  // namespace brenvale
