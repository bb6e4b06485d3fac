#include "convert.h"

#include <algorithm>
#include <limits>
#include <string>

#include "dataset/dataset.h"
#include "exceptions.h"
#include "journal/log.h"
#include "module_util.h"
#include "types.h"

namespace brenvale::py {

namespace {

// A sequence's length is only a hint for the first reservation; the bytes grow past it.
constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 20;

bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

template <typename T>
bool to_narrow(PyObject* object, T* out) {
    int64_t value = 0;
    if (!to_i64(object, &value)) return false;
    if (value < 0 || static_cast<uint64_t>(value) > std::numeric_limits<T>::max()) return out_of_range();
    *out = static_cast<T>(value);
    return true;
}

// "Dataset.write()" or "write()".
std::string full_name(const Params& params) {
    std::string name;
    if (params.cls != nullptr) {
        name = params.cls;
        name += '.';
    }
    name += params.method;
    name += "()";
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void append_names(std::string* out, const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) *out += ',';
            if (i + 1 == names.size()) *out += " and";
            *out += ' ';
        }
        *out += '\'';
        *out += names[i];
        *out += '\'';
    }
}

bool missing(const Params& params, const char* kind, const std::vector<std::string>& names) {
    std::string text = full_name(params) + " missing " + std::to_string(names.size()) + " required " + kind +
                       (names.size() == 1 ? " argument: " : " arguments: ");
    append_names(&text, names);
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

bool keyword_equals(PyObject* name, const char* expected) { return PyUnicode_EqualToUTF8(name, expected) == 1; }

}  // namespace

// ---- argument conversions ----

// An int is read through the interpreter's C long conversions, which walk the digits
// directly (the long long ones go through a byte array for every value above 2**30, such
// as a millisecond timestamp). An int they refuse goes through the long long conversion
// again, so that the error raised is that conversion's own.
static_assert(sizeof(long) == sizeof(int64_t) && sizeof(long long) == sizeof(int64_t));

bool to_i64(PyObject* object, int64_t* out) {
    if (PyLong_Check(object)) [[likely]] {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(object, &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
            *out = value;
            return true;
        }
        PyErr_Clear();
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool to_u64(PyObject* object, uint64_t* out) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        const unsigned long fast = PyLong_AsUnsignedLong(object);
        if (!(fast == static_cast<unsigned long>(-1) && PyErr_Occurred())) {
            *out = fast;
            return true;
        }
        PyErr_Clear();
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index(PyNumber_Index(object));
        if (index == nullptr) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool to_u8(PyObject* object, uint8_t* out) { return to_narrow(object, out); }
bool to_u16(PyObject* object, uint16_t* out) { return to_narrow(object, out); }

bool not_instance(PyObject* object, const char* expected) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return false;
    }
    Ref name(PyType_GetQualName(Py_TYPE(object)));
    if (name == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    return false;
}

bool to_text(PyObject* object, std::string_view* out) {
    if (!PyUnicode_Check(object)) return not_instance(object, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    *out = std::string_view(utf8, static_cast<size_t>(size));
    return true;
}

bool to_path(PyObject* object, std::string_view* out) {
    if (!to_text(object, out)) return false;
    if (out->find('\0') == std::string_view::npos) return true;
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
}

bool to_flag(PyObject* object, bool* out) {
    if (object == Py_True || object == Py_False) {
        *out = object == Py_True;
        return true;
    }
    // numpy's bool scalars convert through their truth value.
    PyTypeObject* type = Py_TYPE(object);
    Ref type_name(PyType_GetName(type));
    if (type_name == nullptr) return false;
    if (keyword_equals(type_name.get(), "bool_") || keyword_equals(type_name.get(), "bool")) {
        Ref module(PyType_GetModuleName(type));
        if (module == nullptr) return false;
        if (PyUnicode_Check(module.get()) && keyword_equals(module.get(), "numpy")) {
            if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
                PyErr_Format(PyExc_TypeError, "object of type '%U.%U' does not define a '__bool__' conversion",
                             module.get(), type_name.get());
                return false;
            }
            const int truth = type->tp_as_number->nb_bool(object);
            if (truth < 0) return false;
            *out = truth != 0;
            return true;
        }
    }
    return not_instance(object, "bool");
}

bool to_instance(PyObject* object, PyTypeObject* cls) {
    if (PyObject_TypeCheck(object, cls)) return true;
    Ref name(PyType_GetQualName(cls));
    if (name == nullptr) return false;
    const char* expected = PyUnicode_AsUTF8(name.get());
    return expected != nullptr && not_instance(object, expected);
}

// ---- byte payloads ----

namespace {

// A buffer export, released when it goes.
struct HeldBuffer {
    Py_buffer view{};
    bool held = false;
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held) PyBuffer_Release(&view);
    }
};

}  // namespace

