// The journal handle in its three states and the journal queue: dataset events delivered
// in sequence order, acknowledgement and redelivery on a controllable clock, handles of
// one group across threads, blocking polls woken by appends and by close, callbacks that
// call back into the queue, the journal and the dataset, and sequences the journal lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "dataset/dataset.h"
#include "journal/journal.h"
#include "paths.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

StoreConfig small_store(bool journal = true) {
    StoreConfig c;
    c.data_segment_size = 64 * 1024;
    c.initial_data_segment_size = 8 * 1024;
    c.compress_level = 3;
    c.enable_journal = journal;
    return c;
}

ConsumerConfig config(uint64_t expire = 0, uint64_t retries = 0) { return *ConsumerConfig::create(expire, retries); }

std::string text(const Error& e) { return e.to_string(); }

// "seq:type" of a poll, "none", or the error text.
std::string polled(const Result<std::optional<JournalEntry>>& r) {
    if (!r.ok()) return text(r.error());
    if (!r->has_value()) return "none";
    auto rec = JournalRecord::decode((*r)->payload);
    return std::to_string((*r)->sequence) + ":" + (rec.ok() ? std::to_string(int(rec->type)) : "?");
}

class JournalQueueTest : public ::testing::Test {
protected:
    TempDir dir;
    DataSetKey key{"ds", "t"};
    std::shared_ptr<Journal> journal = open_journal();

    ~JournalQueueTest() override { set_wall_clock_offset(0ns); }

    std::shared_ptr<Journal> open_journal() {
        auto j = Journal::open(dir.path(), small_store());
        EXPECT_TRUE(j.ok()) << text(j.error());
        return *j;
    }
    Dataset make_dataset(uint64_t identifier = 7) {
        DatasetConfig c;
        c.data_segment_size = 1 << 20;
        c.initial_data_segment_size = 4096;
        c.index_segment_size = 16384;
        c.initial_index_segment_size = 1024;
        c.enable_journal = true;
        auto d = Dataset::create(key, paths::dataset_dir(dir.path(), key), c);
        EXPECT_TRUE(d.ok()) << text(d.error());
        DatasetRuntime rt;
        rt.journal_hook = journal;
        EXPECT_TRUE(d->set_identifier(identifier).ok());
        EXPECT_TRUE(d->attach_runtime(rt).ok());
        return std::move(*d);
    }
    Bytes meta_area() {
        return *read_meta_tlv_area(paths::meta_file(paths::dataset_dir(dir.path(), key)));
    }
    JournalQueue queue() { return *journal->open_queue(); }
    JournalQueueConsumer consumer(JournalQueue q, const std::string& group, ConsumerConfig c = config()) {
        auto r = q.open_consumer(group, c);
        EXPECT_TRUE(r.ok()) << text(r.error());
        return std::move(*r);
    }
    uint64_t append_event(uint64_t id = 7) {
        auto s = journal->append(JournalRecord::record_write(id, {1, 2, 3}));
        EXPECT_TRUE(s.ok() && s->has_value());
        return s.ok() && s->has_value() ? **s : 0;
    }
};

