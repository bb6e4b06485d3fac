#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "dataset/state_file.h"
#include "file.h"
#include "test_util.h"
#include "util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

std::string contents(const std::string& path) {
    auto r = read_file(path);
    return r.ok() ? *r : std::string();
}

void write_raw(const std::string& path, const std::string& bytes) { ASSERT_TRUE(write_file_atomic(path, bytes).ok()); }

std::string v1_file() {
    std::string b(64, '\0');
    auto* p = reinterpret_cast<uint8_t*>(b.data());
    std::memcpy(p, "DSSF", 4);
    store_u32(p + 4, 1);
    store_u64(p + 8, 4096);
    store_i64(p + 16, -5);
    store_i64(p + 24, 77);
    store_u64(p + 32, 10);
    store_u64(p + 40, 20);
    store_u64(p + 48, 30);
    store_u64(p + 56, 40);
    return b;
}

TEST(DatasetStateTest, NewFileHasInitialValuesAndExactLayout) {
    TempDir dir;
    auto s = DatasetStateFile::open_or_create(dir.file("ds"));
    ASSERT_TRUE(s.ok()) << s.error().to_string();
    EXPECT_EQ(s->fields(), DatasetStateRecord{});
    std::string b = contents(dir.file("ds/state"));
    ASSERT_EQ(b.size(), 72u);
    const auto* p = reinterpret_cast<const uint8_t*>(b.data());
    EXPECT_EQ(b.substr(0, 4), "DSSF");
    EXPECT_EQ(load_u32(p + 4), 2u);
    EXPECT_EQ(load_i64(p + 16), INT64_MAX);
    EXPECT_EQ(load_i64(p + 24), INT64_MIN);
    EXPECT_EQ(load_i64(p + 64), INT64_MAX);
}

TEST(DatasetStateTest, ChangesPersistAndSurviveReopen) {
    TempDir dir;
    {
        auto s = DatasetStateFile::open_or_create(dir.path());
        ASSERT_TRUE(s.ok());
        DatasetStateFile::Totals t[2] = {{1, 2, 3, 4}, {10, 20, 30, 40}};
        ASSERT_TRUE(s->add_segment_totals(8192, t, 2).ok());
        ASSERT_TRUE(s->set_range(-3, 9).ok());
        ASSERT_TRUE(s->increment_invalid().ok());
        ASSERT_TRUE(s->subtract_stats({100, 1, 1, 1}).ok());
        EXPECT_EQ(*s->advance_retention_floor(100), 100);
        EXPECT_EQ(*s->advance_retention_floor(50), 100);
        EXPECT_EQ(*s->advance_retention_floor(INT64_MAX), 100);
        EXPECT_EQ(*s->advance_retention_floor(150), 150);
        ASSERT_TRUE(s->close().ok());
    }
    auto s = DatasetStateFile::open_or_create(dir.path());
    ASSERT_TRUE(s.ok());
    const auto& f = s->fields();
    EXPECT_EQ(f.stats_watermark, 8192u);
    EXPECT_EQ(f.min_timestamp, -3);
    EXPECT_EQ(f.max_timestamp, 9);
    EXPECT_EQ(f.total_record_count, 0u);  // 11 - 100 saturates at 0
    EXPECT_EQ(f.total_data_size, 21u);
    EXPECT_EQ(f.total_uncompressed_size, 32u);
    EXPECT_EQ(f.total_invalid_record_count, 44u);
    EXPECT_EQ(f.retention_floor, 150);
}

TEST(DatasetStateTest, SaturatingAdditionAndEmptyFoldWritesNothing) {
    TempDir dir;
    auto s = DatasetStateFile::open_or_create(dir.path());
    ASSERT_TRUE(s.ok());
    DatasetStateFile::Totals big{UINT64_MAX - 1, 0, 0, 0};
    ASSERT_TRUE(s->add_segment_totals(100, &big, 1).ok());
    ASSERT_TRUE(s->add_segment_totals(200, &big, 1).ok());
    EXPECT_EQ(s->fields().total_record_count, UINT64_MAX);
    std::string before = contents(dir.file("state"));
    // Corrupt the file on disk behind the mapping's back would be visible; instead check
    // that an empty fold below the watermark leaves the fields alone.
    ASSERT_TRUE(s->add_segment_totals(150, nullptr, 0).ok());
    EXPECT_EQ(s->fields().stats_watermark, 200u);
    EXPECT_EQ(contents(dir.file("state")), before);
}