bool ByteArg::load_other(PyObject* object) {
    if (PyBytes_Check(object)) {  // a subclass keeps the same immutable storage
        bytes_ = Py_NewRef(object);
        return true;
    }
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    int is_sequence = PySequence_Check(object);
    if (!is_sequence) {
        Ref abc(PyImport_ImportModuleAttrString("collections.abc", "Sequence"));
        if (abc == nullptr) return false;
        is_sequence = PyObject_IsInstance(object, abc.get());
        if (is_sequence < 0) return false;
    }
    if (!is_sequence) return not_instance(object, "Sequence");
    // A bytearray, a memoryview or array of unsigned bytes: its items are its bytes, copied
    // at once from the buffer.
    if (PyObject_CheckBuffer(object)) {
        const int copied = load_byte_buffer(object);
        if (copied != 0) return copied > 0;
    }
    return load_items(object);
}

int ByteArg::load_byte_buffer(PyObject* object) {
    HeldBuffer buffer;
    if (PyObject_GetBuffer(object, &buffer.view, PyBUF_RECORDS_RO) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) return -1;
        PyErr_Clear();  // no such view: the items decide
        return 0;
    }
    buffer.held = true;
    const Py_buffer& v = buffer.view;
    const bool unsigned_bytes =
        v.ndim == 1 && v.itemsize == 1 && (v.format == nullptr || std::string_view(v.format) == "B");
    if (!unsigned_bytes) return 0;
    copy_.resize(static_cast<size_t>(v.len));
    return PyBuffer_ToContiguous(copy_.data(), &buffer.view, v.len, 'C') == 0 ? 1 : -1;
}

bool ByteArg::load_items(PyObject* object) {
    // The length only sizes the first reservation; a failing or lying length is no error
    // (but an interruption is).
    const Py_ssize_t hint = PyObject_LengthHint(object, 0);
    if (hint < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    copy_.reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(hint, 0, kMaxReserveHint)));
    Ref iterator(PyObject_GetIter(object));
    if (iterator == nullptr) return false;
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item(raw);
        uint8_t byte = 0;
        if (!to_u8(item.get(), &byte)) return false;
        copy_.push_back(byte);
    }
    return !PyErr_Occurred();
}

// ---- binding ----

bool Args::too_many_positional(Py_ssize_t given) const {
    const size_t count = params_.positional.size();
    const char* verb = given == 1 ? "was" : "were";
    const std::string name = full_name(params_);
    if (params_.required == count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", name.c_str(), count,
                     given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     name.c_str(), params_.required, count, given, verb);
    }
    return false;
}

bool Args::bind_keyword(PyObject* name, PyObject* value, std::vector<PyObject*>* positional_only_names) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    const size_t count = params_.count();
    for (size_t i = 0; i < count; ++i) {
        if (!keyword_equals(name, params_.name(i))) continue;
        if (i < params_.positional_only) {
            positional_only_names->push_back(name);
            return true;
        }
        if (slots_[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", full_name(params_).c_str(),
                         name);
            return false;
        }
        slots_[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name(params_).c_str(), name);
    return false;
}