TEST_F(JournalQueueTest, ThreeStates) {
    // Disabled: reads and the queue are refused, records are dropped silently.
    auto off = Journal::open(dir.path(), small_store(false));
    ASSERT_TRUE(off.ok());
    EXPECT_EQ((*off)->mode(), Journal::Mode::Disabled);
    const std::string disabled = "not found: journal is disabled";
    EXPECT_EQ(text((*off)->last_sequence().error()), disabled);
    EXPECT_EQ(text((*off)->read(1).error()), disabled);
    EXPECT_EQ(text((*off)->query(1, 2).error()), disabled);
    EXPECT_EQ(text((*off)->open_queue().error()), disabled);
    EXPECT_FALSE((*off)->record_create_dataset(1, key, {})->has_value());
    EXPECT_TRUE((*off)->reserve_record().ok());  // holds nothing
    (*off)->cancel_record();
    EXPECT_TRUE((*off)->record_write(1, {1, 2, 3}).ok());
    EXPECT_TRUE((*off)->flush().ok());

    // Read-only over a store without journal directories: empty answers, no writes.
    TempDir bare;
    auto ro = Journal::open_read_only(bare.path(), small_store());
    ASSERT_TRUE(ro.ok());
    EXPECT_FALSE((*ro)->read(1)->has_value());
    EXPECT_TRUE((*ro)->query(1, 10)->empty());
    EXPECT_FALSE((*ro)->last_sequence()->has_value());
    EXPECT_EQ(text((*ro)->record_create_dataset(1, key, {}).error()),
              "invalid data: read-only journal cannot append records");
    EXPECT_EQ(text((*ro)->record_delete(1, {1, 2, 3}).error()), "invalid data: read-only journal cannot append records");
    EXPECT_EQ(text((*ro)->reserve_record().error()), "invalid data: read-only journal cannot append records");
    (*ro)->cancel_record();
    EXPECT_EQ(text((*ro)->open_queue().error()), "invalid data: journal queue is not available in read-only store");
    EXPECT_FALSE(*path_exists(bare.file(".journal")));

    // Enabled: creation 1, write 2, delete 3, append 4; a read-only handle sees them.
    Dataset d = make_dataset();
    EXPECT_EQ(**journal->record_create_dataset(7, key, meta_area()), 1u);
    ASSERT_TRUE(d.write(5, Bytes{1, 2}).ok());
    ASSERT_TRUE(d.delete_record(5).ok());
    ASSERT_TRUE(d.append(6, Bytes{3}).ok());
    EXPECT_EQ(**journal->last_sequence(), 4u);
    ASSERT_TRUE(journal->flush().ok());
    auto reader = Journal::open_read_only(dir.path(), small_store());
    ASSERT_TRUE(reader.ok());
    auto all = (*reader)->query(-5, 100);
    ASSERT_TRUE(all.ok());
    std::vector<JournalLogType> types;
    for (const auto& e : *all) types.push_back(JournalRecord::decode(e.payload)->type);
    EXPECT_EQ(types, (std::vector<JournalLogType>{JournalLogType::CreateDataset, JournalLogType::RecordWrite,
                                                   JournalLogType::RecordDelete, JournalLogType::RecordAppend}));
    const JournalRecord created = *JournalRecord::decode((*all)[0].payload);
    EXPECT_EQ(created.metadata, meta_area());
    EXPECT_EQ(created.identifier, 7u);
    EXPECT_EQ(JournalRecord::decode((*all)[3].payload)->append_info, (JournalAppendInfo{0, 1}));
    // Two handles of one queue share its groups.
    auto a = consumer(queue(), "g", config(60, 1));
    EXPECT_EQ(text(queue().open_consumer("g", config(900, 3)).error()),
              "invalid data: journal consumer group g is already open with a different config");
}

TEST_F(JournalQueueTest, DeliversDatasetEventsInSequenceOrder) {
    auto early = consumer(queue(), "early");  // on an empty journal: from sequence 1
    Dataset d = make_dataset();
    ASSERT_TRUE(journal->record_create_dataset(7, key, meta_area()).ok());
    ASSERT_TRUE(d.write(10, Bytes{1}).ok());
    ASSERT_TRUE(d.append(10, Bytes{2}).ok());
    ASSERT_TRUE(d.delete_record(10).ok());
    ASSERT_TRUE(journal->record_drop_dataset(7, key, meta_area()).ok());
    auto late = consumer(queue(), "late");  // after sequence 5: only what comes later

    const std::vector<std::string> want = {"1:1", "2:17", "3:19", "4:18", "5:2"};
    for (const std::string& w : want) {
        auto r = early.poll(0);
        EXPECT_EQ(polled(r), w);
        if (r.ok() && r->has_value()) {
            ASSERT_TRUE(early.ack(static_cast<int64_t>((*r)->sequence)).ok());
        }
    }
    EXPECT_EQ(polled(early.poll(0)), "none");
    EXPECT_EQ(polled(late.poll(0)), "none");
    EXPECT_EQ(append_event(), 6u);
    EXPECT_EQ(polled(late.poll(0)), "6:17");
    EXPECT_EQ((*early.progress()).first, 5);
}

