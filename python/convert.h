// Binding of call arguments to parameter names, conversion of arguments into engine
// values and of engine results into Python values. Every function that can fail returns
// false (or nullptr) with a Python error set.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "exceptions.h"

namespace brenvale {
struct Record;
struct RecordLength;
struct JournalEntry;
}  // namespace brenvale

namespace brenvale::py {

// A keyword-only parameter.
struct KeywordParam {
    const char* name;
    bool required;
};

// The parameters of a method: positional-or-keyword ones first (the first
// `positional_only` of them positional-only, the first `required` of them required),
// then keyword-only ones. Bound arguments are numbered in that same order.
struct Params {
    const char* cls;  // nullptr for a name without a class
    const char* method;
    std::span<const char* const> positional;
    size_t required = 0;
    std::span<const KeywordParam> keyword_only = {};
    size_t positional_only = 0;

    size_t count() const { return positional.size() + keyword_only.size(); }
    bool requires_keyword() const {
        for (const KeywordParam& param : keyword_only)
            if (param.required) return true;
        return false;
    }
    const char* name(size_t i) const {
        return i < positional.size() ? positional[i] : keyword_only[i - positional.size()].name;
    }
};

// An argument that must be a byte payload: bytes, bytearray, or any other sequence of ints
// from 0 to 255, taken item by item. A bytes object is immutable and used in place (a
// reference held); everything else is copied before the engine sees it, so that nothing
// that runs during the call (a wake callback, another thread) can change or resize it.
class ByteArg {
public:
    ByteArg() = default;
    ByteArg(const ByteArg&) = delete;
    ByteArg& operator=(const ByteArg&) = delete;
    ~ByteArg() { Py_XDECREF(bytes_); }

    // Refuses a str and any object that is no sequence.
    bool load(PyObject* object) {
        // The usual payload, an exact bytes object, is used without a copy.
        if (PyBytes_CheckExact(object)) [[likely]] {
            bytes_ = Py_NewRef(object);
            return true;
        }
        return load_other(object);
    }
    std::span<const uint8_t> span() const {
        if (bytes_ != nullptr)
            return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes_)),
                    static_cast<size_t>(PyBytes_GET_SIZE(bytes_))};
        return copy_;
    }
    // Whether the bytes are the object's own storage rather than a copy.
    bool borrowed() const { return bytes_ != nullptr; }

private:
    bool load_other(PyObject* object);
    // 1: copied from a one-dimensional buffer of unsigned bytes; 0: the object has no such
    // buffer; -1: an error is set.
    int load_byte_buffer(PyObject* object);
    bool load_items(PyObject* object);

    PyObject* bytes_ = nullptr;  // strong reference to a bytes object
    std::vector<uint8_t> copy_;
};

// Conversions of one object, without naming a parameter.
bool to_i64(PyObject* object, int64_t* out);
bool to_u64(PyObject* object, uint64_t* out);
bool to_u8(PyObject* object, uint8_t* out);
bool to_u16(PyObject* object, uint16_t* out);
// The UTF-8 text of a str; valid while the object lives.
bool to_text(PyObject* object, std::string_view* out);
// The text of a str that names a file: refused with ValueError "embedded null byte", as
// the interpreter's own file functions do, when it holds a NUL.
bool to_path(PyObject* object, std::string_view* out);
bool to_flag(PyObject* object, bool* out);
bool to_instance(PyObject* object, PyTypeObject* cls);

// Raises TypeError "'{}' object is not an instance of '{}'" ("'None' is not an instance
// of '{}'" for None). Returns false.
bool not_instance(PyObject* object, const char* expected);

// The arguments of one call, bound to the parameters of a method. Holds borrowed
// references: the call's own argument vector, tuple or dict keeps them alive.
class Args {
public:
    static constexpr size_t kMaxParams = 16;

    // Only the slots of the method's own parameters are cleared (most methods have one or
    // two); the others are never read.
    explicit Args(const Params& params) : params_(params) {
        std::fill_n(slots_.begin(), std::min(params.count(), kMaxParams), nullptr);
    }

