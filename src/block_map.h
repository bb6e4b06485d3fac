// The block map of a file: which of its bytes have disk blocks, the reservation that asks
// for the missing ones only (FileHandle::reserve, defined with them in block_map.cpp), and
// the read-through of a mapping whose holes a file system fills on a read.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "error.h"

namespace brenvale {

// A byte range of a file.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

// The ranges of [offset, offset + length) of the file where it has no blocks, in order.
// Blocks allocated and never written (unwritten extents), blocks awaiting delayed
// allocation and blocks kept past the end of the file are there. Read from the extent map
// (FS_IOC_FIEMAP); a file system without one answers from SEEK_DATA and SEEK_HOLE, which
// may show allocated blocks never written as holes (tmpfs), never a hole as data.
Result<std::vector<ByteRange>> missing_blocks(int fd, uint64_t offset, uint64_t length);

// Reads every page of a shared mapping of the file [data, data + len) once, up to the end
// of the file, so that a page of a hole the file system has to allocate on a read (tmpfs)
// is allocated now, and a full file system fails this call instead of sending SIGBUS to a
// later read. Where the file has as many blocks as the mapping covers, or lives elsewhere,
// it does nothing. `st` is the file's fstat.
Status populate_holes(int fd, const struct stat& st, uint8_t* data, size_t len);

}  // namespace brenvale