TEST_F(JournalQueueTest, AcknowledgementRedeliveryAndClose) {
    for (int i = 0; i < 5; ++i) append_event();
    JournalQueue q = queue();
    auto a = consumer(q, "g", config(100, 2));
    auto b = consumer(q, "g", config(100, 2));
    for (int i = 0; i < 2; ++i) append_event();
    // Two handles of one group take 6 and 7; acknowledgements out of order.
    EXPECT_EQ(polled(a.poll(0)), "6:17");
    EXPECT_EQ(polled(b.poll(0)), "7:17");
    ASSERT_TRUE(b.ack(7).ok());
    EXPECT_EQ((*a.progress()).first, 5);
    ASSERT_TRUE(a.ack(6).ok());
    EXPECT_EQ((*a.progress()).first, 7);
    EXPECT_EQ(text(a.ack(99).error()), "not found: pending entry for timestamp 99");

    // Unacknowledged: handed out again once running_expired_seconds have passed, twice
    // more, then dropped and passed over.
    append_event();
    EXPECT_EQ(polled(a.poll(0)), "8:17");
    EXPECT_EQ(polled(b.poll(0)), "none");
    for (int retry = 1; retry <= 2; ++retry) {
        set_wall_clock_offset(std::chrono::seconds(150 * retry));
        EXPECT_EQ(polled(b.poll(0)), "8:17") << retry;
    }
    set_wall_clock_offset(450s);
    EXPECT_EQ(polled(a.poll(0)), "none");
    EXPECT_EQ((*a.progress()).first, 8);

    // Polled, not acknowledged, then the store closes: delivered again after reopening.
    append_event();
    EXPECT_EQ(polled(a.poll(0)), "9:17");
    ASSERT_TRUE(journal->flush().ok());
    journal = open_journal();
    auto again = consumer(queue(), "g", config(100, 2));
    EXPECT_EQ(polled(again.poll(0)), "9:17");

    // Close: waiting and later polls fail; the journal then hands out a new, working queue,
    // whose group finds what the closed one persisted.
    JournalQueue q2 = queue();
    ASSERT_TRUE(q2.close().ok());
    ASSERT_TRUE(q2.close().ok());
    EXPECT_EQ(text(again.poll(1000).error()), "queue closed: journal queue is closed");
    EXPECT_EQ(text(again.ack(9).error()), "queue closed: journal queue is closed");
    EXPECT_EQ(text(q2.open_consumer("g", config(100, 2)).error()), "queue closed: journal queue is closed");
    EXPECT_FALSE(queue().closed());
    auto reopened = consumer(queue(), "g", config(100, 2));
    EXPECT_EQ(polled(reopened.poll(0)), "9:17");
    ASSERT_TRUE(reopened.ack(9).ok());
    EXPECT_EQ(text(q2.open_consumer("a b", config()).error()),
              "invalid data: journal queue consumer group_name must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes");
}

TEST_F(JournalQueueTest, BlockingPollWakesOnAppendAndOnClose) {
    JournalQueue q = queue();
    auto c = consumer(q, "g");
    std::thread writer([&] {
        std::this_thread::sleep_for(20ms);
        append_event();
    });
    EXPECT_EQ(polled(c.poll(UINT64_MAX)), "1:17");  // a saturating deadline
    writer.join();

    std::atomic<bool> waiting{false};
    std::thread closer([&] {
        while (!waiting.load()) std::this_thread::yield();
        std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(q.close().ok());
    });
    waiting = true;
    EXPECT_EQ(text(c.poll(UINT64_MAX).error()), "queue closed: journal queue is closed");
    closer.join();
}

