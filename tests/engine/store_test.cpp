// The engine store: open modes and the lock, identifier files, keys, the registry, the
// dataset operations, the listing, a copy with holes on a full disk and the shutdown order.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "crash_test_util.h"
#include "paths.h"
#include "record_model.h"
#include "segment_test_util.h"
#include "store_test_util.h"

namespace brenvale {
namespace {

using testing::bytes;
using testing::error_text;
using testing::read_text;
using testing::small_store_config;
using testing::TempDir;
using testing::text;

Store open_store(const std::string& root, std::optional<bool> read_only = false) {
    auto s = Store::open(root, small_store_config(read_only));
    EXPECT_TRUE(s.ok()) << s.error().to_string();
    return std::move(*s);
}

Dataset create(Store& s, const std::string& name, const std::string& type) {
    auto d = s.create_dataset(name, type);
    EXPECT_TRUE(d.ok()) << d.error().to_string();
    return std::move(*d);
}

std::string file_text(const std::string& path) {
    auto t = read_file(path);
    return t.ok() ? *t : "<missing>";
}

// ---- identifier files and keys ----

TEST(StoreIdentifiers, ParseTable) {
    struct Case {
        std::string text;
        bool allow_zero;
        std::string expected;  // the value, or the error text
    };
    const Case cases[] = {
        {" 42\n", true, "42"},
        {"\u00a0\u3000 7\t\u2029", false, "7"},
        {"0", true, "0"},
        {"0", false, "invalid data: x must be > 0"},
        {"18446744073709551615", false, "18446744073709551615"},
        {"18446744073709551616", true, "invalid data: x exceeds maximum u64 identifier value"},
        {"4a", true, "invalid data: x must be a decimal u64 string"},
        {"", true, "invalid data: x must be a decimal u64 string"},
        {" \n", true, "invalid data: x must be a decimal u64 string"},
        {"+1", true, "invalid data: x must be a decimal u64 string"},
        {"-1", true, "invalid data: x must be a decimal u64 string"},
        {"1 2", true, "invalid data: x must be a decimal u64 string"},
    };
    for (const Case& c : cases) {
        auto v = parse_identifier("x", c.text, c.allow_zero);
        EXPECT_EQ(v.ok() ? std::to_string(*v) : v.error().to_string(), c.expected) << "'" << c.text << "'";
    }

    TempDir dir;
    EXPECT_EQ(*read_max_identifier(dir.path()), 0u);
    ASSERT_TRUE(write_identifier_file(dir.file("max_identifier"), 42).ok());
    EXPECT_EQ(file_text(dir.file("max_identifier")), "42");
    EXPECT_EQ(*read_max_identifier(dir.path()), 42u);
    ASSERT_TRUE(write_identifier_file(dir.file("max_identifier"), 7).ok());  // replaced whole
    EXPECT_EQ(file_text(dir.file("max_identifier")), "7");
    ASSERT_TRUE(write_identifier_file(dir.file("max_identifier"), 0).ok());
    EXPECT_EQ(*read_max_identifier(dir.path()), 0u);
    EXPECT_EQ(error_text(read_dataset_identifier(dir.path())),
              "not found: dataset identifier not found at " + dir.file("identifier"));
    ASSERT_TRUE(write_identifier_file(dir.file("identifier"), 0).ok());
    EXPECT_EQ(error_text(read_dataset_identifier(dir.path())), "invalid data: identifier must be > 0");
    ASSERT_TRUE(write_file_atomic(dir.file("max_identifier"), "4a").ok());
    EXPECT_EQ(error_text(read_max_identifier(dir.path())), "invalid data: max_identifier must be a decimal u64 string");
}

TEST(StoreKeys, NamesThatCouldLeaveTheRootAreRefusedBeforeAnyPathIsBuilt) {
    const std::string name_error = "invalid data: dataset name must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes";
    const std::string type_error = "invalid data: dataset type must match ^[0-9A-Za-z_-]+$ and be at most 255 bytes";
    struct Case {
        std::string name, type, expected;
    };
    const Case cases[] = {
        {std::string(255, 'n'), "t", "<ok>"},
        {"a-Z_09", std::string(255, 't'), "<ok>"},
        {std::string(256, 'n'), "t", name_error},
        {"", "t", name_error},
        {"a.b", "t", name_error},
        {"..", "t", name_error},
        {".", "t", name_error},
        {"a/b", "t", name_error},
        {std::string("a\0b", 3), "t", name_error},
        {"caf\xc3\xa9", "t", name_error},
        {"ok", "..", type_error},
        {"ok", "x/../../y", type_error},
        {"ok", "", type_error},
        {"ok", std::string(256, 't'), type_error},
    };
    TempDir dir;
    const std::string root = dir.file("root");
    Store s = open_store(root);
    for (const Case& c : cases) {
        EXPECT_EQ(error_text(validate_key(c.name, c.type)), c.expected);
        if (c.expected == "<ok>") continue;
        EXPECT_EQ(error_text(s.create_dataset(c.name, c.type)), c.expected);
        EXPECT_EQ(error_text(s.open_dataset(c.name, c.type)), c.expected);
        EXPECT_EQ(error_text(s.inspect_dataset(c.name, c.type)), c.expected);
        EXPECT_EQ(error_text(s.drop_dataset(c.name, c.type)), c.expected);
    }
    EXPECT_EQ(error_text(s.dataset_types("..")), name_error);
    // Nothing was made beside the root, nor in it but the lock.
    EXPECT_EQ(*list_dir(dir.path()), std::vector<std::string>{"root"});
    EXPECT_EQ(*list_dir(root), std::vector<std::string>{".lock"});

    EXPECT_EQ(error_text(s.create_dataset(".journal", "logs")), "invalid data: journal dataset is reserved");
    EXPECT_EQ(error_text(s.drop_dataset(".journal", "logs")), "invalid data: journal dataset is reserved");
    EXPECT_EQ(error_text(s.open_dataset(".journal", "logs")), "not found: journal is not exposed as a dataset handle");
}

// ---- open modes and the lock ----

TEST(StoreOpen, LockHeldByAnotherProcessGivesReadOnlyOrTheLockError) {
    TempDir dir;
    const std::string root = dir.file("r");
    {
        Store s = open_store(root);
        create(s, "a", "x");
    }
    ASSERT_TRUE(write_file_atomic(paths::lock_file(root), "keep").ok());  // the lock file is never truncated
    int to_parent[2], to_child[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    ASSERT_EQ(::pipe(to_child), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto s = Store::open(root, small_store_config(false));
        const char ok = s.ok() && !s->read_only() ? 'w' : 'e';
        if (::write(to_parent[1], &ok, 1) != 1) _exit(3);
        char c;
        if (::read(to_child[0], &c, 1) != 1) _exit(4);
        _exit(0);
    }
    char state = 0;
    ASSERT_EQ(::read(to_parent[0], &state, 1), 1);
    ASSERT_EQ(state, 'w');

    auto locked = Store::open(root, small_store_config(false));
    EXPECT_EQ(error_text(locked), "invalid data: store is already locked for writing");
    auto fallback = Store::open(root, small_store_config(std::nullopt));
    ASSERT_TRUE(fallback.ok());
    EXPECT_TRUE(fallback->read_only());
    auto d = fallback->open_dataset("a", "x");
    ASSERT_TRUE(d.ok()) << d.error().to_string();
    EXPECT_EQ(error_text(d->write(1, bytes("x"))), "invalid data: read-only dataset cannot be written");

    ASSERT_EQ(::write(to_child[1], "q", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) ::close(fd);

    auto writable = Store::open(root, small_store_config(std::nullopt));
    ASSERT_TRUE(writable.ok());
    EXPECT_FALSE(writable->read_only());
    EXPECT_EQ(file_text(paths::lock_file(root)), "keep");
}

TEST(StoreOpen, ReadOnlyTrueCreatesNothingAndInvalidConfigTouchesNoDisk) {
    TempDir dir;
    auto ro = Store::open(dir.file("missing"), small_store_config(true));
    ASSERT_TRUE(ro.ok());
    EXPECT_TRUE(ro->read_only());
    EXPECT_FALSE(*path_exists(dir.file("missing")));
    // Nothing to list is a listing error, not an empty store.
    const std::string missing = "I/O error: No such file or directory (os error 2)";
    EXPECT_EQ(error_text(ro->dataset_names()), missing);
    EXPECT_EQ(error_text(ro->dataset_types("a")), missing);
    EXPECT_EQ(error_text(ro->open_dataset_by_identifier(1)), missing);

    StoreConfig bad = small_store_config();
    bad.initial_data_segment_size = bad.data_segment_size + 1;
    EXPECT_EQ(error_text(Store::open(dir.file("bad"), bad)),
              "invalid data: initial_data_segment_size must be <= data_segment_size, got 65537 > 65536");
    EXPECT_FALSE(*path_exists(dir.file("bad")));
}

TEST(StoreOpen, ThreadThatCannotStartIsAnIoErrorAndReleasesTheLock) {
    TempDir dir;
    StoreConfig config = small_store_config();
    config.enable_background_thread = true;
    {
        testing::ScopedIoFaults no_threads(io_op::kSpawn, 0, EAGAIN);
        auto s = Store::open(dir.path(), config);
        ASSERT_FALSE(s.ok());
        EXPECT_TRUE(s.error().is_io_code(EAGAIN)) << s.error().to_string();
    }
    auto s = Store::open(dir.path(), config);
    ASSERT_TRUE(s.ok()) << s.error().to_string();
    EXPECT_FALSE(s->read_only());
}

// ---- identifiers ----

TEST(StoreDatasets, IdentifiersAreNeverReusedAcrossDropsAndReopen) {
    TempDir dir;
    {
        Store s = open_store(dir.path());
        EXPECT_EQ(create(s, "a", "x").identifier(), 1u);
        EXPECT_EQ(create(s, "b", "x").identifier(), 2u);
        EXPECT_EQ(file_text(dir.file("max_identifier")), "2");
        EXPECT_EQ(file_text(dir.file("b/x/identifier")), "2");
        ASSERT_TRUE(s.drop_dataset("b", "x").ok());
        EXPECT_EQ(create(s, "c", "x").identifier(), 3u);
        // A create that fails after taking its number still uses it up.
        ASSERT_TRUE(write_file_atomic(dir.file("d"), "in the way").ok());
        EXPECT_FALSE(s.create_dataset("d", "x").ok());
        EXPECT_EQ(s.max_identifier(), 4u);
    }
    Store s = open_store(dir.path());
    EXPECT_EQ(s.max_identifier(), 4u);
    EXPECT_EQ(create(s, "b", "x").identifier(), 5u);
    auto a = s.open_dataset_by_identifier(1);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a->key(), (DataSetKey{"a", "x"}));
    EXPECT_TRUE(a->same_as(*s.open_dataset("a", "x")));
    EXPECT_EQ(error_text(s.open_dataset_by_identifier(2)), "not found: dataset identifier 2");
    EXPECT_EQ(error_text(s.open_dataset_by_identifier(0)), "invalid data: dataset identifier must be > 0");
    EXPECT_EQ(s.open_dataset_by_identifier(3)->key(), (DataSetKey{"c", "x"}));
}

TEST(StoreDatasets, IdentifierAboveTheMaximumOrTwiceOnDiskIsRefused) {
    TempDir dir;
    {
        Store s = open_store(dir.path());
        create(s, "a", "x");
        create(s, "b", "x");
        create(s, "c", "x");
    }
    ASSERT_TRUE(write_identifier_file(dir.file("c/x/identifier"), 9).ok());
    {
        Store s = open_store(dir.path());
        const std::string above =
            "invalid data: dataset DataSetKey { name: \"c\", dataset_type: \"x\" } identifier 9 exceeds "
            "authoritative max_identifier 3";
        EXPECT_EQ(error_text(s.open_dataset("c", "x")), above);
        EXPECT_EQ(error_text(s.inspect_dataset("c", "x")), above);
        EXPECT_EQ(error_text(s.open_dataset_by_identifier(1)), above);  // the scan meets c first or later
        EXPECT_TRUE(s.open_dataset("a", "x").ok());
    }
    ASSERT_TRUE(write_identifier_file(dir.file("c/x/identifier"), 2).ok());
    Store s = open_store(dir.path());
    EXPECT_EQ(error_text(s.open_dataset_by_identifier(2)),
              "invalid data: duplicate dataset identifier 2: DataSetKey { name: \"b\", dataset_type: \"x\" } and "
              "DataSetKey { name: \"c\", dataset_type: \"x\" }");
    ASSERT_TRUE(s.open_dataset("b", "x").ok());
    EXPECT_EQ(error_text(s.open_dataset("c", "x")),
              "invalid data: duplicate dataset identifier 2: DataSetKey { name: \"b\", dataset_type: \"x\" } and "
              "DataSetKey { name: \"c\", dataset_type: \"x\" }");
}

// ---- the registry ----

TEST(StoreDatasets, OpenDatasetsAreSharedThroughTheRegistry) {
    TempDir dir;
    Store s = open_store(dir.path());
    Dataset a = create(s, "a", "x");
    ASSERT_TRUE(a.write(5, bytes("five")).ok());
    EXPECT_TRUE(a.same_as(*s.open_dataset("a", "x")));
    EXPECT_EQ(error_text(s.create_dataset("a", "x")), "already exists: dataset a/x is already open");

    ASSERT_TRUE(a.close().ok());
    EXPECT_EQ(s.registry()->size(), 0u);
    EXPECT_EQ(error_text(s.create_dataset("a", "x")), "already exists: dataset already exists at " + dir.file("a/x"));
    Dataset again = *s.open_dataset("a", "x");
    EXPECT_FALSE(again.same_as(a));
    EXPECT_EQ(read_text(again, 5), "five");
    // Closing the stale handle again must not unregister the open one.
    ASSERT_TRUE(a.close().ok());
    EXPECT_TRUE(again.same_as(*s.open_dataset("a", "x")));

    // Inspect opens a closed dataset and leaves it registered.
    create(s, "b", "y");
    ASSERT_TRUE(s.open_dataset("b", "y")->close().ok());
    auto info = s.inspect_dataset("b", "y");
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->info.identifier, 2u);
    EXPECT_FALSE(info->state.read_only);
    EXPECT_TRUE(info->state.has_block_cache);
    EXPECT_FALSE(info->state.has_journal);
    EXPECT_EQ(s.registry()->size(), 2u);
    EXPECT_TRUE(s.registry()->get({"b", "y"})->same_as(*s.open_dataset("b", "y")));
}

// ---- drop and listing ----

TEST(StoreDatasets, DropRemovesTheDatasetDirectoryAndClosesEveryHandle) {
    TempDir dir;
    Store s = open_store(dir.path());
    Dataset a = create(s, "a", "x");
    create(s, "a", "y");
    ASSERT_TRUE(a.write(1, bytes("one")).ok());
    ASSERT_TRUE(s.drop_dataset("a", "x").ok());
    EXPECT_FALSE(*path_exists(dir.file("a/x")));
    EXPECT_EQ(*list_dir(dir.file("a")), std::vector<std::string>{"y"});  // nothing left behind
    EXPECT_EQ(error_text(a.write(2, bytes("two"))), "invalid data: dataset a/x is closed");
    EXPECT_EQ(error_text(s.drop_dataset("a", "x")),
              "not found: dataset identifier not found at " + dir.file("a/x/identifier"));
    ASSERT_TRUE(s.drop_dataset("a", "y").ok());
    EXPECT_TRUE(*is_directory(dir.file("a")));  // the name's directory stays
    EXPECT_EQ(*s.dataset_names(), std::vector<std::string>{});
    Dataset back = create(s, "a", "x");
    EXPECT_EQ(read_text(back, 1), "<none>");
}

TEST(StoreDatasets, ListingIsSortedAndSkipsWhatIsNoDataset) {
    TempDir dir;
    Store s = open_store(dir.path());
    for (auto [n, t] : {std::pair{"b", "x"}, {"a", "z"}, {"a", "y"}}) create(s, n, t);
    ASSERT_TRUE(create_dir_all(dir.file(".journal/logs")).ok());
    ASSERT_TRUE(create_dir_all(dir.file("a/with.dot")).ok());
    ASSERT_TRUE(create_dir_all(dir.file("c.d/x")).ok());
    ASSERT_TRUE(create_dir_all(dir.file("a/.dropping-0000000000000001")).ok());
    ASSERT_TRUE(write_file_atomic(dir.file("stray"), "").ok());
    ASSERT_TRUE(write_file_atomic(dir.file("b/file"), "").ok());
    ASSERT_EQ(::symlink(dir.file("b").c_str(), dir.file("link").c_str()), 0);  // followed
    EXPECT_EQ(*s.dataset_names(), (std::vector<std::string>{"a", "b", "link"}));
    EXPECT_EQ(*s.dataset_types("a"), (std::vector<std::string>{"y", "z"}));
    EXPECT_EQ(*s.dataset_types("nothing"), std::vector<std::string>{});
    EXPECT_EQ(*s.dataset_types("stray"), std::vector<std::string>{});
    const auto scan = *s.scan();
    ASSERT_EQ(scan.size(), 4u);
    EXPECT_EQ(scan[0], (ScanEntry{"a", "y", dir.file("a/y")}));
    EXPECT_EQ(scan[3], (ScanEntry{"link", "x", dir.file("link/x")}));
}

TEST(StoreDatasets, RestsOfInterruptedWorkGoWhenTheStoreOpens) {
    TempDir dir;
    {
        Store s = open_store(dir.path());
        create(s, "a", "x");
    }
    // Whole-file replacements, creates and drops cut short; a key directory without meta.
    const std::vector<std::string> gone_dirs = {"a/.dropping-00000000000000ff/data",
                                                "a/.creating-0000000000000001/data", "a/y/data"};
    const std::vector<std::string> gone_files = {"a/y/identifier", "max_identifier.tmp.12.0badf00d",
                                                 "a/x/meta.tmp.7.00c0ffee", ".journal/logs/meta.tmp.1.abcdef01"};
    const std::vector<std::string> kept = {"a/x/meta", "a/x/meta.tmp", "a/x/keep.tmp.1.xyz",
                                           "max_identifier.tmp.1.0BADF00D"};
    for (const std::string& d : gone_dirs) ASSERT_TRUE(create_dir_all(dir.file(d)).ok());
    ASSERT_TRUE(create_dir_all(dir.file(".journal/logs")).ok());
    for (const auto* files : {&gone_files, &kept})
        for (const std::string& f : *files)
            ASSERT_TRUE(*path_exists(dir.file(f)) || write_file_atomic(dir.file(f), "1").ok());
    {
        Store ro = open_store(dir.path(), true);  // a reader lists only whole datasets and leaves the rest
        EXPECT_EQ(*ro.dataset_types("a"), std::vector<std::string>{"x"});
        EXPECT_EQ(error_text(ro.open_dataset("a", "y")),
                  "not found: dataset meta not found at " + dir.file("a/y/meta"));
    }
    for (const auto* paths : {&gone_dirs, &gone_files, &kept})
        for (const std::string& p : *paths) EXPECT_TRUE(*path_exists(dir.file(p))) << p;
    Store s = open_store(dir.path());
    for (const auto* paths : {&gone_dirs, &gone_files})
        for (const std::string& p : *paths) EXPECT_FALSE(*path_exists(dir.file(p))) << p;
    for (const std::string& p : kept) EXPECT_TRUE(*path_exists(dir.file(p))) << p;
    EXPECT_EQ(*list_dir(dir.file("a")), std::vector<std::string>{"x"});
    // A meta file that cannot be examined counts as absent: the create goes on, uses up its
    // identifier and fails where the file in the way stops it.
    ASSERT_TRUE(write_file_atomic(dir.file("a/z"), "").ok());
    EXPECT_EQ(error_text(s.create_dataset("a", "z")), "I/O error: Not a directory (os error 20)");
    EXPECT_EQ(s.max_identifier(), 2u);
}

TEST(StoreDatasets, ADatasetThatLostItsMetaOrIdentifierKeepsEveryRecord) {
    for (const std::string file : {"meta", "identifier"}) {
        TempDir dir;
        const std::string ds = dir.file("a/x"), path = join_path(ds, file);
        {
            Store s = open_store(dir.path());
            Dataset d = create(s, "a", "x");
            for (int64_t ts = 1; ts <= 300; ++ts) ASSERT_TRUE(d.write(ts, bytes(fmt::format("r{}", ts))).ok());
        }
        const std::string saved = *read_file(path);
        ASSERT_TRUE(remove_file(path).ok());
        for (bool read_only : {false, true}) {
            Store s = open_store(dir.path(), read_only);
            EXPECT_EQ(error_text(s.open_dataset("a", "x")), fmt::format("not found: dataset {} not found at {}", file, path))
                << file << (read_only ? " read-only" : " writable");
            if (read_only) continue;
            EXPECT_EQ(error_text(s.create_dataset("a", "x")), "already exists: dataset already exists at " + ds) << file;
            EXPECT_EQ(s.max_identifier(), 1u) << file;
        }
        ASSERT_TRUE(write_file_atomic(path, saved).ok());
        Store s = open_store(dir.path());
        auto records = s.open_dataset("a", "x")->query_all(0, 1000);
        ASSERT_TRUE(records.ok()) << file << ": " << records.error().to_string();
        ASSERT_EQ(records->size(), 300u) << file;
        EXPECT_EQ(text(records->back().data), "r300") << file;
    }
}

// ---- read-only stores ----

TEST(StoreReadOnly, RefusesChangesAndGivesReadOnlyRuntimes) {
    TempDir dir;
    {
        Store s = open_store(dir.path());
        ASSERT_TRUE(create(s, "a", "x").write(1, bytes("one")).ok());
    }
    Store ro = open_store(dir.path(), true);
    EXPECT_EQ(error_text(ro.create_dataset("b", "x")), "invalid data: read-only store cannot create dataset");
    EXPECT_EQ(error_text(ro.drop_dataset("a", "x")), "invalid data: read-only store cannot drop dataset");
    EXPECT_EQ(error_text(ro.next_background_delay()), "invalid data: read-only store has no background tasks");
    EXPECT_EQ(error_text(ro.tick_background_tasks()), "invalid data: read-only store has no background tasks");
    auto info = ro.inspect_dataset("a", "x");
    ASSERT_TRUE(info.ok());
    EXPECT_TRUE(info->state.read_only);
    EXPECT_FALSE(info->state.has_journal);
    Dataset a = *ro.open_dataset("a", "x");
    EXPECT_EQ(read_text(a, 1), "one");
    EXPECT_EQ(error_text(a.delete_record(1)), "invalid data: read-only dataset cannot be deleted");
}

TEST(StoreReadOnly, OpensDatasetsThatAWriterInAnotherProcessCreatesLater) {
    TempDir dir;
    {
        Store s = open_store(dir.path());
        create(s, "a", "x");
    }
    Store ro = open_store(dir.path(), true);
    auto writer_creates = [&](const std::string& name) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            auto s = Store::open(dir.path(), small_store_config(false));
            auto d = s.ok() ? s->create_dataset(name, "x") : Result<Dataset>(s.error());
            _exit(d.ok() && d->write(7, bytes(name)).ok() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    };
    writer_creates("b");  // identifier 2
    auto b = ro.open_dataset("b", "x");
    ASSERT_TRUE(b.ok()) << b.error().to_string();
    EXPECT_EQ(read_text(*b, 7), "b");
    writer_creates("c");  // identifier 3: met by the scan for identifier 1
    EXPECT_EQ(ro.open_dataset_by_identifier(1)->key(), (DataSetKey{"a", "x"}));
    EXPECT_EQ(read_text(*ro.open_dataset_by_identifier(3), 7), "c");
    EXPECT_EQ(ro.max_identifier(), 3u);
    // Above what the file says, an identifier is still refused.
    ASSERT_TRUE(write_identifier_file(dir.file("b/x/identifier"), 9).ok());
    ASSERT_TRUE(b->close().ok());
    EXPECT_EQ(error_text(ro.open_dataset("b", "x")),
              "invalid data: dataset DataSetKey { name: \"b\", dataset_type: \"x\" } identifier 9 exceeds "
              "authoritative max_identifier 3");
}

// ---- the journal ----

JournalRecord journal_record(Store& s, int64_t sequence) {
    auto e = s.journal_read(sequence);
    EXPECT_TRUE(e.ok() && e->has_value()) << sequence;
    if (!e.ok() || !e->has_value()) return {};
    return *JournalRecord::decode((*e)->payload);
}

TEST(StoreJournal, DatasetEventsOfJournalledDatasetsOnly) {
    TempDir dir;
    auto opened = Store::open(dir.path(), small_store_config(false, /*journal=*/true));
    ASSERT_TRUE(opened.ok());
    Store& s = *opened;
    EXPECT_EQ(*s.journal_latest_sequence(), std::nullopt);
    auto builder = DatasetConfigBuilder::from_store(s.config());
    builder.enable_journal(true);
    Dataset j = *s.create_dataset("j", "x", builder);
    Dataset plain = create(s, "p", "x");
    ASSERT_TRUE(plain.write(1, bytes("not journalled")).ok());
    ASSERT_TRUE(j.write(5, bytes("w")).ok());
    ASSERT_TRUE(j.delete_record(5).ok());
    ASSERT_TRUE(j.append(6, bytes("a")).ok());
    EXPECT_EQ(*s.journal_latest_sequence(), 4u);
    EXPECT_TRUE(s.inspect_dataset("j", "x")->state.has_journal);
    EXPECT_FALSE(s.inspect_dataset("p", "x")->state.has_journal);

    const JournalRecord created = journal_record(s, 1);
    EXPECT_EQ(created.type, JournalLogType::CreateDataset);
    EXPECT_EQ(created.identifier, j.identifier());
    EXPECT_EQ(created.name, "j");
    EXPECT_EQ(created.dataset_type, "x");
    EXPECT_EQ(created.metadata, *read_meta_tlv_area(dir.file("j/x/meta")));
    const JournalLogType kinds[] = {JournalLogType::RecordWrite, JournalLogType::RecordDelete,
                                    JournalLogType::RecordAppend};
    for (int64_t seq = 2; seq <= 4; ++seq) EXPECT_EQ(journal_record(s, seq).type, kinds[seq - 2]);
    EXPECT_EQ(journal_record(s, 4).index_info->timestamp, 6);

    ASSERT_TRUE(s.drop_dataset("p", "x").ok());
    ASSERT_TRUE(s.drop_dataset("j", "x").ok());
    EXPECT_EQ(*s.journal_latest_sequence(), 5u);
    const JournalRecord dropped = journal_record(s, 5);
    EXPECT_EQ(dropped.type, JournalLogType::DropDataset);
    EXPECT_EQ(dropped.identifier, created.identifier);
    EXPECT_EQ(dropped.metadata, created.metadata);
    EXPECT_EQ(s.journal_query(1, 10)->size(), 5u);

    // A create whose new directory cannot be synced after its rename (its last fsync)
    // removes the dataset, and the directory of its name it made, again and records no event.
    uint64_t syncs = 0;
    {
        testing::ScopedIoFaults counting(io_op::kFsync, UINT64_MAX, EIO);
        ASSERT_TRUE(s.create_dataset("c", "x", builder).ok());
        syncs = io_calls_seen();
    }
    testing::ScopedIoFaults last_sync(io_op::kFsync, syncs - 1, EIO);
    auto failed = s.create_dataset("d", "x", builder);
    EXPECT_TRUE(!failed.ok() && failed.error().is_io_code(EIO));
    EXPECT_EQ(*s.dataset_names(), std::vector<std::string>{"c"});
    EXPECT_FALSE(*path_exists(dir.file("d")));  // nor the directory of its name
    EXPECT_EQ(*s.journal_latest_sequence(), 6u);
}

TEST(StoreJournal, DisabledAndReadOnlyJournals) {
    TempDir dir;
    {
        Store s = open_store(dir.path());  // enable_journal false
        EXPECT_EQ(error_text(s.journal_latest_sequence()), "not found: journal is disabled");
        EXPECT_EQ(error_text(s.open_journal_queue()), "not found: journal is disabled");
        auto builder = DatasetConfigBuilder::from_store(s.config());
        builder.enable_journal(true);
        Dataset d = *s.create_dataset("a", "x", builder);
        ASSERT_TRUE(d.write(1, bytes("x")).ok());
        EXPECT_FALSE(s.inspect_dataset("a", "x")->state.has_journal);
    }
    EXPECT_FALSE(*path_exists(dir.file(".journal")));
    auto ro = Store::open(dir.path(), small_store_config(true, /*journal=*/true));
    ASSERT_TRUE(ro.ok());
    EXPECT_EQ(*ro->journal_read(1), std::nullopt);
    EXPECT_TRUE(ro->journal_query(1, 10)->empty());
    EXPECT_EQ(*ro->journal_latest_sequence(), std::nullopt);
    EXPECT_EQ(error_text(ro->open_journal_queue()), "invalid data: read-only store cannot open journal queue");
    EXPECT_FALSE(ro->inspect_dataset("a", "x")->state.has_journal);
}

TEST(StoreJournal, WakeCallbacksOfCreateAndDropRunOutsideTheStoreLocks) {
    TempDir dir;
    Store s = std::move(*Store::open(dir.path(), small_store_config(false, true)));
    auto queue = s.open_journal_queue();
    ASSERT_TRUE(queue.ok());
    auto consumer = queue->open_consumer("g", ConsumerConfig{});
    ASSERT_TRUE(consumer.ok());
    std::vector<std::string> seen;  // what the callback found in the store
    ASSERT_TRUE(consumer
                    ->set_poll_callback(make_poll_callback([&] {
                        auto names = s.dataset_names();
                        auto d = s.open_dataset("j", "x");
                        seen.push_back(fmt::format("{} {}", names.ok() ? names->size() : 99, d.ok()));
                    }))
                    .ok());
    auto builder = DatasetConfigBuilder::from_store(s.config());
    builder.enable_journal(true);
    ASSERT_TRUE(s.create_dataset("j", "x", builder).ok());
    ASSERT_TRUE(s.drop_dataset("j", "x").ok());
    EXPECT_EQ(seen, (std::vector<std::string>{"1 true", "0 false"}));
    auto first = consumer->try_poll();
    ASSERT_TRUE(first.ok() && first->has_value());
    EXPECT_EQ((*first)->sequence, 1u);
}

// ---- a sparse copy on a full disk ----

// Copies a tree with `cp --sparse=always` (zero blocks become holes); whether the copy of
// `probe` under it came out with a hole.
bool sparse_copy(const std::string& from, const std::string& to, const std::string& probe) {
    if (std::system(fmt::format("cp -r --sparse=always '{}' '{}'", from, to).c_str()) != 0) return false;
    struct stat st;
    return ::stat(join_path(to, probe).c_str(), &st) == 0 && static_cast<uint64_t>(st.st_blocks) * 512 < uint64_t(st.st_size);
}

// A store copied with holes, opened on a full disk: it opens and reads every record, and
// refuses each kind of change with the full disk's I/O error (never a SIGBUS from a store
// into a hole), changing nothing. With room again the change is made and journalled.
TEST(StoreFullDisk, ASparseCopyRefusesChangesWithTheIoErrorAndKeepsEveryRecord) {
    using testing::RecordOp;
    const std::vector<uint8_t> v = bytes("changed");
    const RecordOp changes[] = {{RecordOp::Write, 40, v}, {RecordOp::Write, 41, v}, {RecordOp::Write, 3, v},
                                {RecordOp::Delete, 7, {}}, {RecordOp::Append, 40, v}};
    // Files with room to spare, whose zero tails become holes.
    const StoreConfig config = StoreConfigBuilder().data_segment_size(1 << 20).initial_data_segment_size(64 << 10)
                                   .index_segment_size(16 << 10).initial_index_segment_size(16 << 10)
                                   .enable_background_thread(false).build();
    for (const RecordOp& change : changes) {
        SCOPED_TRACE(fmt::format("op {} at {}", static_cast<int>(change.kind), change.ts));
        TempDir dir;
        testing::RecordModel model;
        {
            Store s = *Store::open(dir.file("original"), config);
            Dataset d = *s.create_dataset("sparse", "x", DatasetConfigBuilder::from_store(config).enable_journal(true));
            for (int64_t ts = 1; ts <= 40; ++ts) ASSERT_TRUE(d.write(ts, model[ts] = testing::random_bytes(700, ts)).ok());
            ASSERT_TRUE(d.close().ok());
        }
        ASSERT_TRUE(sparse_copy(dir.file("original"), dir.file("copy"), "sparse/x/data/stage")) << "no hole";
        ASSERT_TRUE(sparse_copy(dir.file("original"), dir.file("xfs-copy"), "sparse/x/data/stage")) << "no hole";
        std::optional<Store> s;
        std::optional<Dataset> d;
        auto make_change = [&] { return testing::run_record_op(d, change, {"sparse", "x"}, ""); };
        {
            // A full XFS has room for the holes but refuses a request over blocks that are
            // there: asked for the holes alone, the copy takes the change.
            SCOPED_TRACE("full XFS");
            testing::ScopedIoFaults full(testing::kFullXfs);
            s.emplace(*Store::open(dir.file("xfs-copy"), config));
            d.emplace(*s->open_dataset("sparse", "x"));
            Status made = make_change();
            ASSERT_TRUE(made.ok()) << made.error().to_string();
            EXPECT_GT(io_calls_seen(), 0u);
            EXPECT_EQ(io_calls_failed(), 0u);
            testing::RecordModel changed = model;
            testing::apply(changed, change);
            testing::expect_records(*d, changed, nullptr, "full XFS");
            d.reset();
            s.reset();
        }
        uint64_t sequence = 0;
        {
            testing::ScopedIoFaults full(io_op::kDiskFull, 0, ENOSPC, /*sticky=*/true);
            auto opened = Store::open(dir.file("copy"), config);
            ASSERT_TRUE(opened.ok()) << opened.error().to_string();
            s.emplace(std::move(*opened));
            sequence = s->journal_latest_sequence()->value_or(0);
            d.emplace(*s->open_dataset("sparse", "x"));
            Status refused = make_change();
            EXPECT_TRUE(!refused.ok() && refused.error().is_io_code(ENOSPC)) << error_text(refused);
            testing::expect_records(*d, model, nullptr, "refused");
            EXPECT_EQ(s->journal_latest_sequence()->value_or(0), sequence);
        }
        ASSERT_TRUE(make_change().ok());
        testing::apply(model, change);
        EXPECT_EQ(s->journal_latest_sequence()->value_or(0), sequence + 1);
        testing::expect_records(*d, model, nullptr, "room again");
    }
}

// A writer killed inside a record's stores (counters ahead of its commit) leaves a data
// segment that the next open repairs; copied with holes onto a full disk, that repair has no
// room: the open fails with the I/O error naming the file and changes nothing, and the next
// open with room repairs it and reads every record.
TEST(StoreFullDisk, AnOpenWithoutRoomForARepairFailsAndTheNextRepairs) {
    const DataSetKey key{"killed", "x"};
    TempDir dir;
    DatasetConfig cfg;
    cfg.data_segment_size = 1 << 20;
    cfg.initial_data_segment_size = 64 << 10;
    testing::RecordModel model;
    for (int64_t ts = 1; ts <= 40; ++ts) model[ts] = testing::random_bytes(300, ts);
    auto run = testing::run_to_crash_point({"append.stats"}, 40, [&](int) {
        auto d = Dataset::create(key, dir.file("original"), cfg);
        for (int64_t ts = 1; ts <= 41 && d.ok(); ++ts) (void)d->write(ts, testing::random_bytes(300, ts));
        return 0;
    });
    ASSERT_EQ(run.exit_code, testing::kCrashExit);
    const std::string segment = "data/" + std::string(20, '0');
    ASSERT_TRUE(sparse_copy(dir.file("original"), dir.file("copy"), segment)) << "no hole";
    const std::string before = *read_file(join_path(dir.file("copy"), segment));
    {
        testing::ScopedIoFaults full(io_op::kDiskFull, 0, ENOSPC, /*sticky=*/true);
        auto refused = Dataset::open(key, dir.file("copy"));
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().is_io_code(ENOSPC)) << refused.error().to_string();
        EXPECT_EQ(refused.error().detail(), join_path(dir.file("copy"), segment) + ": " + Error::io(ENOSPC).detail());
    }
    EXPECT_EQ(*read_file(join_path(dir.file("copy"), segment)), before);
    auto d = Dataset::open(key, dir.file("copy"));
    ASSERT_TRUE(d.ok()) << d.error().to_string();
    testing::expect_records(*d, model, nullptr, "repaired with room");
}

// A data segment allocated whole (64 MiB, mostly never written) on an XFS that then fills
// up to less room than the segment's size: reopened, the store takes a new write and an
// out-of-order one, since a reservation asks only for what lacks blocks and a full XFS
// refuses a request over blocks that are there.
TEST(StoreFullDisk, AFullXfsTakesWritesIntoTheSegmentsItAllocatedBefore) {
    TempDir dir;
    testing::ScopedMount xfs(testing::ScopedMount::Kind::Xfs, dir.file("mnt"), 340 << 20);
    if (!xfs.mounted()) GTEST_SKIP() << xfs.skip_reason();
    const StoreConfig config = StoreConfigBuilder().data_segment_size(64 << 20).initial_data_segment_size(64 << 20)
                                   .enable_background_thread(false).build();
    const std::string root = dir.file("mnt/store");
    testing::RecordModel model;
    {
        Store s = *Store::open(root, config);
        Dataset d = *s.create_dataset("full", "x", DatasetConfigBuilder::from_store(config));
        for (int64_t ts = 10; ts <= 400; ts += 10) ASSERT_TRUE(d.write(ts, model[ts] = testing::random_bytes(700, ts)).ok());
        ASSERT_TRUE(d.close().ok());
    }
    ASSERT_TRUE(testing::fill_file_system(dir.file("mnt"), 19 << 20));
    ASSERT_LT(testing::free_bytes(dir.file("mnt")), uint64_t{64} << 20);
    auto s = Store::open(root, config);
    ASSERT_TRUE(s.ok()) << s.error().to_string();
    auto d = s->open_dataset("full", "x");
    ASSERT_TRUE(d.ok()) << d.error().to_string();
    struct Write {
        int64_t ts;
        const char* what;
    };
    for (const Write& w : {Write{1000, "new"}, Write{200, "out of order"}}) {
        Status st = d->write(w.ts, model[w.ts] = testing::random_bytes(900, w.ts + 1));
        ASSERT_TRUE(st.ok()) << w.what << ": " << st.error().to_string();
    }
    testing::expect_records(*d, model, nullptr, "full XFS");
    ASSERT_TRUE(d->close().ok());
}

// A store copied with holes onto a tmpfs with little or no room left: a read-only and a
// writable open each read the record or fail with the I/O error, and never end with a
// SIGBUS (reading a hole through a mapping takes a page there); with room for the holes
// both read it. Each runs in a child, so that a signal fails the test instead of ending
// the test binary.
TEST(StoreFullDisk, ACopyWithHolesOnAFullTmpfsReadsOrFailsWithTheIoError) {
    auto config = [](std::optional<bool> read_only) {
        return StoreConfigBuilder().data_segment_size(1 << 20).initial_data_segment_size(64 << 10)
            .index_segment_size(16 << 10).initial_index_segment_size(16 << 10)
            .enable_background_thread(false).read_only(read_only).build();
    };
    const std::vector<uint8_t> zeros(64 << 10, 0);
    TempDir dir;
    {
        Store s = *Store::open(dir.file("original"), config(false));
        Dataset d = *s.create_dataset("zeros", "x", DatasetConfigBuilder::from_store(config(false)));
        ASSERT_TRUE(d.write(1, zeros).ok());
        ASSERT_TRUE(d.close().ok());
    }
    // Room left, and whether that is room for every hole of the copy (which must then read).
    const std::pair<uint64_t, bool> rooms[] = {{0, false}, {4 << 10, false}, {64 << 10, false}, {1 << 20, true}};
    for (const auto& [left, room_for_holes] : rooms) {
        TempDir mount_dir;
        const std::string mnt = mount_dir.file("mnt");
        testing::ScopedMount tmpfs(testing::ScopedMount::Kind::Tmpfs, mnt, 8 << 20);
        if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.skip_reason();
        const std::string copy = join_path(mnt, "copy");
        ASSERT_TRUE(sparse_copy(dir.file("original"), copy, "zeros/x/data/stage")) << "no hole";
        ASSERT_TRUE(testing::fill_file_system(mnt, left));
        for (const bool read_only : {true, false}) {
            SCOPED_TRACE(fmt::format("{} bytes left, {}", left, read_only ? "read-only" : "writable"));
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                // 0: the record read back; 1: an I/O error; 2: another error; 3: other bytes.
                auto outcome = [](const char* step, const Error& e) {
                    fmt::print(stderr, "{}: {}\n", step, e.to_string());
                    _exit(e.kind() == ErrorKind::Io ? 1 : 2);
                };
                auto s = Store::open(copy, config(read_only));
                if (!s.ok()) outcome("store", s.error());
                auto d = s->open_dataset("zeros", "x");
                if (!d.ok()) outcome("dataset", d.error());
                auto r = d->read(1);
                if (!r.ok()) outcome("read", r.error());
                _exit(r->has_value() && (*r)->data == zeros ? 0 : 3);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            if (WIFSIGNALED(status)) ADD_FAILURE() << "ended by signal " << WTERMSIG(status);
            else EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= (room_for_holes ? 0 : 1)) << "exit status " << WEXITSTATUS(status);
        }
    }
}

