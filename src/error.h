// The one error type of the engine and the Result<T> every engine operation returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

namespace brenvale {

enum class ErrorKind : uint16_t {
    Io = 0,
    InvalidMagic = 1,
    UnsupportedVersion = 2,
    Mmap = 3,
    Compression = 4,
    Decompression = 5,
    InvalidData = 6,
    NotFound = 7,
    Expired = 8,
    AlreadyExists = 9,
    SegmentFull = 10,
    QueueAlreadyOpen = 11,
    QueueNotOpen = 12,
    ConsumerGroupNotFound = 13,
    ConsumerGroupExists = 14,
    QueueClosed = 15,
    PendingFull = 16,
};

class Error {
public:
    // I/O error carrying an operating-system error code.
    static Error io(int os_code);
    // I/O error made by the engine without a code ("failed to write whole buffer").
    static Error io_message(std::string message);
    static Error invalid_magic() { return Error(ErrorKind::InvalidMagic); }
    static Error unsupported_version(uint16_t version);
    static Error mmap(std::string t) { return Error(ErrorKind::Mmap, std::move(t)); }
    static Error compression(std::string t) { return Error(ErrorKind::Compression, std::move(t)); }
    static Error decompression(std::string t) { return Error(ErrorKind::Decompression, std::move(t)); }
    static Error invalid_data(std::string t) { return Error(ErrorKind::InvalidData, std::move(t)); }
    static Error not_found(std::string t) { return Error(ErrorKind::NotFound, std::move(t)); }
    static Error expired(std::string t) { return Error(ErrorKind::Expired, std::move(t)); }
    static Error already_exists(std::string t) { return Error(ErrorKind::AlreadyExists, std::move(t)); }
    static Error segment_full() { return Error(ErrorKind::SegmentFull); }
    static Error queue_already_open(std::string t) { return Error(ErrorKind::QueueAlreadyOpen, std::move(t)); }
    static Error queue_not_open(std::string t) { return Error(ErrorKind::QueueNotOpen, std::move(t)); }
    static Error consumer_group_not_found(std::string t) {
        return Error(ErrorKind::ConsumerGroupNotFound, std::move(t));
    }
    static Error consumer_group_exists(std::string t) {
        return Error(ErrorKind::ConsumerGroupExists, std::move(t));
    }
    static Error queue_closed(std::string t) { return Error(ErrorKind::QueueClosed, std::move(t)); }
    static Error pending_full(std::string t) { return Error(ErrorKind::PendingFull, std::move(t)); }

    ErrorKind kind() const { return kind_; }
    uint16_t tag() const { return static_cast<uint16_t>(kind_); }
    // The operating-system code of an I/O error, 0 when it has none.
    int os_code() const { return os_code_; }
    bool is_io_code(int code) const { return kind_ == ErrorKind::Io && os_code_ == code; }
    // The payload text (for I/O errors: the I/O text form; for versions: the decimal number).
    const std::string& detail() const { return detail_; }
    // The display text: the kind's prefix followed by the detail.
    std::string to_string() const;
    // The same error with the file it concerns named before its detail (its kind and
    // operating-system code kept).
    Error in_file(std::string_view path) const;

private:
    explicit Error(ErrorKind kind, std::string detail = {}, int os_code = 0)
        : kind_(kind), os_code_(os_code), detail_(std::move(detail)) {}

    ErrorKind kind_;
    int os_code_;
    std::string detail_;
};

// Formats an invalid-data error in one step: invalid_data_fmt("dataset {}/{} is closed", a, b).
template <typename... Args>
Error invalid_data_fmt(fmt::format_string<Args...> f, Args&&... args) {
    return Error::invalid_data(fmt::format(f, std::forward<Args>(args)...));
}

// Errors that say a file's contents are unusable (as opposed to a failing system call).
inline bool is_content_error(const Error& e) {
    switch (e.kind()) {
        case ErrorKind::InvalidData:
        case ErrorKind::InvalidMagic:
        case ErrorKind::UnsupportedVersion:
        case ErrorKind::Decompression:
            return true;
        default:
            return false;
    }
}

// A value or an Error.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : e_(std::move(error)) {}

    bool ok() const { return !e_.has_value(); }
    explicit operator bool() const { return ok(); }
    void value() const {}

    const Error& error() const& { return *e_; }
    Error&& error() && { return std::move(*e_); }

private:
    std::optional<Error> e_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace brenvale

// Evaluates a Result expression; on error returns the error from the enclosing function,
// otherwise yields the value (GNU statement expression).
#define BRVL_TRY(expr)                                  \
    ({                                                  \
        auto brvl_try_result_ = (expr);                 \
        if (!brvl_try_result_.ok())                     \
            return std::move(brvl_try_result_).error(); \
        std::move(brvl_try_result_).value();            \
    })

template <>
struct fmt::formatter<brenvale::Error> : fmt::formatter<std::string_view> {
    auto format(const brenvale::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
