#include "file.h"

#include "paths.h"
#include "util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace brenvale {

namespace {

Error last_io() { return Error::io(errno); }

// The registered reliefs; the mutex guards the list only (a leaf: the reliefs run after it
// is released).
struct Reliefs {
    std::mutex list_mu;
    std::vector<std::weak_ptr<DescriptorRelief>> list;
};

Reliefs& reliefs() {
    static Reliefs r;
    return r;
}

thread_local bool t_relieving = false;

// Runs open (a descriptor, or -1 with errno set) again while interrupted; when it fails for
// lack of descriptors and the reliefs freed some, again (another thread may have taken
// what they freed: a few rounds). errno is that of the last try.
template <typename Open>
int open_with_relief(Open open) {
    constexpr int kReliefRounds = 4;
    int fd;
    for (int round = 0;; ++round) {
        do {
            fd = open();
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || !out_of_descriptors(errno) || round == kReliefRounds) return fd;
        const int err = errno;
        if (!relieve_descriptors()) {
            errno = err;
            return -1;
        }
    }
}

}  // namespace

long page_size() {
    static const long ps = sysconf(_SC_PAGESIZE);
    return ps;
}

// ---- running out of descriptors ----

bool out_of_descriptors(int err) { return err == EMFILE || err == ENFILE; }

bool out_of_descriptors(const Error& e) { return e.is_io_code(EMFILE) || e.is_io_code(ENFILE); }

void add_descriptor_relief(const std::shared_ptr<DescriptorRelief>& relief) {
    Reliefs& r = reliefs();
    std::lock_guard lock(r.list_mu);
    std::erase_if(r.list, [](const auto& w) { return w.expired(); });
    r.list.push_back(relief);
}

bool relieve_descriptors() {
    if (t_relieving) return false;
    Reliefs& r = reliefs();
    std::vector<std::shared_ptr<DescriptorRelief>> live;
    {
        std::lock_guard lock(r.list_mu);
        for (const auto& w : r.list)
            if (auto p = w.lock()) live.push_back(std::move(p));
    }
    struct Relieving {
        Relieving() { t_relieving = true; }
        ~Relieving() { t_relieving = false; }
    } relieving;
    bool freed = false;
    for (const auto& relief : live) freed = relief->relieve() || freed;
    return freed;
}

// ---- FileHandle ----

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

Result<FileHandle> FileHandle::open(const std::string& path, Mode mode, mode_t perm) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case Mode::ReadOnly: flags |= O_RDONLY; break;
        case Mode::ReadWrite: flags |= O_RDWR; break;
        case Mode::CreateTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case Mode::CreateExclusive: flags |= O_RDWR | O_CREAT | O_EXCL; break;
        case Mode::CreateOrOpen: flags |= O_RDWR | O_CREAT; break;
    }
    const int fd = open_with_relief([&] {
        if (int e = io_fault(io_op::kOpen)) {
            errno = e;
            return -1;
        }
        return ::open(path.c_str(), flags, perm);
    });
    if (fd < 0) return last_io();
    return FileHandle(fd);
}

Result<uint64_t> FileHandle::size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_io();
    return static_cast<uint64_t>(st.st_size);
}

Status FileHandle::set_len(uint64_t len) const {
    if (len > static_cast<uint64_t>(INT64_MAX)) return Error::io(EFBIG);
    if (int e = io_fault(io_op::kTruncate)) return Error::io(e);
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(len));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return last_io();
    return {};
}

Status FileHandle::sync() const {
    if (int e = io_fault(io_op::kFsync)) return Error::io(e);
    if (::fsync(fd_) != 0) return last_io();
    return {};
}

