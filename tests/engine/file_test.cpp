#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <ostream>

#include "file.h"
#include "log.h"
#include "test_util.h"

namespace brenvale {

void PrintTo(const ByteRange& r, std::ostream* os) { *os << "[" << r.offset << ", +" << r.length << ")"; }

namespace {

using testing::kFullXfs;
using testing::LogCapture;
using testing::ScopedIoFaults;
using testing::TempDir;

TEST(MappedFileTest, CreateMapsZeroedReservedBytesAndSurvivesReopen) {
    TempDir dir;
    std::string p = dir.file("seg");
    {
        auto f = MappedFile::create(p, 4096, /*exclusive=*/true);
        ASSERT_TRUE(f.ok()) << f.error().to_string();
        ASSERT_EQ(f->size(), 4096u);
        for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(f->data()[i], 0);
        std::memcpy(f->data(), "BRVL", 4);
        ASSERT_TRUE(f->flush().ok());
        struct stat st;
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        EXPECT_GE(st.st_blocks * 512, 4096);  // blocks are reserved, not a sparse hole
    }
    auto again = MappedFile::open(p, false);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(std::memcmp(again->data(), "BRVL", 4), 0);
    EXPECT_FALSE(again->writable());
}

TEST(MappedFileTest, ExclusiveCreateRefusesExistingFile) {
    TempDir dir;
    std::string p = dir.file("seg");
    ASSERT_TRUE(MappedFile::create(p, 64, true).ok());
    auto second = MappedFile::create(p, 64, true);
    ASSERT_FALSE(second.ok());
    EXPECT_TRUE(second.error().is_io_code(EEXIST));
}

TEST(MappedFileTest, GrowKeepsContentAndFailedGrowKeepsOldMapping) {
    TempDir dir;
    auto f = MappedFile::create(dir.file("seg"), 4096, true);
    ASSERT_TRUE(f.ok());
    f->data()[4095] = 0xAB;
    ASSERT_TRUE(f->grow(8192).ok());
    EXPECT_EQ(f->size(), 8192u);
    EXPECT_EQ(f->data()[4095], 0xAB);
    f->data()[8191] = 1;
    // A length no file system accepts: the grow fails and the mapping is untouched.
    auto st = f->grow(uint64_t{1} << 62);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ErrorKind::Io);
    EXPECT_EQ(f->size(), 8192u);
    EXPECT_EQ(f->data()[4095], 0xAB);
    EXPECT_EQ(f->data()[8191], 1);
    // Growing to a smaller length never shrinks.
    ASSERT_TRUE(f->grow(100).ok());
    EXPECT_EQ(f->size(), 8192u);
}

// Each kind of call fails when (and only when) the plan names it; the failure is the
// injected errno, the file and its mapping stay as they were, and the call works again
// once the plan is gone.
TEST(IoFaultTest, EachKindFailsTheChosenCallOnly) {
    struct Case {
        uint32_t op;
        std::function<Status(MappedFile&, const std::string&)> call;
    };
    const std::vector<Case> cases = {
        {io_op::kOpen, [](MappedFile&, const std::string& d) -> Status {
             BRVL_TRY(MappedFile::open(d + "/f", true));
             return {};
         }},
        {io_op::kReserve, [](MappedFile& f, const std::string&) { return f.grow(8192); }},
        {io_op::kMmap, [](MappedFile& f, const std::string&) { return f.grow(8192); }},
        {io_op::kMsync, [](MappedFile& f, const std::string&) { return f.flush(); }},
        {io_op::kWrite, [](MappedFile& f, const std::string&) { return f.write_at(0, std::vector<uint8_t>{9, 9}); }},
        {io_op::kTruncate, [](MappedFile&, const std::string& d) -> Status {
             FileHandle fd = BRVL_TRY(FileHandle::open(d + "/f", FileHandle::Mode::ReadWrite));
             return fd.set_len(4096);
         }},
        {io_op::kRename, [](MappedFile&, const std::string& d) { return write_file_atomic(d + "/g", "x"); }},
        {io_op::kFsync, [](MappedFile&, const std::string& d) { return sync_dir(d); }},
    };
    for (const Case& c : cases) {
        TempDir dir;
        auto f = MappedFile::create(dir.file("f"), 4096, true);
        ASSERT_TRUE(f.ok());
        f->data()[0] = 7;
        ScopedIoFaults faults(c.op, 0, ENOSPC);
        Status st = c.call(*f, dir.path());
        ASSERT_FALSE(st.ok()) << c.op;
        EXPECT_TRUE(st.error().is_io_code(ENOSPC)) << c.op << ": " << st.error().to_string();
        EXPECT_EQ(io_calls_failed(), 1u);
        EXPECT_GE(f->size(), 4096u);
        EXPECT_EQ(f->data()[0], 7) << "the mapping stays usable";
        EXPECT_TRUE(c.call(*f, dir.path()).ok()) << c.op << ": only the first call fails";
        auto names = list_dir(dir.path());
        ASSERT_TRUE(names.ok());
        for (const auto& name : *names) EXPECT_TRUE(name == "f" || name == "g") << name;
    }
}

TEST(IoFaultTest, SkipsCountMatchingCallsAndStickyFaultsLastUntilCleared) {
    TempDir dir;
    auto f = MappedFile::create(dir.file("f"), 4096, true);
    ASSERT_TRUE(f.ok());
    {
        ScopedIoFaults faults(io_op::kMsync, 2, EIO);
        EXPECT_TRUE(f->flush().ok());
        EXPECT_TRUE(f->write_at(0, std::vector<uint8_t>{1}).ok());  // not a matching call
        EXPECT_TRUE(f->flush().ok());
        EXPECT_TRUE(f->flush().error().is_io_code(EIO));
        EXPECT_TRUE(f->flush().ok());
        EXPECT_EQ(io_calls_seen(), 4u);
    }
    {
        ScopedIoFaults full(io_op::kDiskFull, 1, ENOSPC, /*sticky=*/true);
        EXPECT_TRUE(f->grow(8192).ok());
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(f->grow(16384 << i).error().is_io_code(ENOSPC));
        EXPECT_EQ(io_calls_failed(), 3u);
        EXPECT_EQ(f->size(), 8192u);
    }
    EXPECT_TRUE(f->grow(16384).ok());
}

// ---- allocation before the first store ----

constexpr uint64_t kKiB = 1024;

void fill(const FileHandle& f, uint64_t offset, uint64_t length, uint8_t byte) {
    ASSERT_TRUE(f.write_at(offset, std::vector<uint8_t>(length, byte)).ok());
}

void punch(const FileHandle& f, uint64_t offset, uint64_t length) {
    ASSERT_EQ(::fallocate(f.fd(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                          static_cast<off_t>(length)), 0) << std::strerror(errno);
}

void allocate(const FileHandle& f, int mode, uint64_t offset, uint64_t length) {
    ASSERT_EQ(::fallocate(f.fd(), mode, static_cast<off_t>(offset), static_cast<off_t>(length)), 0) << std::strerror(errno);
}

// The first len bytes of the file, zeros past its end.
std::vector<uint8_t> contents(const FileHandle& f, uint64_t len) {
    std::vector<uint8_t> out(len);
    const ssize_t n = ::pread(f.fd(), out.data(), len, 0);
    EXPECT_GE(n, 0);
    return out;
}

bool has_extent_map(int fd) {
    struct fiemap fm {};
    fm.fm_length = FIEMAP_MAX_OFFSET;
    return ::ioctl(fd, FS_IOC_FIEMAP, &fm) == 0;
}

// A file of each shape reserved to its length on a full XFS: only the ranges without
// blocks are asked for, one call each and none when nothing lacks (an unwritten tail has
// its blocks), every call goes through, and afterwards nothing lacks and every byte is kept.
TEST(ReserveTest, AFullXfsIsAskedOnlyForTheRangesWithoutBlocks) {
    const uint64_t len = 256 * kKiB;
    struct Case {
        const char* shape;
        std::function<void(const FileHandle&)> make;
        std::vector<ByteRange> missing;
    };
    const std::vector<Case> cases = {
        {"written", [&](const FileHandle& f) { fill(f, 0, len, 0xA5); }, {}},
        {"written head, unwritten tail", [&](const FileHandle& f) {
             allocate(f, 0, 0, len);
             fill(f, 0, 16 * kKiB, 1);
         }, {}},
        {"one punched hole", [&](const FileHandle& f) {
             fill(f, 0, len, 2);
             punch(f, 64 * kKiB, 64 * kKiB);
         }, {{64 * kKiB, 64 * kKiB}}},
        {"shorter than the length", [&](const FileHandle& f) { fill(f, 0, 32 * kKiB, 4); }, {{32 * kKiB, len - 32 * kKiB}}},
        {"extended by ftruncate", [&](const FileHandle& f) { ASSERT_TRUE(f.set_len(len).ok()); }, {{0, len}}},
        {"blocks kept past the end", [&](const FileHandle& f) {
             fill(f, 0, 16 * kKiB, 5);
             allocate(f, FALLOC_FL_KEEP_SIZE, 16 * kKiB, len - 16 * kKiB);
         }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shape);
        TempDir dir;
        FileHandle f = *FileHandle::open(dir.file("f"), FileHandle::Mode::CreateExclusive);
        if (!has_extent_map(f.fd())) GTEST_SKIP() << "the file system of " << dir.path() << " has no extent map";
        c.make(f);
        auto missing = missing_blocks(f.fd(), 0, len);
        ASSERT_TRUE(missing.ok()) << missing.error().to_string();
        ASSERT_EQ(*missing, c.missing);
        const std::vector<uint8_t> before = contents(f, len);
        {
            ScopedIoFaults full(kFullXfs);
            Status st = f.reserve(len);
            ASSERT_TRUE(st.ok()) << st.error().to_string();
            EXPECT_EQ(io_calls_seen(), c.missing.size());
            EXPECT_EQ(io_calls_failed(), 0u);
        }
        EXPECT_EQ(*f.size(), len);
        EXPECT_TRUE(missing_blocks(f.fd(), 0, len)->empty());
        EXPECT_EQ(contents(f, len), before);
    }
}

TEST(MappedFileTest, OpenMissingAndEmptyFiles) {
    TempDir dir;
    auto missing = MappedFile::open(dir.file("nope"), true);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().to_string(), "I/O error: No such file or directory (os error 2)");
    ASSERT_TRUE(write_file_atomic(dir.file("empty"), "").ok());
    auto empty = MappedFile::open(dir.file("empty"), true);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->size(), 0u);
    EXPECT_EQ(empty->data(), nullptr);
}

