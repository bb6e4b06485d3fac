// The block map of a file: which of its bytes have blocks (the extent map, else SEEK_DATA
// and SEEK_HOLE), the reservation that allocates only what is missing, and the read-through
// of a mapping whose holes a file system allocates on a read (tmpfs).
#include "block_map.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file.h"
#include "test_hooks.h"

namespace brenvale {

namespace {

Error last_io() { return Error::io(errno); }

}  // namespace

namespace {

// Whether the blocks of [0, len) of the file are all there: as many blocks as bytes, and
// no hole below len. Either alone can be fooled (blocks kept past the end, metadata
// blocks counted), both together not; a file system that cannot tell holes reports none,
// and the count of blocks still tells a sparse file.
bool blocks_present(int fd, const struct stat& st, uint64_t len) {
    if (len > static_cast<uint64_t>(st.st_size)) return false;
    if (static_cast<uint64_t>(st.st_blocks) < (len + 511) / 512) return false;
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    return hole >= 0 && static_cast<uint64_t>(hole) >= len;
}

// The blocks of a range as one of the two maps sees them.
struct BlockMap {
    std::vector<ByteRange> missing;
    bool from_extents = false;  // the extent map; else SEEK_DATA / SEEK_HOLE
    uint64_t data = 0;          // bytes shown as data (SEEK_DATA / SEEK_HOLE only)
};

// The holes of [offset, end) from the extent map; nullopt on a file system without one.
Result<std::optional<std::vector<ByteRange>>> holes_from_extents(int fd, uint64_t offset, uint64_t end) {
    constexpr uint32_t kExtents = 32;
    alignas(struct fiemap) unsigned char buf[sizeof(struct fiemap) + kExtents * sizeof(struct fiemap_extent)];
    std::vector<ByteRange> missing;
    uint64_t covered = offset;  // [offset, covered) is mapped or listed as missing
    uint64_t scan = offset;     // where the next request starts
    for (;;) {
        std::memset(buf, 0, sizeof buf);
        auto* fm = reinterpret_cast<struct fiemap*>(buf);
        fm->fm_start = scan;
        fm->fm_length = end - scan;
        fm->fm_extent_count = kExtents;
        int rc;
        do {
            rc = ::ioctl(fd, FS_IOC_FIEMAP, fm);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL) return std::optional<std::vector<ByteRange>>();
            return last_io();
        }
        bool done = fm->fm_mapped_extents < kExtents;
        const uint64_t before = scan;
        for (uint32_t i = 0; i < fm->fm_mapped_extents; ++i) {
            const struct fiemap_extent& e = fm->fm_extents[i];
            const uint64_t from = e.fe_logical;
            const uint64_t to = e.fe_logical + e.fe_length;
            if (e.fe_flags & FIEMAP_EXTENT_LAST) done = true;
            if (from >= end) {
                done = true;
                break;
            }
            scan = std::max(scan, to);
            // Bytes kept in the inode have no block of their own to store into.
            if (to <= covered || (e.fe_flags & FIEMAP_EXTENT_DATA_INLINE)) continue;
            if (from > covered) missing.push_back({covered, from - covered});
            covered = std::min(to, end);
        }
        if (done || scan >= end || scan == before) break;
    }
    if (covered < end) missing.push_back({covered, end - covered});
    return std::optional<std::vector<ByteRange>>(std::move(missing));
}

// The holes of [offset, end) and the bytes of data there, as SEEK_DATA and SEEK_HOLE show
// them; nullopt when the file system cannot seek for them.
Result<std::optional<BlockMap>> holes_from_seeks(int fd, uint64_t offset, uint64_t end) {
    BlockMap map;
    uint64_t pos = offset;
    while (pos < end) {
        const off_t data = ::lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but holes from pos on, or past the end
            if (errno == EINVAL) return std::optional<BlockMap>();
            return last_io();
        }
        const auto from = static_cast<uint64_t>(data);
        if (from > pos) map.missing.push_back({pos, std::min(from, end) - pos});
        if (from >= end) {
            pos = end;
            break;
        }
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) return last_io();
        const uint64_t to = std::min(static_cast<uint64_t>(hole), end);
        if (to <= from) return Error::io_message("SEEK_HOLE went backwards");
        map.data += to - from;
        pos = to;
    }
    if (pos < end) map.missing.push_back({pos, end - pos});
    return std::optional<BlockMap>(std::move(map));
}