// A journalled dataset whose own files have room for every record below while the journal
// runs out now and then (its segments grow from 4 KiB and roll over at 32 KiB). Each
// change is made on a full disk: a new latest record, an append to it, an out-of-order
// write and a delete either succeed with their journal event, or are refused with ENOSPC
// before anything changed (the record reads as before, the journal holds no new event).
// Where one is refused, every other kind is refused there as well, and so are a drop and
// a create (whose own files get the room they need); made again with room, the change
// succeeds. Every point where the journal needed room refused them.
TEST(StoreFullDisk, AChangeTheJournalHasNoRoomForIsRefusedBeforeItIsMade) {
    using testing::RecordOp;
    const StoreConfig config = StoreConfigBuilder().data_segment_size(32 << 10).initial_data_segment_size(4 << 10)
                                   .enable_background_thread(false).enable_journal(true).build();
    TempDir dir;
    Store s = *Store::open(dir.path(), config);
    const DataSetKey key{"j", "x"};
    std::optional<Dataset> d(*s.create_dataset(key.name, key.dataset_type,
                                               DatasetConfigBuilder::from_store(config).enable_journal(true)
                                                   .data_segment_size(1 << 20).initial_data_segment_size(1 << 20)
                                                   .index_segment_size(256 << 10).initial_index_segment_size(256 << 10)));
    const auto journalled = DatasetConfigBuilder::from_store(config).enable_journal(true);
    uint64_t create_calls = 0;  // what a create's own files ask of the disk
    {
        testing::ScopedIoFaults counting(io_op::kDiskFull, UINT64_MAX, ENOSPC);
        ASSERT_TRUE(s.create_dataset("probe", "x", DatasetConfigBuilder::from_store(config)).ok());
        create_calls = io_calls_seen();
    }
    ASSERT_TRUE(s.create_dataset("b", "x", journalled).ok());
    auto dataset_change = [&](bool create) -> Status {
        testing::ScopedIoFaults full(io_op::kDiskFull, create ? create_calls : 0, ENOSPC, /*sticky=*/true);
        if (!create) return s.drop_dataset("b", "x");
        auto made = s.create_dataset("c", "x", journalled);
        return made.ok() ? Status() : Status(std::move(made).error());
    };
    // The first record makes the dataset's files.
    testing::RecordModel model{{1, {1}}};
    int64_t latest = 1;
    ASSERT_TRUE(d->write(1, model[1]).ok());
    const JournalLogType types[] = {JournalLogType::RecordWrite, JournalLogType::RecordAppend,
                                    JournalLogType::RecordWrite, JournalLogType::RecordDelete};
    // The change of kind k now: the append goes to the record the write before it made.
    auto change = [&](int k, int step) -> RecordOp {
        const int64_t some = 1 + step * 7919 % std::max<int64_t>(latest, 1);
        const auto victim = model.lower_bound(some);
        switch (k) {
            case 0: return {RecordOp::Write, latest + 1, {1}};
            case 1: return {RecordOp::Append, latest, {2}};
            case 2: return {RecordOp::Write, some, {3}};
            default: return {RecordOp::Delete, victim == model.end() ? latest : victim->first, {}};
        }
    };
    auto on_full_disk = [&](const RecordOp& op) {
        testing::ScopedIoFaults full(io_op::kDiskFull, 0, ENOSPC, /*sticky=*/true);
        return testing::run_record_op(d, op, key, "");
    };
    auto expect_unchanged = [&](const RecordOp& op, uint64_t sequence) {
        ASSERT_EQ(s.journal_latest_sequence()->value_or(0), sequence);
        auto now = d->read(op.ts);
        ASSERT_TRUE(now.ok());
        const auto was = model.find(op.ts);
        ASSERT_EQ(now->has_value(), was != model.end());
        if (was != model.end()) {
            ASSERT_EQ((*now)->data, was->second);
        }
    };
    int points = 0;
    for (int step = 0; step < 2400; ++step) {
        const int k = step % 4;  // an append follows the write of a new latest record
        const RecordOp op = change(k, step);
        SCOPED_TRACE(fmt::format("step {}: change {} at {}", step, k, op.ts));
        const uint64_t sequence = s.journal_latest_sequence()->value_or(0);
        Status st = on_full_disk(op);
        if (!st.ok()) {
            ++points;
            for (int other = 0; other < 4; ++other) {
                const RecordOp o = other == k ? op : change(other, step);
                Status refused = other == k ? st : on_full_disk(o);
                ASSERT_FALSE(refused.ok()) << "change " << other;
                ASSERT_TRUE(refused.error().is_io_code(ENOSPC)) << refused.error().to_string();
                ASSERT_NO_FATAL_FAILURE(expect_unchanged(o, sequence));
            }
            for (const bool create : {false, true}) {
                Status refused = dataset_change(create);
                ASSERT_TRUE(!refused.ok() && refused.error().is_io_code(ENOSPC)) << error_text(refused);
                ASSERT_EQ(s.journal_latest_sequence()->value_or(0), sequence);
                ASSERT_EQ(*s.dataset_names(), (std::vector<std::string>{"b", "j", "probe"}));
            }
            st = testing::run_record_op(d, op, key, "");  // with room
            ASSERT_TRUE(st.ok()) << st.error().to_string();
        }
        testing::apply(model, op);
        latest = std::max(latest, op.ts);
        ASSERT_EQ(s.journal_latest_sequence()->value_or(0), sequence + 1);
        const JournalRecord event = journal_record(s, static_cast<int64_t>(sequence + 1));
        EXPECT_EQ(event.type, types[k]);
        ASSERT_TRUE(event.index_info.has_value());
        EXPECT_EQ(event.index_info->timestamp, op.ts);
    }
    testing::expect_records(*d, model, nullptr, "after the changes");
    // Every segment that rolled over met the full disk at its three doublings and at its
    // roll-over.
    const size_t segments = list_dir(paths::journal_data_dir(paths::journal_logs_dir(dir.path())))->size();
    EXPECT_GE(segments, 3u);
    EXPECT_GE(points, static_cast<int>((segments - 1) * 4));
}