TEST(FileHelpersTest, AbsentMeansMissingOnly) {
    TempDir dir;
    auto none = read_file_if_exists(dir.file("missing"));
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none->has_value());
    // A directory in place of the file is an I/O error, not "absent".
    ASSERT_TRUE(create_dir_all(dir.file("adir")).ok());
    auto bad = read_file_if_exists(dir.file("adir"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), ErrorKind::Io);
    EXPECT_NE(bad.error().os_code(), ENOENT);
}

TEST(FileHelpersTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
    TempDir dir;
    std::string p = dir.file("meta");
    ASSERT_TRUE(write_file_atomic(p, "first contents").ok());
    ASSERT_TRUE(write_file_atomic(p, "2").ok());
    auto r = read_file(p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, "2");
    auto names = list_dir(dir.path());
    ASSERT_TRUE(names.ok());
    EXPECT_EQ(names->size(), 1u);
}

TEST(FileHelpersTest, DirectoriesCreateListAndRemoveRecursively) {
    TempDir dir;
    std::string deep = dir.file("a/b/c");
    ASSERT_TRUE(create_dir_all(deep).ok());
    ASSERT_TRUE(create_dir_all(deep).ok());  // existing is fine
    ASSERT_TRUE(write_file_atomic(join_path(deep, "f"), "x").ok());
    EXPECT_TRUE(*is_directory(deep));
    ASSERT_TRUE(remove_dir_all(dir.file("a")).ok());
    EXPECT_FALSE(*path_exists(dir.file("a")));
    EXPECT_TRUE(remove_file_if_exists(dir.file("a")).ok());
    EXPECT_FALSE(remove_file(dir.file("a")).ok());
}

