// A dataset's stage file (<dataset>/data/stage, format/stage.h) as its segments use it.
// The file is created at its full length when the dataset is opened writable and is never
// removed or shrunk, so that once a dataset's files exist a seal or a correction needs no
// new disk space. One per dataset: the segment set owns it and lends it to its segments;
// its descriptor and mapping are taken by the first change that stages a copy and given
// back when the dataset's files are released. Used only under the dataset's lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "error.h"
#include "file.h"
#include "format/stage.h"

namespace brenvale {

class StageArea {
public:
    explicit StageArea(std::string path) : path_(std::move(path)) {}
    StageArea(const StageArea&) = delete;
    StageArea& operator=(const StageArea&) = delete;

    const std::string& path() const { return path_; }

    // For a writable open: creates the file at its full length, or brings a short one (a
    // creation cut short, or the file of an earlier version, which is kept as long as the
    // records it holds) to it with a warning. A file at its full length is not opened.
    Status prepare() const;
    // Writes a record with its staged bytes through the mapping (opened first when needed).
    Status write(const StageRecord& record, std::span<const std::span<const uint8_t>> pieces);
    // Gives back the mapping and the descriptor; the next write takes them again.
    void release();
    bool is_open() const { return fd_.valid(); }

private:
    Status open_for_writing();

    std::string path_;
    FileHandle fd_;
    Mapping map_;
};

}  // namespace brenvale
