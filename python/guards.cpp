#include "guards.h"

#include <cstring>

#include "module_util.h"

namespace brenvale::py {

namespace {

// Derived from BaseException so that `except Exception` does not swallow it: the object the
// failed call ran on may be unusable (a dataset whose mutex the failure poisoned, an
// iterator that is now closed).
constexpr const char kInternalFailureName[] = "brenvale.PanicException";
constexpr const char kInternalFailureDoc[] =
    "Raised when a brenvale method fails internally and is abandoned; the object it ran on may "
    "be unusable.";
constexpr const char kNoMessage[] = "internal failure without a message";

std::atomic<PyObject*> g_internal_failure{nullptr};

}  // namespace

bool refuse_shared_borrow() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
}

bool refuse_exclusive_borrow() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

PyObject* internal_failure_class() {
    if (PyObject* cls = g_internal_failure.load(std::memory_order_acquire)) return cls;
    PyObject* made = PyErr_NewExceptionWithDoc(kInternalFailureName, kInternalFailureDoc, PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    return fill_class_cell(g_internal_failure, made);
}

PyObject* raise_internal_failure(const char* message) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* cls = internal_failure_class();
    const char* text = message != nullptr ? message : kNoMessage;
    PyObject* arg = cls != nullptr ? PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strlen(text)), "replace")
                                   : nullptr;
    PyObject* exc = arg != nullptr ? PyObject_CallOneArg(cls, arg) : nullptr;
    Py_XDECREF(arg);
    if (exc == nullptr) Py_FatalError("uncaught panic at ffi boundary");
    if (pending != nullptr) PyException_SetContext(exc, pending);  // takes over `pending`
    PyErr_SetRaisedException(exc);
    return nullptr;
}

}  // namespace brenvale::py
