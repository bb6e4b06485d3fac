// The module's exception classes and the conversion of engine errors into them.
#pragma once

#include <Python.h>

#include "error.h"

namespace brenvale::py {

// The 16 exception classes, in the order in which they are added to the module.
enum class ExceptionId : int {
    Base = 0,  // BrvlError
    Io,
    NotFound,
    AlreadyExists,
    InvalidData,
    SegmentFull,
    Mmap,
    Compression,
    Decompression,
    Expired,
    QueueAlreadyOpen,
    QueueNotOpen,
    ConsumerGroupNotFound,
    ConsumerGroupExists,
    QueueClosed,
    PendingFull,
};
inline constexpr int kExceptionCount = 16;

// The bare class name ("BrvlError", "BrvlIoError", ...).
const char* exception_name(ExceptionId id);

// The class object (a borrowed reference, alive for the rest of the process). Built on
// first use; the process-wide cell keeps the first object stored when threads race. A
// failure to create the class is a fatal error of the interpreter.
PyObject* exception_class(ExceptionId id);

// Puts `cls` into the cell of `id` unless the cell is already filled, and returns the
// class the cell holds afterwards (borrowed). Lets a second extension that links this code
// share the classes of an already loaded `brenvale` instead of creating its own.
PyObject* adopt_exception_class(ExceptionId id, PyObject* cls);

// Adds the 16 classes to the module in order. Returns 0, or -1 with a Python error set.
int register_exceptions(PyObject* module);

// The class an engine error kind is raised as.
ExceptionId exception_for(ErrorKind kind);

// Raises the engine error as a Python exception of its class with the display text as the
// one argument, consuming the error. Always returns nullptr, so a method can end with
// `return to_py_err(std::move(result).error());`.
PyObject* to_py_err(Error error);
// The same with the class given. Returns nullptr.
PyObject* raise_error_text(PyObject* cls, const Error& error);

}  // namespace brenvale::py