Result<BlockMap> map_blocks(int fd, uint64_t offset, uint64_t length) {
    if (length > static_cast<uint64_t>(INT64_MAX) - std::min<uint64_t>(offset, INT64_MAX)) return Error::io(EFBIG);
    const uint64_t end = offset + length;
    if (length == 0) return BlockMap{};
    if (auto extents = BRVL_TRY(holes_from_extents(fd, offset, end))) return BlockMap{std::move(*extents), true, 0};
    if (auto seeks = BRVL_TRY(holes_from_seeks(fd, offset, end))) return std::move(*seeks);
    return BlockMap{{{offset, length}}, false, 0};  // nothing tells: all of it may lack blocks
}

}  // namespace

Result<std::vector<ByteRange>> missing_blocks(int fd, uint64_t offset, uint64_t length) {
    BlockMap map = BRVL_TRY(map_blocks(fd, offset, length));
    return std::move(map.missing);
}

Status FileHandle::reserve(uint64_t len) const {
    if (len > static_cast<uint64_t>(INT64_MAX)) return Error::io(EFBIG);
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_io();
    if (len == 0 || blocks_present(fd_, st, len)) return {};
    BlockMap map = BRVL_TRY(map_blocks(fd_, 0, len));
    // A file system that shows more data than the file has blocks cannot tell its holes
    // (one without SEEK_HOLE of its own reports none): all of it is asked for, as a copy
    // with holes there would otherwise keep them.
    if (!map.from_extents && static_cast<uint64_t>(st.st_blocks) * 512 < map.data) map.missing = {{0, len}};
    uint64_t size = static_cast<uint64_t>(st.st_size);
    for (const ByteRange& r : map.missing) {
        int rc = io_fault_reserve(fd_, r.offset, r.length);
        while (rc == 0) {
            rc = ::posix_fallocate(fd_, static_cast<off_t>(r.offset), static_cast<off_t>(r.length));
            if (rc != EINTR) break;
            rc = 0;
        }
        if (rc == EOPNOTSUPP || rc == EINVAL) {  // file system without reservation
            return len > size ? set_len(len) : Status{};
        }
        if (rc != 0) return Error::io(rc);
        size = std::max(size, r.offset + r.length);
    }
    // Blocks kept past the end were not asked for: the length still has to reach len.
    return len > size ? set_len(len) : Status{};
}

// ---- reading a mapping through ----

#ifndef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ = 22;  // Linux 5.14
#endif

Status populate_holes(int fd, const struct stat& st, uint8_t* data, size_t len) {
    const auto ps = static_cast<uint64_t>(page_size());
    const uint64_t mapped = (uint64_t{len} + ps - 1) / ps * ps;
    const auto size = static_cast<uint64_t>(st.st_size);
    if (static_cast<uint64_t>(st.st_blocks) * 512 >= std::min(mapped, size)) return {};
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return last_io();
    if (fs.f_type != TMPFS_MAGIC) return {};
    // Pages wholly past the end of the file are beyond any file system's room.
    const uint64_t populate = std::min(mapped, (size + ps - 1) / ps * ps);
    int rc;
    do {
        rc = ::madvise(data, static_cast<size_t>(populate), MADV_POPULATE_READ);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return {};
    // EFAULT: reading a page there would have raised SIGBUS, for want of room.
    return Error::io(errno == EFAULT ? ENOSPC : errno);
}

}  // namespace brenvale
