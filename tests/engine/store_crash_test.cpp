// A store killed in the middle of creating or dropping a dataset: every dataset then
// either opens whole or is absent and can be created again, and identifiers stay unique.
#include <gtest/gtest.h>

#include <set>

#include "crash_test_util.h"
#include "paths.h"
#include "store_test_util.h"

namespace brenvale {
namespace {

using testing::bytes;
using testing::read_text;
using testing::small_store_config;
using testing::TempDir;

std::string name_of(int i) { return fmt::format("d{}", i); }

// Journalled datasets in a store with a journal.
StoreConfig config() { return small_store_config(false, /*journal=*/true); }

// Whether the journal holds the drop of the dataset with this identifier.
bool drop_recorded(Store& s, uint64_t identifier) {
    auto entries = s.journal_query(1, INT64_MAX);
    for (const JournalEntry& e : entries.ok() ? *entries : std::vector<JournalEntry>{}) {
        auto r = JournalRecord::decode(e.payload);
        if (r.ok() && r->type == JournalLogType::DropDataset && r->identifier == identifier) return true;
    }
    return false;
}

// Creates d0..d2, each with one record; reports each dataset once its record is in.
int create_workload(const std::string& root, int fd) {
    auto s = Store::open(root, config());
    if (!s.ok()) return 3;
    for (int i = 0; i < 3; ++i) {
        auto d = s->create_dataset(name_of(i), "x",
                                   DatasetConfigBuilder::from_store(s->config()).enable_journal(true));
        if (!d.ok() || !d->write(1, bytes(name_of(i))).ok()) return 4;
        if (!testing::ack(fd, static_cast<uint32_t>(i))) return 5;
    }
    return 0;
}

// Drops d1 and d2 of a store holding d0..d2.
int drop_workload(const std::string& root, int fd) {
    auto s = Store::open(root, config());
    if (!s.ok()) return 3;
    for (int i = 1; i < 3; ++i) {
        if (!s->drop_dataset(name_of(i), "x").ok()) return 4;
        if (!testing::ack(fd, static_cast<uint32_t>(i))) return 5;
    }
    return 0;
}

void prepare_three(const std::string& root) {
    ASSERT_EQ(create_workload(root, -1), 0);
}

// What a dataset is after the kill: whole with its record, or absent and creatable.
enum class Found { Whole, Absent };

Found inspect_after_kill(Store& s, int i, const std::string& context) {
    auto d = s.open_dataset(name_of(i), "x");
    if (d.ok()) {
        const std::string value = read_text(*d, 1);
        EXPECT_TRUE(value == name_of(i) || value == "<none>") << context << ": " << value;
        return Found::Whole;
    }
    EXPECT_TRUE(d.error().kind() == ErrorKind::NotFound) << context << ": " << d.error().to_string();
    return Found::Absent;
}

// Every identifier on disk is distinct and at most max_identifier; a new dataset gets a
// number above all of them.
void check_identifiers(Store& s, const std::string& context) {
    std::set<uint64_t> seen;
    const std::vector<ScanEntry> entries = *s.scan();
    for (const ScanEntry& e : entries) {
        auto id = read_dataset_identifier(e.path);
        if (!id.ok()) continue;  // a create cut short before its identifier
        EXPECT_TRUE(seen.insert(*id).second) << context << ": identifier " << *id << " twice";
        EXPECT_LE(*id, s.max_identifier()) << context;
    }
    auto fresh = s.create_dataset("fresh", "x");
    ASSERT_TRUE(fresh.ok()) << context << ": " << fresh.error().to_string();
    EXPECT_TRUE(seen.empty() || fresh->identifier() > *seen.rbegin()) << context;
}

TEST(StoreCrash, EveryCreateStepLeavesDatasetsWholeOrCreatable) {
    const std::vector<std::string> prefixes = {"store.", "atomic write", "state."};
    std::set<std::string> steps;
    long total;
    {
        TempDir dir;
        int rc = -1;
        total = testing::count_crash_points(prefixes, [&](int fd) { return create_workload(dir.path(), fd); }, &steps,
                                            &rc);
        ASSERT_EQ(rc, 0);
    }
    for (const char* name : {"store.create.max_identifier", "store.create.identifier", "store.create.dataset",
                             "atomic write: before rename"})
        EXPECT_TRUE(steps.count(name)) << "the workload never reaches " << name;

    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        auto run = testing::run_to_crash_point(prefixes, k, [&](int fd) { return create_workload(dir.path(), fd); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const std::string context = fmt::format("crash point {}", k);
        Store s = std::move(*Store::open(dir.path(), config()));
        const int done = static_cast<int>(run.acks.size());
        for (int i = 0; i < 3; ++i) {
            const Found f = inspect_after_kill(s, i, context);
            if (i < done) {
                EXPECT_EQ(f, Found::Whole) << context << ", dataset " << i;
                EXPECT_EQ(read_text(*s.open_dataset(name_of(i), "x"), 1), name_of(i)) << context;
            } else if (i > done) {
                EXPECT_EQ(f, Found::Absent) << context << ", dataset " << i;
            } else if (f == Found::Absent) {
                auto again = s.create_dataset(name_of(i), "x");  // the interrupted create is done again
                ASSERT_TRUE(again.ok()) << context << ": " << again.error().to_string();
                ASSERT_TRUE(again->write(1, bytes("again")).ok());
            }
        }
        check_identifiers(s, context);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(StoreCrash, EveryDropStepLeavesTheDatasetWholeOrGone) {
    const std::vector<std::string> prefixes = {"store.", "state.", "remove_dir_all"};
    std::set<std::string> steps;
    long total;
    {
        TempDir dir;
        prepare_three(dir.path());
        int rc = -1;
        total = testing::count_crash_points(prefixes, [&](int fd) { return drop_workload(dir.path(), fd); }, &steps,
                                            &rc);
        ASSERT_EQ(rc, 0);
    }
    for (const char* name : {"store.drop.closed", "store.drop.renamed", "remove_dir_all: file removed"})
        EXPECT_TRUE(steps.count(name)) << "the workload never reaches " << name;

    for (long k = 1; k <= total; ++k) {
        TempDir dir;
        prepare_three(dir.path());
        auto run = testing::run_to_crash_point(prefixes, k, [&](int fd) { return drop_workload(dir.path(), fd); });
        ASSERT_EQ(run.exit_code, testing::kCrashExit) << "crash point " << k;
        const std::string context = fmt::format("crash point {}", k);
        Store s = std::move(*Store::open(dir.path(), config()));
        // Whatever the kill left of a dropped directory went with the open.
        for (int i = 0; i < 3; ++i) {
            const std::vector<std::string> entries = *list_dir(dir.file(name_of(i)));
            for (const std::string& entry : entries)
                EXPECT_FALSE(paths::is_dropping_name(entry)) << context << ": " << entry;
        }
        const int dropped = static_cast<int>(run.acks.size());  // d1.. d(dropped)
        EXPECT_EQ(inspect_after_kill(s, 0, context), Found::Whole);
        for (int i = 1; i < 3; ++i) {
            const Found f = inspect_after_kill(s, i, context);
            // A dataset gone from its key has its drop in the journal (identifiers 1 to 3).
            EXPECT_TRUE(f == Found::Whole || drop_recorded(s, i + 1)) << context << ": no drop event of " << i;
            // A dropped dataset leaves nothing under its key: no half dataset stays listed.
            const std::vector<std::string> types = *s.dataset_types(name_of(i));
            EXPECT_EQ(types.empty(), f == Found::Absent) << context << ", dataset " << i;
            if (i <= dropped) {
                EXPECT_EQ(f, Found::Absent) << context << ", dataset " << i;
            } else if (i > dropped + 1) {
                EXPECT_EQ(f, Found::Whole) << context << ", dataset " << i;
            }
            if (f == Found::Whole) {
                EXPECT_EQ(read_text(*s.open_dataset(name_of(i), "x"), 1), name_of(i)) << context;
                ASSERT_TRUE(s.drop_dataset(name_of(i), "x").ok()) << context;
            }
            auto again = s.create_dataset(name_of(i), "x");
            ASSERT_TRUE(again.ok()) << context << ": " << again.error().to_string();
            EXPECT_EQ(read_text(*again, 1), "<none>") << context;
        }
        check_identifiers(s, context);
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace brenvale