    // Fast call with keywords: `args` holds `nargs` positional values followed by one value
    // per name in `kwnames` (a tuple of str, or nullptr).
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        // The common call, every argument by position and none missing, binds inline.
        if (kwnames == nullptr && static_cast<size_t>(nargs) >= params_.required &&
            static_cast<size_t>(nargs) <= params_.positional.size() && !params_.requires_keyword()) [[likely]] {
            std::copy(args, args + nargs, slots_.begin());
            return true;
        }
        return bind_any(args, nargs, kwnames);
    }
    // Constructor shape: a tuple of positional values and a dict of keywords (or nullptr).
    bool bind(PyObject* args, PyObject* kwargs);

    // The bound object, or nullptr when the parameter was not given.
    PyObject* get(size_t i) const { return slots_[i]; }
    // Given and not None (an optional parameter that is present).
    bool given(size_t i) const { return slots_[i] != nullptr && slots_[i] != Py_None; }

    // Each converts the bound argument `i` (which must be present). A failure whose
    // exception is exactly TypeError becomes TypeError "argument '{}': {}" naming the
    // parameter, with the first exception as its cause; any other exception stays as it is.
    bool i64(size_t i, int64_t* out) const { return wrap(i, to_i64(slots_[i], out)); }
    bool u64(size_t i, uint64_t* out) const { return wrap(i, to_u64(slots_[i], out)); }
    bool u8(size_t i, uint8_t* out) const { return wrap(i, to_u8(slots_[i], out)); }
    bool u16(size_t i, uint16_t* out) const { return wrap(i, to_u16(slots_[i], out)); }
    bool text(size_t i, std::string_view* out) const { return wrap(i, to_text(slots_[i], out)); }
    bool path(size_t i, std::string_view* out) const { return wrap(i, to_path(slots_[i], out)); }
    bool flag(size_t i, bool* out) const { return wrap(i, to_flag(slots_[i], out)); }
    bool bytes(size_t i, ByteArg* out) const { return wrap(i, out->load(slots_[i])); }
    bool instance(size_t i, PyTypeObject* cls) const { return wrap(i, to_instance(slots_[i], cls)); }

    // A parameter with a default: absent leaves `out` as it is; a given value (None too) is
    // converted.
    template <typename T, typename Convert>
    bool defaulted(size_t i, T* out, Convert convert) const {
        return get(i) == nullptr || (this->*convert)(i, out);
    }

    // An optional parameter (default None): absent or None leaves `out` empty.
    template <typename T, typename Convert>
    bool optional(size_t i, std::optional<T>* out, Convert convert) const {
        if (!given(i)) return true;
        T value{};
        if (!(this->*convert)(i, &value)) return false;
        *out = value;
        return true;
    }

private:
    bool wrap(size_t i, bool ok) const { return ok || wrap_failure(i); }
    bool wrap_failure(size_t i) const;
    bool bind_any(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    bool bind_keyword(PyObject* name, PyObject* value, std::vector<PyObject*>* positional_only_names);
    bool finish(const std::vector<PyObject*>& positional_only_names);
    bool too_many_positional(Py_ssize_t given) const;

    const Params& params_;
    std::array<PyObject*, kMaxParams> slots_;
};

// ---- results ----

inline PyObject* py_none() { return Py_NewRef(Py_None); }
PyObject* py_value(bool value);
PyObject* py_value(int64_t value);
PyObject* py_value(uint64_t value);
PyObject* py_value(uint32_t value);
PyObject* py_value(uint16_t value);
PyObject* py_value(uint8_t value);
// A str from UTF-8; byte sequences that are not UTF-8 become U+FFFD.
PyObject* py_value(std::string_view text);
PyObject* py_bytes(std::span<const uint8_t> bytes);
// (timestamp, data), (timestamp, data_len) and (sequence, encoded record).
PyObject* py_value(const Record& record);
PyObject* py_value(const RecordLength& item);
PyObject* py_value(const JournalEntry& entry);
template <typename T>
PyObject* py_value(const std::optional<T>& value) {
    return value ? py_value(*value) : py_none();
}
// A 2-tuple that takes over both references; nullptr (the error of the first failure)
// when either is nullptr.
PyObject* py_pair(PyObject* first, PyObject* second);

// A new list holding convert(item) for each item, in order.
template <typename T, typename Convert>
PyObject* py_list(const std::vector<T>& items, Convert convert) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = convert(items[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}
// A list of the items' values.
template <typename T>
PyObject* py_value(const std::vector<T>& items) {
    return py_list(items, [](const T& item) { return py_value(item); });
}

// None for success, else the engine error raised as its exception class.
PyObject* py_status(const Status& status);

// convert(value) for a value, else the engine error raised as its exception class.
template <typename T, typename Convert>
PyObject* py_result(Result<T>&& result, Convert convert) {
    if (!result.ok()) return to_py_err(std::move(result).error());
    return convert(*result);
}
// The same, converted by py_value.
template <typename T>
PyObject* py_result(Result<T>&& result) {
    if (!result.ok()) return to_py_err(std::move(result).error());
    return py_value(*result);
}

// Raises RuntimeError with the engine error's display text. Returns nullptr.
PyObject* runtime_error(const Error& error);

}  // namespace brenvale::py
