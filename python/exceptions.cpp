#include "exceptions.h"

#include <array>
#include <atomic>
#include <string>

#include "module_util.h"

namespace brenvale::py {

namespace {

struct ExceptionSpec {
    const char* dotted_name;
    const char* doc;
};

// Indexed by ExceptionId. The dotted name makes `__module__` "brenvale".
constexpr std::array<ExceptionSpec, kExceptionCount> kExceptions{{
    {"brenvale.BrvlError", "Base exception for all brenvale errors."},
    {"brenvale.BrvlIoError", "I/O error (file not found, permission denied, etc.)."},
    {"brenvale.BrvlNotFoundError", "Dataset, segment, or handle not found."},
    {"brenvale.BrvlAlreadyExistsError", "Dataset already exists."},
    {"brenvale.BrvlInvalidDataError", "Invalid data: bad timestamp, out-of-order, duplicate, corrupt block."},
    {"brenvale.BrvlSegmentFullError", "Segment file is full (expansion needed)."},
    {"brenvale.BrvlMmapError", "Memory-mapping error."},
    {"brenvale.BrvlCompressionError", "Compression failure."},
    {"brenvale.BrvlDecompressionError", "Decompression failure."},
    {"brenvale.BrvlExpiredError", "Timestamp is outside the retention window."},
    {"brenvale.BrvlQueueAlreadyOpenError", "Queue is already open for this dataset."},
    {"brenvale.BrvlQueueNotOpenError", "Queue is not open for this dataset."},
    {"brenvale.BrvlConsumerGroupNotFoundError", "Consumer group not found."},
    {"brenvale.BrvlConsumerGroupExistsError", "Consumer group already exists."},
    {"brenvale.BrvlQueueClosedError", "Queue has been closed."},
    {"brenvale.BrvlPendingFullError", "Too many pending entries for this consumer group."},
}};

constexpr const char kModulePrefix[] = "brenvale.";

// Process-wide cells; a filled cell owns one strong reference that is never released.
std::array<std::atomic<PyObject*>, kExceptionCount> g_cells{};

}  // namespace

const char* exception_name(ExceptionId id) {
    return kExceptions[static_cast<int>(id)].dotted_name + (sizeof kModulePrefix - 1);
}

PyObject* exception_class(ExceptionId id) {
    const int index = static_cast<int>(id);
    if (PyObject* cls = g_cells[index].load(std::memory_order_acquire)) return cls;
    PyObject* base = id == ExceptionId::Base ? PyExc_Exception : exception_class(ExceptionId::Base);
    const ExceptionSpec& spec = kExceptions[index];
    PyObject* made = PyErr_NewExceptionWithDoc(spec.dotted_name, spec.doc, base, nullptr);
    if (made == nullptr) Py_FatalError("Failed to initialize new exception type.");
    return fill_class_cell(g_cells[index], made);
}

PyObject* adopt_exception_class(ExceptionId id, PyObject* cls) {
    Py_INCREF(cls);
    return fill_class_cell(g_cells[static_cast<int>(id)], cls);
}

int register_exceptions(PyObject* module) {
    for (int i = 0; i < kExceptionCount; ++i) {
        const auto id = static_cast<ExceptionId>(i);
        if (add_to_module(module, exception_name(id), exception_class(id)) < 0) return -1;
    }
    return 0;
}

ExceptionId exception_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Io: return ExceptionId::Io;
        case ErrorKind::InvalidMagic:
        case ErrorKind::UnsupportedVersion:
        case ErrorKind::InvalidData: return ExceptionId::InvalidData;
        case ErrorKind::Mmap: return ExceptionId::Mmap;
        case ErrorKind::Compression: return ExceptionId::Compression;
        case ErrorKind::Decompression: return ExceptionId::Decompression;
        case ErrorKind::NotFound: return ExceptionId::NotFound;
        case ErrorKind::Expired: return ExceptionId::Expired;
        case ErrorKind::AlreadyExists: return ExceptionId::AlreadyExists;
        case ErrorKind::SegmentFull: return ExceptionId::SegmentFull;
        case ErrorKind::QueueAlreadyOpen: return ExceptionId::QueueAlreadyOpen;
        case ErrorKind::QueueNotOpen: return ExceptionId::QueueNotOpen;
        case ErrorKind::ConsumerGroupNotFound: return ExceptionId::ConsumerGroupNotFound;
        case ErrorKind::ConsumerGroupExists: return ExceptionId::ConsumerGroupExists;
        case ErrorKind::QueueClosed: return ExceptionId::QueueClosed;
        case ErrorKind::PendingFull: return ExceptionId::PendingFull;
    }
    // Not reachable for a well-formed Error; the base class still catches it.
    return ExceptionId::Base;
}

PyObject* to_py_err(Error error) {
    return raise_error_text(exception_class(exception_for(error.kind())), error);
}

PyObject* raise_error_text(PyObject* cls, const Error& error) {
    const std::string text = error.to_string();
    // Paths inside a message may hold bytes that are not UTF-8; replacing them keeps the
    // engine's exception instead of turning it into a UnicodeDecodeError.
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return nullptr;
    // A str value (not a tuple) makes the instance with exactly one argument.
    PyErr_SetObject(cls, message);
    Py_DECREF(message);
    return nullptr;
}

}  // namespace brenvale::py