Status FileHandle::write_at(uint64_t offset, std::span<const std::span<const uint8_t>> pieces) const {
    constexpr size_t kMaxPieces = 8;
    if (pieces.size() > kMaxPieces) return Error::io_message("too many pieces for one write");
    iovec iov[kMaxPieces];
    size_t count = 0;
    for (const auto& p : pieces) {
        if (p.empty()) continue;
        iov[count++] = iovec{const_cast<uint8_t*>(p.data()), p.size()};
    }
    size_t first = 0;
    while (first < count) {
        if (int e = io_fault(io_op::kWrite)) return Error::io(e);
        ssize_t n = ::pwritev(fd_, iov + first, static_cast<int>(count - first), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_io();
        }
        if (n == 0) return Error::io_message("failed to write whole buffer");
        offset += static_cast<uint64_t>(n);
        for (auto left = static_cast<size_t>(n); left > 0;) {
            const size_t take = std::min(left, iov[first].iov_len);
            iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + take;
            iov[first].iov_len -= take;
            left -= take;
            if (iov[first].iov_len == 0) ++first;
        }
    }
    return {};
}

void FileHandle::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

// ---- Mapping ----

Mapping::Mapping(Mapping&& o) noexcept : data_(o.data_), len_(o.len_), writable_(o.writable_) {
    o.data_ = nullptr;
    o.len_ = 0;
}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
    if (this != &o) {
        unmap();
        data_ = o.data_;
        len_ = o.len_;
        writable_ = o.writable_;
        o.data_ = nullptr;
        o.len_ = 0;
    }
    return *this;
}

Result<Mapping> Mapping::map(int fd, size_t len, bool writable) {
    struct stat st {};
    if (len != 0 && ::fstat(fd, &st) != 0) return last_io();
    return map(fd, len, writable, st);
}

