// The input of a fuzz target: a small archive of one directory, a dataset's or the
// journal's logs directory. Records follow each other until the input ends:
//   u8 name length, name (a file of the layout: "meta", "state", "data/<name>", ...),
//   u32 file length, u32 stored length, stored bytes (the file's remaining bytes are zero).
// Trailing zero bytes are not stored, so the mostly empty segment files stay small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace brenvale::fuzz {

inline constexpr uint32_t kMaxFileLength = 1u << 20;

struct ArchiveFile {
    std::string name;
    uint32_t length = 0;
    std::vector<uint8_t> stored;
};

// The files an archive may hold: top-level files and directories of segment files.
struct ArchiveLayout {
    std::vector<std::string> files;
    std::vector<std::string> dirs;
};
// A dataset directory: meta, state, data/, index/.
const ArchiveLayout& dataset_layout();
// The journal's logs directory (<root>/.journal/logs): meta, data/.
const ArchiveLayout& journal_layout();

// Parses what it can; malformed records end the archive. Names outside the layout (or
// that would leave the directory) are dropped.
std::vector<ArchiveFile> parse_archive(const uint8_t* data, size_t size,
                                       const ArchiveLayout& layout = dataset_layout());
// Packs the files of a directory.
std::vector<uint8_t> pack_directory(const std::string& dir, const ArchiveLayout& layout = dataset_layout());
// Writes the files into an empty directory (the layout's directories are always made).
bool unpack_into(const std::vector<ArchiveFile>& files, const std::string& dir,
                 const ArchiveLayout& layout = dataset_layout());

// A scratch directory of this process for the target `name`: under /dev/shm where it is
// writable (the files stay in memory), else under /tmp.
std::string scratch_dir(const std::string& name);

}  // namespace brenvale::fuzz
