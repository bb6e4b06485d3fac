#include "error.h"

#include <cstring>

namespace brenvale {

namespace {

// The platform's description of an error code (strerror_r, GNU flavour).
std::string describe_os_error(int code) {
    char buf[256];
    const char* text = strerror_r(code, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, code);
}

}  // namespace

Error Error::io(int os_code) { return Error(ErrorKind::Io, describe_os_error(os_code), os_code); }

Error Error::io_message(std::string message) { return Error(ErrorKind::Io, std::move(message)); }

Error Error::unsupported_version(uint16_t version) {
    return Error(ErrorKind::UnsupportedVersion, std::to_string(version));
}

Error Error::in_file(std::string_view path) const {
    Error e = *this;
    e.detail_ = fmt::format("{}: {}", path, detail_);
    return e;
}

std::string Error::to_string() const {
    switch (kind_) {
        case ErrorKind::Io: return "I/O error: " + detail_;
        case ErrorKind::InvalidMagic: return "invalid file magic: expected b\"BRVL\"";
        case ErrorKind::UnsupportedVersion: return "unsupported version: " + detail_;
        case ErrorKind::Mmap: return "mmap error: " + detail_;
        case ErrorKind::Compression: return "compression error: " + detail_;
        case ErrorKind::Decompression: return "decompression error: " + detail_;
        case ErrorKind::InvalidData: return "invalid data: " + detail_;
        case ErrorKind::NotFound: return "not found: " + detail_;
        case ErrorKind::Expired: return "expired: " + detail_;
        case ErrorKind::AlreadyExists: return "already exists: " + detail_;
        case ErrorKind::SegmentFull: return "segment full (expansion needed)";
        case ErrorKind::QueueAlreadyOpen: return "queue already open: " + detail_;
        case ErrorKind::QueueNotOpen: return "queue not open: " + detail_;
        case ErrorKind::ConsumerGroupNotFound: return "consumer group not found: " + detail_;
        case ErrorKind::ConsumerGroupExists: return "consumer group already exists: " + detail_;
        case ErrorKind::QueueClosed: return "queue closed: " + detail_;
        case ErrorKind::PendingFull: return "pending entries full: " + detail_;
    }
    return detail_;
}

}  // namespace brenvale