// One append wakes every waiting poller, of two groups or of two handles of one group.
TEST_F(JournalQueueTest, OneAppendWakesEveryWaitingPoller) {
    JournalQueue q = queue();
    for (int trial = 0; trial < 5; ++trial) {
        for (bool one_group : {false, true}) {
            const std::string name = fmt::format("g{}{}", trial, one_group);
            std::vector<JournalQueueConsumer> handles{consumer(q, name), consumer(q, one_group ? name : name + "b")};
            std::vector<std::function<std::string()>> polls;
            for (auto& h : handles) polls.push_back([&h] { return polled(h.poll(5000)); });
            for (const auto& o : testing::polls_woken_by(polls, [&] {
                     for (int i = 0; i <= int(one_group); ++i) append_event();
                 })) {
                EXPECT_NE(o.got, "none") << "trial " << trial << ", one group " << one_group;
                EXPECT_LT(o.took, 2500ms) << "trial " << trial << ", one group " << one_group;
            }
        }
    }
}

// A dropped handle's callback stays registered with its group until the queue closes.
TEST_F(JournalQueueTest, ADroppedHandleKeepsItsCallback) {
    JournalQueue q = queue();
    int calls = 0;
    ASSERT_TRUE(consumer(q, "g").set_poll_callback(make_poll_callback([&] { ++calls; })).ok());
    append_event();
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(q.close().ok());
    append_event();
    EXPECT_EQ(calls, 1);
}

TEST_F(JournalQueueTest, HandlesOfOneGroupAcrossThreadsNeverShareARecord) {
    constexpr int kRecords = 400, kThreads = 4;
    JournalQueue q = queue();
    std::vector<JournalQueueConsumer> handles;
    for (int i = 0; i < kThreads; ++i) handles.push_back(consumer(q, "g"));
    std::mutex mu;
    std::multiset<uint64_t> got;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (true) {
                auto r = handles[i].poll(5);
                ASSERT_TRUE(r.ok()) << text(r.error());
                if (!r->has_value()) {
                    if (done.load()) {
                        std::lock_guard g(mu);
                        if (got.size() >= kRecords) return;
                    }
                    continue;
                }
                ASSERT_TRUE(handles[i].ack(static_cast<int64_t>((*r)->sequence)).ok());
                std::lock_guard g(mu);
                got.insert((*r)->sequence);
            }
        });
    }
    for (int i = 0; i < kRecords; ++i) append_event();
    done = true;
    for (auto& t : threads) t.join();
    ASSERT_EQ(got.size(), size_t{kRecords});
    EXPECT_EQ(std::set<uint64_t>(got.begin(), got.end()).size(), size_t{kRecords}) << "a record went twice";
    EXPECT_EQ((*handles[0].progress()).first, kRecords);
}

// Callbacks run on the appending thread after every lock is released: they may poll,
// read the journal, and write to the very dataset whose write woke them.
TEST_F(JournalQueueTest, CallbacksCallBackWithoutDeadlock) {
    Dataset d = make_dataset();
    JournalQueue q = queue();
    auto c = consumer(q, "g");
    std::vector<std::string> seen;
    int depth = 0;
    const auto caller = std::this_thread::get_id();
    ASSERT_TRUE(c.set_poll_callback(make_poll_callback([&] {
                    EXPECT_EQ(std::this_thread::get_id(), caller);
                    seen.push_back(polled(c.try_poll()));
                    EXPECT_TRUE(journal->last_sequence().ok());
                    EXPECT_TRUE(d.read(1).ok());
                    if (depth++ == 0) {
                        EXPECT_TRUE(d.write(2, Bytes{2}).ok());  // wakes once more
                    }
                })).ok());
    EXPECT_EQ(text(c.set_poll_callback(make_poll_callback([] {})).error()),
              "invalid data: journal queue poll callback is already registered");
    ASSERT_TRUE(d.write(1, Bytes{1}).ok());
    EXPECT_EQ(seen, (std::vector<std::string>{"1:17", "2:17"}));
    ASSERT_TRUE(journal->record_create_dataset(7, key, meta_area()).ok());
    EXPECT_EQ(seen.back(), "3:1");
    ASSERT_TRUE(c.set_poll_callback(nullptr).ok());
    ASSERT_TRUE(d.write(3, Bytes{3}).ok());
    EXPECT_EQ(seen.size(), 3u);
}