// ---- descriptors ----

bool lower_descriptor_limit(rlim_t n) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = n;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

TEST(StoreDescriptors, HundredsOfDatasetsAndSegmentsWithinALowDescriptorLimit) {
    TempDir dir;
    {
        Store s = open_store(dir.path());
        auto small = DatasetConfigBuilder::from_store(s.config());
        small.data_segment_size(1024).initial_data_segment_size(1024);
        Dataset big = *s.create_dataset("big", "x", small);
        for (int64_t ts = 0; ts < 400; ++ts) ASSERT_TRUE(big.write(ts, bytes(std::string(600, 'b'))).ok());
        ASSERT_GT(big.inspect()->state.data_segments, 300u);
    }
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!lower_descriptor_limit(256)) _exit(2);
        auto fail = [](std::string_view what, const auto& r) {
            fmt::print(stderr, "{}: {}\n", what, r.error().to_string());
            _exit(1);
        };
        constexpr int kDatasets = 600;
        {
            auto writer = Store::open(dir.path(), small_store_config(false));
            if (!writer.ok()) fail("writable store", writer);
            for (int i = 0; i < kDatasets; ++i) {
                auto d = writer->create_dataset(fmt::format("d{}", i), "x");
                if (!d.ok()) fail(fmt::format("dataset {}", i), d);
                if (Status st = d->write(0, bytes(fmt::format("{}.0", i))); !st.ok()) fail("write", st);
            }
            // Two threads, each out of descriptors while it holds its own dataset.
            std::vector<Dataset> handles;
            for (int i = 0; i < kDatasets; ++i) handles.push_back(*writer->open_dataset(fmt::format("d{}", i), "x"));
            auto second_round = [&](int first) {
                for (int i = first; i < kDatasets; i += 2)
                    if (Status st = handles[i].write(1, bytes(fmt::format("{}.1", i))); !st.ok()) fail("write", st);
            };
            std::thread odd(second_round, 1);
            second_round(0);
            odd.join();
        }
        {
            auto reader = Store::open(dir.path(), small_store_config(true));
            if (!reader.ok()) fail("read-only store", reader);
            for (int i = 0; i <= kDatasets; ++i) {
                auto d = i < kDatasets ? reader->open_dataset(fmt::format("d{}", i), "x") : reader->open_dataset("big", "x");
                if (!d.ok()) fail(fmt::format("read-only dataset {}", i), d);
                auto records = d->query_all(0, 1000);  // the big one: a file at a time, as many as it has
                if (!records.ok()) fail(fmt::format("read {}", i), records);
                const std::string last = i < kDatasets ? fmt::format("{}.1", i) : std::string(600, 'b');
                if (records->size() != (i < kDatasets ? 2u : 400u) || text(records->back().data) != last) _exit(3);
            }
        }
        // Deletes and out-of-order writes across the old segments of the one dataset a store
        // holds: counting each replaced record opens its segment for the call only.
        auto writer = Store::open(dir.path(), small_store_config(false));
        if (!writer.ok()) fail("writable store", writer);
        auto big = writer->open_dataset("big", "x");
        if (!big.ok()) fail("big", big);
        for (int64_t ts = 0; ts < 399; ++ts) {
            Status st = ts % 2 == 0 ? big->delete_record(ts) : big->write(ts, bytes("again"));
            if (!st.ok()) fail(fmt::format("change of {}", ts), st);
        }
        auto counted = big->inspect();
        _exit(counted.ok() && counted->state.total_invalid_record_count == 399 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// One dataset written in order across hundreds of data files under 64 descriptors, with
// rewrites (which often start a file) and deletes of older records and reads of them all:
// a file that is not the newest keeps its mapping and no descriptor.
TEST(StoreDescriptors, OneDatasetWritesOnAcrossHundredsOfDataFiles) {
    TempDir dir;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!lower_descriptor_limit(64)) _exit(2);
        auto s = Store::open(dir.path(), small_store_config(false));
        auto d = s->create_dataset("one", "x", DatasetConfigBuilder::from_store(s->config())
                                                   .data_segment_size(8 << 10).initial_data_segment_size(8 << 10));
        testing::RecordModel model;
        for (int64_t ts = 0; ts < 6000; ++ts) {
            Status st = d->write(ts, model[ts] = testing::random_bytes(1000, ts));
            const int64_t old = ts * 3 / 7;  // each one once
            if (st.ok() && ts % 7 == 6)
                st = ts % 2 == 0 ? d->write(old, model[old] = testing::random_bytes(900, ~ts)) : d->delete_record(old);
            if (ts % 7 == 6 && ts % 2 == 1) model.erase(old);
            if (!st.ok()) {
                fmt::print(stderr, "change at {}: {}\n", ts, st.error().to_string());
                _exit(3);
            }
            if (ts % 1000 != 999) continue;
            auto all = d->query_all(0, ts);
            if (!all.ok() || all->size() != model.size()) _exit(4);
            for (const Record& r : *all)
                if (model[r.timestamp] != r.data) _exit(5);
        }
        _exit(d->inspect()->state.data_segments > 800 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(StoreDescriptors, WhenNothingCanBeReleasedAReadFailsWithTheIoError) {
    TempDir dir;
    Store s = open_store(dir.path());
    Dataset a = create(s, "a", "x");
    ASSERT_TRUE(a.write(1, bytes("one")).ok());
    ASSERT_TRUE(a.release_files().ok());
    ASSERT_TRUE(a.read_exist(1).ok());  // the index segment opens again, the data segment stays closed
    {
        testing::ScopedIoFaults exhausted(io_op::kOpen, 0, EMFILE, /*sticky=*/true);
        EXPECT_EQ(read_text(a, 1), "error: " + Error::io(EMFILE).to_string());
    }
    EXPECT_EQ(read_text(a, 1), "one");
}

// ---- shutdown ----

TEST(StoreShutdown, TheLockOutlivesTheStoreWhileADatasetCanWrite) {
    TempDir dir;
    std::optional<Store> s(open_store(dir.path()));
    Dataset kept = create(*s, "a", "x");
    create(*s, "b", "x");  // held by the registry only
    s.reset();
    // The store is gone, the dataset it handed out can still write: the directory stays locked.
    EXPECT_EQ(error_text(Store::open(dir.path(), small_store_config(false))),
              "invalid data: store is already locked for writing");
    ASSERT_TRUE(kept.write(1, bytes("after the store")).ok());
    ASSERT_TRUE(kept.flush().ok());
    ASSERT_TRUE(kept.close().ok());  // the last writer: the lock goes with it
    Store again = open_store(dir.path());
    EXPECT_EQ(read_text(*again.open_dataset("a", "x"), 1), "after the store");

    // Without handles kept elsewhere the lock goes with the store, registered datasets or not.
    { Store tmp = std::move(again); }
    // A journal queue consumer can write its state: it keeps the lock too.
    std::optional<JournalQueueConsumer> consumer;
    std::optional<JournalQueue> queue;
    std::optional<Dataset> journalled_dataset;
    {
        Store journalled = std::move(*Store::open(dir.path(), small_store_config(false, true)));
        queue.emplace(*journalled.open_journal_queue());
        consumer.emplace(*queue->open_consumer("g", ConsumerConfig{}));
        DatasetConfigBuilder with_journal = DatasetConfigBuilder::from_store(journalled.config());
        with_journal.enable_journal(true);
        journalled_dataset.emplace(*journalled.create_dataset("j", "x", with_journal));
    }
    EXPECT_EQ(error_text(Store::open(dir.path(), small_store_config(false))),
              "invalid data: store is already locked for writing");
    // Closed, neither can write any more: a closed journalled dataset no longer holds the
    // journal, a closed journal queue no longer holds the lock for its consumers.
    ASSERT_TRUE(journalled_dataset->close().ok());
    EXPECT_EQ(error_text(Store::open(dir.path(), small_store_config(false))),
              "invalid data: store is already locked for writing");
    ASSERT_TRUE(queue->close().ok());
    EXPECT_TRUE(Store::open(dir.path(), small_store_config(false)).ok());
    EXPECT_FALSE(consumer->ack(1).ok());
}

TEST(StoreShutdown, StoppedBackgroundRefusesTicksAndRuntimes) {
    TempDir dir;
    Store s = open_store(dir.path());
    ASSERT_TRUE(s.next_background_delay().ok());
    s.stop_background();
    EXPECT_EQ(error_text(s.tick_background_tasks()), "invalid data: bg_tasks not initialised");
    EXPECT_EQ(error_text(s.next_background_delay()), "invalid data: bg_tasks not initialised");
    EXPECT_EQ(error_text(s.create_dataset("a", "x")), "invalid data: bg_tasks not initialised");
}

}  // namespace
}  // namespace brenvale