Result<Mapping> Mapping::map(int fd, size_t len, bool writable, const struct stat& st) {
    Mapping m;
    m.writable_ = writable;
    if (len == 0) return m;
    if (int e = io_fault(io_op::kMmap)) return Error::io(e);
    int prot = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* p = ::mmap(nullptr, len, prot, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return last_io();
    m.data_ = static_cast<uint8_t*>(p);
    m.len_ = len;
    BRVL_TRY(populate_holes(fd, st, m.data_, m.len_));  // a failure drops the mapping with m
    return m;
}

Status Mapping::flush() const { return flush_range(0, len_); }

Status Mapping::flush_range(size_t offset, size_t len) const {
    if (data_ == nullptr || len == 0 || offset >= len_) return {};
    if (len > len_ - offset) len = len_ - offset;
    size_t ps = static_cast<size_t>(page_size());
    size_t start = offset / ps * ps;
    if (int e = io_fault(io_op::kMsync)) return Error::io(e);
    if (::msync(data_ + start, offset + len - start, MS_SYNC) != 0) return last_io();
    return {};
}

void Mapping::unmap() {
    if (data_ != nullptr) {
        ::munmap(data_, len_);
        data_ = nullptr;
        len_ = 0;
    }
}

// ---- MappedFile ----

Result<MappedFile> MappedFile::create(const std::string& path, uint64_t len, bool exclusive, mode_t perm) {
    if (len > SIZE_MAX) return Error::io(EFBIG);
    MappedFile f;
    f.path_ = path;
    f.writable_ = true;
    auto mode = exclusive ? FileHandle::Mode::CreateExclusive : FileHandle::Mode::CreateTruncate;
    f.fd_ = BRVL_TRY(FileHandle::open(path, mode, perm));
    auto reserved = f.fd_.reserve(len);
    if (!reserved.ok()) {
        if (exclusive) ::unlink(path.c_str());  // never leave a half-made file of our own behind
        return std::move(reserved).error();
    }
    f.map_ = BRVL_TRY(Mapping::map(f.fd_.fd(), static_cast<size_t>(len), true));
    f.allocated_ = len;
    return f;
}

Result<MappedFile> MappedFile::open(const std::string& path, bool writable) {
    MappedFile f;
    f.path_ = path;
    f.writable_ = writable;
    f.fd_ = BRVL_TRY(FileHandle::open(path, writable ? FileHandle::Mode::ReadWrite : FileHandle::Mode::ReadOnly));
    struct stat st;
    if (::fstat(f.fd_.fd(), &st) != 0) return last_io();
    const auto len = static_cast<uint64_t>(st.st_size);
    if (len > SIZE_MAX) return Error::io(EFBIG);
    f.map_ = BRVL_TRY(Mapping::map(f.fd_.fd(), static_cast<size_t>(len), writable, st));
    f.file_id_ = static_cast<uint64_t>(st.st_ino);
    return f;
}

void MappedFile::drop_descriptor() {
    if (map_.data() != nullptr) fd_.close();
}

Result<const FileHandle*> MappedFile::descriptor() const {
    if (!is_open()) return Error::mmap("file is not mapped");
    if (!fd_.valid())
        fd_ = BRVL_TRY(FileHandle::open(path_, writable_ ? FileHandle::Mode::ReadWrite : FileHandle::Mode::ReadOnly));
    return &fd_;
}

Result<uint64_t> MappedFile::file_length() const { return BRVL_TRY(descriptor())->size(); }

Status MappedFile::grow(uint64_t new_len) {
    if (!is_open()) return Error::mmap("file is not mapped");
    if (!writable_) return Error::io(EBADF);
    if (new_len <= map_.size()) return {};
    if (new_len > SIZE_MAX) return Error::io(EFBIG);
    const FileHandle* fd = BRVL_TRY(descriptor());
    BRVL_TRY(fd->reserve(new_len));
    Mapping next = BRVL_TRY(Mapping::map(fd->fd(), static_cast<size_t>(new_len), true));
    map_ = std::move(next);  // the old mapping goes only now
    allocated_ = new_len;
    return {};
}

Status MappedFile::ensure_allocated(uint64_t len) {
    if (!is_open()) return Error::mmap("file is not mapped");
    len = std::min<uint64_t>(len, map_.size());
    if (len <= allocated_) return {};
    BRVL_TRY(BRVL_TRY(descriptor())->reserve(len));
    allocated_ = len;
    return {};
}

Status MappedFile::flush() const { return map_.flush(); }

Status MappedFile::write_at(uint64_t offset, std::span<const uint8_t> bytes) const {
    return BRVL_TRY(descriptor())->write_at(offset, bytes);
}

void MappedFile::close() {
    map_.unmap();
    fd_.close();
    allocated_ = 0;
}

// ---- whole files and directories ----

Result<std::string> read_file(const std::string& path) {
    FileHandle fd = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadOnly));
    std::string out;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.fd(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_io();
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

Result<std::optional<std::string>> read_file_if_exists(const std::string& path) {
    auto r = read_file(path);
    if (r.ok()) return std::optional<std::string>(std::move(*r));
    if (r.error().is_io_code(ENOENT)) return std::optional<std::string>();
    return std::move(r).error();
}

std::string parent_dir(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

Status rename_file(const std::string& from, const std::string& to) {
    const int injected = io_fault(io_op::kRename);
    if (injected != 0) return Error::io(injected);
    if (::rename(from.c_str(), to.c_str()) != 0) return last_io();
    return {};
}

Status write_file_atomic(const std::string& path, std::string_view contents, mode_t perm) {
    std::random_device rd;
    const std::string tmp = paths::replacement_temp_file(path, static_cast<uint32_t>(::getpid()), rd());
    {
        FileHandle fd = BRVL_TRY(FileHandle::open(tmp, FileHandle::Mode::CreateExclusive, perm));
        Status st = fd.write_at(0, {reinterpret_cast<const uint8_t*>(contents.data()), contents.size()});
        if (st.ok()) st = fd.sync();
        if (!st.ok()) {
            ::unlink(tmp.c_str());
            return st;
        }
    }
    crash_point("atomic write: before rename");
    if (Status renamed = rename_file(tmp, path); !renamed.ok()) {
        ::unlink(tmp.c_str());
        return renamed;
    }
    return sync_dir(parent_dir(path));
}

Result<bool> path_exists(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    return last_io();
}

Result<bool> is_directory(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (errno == ENOENT) return false;
    return last_io();
}

Status create_dir_all(const std::string& path, mode_t perm) {
    if (path.empty()) return {};
    std::string cur;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        cur = path.substr(0, next);
        pos = next + 1;
        if (cur.empty()) continue;  // leading '/'
        if (::mkdir(cur.c_str(), perm) != 0 && errno != EEXIST) return last_io();
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return last_io();
    if (!S_ISDIR(st.st_mode)) return Error::io(ENOTDIR);
    return {};
}

namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Calls visit with each entry of an open directory but "." and "..".
Status visit_entries(DIR* d, const std::function<void(std::string_view, uint64_t)>& visit) {
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0) return last_io();
            return {};
        }
        std::string_view n(e->d_name);
        if (n == "." || n == "..") continue;
        visit(n, static_cast<uint64_t>(e->d_ino));
    }
}

