#include "segment/stage_area.h"

#include <sys/stat.h>

#include <cerrno>

#include "log.h"
#include "test_hooks.h"

namespace brenvale {

Status StageArea::prepare() const {
    struct stat st;
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return Error::io(errno);
    const uint64_t full = stage_file_length();
    if (exists && static_cast<uint64_t>(st.st_size) >= full) {
        if (static_cast<uint64_t>(st.st_blocks) * 512 >= full) return ok_status();
        // Its length without its blocks (a sparse copy): they are allocated now, while the
        // disk may have room. Without room the first change that stages tries again.
        auto fd = FileHandle::open(path_, FileHandle::Mode::ReadWrite);
        Status room = fd.ok() ? fd->reserve(full) : Status(std::move(fd).error());
        if (!room.ok())
            log::warn(log::kSegment, "[segment] cannot allocate the blocks of the stage file {}: {}", path_,
                      room.error());
        return ok_status();
    }
    if (exists) {
        log::warn(log::kSegment, "[segment] the stage file {} holds {} of its {} bytes; bringing it to its full length",
                  path_, st.st_size, full);
    }
    FileHandle fd = BRVL_TRY(FileHandle::open(path_, FileHandle::Mode::CreateOrOpen));
    crash_point("stage.created");
    return fd.reserve(full);
}

Status StageArea::open_for_writing() {
    if (fd_.valid()) return ok_status();
    // The file is there at its full length, unless something removed it since the open.
    FileHandle fd = BRVL_TRY(FileHandle::open(path_, FileHandle::Mode::CreateOrOpen));
    const uint64_t full = stage_file_length();
    BRVL_TRY(fd.reserve(full));
    map_ = BRVL_TRY(Mapping::map(fd.fd(), static_cast<size_t>(full), /*writable=*/true));
    fd_ = std::move(fd);
    return ok_status();
}

Status StageArea::write(const StageRecord& record, std::span<const std::span<const uint8_t>> pieces) {
    BRVL_TRY(open_for_writing());
    return encode_stage(map_.bytes(), record, pieces);
}

void StageArea::release() {
    map_.unmap();
    fd_.close();
}

}  // namespace brenvale
