// Small helpers shared by the pieces of the extension module.
#pragma once

#include <Python.h>

namespace brenvale::py {

// Adds `value` to the module under `name`: appends the name to the module's `__all__`
// (creating the list when the module has none), then sets the attribute. Returns 0, or
// -1 with a Python error set.
int add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace brenvale::py
