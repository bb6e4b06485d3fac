// Small helpers shared by the pieces of the extension module.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>

namespace brenvale::py {

// Adds `value` to the module under `name`: appends the name to the module's `__all__`
// (creating the list when the module has none), then sets the attribute. Returns 0, or
// -1 with a Python error set.
int add_to_module(PyObject* module, const char* name, PyObject* value);

// An owned (strong) reference, released when it goes out of scope.
struct DecRef {
    void operator()(PyObject* object) const { Py_DECREF(object); }
};
using Ref = std::unique_ptr<PyObject, DecRef>;

// A process-wide cell of one class object, filled once: stores `candidate` unless the
// cell already holds a class and returns the class the cell holds afterwards; the losing
// candidate's reference is dropped. A filled cell owns one reference, never released.
PyObject* fill_class_cell(std::atomic<PyObject*>& cell, PyObject* candidate);

// A process-wide class object, built from its static spec the first time it is needed and
// kept for the life of the process; every module object and interpreter shares it. When two
// threads build it at once, the first object stored wins and the other is released.
class TypeCell {
public:
    explicit constexpr TypeCell(PyType_Spec* spec) : spec_(spec) {}
    TypeCell(const TypeCell&) = delete;
    TypeCell& operator=(const TypeCell&) = delete;

    // The class (borrowed), or nullptr with a Python error set. Inline: every call checks
    // its receiver's class through it.
    PyTypeObject* get() {
        if (PyObject* cls = cell_.load(std::memory_order_acquire)) [[likely]]
            return reinterpret_cast<PyTypeObject*>(cls);
        return make();
    }
    // Puts `cls` into the cell unless it is already filled and returns the class the cell
    // holds afterwards (borrowed). Lets a second extension that links this code share the
    // classes of an already loaded `brenvale`.
    PyTypeObject* adopt(PyTypeObject* cls);

private:
    PyTypeObject* make();
    PyTypeObject* fill(PyObject* candidate);

    PyType_Spec* spec_;
    std::atomic<PyObject*> cell_{nullptr};
};

// The flags of every ordinary class: no constructor from Python, not subclassable, and
// immutable, since one class object serves every interpreter of the process.
inline constexpr unsigned int kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
// The calling convention of every method with parameters.
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// A function pointer of any C signature as the PyCFunction of a method table entry.
template <typename Fn>
PyCFunction as_method(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace brenvale::py