// Sequences the journal no longer holds (a damaged segment) are passed over: pending
// ones are finished, fresh ones skipped, and the group goes on.
TEST_F(JournalQueueTest, LostSequencesArePassedOver) {
    auto c = consumer(queue(), "g");
    for (int i = 0; i < 10; ++i) append_event();
    for (int i = 1; i <= 7; ++i) EXPECT_EQ(polled(c.poll(0)), std::to_string(i) + ":17");
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(c.ack(i).ok());
    ASSERT_TRUE(journal->flush().ok());
    journal.reset();
    // Sequence 6 loses its number: the segment keeps 1..5, and its state counted 10.
    const std::string seg = join_path(paths::journal_data_dir(paths::journal_logs_dir(dir.path())),
                                      segment_file_name(1));
    const uint64_t frame = 12 + JournalRecord::record_write(7, {1, 2, 3}).encode()->size();
    testing::patch_u64(seg, 108 + 16 + 5 * frame + 4, 999);
    journal = open_journal();
    EXPECT_EQ(append_event(), 11u);
    auto again = consumer(queue(), "g");
    EXPECT_EQ(polled(again.poll(0)), "11:17");
    EXPECT_EQ((*again.progress()).first, 10);
}

// A group draining sealed records decodes each block once, with the store's block cache
// or without one (the last block is kept), and reads on through an older segment opening
// its file once per block, not once per record.
TEST_F(JournalQueueTest, DrainingSealedRecordsDecodesEachBlockOnce) {
    constexpr uint64_t kRecords = 1200;  // of about 2 KB: about 127 to a block, 4 blocks to a segment
    StoreConfig sc = small_store();
    sc.data_segment_size = 1 << 20;
    struct Case {
        const char* what;
        std::shared_ptr<BlockCache> cache;
    };
    const Case cases[] = {{"store cache", std::make_shared<BlockCache>(64 << 20)},
                          {"disabled cache", std::make_shared<BlockCache>(0)},
                          {"no cache", nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir d;
        auto j = Journal::open(d.path(), sc, nullptr, c.cache);
        ASSERT_TRUE(j.ok());
        auto g = consumer(*(*j)->open_queue(), "g");
        for (uint64_t s = 1; s <= kRecords; ++s)
            ASSERT_EQ(**(*j)->record_create_dataset(s, key, testing::random_bytes(2000, s)), s);
        // One range read of another log decodes each sealed block once: their number.
        const std::string logs = paths::journal_logs_dir(d.path());
        auto other = JournalLog::open_read_only(logs, JournalLogOptions::from(sc));
        ASSERT_TRUE(other.ok() && other->has_value());
        uint64_t before = decompression_count();
        ASSERT_EQ((**other).read_range(1, kRecords)->size(), kRecords);
        const uint64_t sealed = decompression_count() - before;
        const uint64_t segments = (**other).segment_count();
        ASSERT_GE(segments, 3u);

        before = decompression_count();
        set_io_faults(IoFaultPlan{io_op::kOpen, UINT64_MAX, EIO, false});  // counts the opens
        for (uint64_t s = 1; s <= kRecords; ++s) {
            auto r = g.poll(0);
            ASSERT_TRUE(r.ok() && r->has_value() && (*r)->sequence == s) << s;
            ASSERT_TRUE(g.ack(static_cast<int64_t>(s)).ok());
        }
        const uint64_t opens = io_calls_seen();
        clear_io_faults();
        EXPECT_LE(decompression_count() - before, sealed);
        EXPECT_LE(opens, sealed + segments);
    }
}

}  // namespace
}  // namespace brenvale
