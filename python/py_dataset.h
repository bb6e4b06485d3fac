// The Python class Dataset: one open engine dataset as the store hands it to Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "dataset/dataset.h"

namespace brenvale::py {

// The class object (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* dataset_class();
// Shares the class of an already loaded `brenvale` (see TypeCell::adopt).
PyTypeObject* adopt_dataset_class(PyTypeObject* cls);

// A new Dataset object over `handle`, as the store hands datasets out: `id` is the
// binding id the store assigned (the key of the dataset in the store's map), `read_only`
// the store's read-only state at this moment, `data_dir` the dataset directory (byte
// sequences that are not UTF-8 become U+FFFD). Returns nullptr with a Python error set.
PyObject* make_dataset(Dataset handle, uint64_t id, bool read_only, std::string_view data_dir);

}  // namespace brenvale::py