// The names in an open directory, without "." and "..".
Result<std::vector<std::string>> read_names(DIR* d) {
    std::vector<std::string> names;
    BRVL_TRY(visit_entries(d, [&](std::string_view n, uint64_t) { names.emplace_back(n); }));
    return names;
}

// An open directory stream of a path.
Result<DirHandle> open_dir_stream(const std::string& path) {
    FileHandle fd(open_with_relief([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd.valid()) return last_io();
    DirHandle d(::fdopendir(fd.fd()));
    if (!d) return last_io();
    fd.release();  // the directory stream owns the descriptor now
    return d;
}

}  // namespace

Result<std::vector<std::string>> list_dir(const std::string& path) {
    DirHandle d = BRVL_TRY(open_dir_stream(path));
    return read_names(d.get());
}

Status for_each_in_dir(const std::string& path, const std::function<void(std::string_view, uint64_t)>& visit) {
    DirHandle d = BRVL_TRY(open_dir_stream(path));
    return visit_entries(d.get(), visit);
}

Status remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return last_io();
    return {};
}

Status remove_file_if_exists(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return last_io();
    return {};
}

namespace {

Status remove_tree_at(int dirfd, const char* name) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return last_io();
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(dirfd, name, 0) != 0) return last_io();
        crash_point("remove_dir_all: file removed");
        return {};
    }
    FileHandle fd(open_with_relief([&] { return ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW); }));
    if (!fd.valid()) return last_io();
    DirHandle d(::fdopendir(fd.fd()));
    if (!d) return last_io();
    fd.release();  // the directory stream owns the descriptor now
    const std::vector<std::string> names = BRVL_TRY(read_names(d.get()));
    for (const auto& n : names) BRVL_TRY(remove_tree_at(::dirfd(d.get()), n.c_str()));
    d.reset();
    if (::unlinkat(dirfd, name, AT_REMOVEDIR) != 0) return last_io();
    return {};
}

}  // namespace

Status remove_dir_all(const std::string& path) { return remove_tree_at(AT_FDCWD, path.c_str()); }

Status remove_empty_dir(const std::string& path) {
    if (::rmdir(path.c_str()) != 0) return Error::io(errno);
    return {};
}

Status sync_dir(const std::string& path) {
    FileHandle fd(open_with_relief([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd.valid()) return last_io();
    Status synced = fd.sync();
    if (!synced.ok() && synced.error().is_io_code(EINVAL)) return {};  // a file system that cannot sync directories
    return synced;
}

std::string join_path(std::string_view a, std::string_view b) {
    std::string out(a);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(b);
    return out;
}

Result<bool> DirectoryWatch::changed(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        return last_io();
    }
    auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    const int64_t mtime = ns(st.st_mtim);
    if (listed_ && mtime == listed_mtime_ns_ && listed_mtime_ns_ < listed_at_ns_) return false;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);  // the clock that stamps directory times
    listed_ = false;
    looking_ = true;
    seen_mtime_ns_ = mtime;
    seen_at_ns_ = ns(now);
    return true;
}

void DirectoryWatch::listed() {
    if (!looking_) return;
    looking_ = false;
    listed_ = true;
    listed_mtime_ns_ = seen_mtime_ns_;
    listed_at_ns_ = seen_at_ns_;
}

}  // namespace brenvale
