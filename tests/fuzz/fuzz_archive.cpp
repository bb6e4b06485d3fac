#include "fuzz_archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include "file.h"
#include "util.h"

namespace brenvale::fuzz {

namespace {

bool name_allowed(const std::string& name, const ArchiveLayout& layout) {
    std::string leaf;
    for (const std::string& f : layout.files)
        if (name == f) return true;
    for (const std::string& d : layout.dirs)
        if (name.size() > d.size() + 1 && name.compare(0, d.size() + 1, d + "/") == 0) leaf = name.substr(d.size() + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return false;
    for (char c : leaf)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '+' || c == '-' ||
              c == '_' || c == '.'))
            return false;
    return true;
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    store_u32(b, v);
    out.insert(out.end(), b, b + 4);
}

void pack_file(std::vector<uint8_t>& out, const std::string& name, const std::string& bytes) {
    size_t stored = bytes.size();
    while (stored > 0 && bytes[stored - 1] == 0) --stored;
    out.push_back(static_cast<uint8_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    put_u32(out, static_cast<uint32_t>(bytes.size()));
    put_u32(out, static_cast<uint32_t>(stored));
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(stored));
}

}  // namespace

const ArchiveLayout& dataset_layout() {
    static const ArchiveLayout layout{{"meta", "state"}, {"data", "index"}};
    return layout;
}

const ArchiveLayout& journal_layout() {
    static const ArchiveLayout layout{{"meta"}, {"data"}};
    return layout;
}

std::vector<ArchiveFile> parse_archive(const uint8_t* data, size_t size, const ArchiveLayout& layout) {
    std::vector<ArchiveFile> files;
    size_t pos = 0;
    while (pos < size && files.size() < 64) {
        const size_t name_len = data[pos++];
        if (size - pos < name_len + 8) break;
        ArchiveFile f;
        f.name.assign(reinterpret_cast<const char*>(data + pos), name_len);
        pos += name_len;
        f.length = load_u32(data + pos);
        uint32_t stored = load_u32(data + pos + 4);
        pos += 8;
        if (f.length > kMaxFileLength) f.length = kMaxFileLength;
        if (stored > f.length) stored = f.length;
        if (stored > size - pos) stored = static_cast<uint32_t>(size - pos);
        f.stored.assign(data + pos, data + pos + stored);
        pos += stored;
        if (name_allowed(f.name, layout)) files.push_back(std::move(f));
    }
    return files;
}

std::vector<uint8_t> pack_directory(const std::string& dir, const ArchiveLayout& layout) {
    std::vector<uint8_t> out;
    for (const std::string& top : layout.files) {
        auto bytes = read_file(join_path(dir, top));
        if (bytes.ok()) pack_file(out, top, *bytes);
    }
    for (const std::string& sub : layout.dirs) {
        auto names = list_dir(join_path(dir, sub));
        if (!names.ok()) continue;
        for (const auto& n : *names) {
            auto bytes = read_file(join_path(join_path(dir, sub), n));
            if (bytes.ok()) pack_file(out, sub + "/" + n, *bytes);
        }
    }
    return out;
}

bool unpack_into(const std::vector<ArchiveFile>& files, const std::string& dir, const ArchiveLayout& layout) {
    for (const std::string& sub : layout.dirs)
        if (!create_dir_all(join_path(dir, sub)).ok()) return false;
    for (const auto& f : files) {
        const std::string path = join_path(dir, f.name);
        auto fd = FileHandle::open(path, FileHandle::Mode::CreateTruncate);
        if (!fd.ok()) continue;
        std::string_view bytes(reinterpret_cast<const char*>(f.stored.data()), f.stored.size());
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd->fd(), bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        (void)fd->set_len(f.length);
    }
    return true;
}

std::string scratch_dir(const std::string& name) {
    return fmt::format("{}/brenvale-{}-{}", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", name, ::getpid());
}

}  // namespace brenvale::fuzz
