// The file layer under every file kind: RAII descriptors and mappings, whole-file
// mapping with a grow that never leaves the caller without a mapping, and the small
// whole-file and directory helpers. Every failure is an Error value.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "block_map.h"
#include "error.h"

namespace brenvale {

// ---- running out of descriptors ----

// Whether an errno, or an error, says that the process or the system has no descriptor
// left (EMFILE, ENFILE).
bool out_of_descriptors(int err);
bool out_of_descriptors(const Error& e);

// The system's page size.
long page_size();

// Something that can give descriptors back (a store: the files of its least recently used
// datasets). When opening a file fails for lack of descriptors, the file layer calls every
// registered relief and, when one freed any, tries the open once more. A relief runs on
// the thread whose open failed, which may hold a dataset's mutex, the locks inside it or a
// queue's locks: it must wait for no lock at all (it tries the locks it needs and passes
// busy ones by).
class DescriptorRelief {
public:
    virtual ~DescriptorRelief() = default;
    // Closes files it holds; whether it closed any.
    virtual bool relieve() = 0;
};

// Registers a relief for as long as it lives (held weakly).
void add_descriptor_relief(const std::shared_ptr<DescriptorRelief>& relief);
// Runs the registered reliefs; whether any freed descriptors. Threads may run them at the
// same time (a relief waits for no lock), but never from inside one: a file that a relief
// opens gets no relief of its own.
bool relieve_descriptors();

// An owned file descriptor.
class FileHandle {
public:
    enum class Mode {
        ReadOnly,         // existing file, O_RDONLY
        ReadWrite,        // existing file, O_RDWR
        CreateTruncate,   // O_RDWR | O_CREAT | O_TRUNC
        CreateExclusive,  // O_RDWR | O_CREAT | O_EXCL
        CreateOrOpen,     // O_RDWR | O_CREAT, never truncates
    };

    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    FileHandle& operator=(FileHandle&& o) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { close(); }

    static Result<FileHandle> open(const std::string& path, Mode mode, mode_t perm = 0666);

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    Result<uint64_t> size() const;
    // Sets the length with ftruncate (shrinks or extends sparsely).
    Status set_len(uint64_t len) const;
    // Makes the file at least len bytes long with the blocks of [0, len) allocated, so that
    // stores through a mapping can never meet a full disk: a file's length does not prove
    // its blocks exist (a sparse copy, an ftruncate). Costs a stat and a seek where the
    // file shows all its blocks; otherwise only the ranges without blocks are allocated
    // (missing_blocks), each by a call of its own, since a full file system may refuse a
    // request over blocks that are there (XFS). Never shrinks.
    Status reserve(uint64_t len) const;
    Status sync() const;
    // Writes the pieces one after another from offset (pwritev; short writes go on). Up to
    // one page at a page boundary is written by a single call, which a killed process
    // either completes or never starts.
    Status write_at(uint64_t offset, std::span<const std::span<const uint8_t>> pieces) const;
    Status write_at(uint64_t offset, std::span<const uint8_t> bytes) const {
        const std::span<const uint8_t> one[] = {bytes};
        return write_at(offset, one);
    }
    void close();
    // Gives up ownership of the descriptor (handed to another owner).
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// An owned memory mapping.
class Mapping {
public:
    Mapping() = default;
    Mapping(Mapping&& o) noexcept;
    Mapping& operator=(Mapping&& o) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { unmap(); }

    // Maps len bytes of the file from offset 0 (shared). A length of 0 gives an empty mapping.
    // Reading a hole through a shared mapping of a tmpfs file allocates a page, and on a
    // full tmpfs ends the process with SIGBUS: a mapping of a file there that may have
    // holes (fewer blocks than bytes) is read through once here, and without room the map
    // fails with the I/O error (ENOSPC). Other file systems read holes without room. `st`
    // is the file's fstat when the caller has it (saves one).
    static Result<Mapping> map(int fd, size_t len, bool writable);
    static Result<Mapping> map(int fd, size_t len, bool writable, const struct stat& st);

    uint8_t* data() const { return data_; }
    size_t size() const { return len_; }
    bool writable() const { return writable_; }
    std::span<uint8_t> bytes() const { return {data_, len_}; }
    // msync of the whole mapping (synchronous).
    Status flush() const;
    // msync of [offset, offset + len), widened to page boundaries.
    Status flush_range(size_t offset, size_t len) const;
    void unmap();

private:
    uint8_t* data_ = nullptr;
    size_t len_ = 0;
    bool writable_ = false;
};

// A file mapped whole, read-write or read-only.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(MappedFile&&) noexcept = default;
    MappedFile& operator=(MappedFile&&) noexcept = default;

    // Creates the file (exclusively when `exclusive`, else truncating an existing one),
    // reserves `len` bytes and maps them read-write. Every byte starts zero.
    static Result<MappedFile> create(const std::string& path, uint64_t len, bool exclusive,
                                     mode_t perm = 0666);
    // Opens an existing file and maps all of it. A writable mapping is not yet known to
    // have its blocks: see ensure_allocated.
    static Result<MappedFile> open(const std::string& path, bool writable);

