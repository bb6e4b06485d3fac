// The Python class StoreConfig: the store-wide settings that Store.open takes, built from
// keyword-only options and resolved at once.
#pragma once

#include <Python.h>

#include "config.h"

namespace brenvale::py {

// The class object (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* store_config_class();

// The resolved configuration that a StoreConfig object holds, to open a store with.
// `object` must be a StoreConfig (check it with Args::instance and store_config_class).
const StoreConfig& store_config_of(PyObject* object);

}  // namespace brenvale::py