bool Args::finish(const std::vector<PyObject*>& positional_only_names) {
    if (!positional_only_names.empty()) {
        std::vector<std::string> names;
        for (PyObject* name : positional_only_names) {
            const char* utf8 = PyUnicode_AsUTF8(name);
            if (utf8 == nullptr) return false;
            names.emplace_back(utf8);
        }
        std::string text = full_name(params_) + " got some positional-only arguments passed as keyword arguments: ";
        append_names(&text, names);
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
    }
    std::vector<std::string> absent;
    for (size_t i = 0; i < params_.required; ++i)
        if (slots_[i] == nullptr) absent.emplace_back(params_.positional[i]);
    if (!absent.empty()) return missing(params_, "positional", absent);
    for (size_t k = 0; k < params_.keyword_only.size(); ++k) {
        const KeywordParam& param = params_.keyword_only[k];
        if (param.required && slots_[params_.positional.size() + k] == nullptr) absent.emplace_back(param.name);
    }
    if (!absent.empty()) return missing(params_, "keyword", absent);
    return true;
}

bool Args::bind_any(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (static_cast<size_t>(nargs) > params_.positional.size()) return too_many_positional(nargs);
    std::copy(args, args + nargs, slots_.begin());
    std::vector<PyObject*> positional_only_names;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k)
            if (!bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], &positional_only_names)) return false;
    }
    return finish(positional_only_names);
}

bool Args::bind(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<size_t>(nargs) > params_.positional.size()) return too_many_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    std::vector<PyObject*> positional_only_names;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!bind_keyword(name, value, &positional_only_names)) return false;
    }
    return finish(positional_only_names);
}

bool Args::wrap_failure(size_t i) const {
    PyObject* first = PyErr_GetRaisedException();
    if (first == nullptr || !Py_IS_TYPE(first, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(first);
        return false;
    }
    Ref text(PyUnicode_FromFormat("argument '%s': %S", params_.name(i), first));
    PyObject* wrapped = text != nullptr ? PyObject_CallOneArg(PyExc_TypeError, text.get()) : nullptr;
    if (wrapped == nullptr) {
        Py_DECREF(first);
        return false;
    }
    PyException_SetCause(wrapped, first);  // takes over `first`
    PyErr_SetRaisedException(wrapped);
    return false;
}

// ---- results ----

PyObject* py_value(bool value) { return PyBool_FromLong(value ? 1 : 0); }
PyObject* py_value(int64_t value) { return PyLong_FromLongLong(value); }
PyObject* py_value(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* py_value(uint32_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* py_value(uint16_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* py_value(uint8_t value) { return PyLong_FromUnsignedLong(value); }

PyObject* py_value(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* py_bytes(std::span<const uint8_t> bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* py_pair(PyObject* first, PyObject* second) {
    if (first == nullptr || second == nullptr) {
        Py_XDECREF(first);
        Py_XDECREF(second);
        return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
        Py_DECREF(first);
        Py_DECREF(second);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, first);
    PyTuple_SET_ITEM(pair, 1, second);
    return pair;
}

PyObject* py_value(const Record& record) {
    return py_pair(py_value(record.timestamp), py_bytes(record.data));
}

PyObject* py_value(const RecordLength& item) {
    return py_pair(py_value(item.timestamp), py_value(item.length));
}

// Sequences stay below 2^63.
PyObject* py_value(const JournalEntry& entry) {
    return py_pair(py_value(static_cast<int64_t>(entry.sequence)), py_bytes(entry.payload));
}

PyObject* py_status(const Status& status) {
    if (!status.ok()) return to_py_err(status.error());
    return py_none();
}

PyObject* runtime_error(const Error& error) { return raise_error_text(PyExc_RuntimeError, error); }

}  // namespace brenvale::py