    const std::string& path() const { return path_; }
    // Mapped (with or without its descriptor), or an empty file with its descriptor.
    bool is_open() const { return map_.data() != nullptr || fd_.valid(); }
    // Gives the descriptor back while the mapping stays: reads and stores through the
    // mapping go on, and a call that needs the descriptor (a grow, an allocation, a write,
    // the file's length) opens the file again by its path. An empty mapping keeps it.
    void drop_descriptor();
    bool holds_descriptor() const { return fd_.valid(); }
    bool writable() const { return writable_; }
    // The file's inode number when open() mapped it (0 for a file made by create): a reader
    // tells by it whether the file under the path is still the one it mapped.
    uint64_t file_id() const { return file_id_; }
    uint8_t* data() const { return map_.data(); }
    uint64_t size() const { return map_.size(); }
    // The file's length now (another process may have grown it past the mapping).
    Result<uint64_t> file_length() const;
    std::span<uint8_t> bytes() const { return map_.bytes(); }

    // Extends the file to new_len (reserved), maps the new length and only then drops the
    // old mapping. On any failure the old mapping stays in place and the error is returned.
    // A new_len not above the current size does nothing.
    Status grow(uint64_t new_len);
    // Allocates the blocks of the first len bytes (all of the mapping by default) before
    // anything is stored there through the mapping: a store into a block that a full disk
    // cannot supply would end the process with SIGBUS. Done once per mapping; files made or
    // grown here are allocated already. The I/O error when there is no room.
    Status ensure_allocated(uint64_t len = UINT64_MAX);
    Status flush() const;
    Status flush_range(size_t offset, size_t len) const { return map_.flush_range(offset, len); }
    // Writes bytes at offset with pwrite on the descriptor; the mapping shares the page
    // cache and sees them at once. A record that fits one page is written by a single call,
    // which a killed process either completes or never starts.
    Status write_at(uint64_t offset, std::span<const uint8_t> bytes) const;
    // Drops the mapping and closes the descriptor.
    void close();

private:
    // The descriptor, opened again when it was given back.
    Result<const FileHandle*> descriptor() const;

    std::string path_;
    mutable FileHandle fd_;
    Mapping map_;
    bool writable_ = false;
    uint64_t allocated_ = 0;  // the leading bytes whose blocks are known to exist
    uint64_t file_id_ = 0;
};

// Whole-file helpers. "Absent" means ENOENT only; every other failure is an I/O error.
Result<std::string> read_file(const std::string& path);
Result<std::optional<std::string>> read_file_if_exists(const std::string& path);
// Writes to a temporary name in the same directory, syncs, then renames into place, so
// that readers see either the old file or the whole new one.
Status write_file_atomic(const std::string& path, std::string_view contents, mode_t perm = 0666);
Result<bool> path_exists(const std::string& path);
Result<bool> is_directory(const std::string& path);
Status create_dir_all(const std::string& path, mode_t perm = 0777);
// Names in the directory, without "." and "..", in no particular order.
Result<std::vector<std::string>> list_dir(const std::string& path);
// Calls visit with each name in the directory (without "." and "..") and the inode number
// the listing gives it (no stat), in no particular order.
Status for_each_in_dir(const std::string& path, const std::function<void(std::string_view, uint64_t)>& visit);
Status remove_file(const std::string& path);
// Removes a file if it exists; a missing file is not an error.
Status remove_file_if_exists(const std::string& path);
Status remove_dir_all(const std::string& path);
// rmdir(2): removes a directory only when it is empty.
Status remove_empty_dir(const std::string& path);
Status sync_dir(const std::string& path);
// rename(2); the new name is durable only after sync_dir of its directory.
Status rename_file(const std::string& from, const std::string& to);
// The directory part of a path ("." without one).
std::string parent_dir(const std::string& path);

std::string join_path(std::string_view a, std::string_view b);

// Tells a reader beside a writer in another process when to list a directory again: when
// its modification time moved since the last complete listing, or when that listing fell
// within the clock tick of that time (a change in the same tick does not move it).
class DirectoryWatch {
public:
    // Whether the directory may hold entries the last complete listing did not see. A
    // missing directory gives no.
    Result<bool> changed(const std::string& dir);
    // The listing that followed a yes is complete. A listing cut short (an error, or an
    // exception unwinding through it) is not marked, so the next look lists again.
    void listed();
    // The next look lists again whatever the directory's time says.
    void relist() { listed_ = false; }

private:
    bool listed_ = false;
    int64_t listed_mtime_ns_ = 0;
    int64_t listed_at_ns_ = 0;
    // The directory time and clock reading taken by the last yes, until listed() keeps them.
    bool looking_ = false;
    int64_t seen_mtime_ns_ = 0;
    int64_t seen_at_ns_ = 0;
};

}  // namespace brenvale
