#include "dirty_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace brenvale {
namespace {

const DataSetKey kA{"a", "t"};
const DataSetKey kB{"b", "t"};
const DataSetKey kA2{"a", "u"};  // same name, other dataset type

TEST(DirtyListTest, TakeAllReturnsEntriesInOrderAndEmpties) {
    DirtyList list;
    EXPECT_TRUE(list.take_all().empty());
    list.push({kA, DirtyTarget::data_segment(0)});
    list.push({kB, DirtyTarget::index_segment(-7)});
    list.push({kA, DirtyTarget::queue_state("g1")});
    list.push({kA, DirtyTarget::data_segment(0)});  // no deduplication in the list itself
    EXPECT_EQ(list.size(), 4u);

    auto all = list.take_all();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].key, kA);
    EXPECT_EQ(all[0].target, DirtyTarget::data_segment(0));
    EXPECT_EQ(all[1].key, kB);
    EXPECT_EQ(all[1].target.kind, DirtyTarget::Kind::IndexSegment);
    EXPECT_EQ(all[1].target.index_start, -7);
    EXPECT_EQ(all[2].target.kind, DirtyTarget::Kind::QueueState);
    EXPECT_EQ(all[2].target.group, "g1");
    EXPECT_EQ(all[3].target, DirtyTarget::data_segment(0));
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(list.take_all().empty());
}

TEST(DirtyListTest, TakeForKeepsOtherDatasetsInOrder) {
    DirtyList list;
    list.push({kB, DirtyTarget::data_segment(1)});
    list.push({kA, DirtyTarget::data_segment(10)});
    list.push({kA2, DirtyTarget::data_segment(2)});
    list.push({kA, DirtyTarget::index_segment(20)});
    list.push({kB, DirtyTarget::data_segment(3)});
    list.push({kA, DirtyTarget::queue_state("g")});

    auto mine = list.take_for(kA);
    ASSERT_EQ(mine.size(), 3u);
    EXPECT_EQ(mine[0], DirtyTarget::data_segment(10));
    EXPECT_EQ(mine[1], DirtyTarget::index_segment(20));
    EXPECT_EQ(mine[2], DirtyTarget::queue_state("g"));
    EXPECT_TRUE(list.take_for(kA).empty());

    auto rest = list.take_all();
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest[0].key, kB);
    EXPECT_EQ(rest[0].target.data_base, 1u);
    EXPECT_EQ(rest[1].key, kA2);
    EXPECT_EQ(rest[1].target.data_base, 2u);
    EXPECT_EQ(rest[2].key, kB);
    EXPECT_EQ(rest[2].target.data_base, 3u);
}

TEST(DirtyListTest, TargetsOfDifferentKindsDiffer) {
    EXPECT_NE(DirtyTarget::data_segment(5), DirtyTarget::index_segment(5));
    EXPECT_NE(DirtyTarget::queue_state("a"), DirtyTarget::queue_state("b"));
    EXPECT_NE(DirtyTarget::data_segment(0), DirtyTarget::queue_state(""));
}

TEST(DirtyNotifierTest, PushesCopiesOfItsKey) {
    auto list = std::make_shared<DirtyList>();
    DirtyNotifier n1(kA, list);
    DirtyNotifier n2 = n1;  // segments get copies of their dataset's notifier
    DirtyNotifier n3(kB, list);
    n1.mark_dirty(DirtyTarget::data_segment(64));
    n3.mark_dirty(DirtyTarget::queue_state("grp"));
    n2.mark_dirty(DirtyTarget::index_segment(INT64_MIN));
    EXPECT_EQ(n2.key(), kA);

    auto all = list->take_all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].key, kA);
    EXPECT_EQ(all[0].target, DirtyTarget::data_segment(64));
    EXPECT_EQ(all[1].key, kB);
    EXPECT_EQ(all[2].key, kA);
    EXPECT_EQ(all[2].target, DirtyTarget::index_segment(INT64_MIN));
}

TEST(DirtyListTest, ConcurrentPushesAndTakes) {
    auto list = std::make_shared<DirtyList>();
    constexpr int kProducers = 6;
    constexpr uint64_t kPerProducer = 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            DirtyNotifier n(DataSetKey{"ds" + std::to_string(p), "t"}, list);
            for (uint64_t i = 0; i < kPerProducer; ++i) n.mark_dirty(DirtyTarget::data_segment(i));
        });
    }
    // A flusher drains while the producers push; each producer's entries stay in order.
    std::vector<DirtyEntry> seen;
    std::atomic<bool> done{false};
    std::thread flusher([&] {
        while (!done.load()) {
            auto batch = list->take_all();
            seen.insert(seen.end(), batch.begin(), batch.end());
            std::this_thread::yield();
        }
    });
    for (auto& t : producers) t.join();
    done.store(true);
    flusher.join();
    auto tail = list->take_all();
    seen.insert(seen.end(), tail.begin(), tail.end());

    ASSERT_EQ(seen.size(), kProducers * kPerProducer);
    std::vector<uint64_t> next(kProducers, 0);
    for (const auto& e : seen) {
        int p = std::stoi(e.key.name.substr(2));
        ASSERT_EQ(e.target.data_base, next[p]) << "producer " << p;
        ++next[p];
    }
    EXPECT_EQ(list->size(), 0u);
}

}  // namespace
}  // namespace brenvale
