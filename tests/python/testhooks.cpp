// Test-only extension `_brenvale_testhooks`: raises engine errors through the module's
// error conversion so that the Python tests can check every kind's class and text.
#include <Python.h>

#include <cstdint>
#include <string>

#include "error.h"
#include "exceptions.h"

namespace brenvale::py {

namespace {

// Builds the engine error of `tag` (the ErrorKind value). `code` is the OS error code of an
// I/O error (0: an I/O error made from `detail` alone) or the version of an
// unsupported-version error; the other kinds take `detail` as their payload.
bool make_error(long tag, const std::string& detail, long code, Error* out) {
    switch (tag) {
        case 0: *out = code != 0 ? Error::io(static_cast<int>(code)) : Error::io_message(detail); return true;
        case 1: *out = Error::invalid_magic(); return true;
        case 2:
            if (code < 0 || code > UINT16_MAX) return false;
            *out = Error::unsupported_version(static_cast<uint16_t>(code));
            return true;
        case 3: *out = Error::mmap(detail); return true;
        case 4: *out = Error::compression(detail); return true;
        case 5: *out = Error::decompression(detail); return true;
        case 6: *out = Error::invalid_data(detail); return true;
        case 7: *out = Error::not_found(detail); return true;
        case 8: *out = Error::expired(detail); return true;
        case 9: *out = Error::already_exists(detail); return true;
        case 10: *out = Error::segment_full(); return true;
        case 11: *out = Error::queue_already_open(detail); return true;
        case 12: *out = Error::queue_not_open(detail); return true;
        case 13: *out = Error::consumer_group_not_found(detail); return true;
        case 14: *out = Error::consumer_group_exists(detail); return true;
        case 15: *out = Error::queue_closed(detail); return true;
        case 16: *out = Error::pending_full(detail); return true;
        default: return false;
    }
}

// raise_engine_error(tag, detail="", code=0)
PyObject* raise_engine_error(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"tag", "detail", "code", nullptr};
    long tag = 0;
    const char* detail = "";
    Py_ssize_t detail_len = 0;
    long code = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "l|s#l", const_cast<char**>(keywords), &tag, &detail,
                                     &detail_len, &code)) {
        return nullptr;
    }
    Error error = Error::segment_full();
    if (!make_error(tag, std::string(detail, static_cast<size_t>(detail_len)), code, &error)) {
        PyErr_Format(PyExc_ValueError, "no engine error for tag %ld and code %ld", tag, code);
        return nullptr;
    }
    return to_py_err(std::move(error));
}

// Fills this extension's class cells with the classes of the loaded `brenvale`.
int exec_hooks(PyObject*) {
    PyObject* brenvale = PyImport_ImportModule("brenvale");
    if (brenvale == nullptr) return -1;
    int rc = 0;
    for (int i = 0; i < kExceptionCount && rc == 0; ++i) {
        const auto id = static_cast<ExceptionId>(i);
        PyObject* cls = PyObject_GetAttrString(brenvale, exception_name(id));
        if (cls == nullptr) {
            rc = -1;
        } else if (!PyExceptionClass_Check(cls) || adopt_exception_class(id, cls) != cls) {
            PyErr_Format(PyExc_RuntimeError, "brenvale.%s cannot be shared", exception_name(id));
            rc = -1;
        }
        Py_XDECREF(cls);
    }
    Py_DECREF(brenvale);
    return rc;
}

PyMethodDef g_methods[] = {
    {"raise_engine_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&raise_engine_error)),
     METH_VARARGS | METH_KEYWORDS, "raise_engine_error(tag, detail='', code=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_hooks)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "_brenvale_testhooks", "", 0, g_methods, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace brenvale::py

PyMODINIT_FUNC PyInit__brenvale_testhooks(void) { return PyModuleDef_Init(&brenvale::py::g_def); }
