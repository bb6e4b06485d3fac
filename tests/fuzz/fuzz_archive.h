// The input of the dataset fuzz target: a small archive of one dataset directory.
// Records follow each other until the input ends:
//   u8 name length, name ("meta", "state", "data/<name>", "index/<name>"),
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

// Parses what it can; malformed records end the archive. Names that would leave the
// dataset directory are dropped.
std::vector<ArchiveFile> parse_archive(const uint8_t* data, size_t size);
// Packs the files of a dataset directory.
std::vector<uint8_t> pack_directory(const std::string& dir);
// Writes the files into an empty dataset directory (data/ and index/ are always made).
bool unpack_into(const std::vector<ArchiveFile>& files, const std::string& dir);

}  // namespace brenvale::fuzz