TEST(DatasetStateTest, Version1FilesAreUpgradedInPlace) {
    TempDir dir;
    write_raw(dir.file("state"), v1_file());
    auto s = DatasetStateFile::open_or_create(dir.path());
    ASSERT_TRUE(s.ok()) << s.error().to_string();
    EXPECT_EQ(s->fields().stats_watermark, 4096u);
    EXPECT_EQ(s->fields().min_timestamp, -5);
    EXPECT_EQ(s->fields().total_invalid_record_count, 40u);
    EXPECT_EQ(s->fields().retention_floor, INT64_MAX);
    std::string b = contents(dir.file("state"));
    ASSERT_EQ(b.size(), 72u);
    EXPECT_EQ(load_u32(reinterpret_cast<const uint8_t*>(b.data()) + 4), 2u);

    // 72 bytes with version 1: bytes 64..72 are ignored.
    std::string v1_long = v1_file() + std::string("\x05\0\0\0\0\0\0\0", 8);
    TempDir dir2;
    write_raw(dir2.file("state"), v1_long);
    auto s2 = DatasetStateFile::open_or_create(dir2.path());
    ASSERT_TRUE(s2.ok());
    EXPECT_EQ(s2->fields().retention_floor, INT64_MAX);
}

TEST(DatasetStateTest, InvalidFilesAreRecreatedWritableAndRefusedReadOnly) {
    struct Case {
        std::string bytes;
        std::string read_only_error;
    };
    std::string bad_magic = v1_file();
    bad_magic[0] = 'X';
    std::string v3 = v1_file();
    v3[4] = 3;
    const Case cases[] = {
        {std::string(70, '\0'), "invalid data: invalid dataset state file size"},
        {bad_magic, "invalid file magic: expected b\"BRVL\""},
        {v3, "invalid data: unsupported dataset state version 3"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_raw(dir.file("state"), c.bytes);
        auto ro = DatasetStateFile::open_read_only(dir.path());
        ASSERT_FALSE(ro.ok());
        EXPECT_EQ(ro.error().to_string(), c.read_only_error);
        EXPECT_EQ(contents(dir.file("state")), c.bytes);  // untouched

        LogCapture cap(log::Level::Warn);
        auto s = DatasetStateFile::open_or_create(dir.path());
        ASSERT_TRUE(s.ok());
        EXPECT_EQ(s->fields(), DatasetStateRecord{});
        EXPECT_TRUE(cap.contains(log::Level::Warn, "brenvale::dataset_state",
                                 "[dataset-state] recreating invalid state file " + dir.file("state") + ": " +
                                     c.read_only_error));
    }
}

TEST(DatasetStateTest, UnreadableFileIsAnErrorNotARecreation) {
    if (::geteuid() == 0) {
        // Root ignores permission bits; use a directory in place of the file instead.
        TempDir dir;
        ASSERT_TRUE(create_dir_all(dir.file("state")).ok());
        auto s = DatasetStateFile::open_or_create(dir.path());
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().kind(), ErrorKind::Io);
        EXPECT_TRUE(*is_directory(dir.file("state")));
        return;
    }
    TempDir dir;
    write_raw(dir.file("state"), v1_file());
    ASSERT_EQ(::chmod(dir.file("state").c_str(), 0), 0);
    auto s = DatasetStateFile::open_or_create(dir.path());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::Io);
}

TEST(DatasetStateTest, ReadOnlyOpenNeverWrites) {
    TempDir dir;
    auto missing = DatasetStateFile::open_read_only(dir.path());
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(missing->fields(), DatasetStateRecord{});
    EXPECT_FALSE(*path_exists(dir.file("state")));
    auto floor = missing->advance_retention_floor(10);
    ASSERT_FALSE(floor.ok());
    EXPECT_EQ(floor.error().to_string(), "invalid data: read-only dataset state cannot advance retention floor");
    EXPECT_TRUE(missing->close().ok());

    write_raw(dir.file("state"), v1_file());
    ASSERT_EQ(::chmod(dir.file("state").c_str(), 0444), 0);
    auto ro = DatasetStateFile::open_read_only(dir.path());
    ASSERT_TRUE(ro.ok());
    EXPECT_EQ(ro->fields().total_record_count, 10u);
    EXPECT_EQ(contents(dir.file("state")).size(), 64u);  // not upgraded
}

TEST(DatasetStateTest, ClosedHandleRefusesChangesWithMmapError) {
    TempDir dir;
    auto s = DatasetStateFile::open_or_create(dir.path());
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(s->close().ok());
    auto st = s->increment_invalid();
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().to_string(), "mmap error: dataset state file is not mapped");
    EXPECT_TRUE(s->close().ok());
}

}  // namespace
}  // namespace brenvale