// A reader lists a directory again until a listing completes; then only when it changes.
TEST(FileHelpersTest, DirectoryWatchForgetsAListingCutShort) {
    TempDir dir;
    const std::string d = dir.file("d");
    ASSERT_TRUE(create_dir_all(d).ok());
    const timespec past[2] = {{1000, 0}, {1000, 0}};  // well before any clock tick of now
    ASSERT_EQ(::utimensat(AT_FDCWD, d.c_str(), past, 0), 0);
    DirectoryWatch watch;
    EXPECT_TRUE(*watch.changed(d));
    EXPECT_TRUE(*watch.changed(d));  // the first listing never completed
    watch.listed();
    EXPECT_FALSE(*watch.changed(d));
    ASSERT_TRUE(write_file_atomic(join_path(d, "f"), "x").ok());
    EXPECT_TRUE(*watch.changed(d));
    EXPECT_FALSE(*watch.changed(dir.file("missing")));
}

TEST(LogTest, OffByDefaultAndSinkSeesFormattedRecords) {
    EXPECT_FALSE(log::enabled(log::Level::Error));
    {
        LogCapture cap(log::Level::Warn);
        log::warn(log::kHeader, "File has version {} but we know {}, parsing known fields only", 2, 1);
        log::info(log::kStore, "not emitted {}", 1);
        log::warn(log::kSegmentData, "flags {:#x}", 6);
        EXPECT_TRUE(cap.contains(log::Level::Warn, "brenvale::header",
                                 "File has version 2 but we know 1, parsing known fields only"));
        EXPECT_TRUE(cap.contains(log::Level::Warn, "brenvale::segment::data", "flags 0x6"));
        EXPECT_EQ(cap.records().size(), 2u);
    }
    EXPECT_FALSE(log::enabled(log::Level::Error));
}

}  // namespace
}  // namespace brenvale
