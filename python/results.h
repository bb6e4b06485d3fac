// The result classes: read-only snapshots of what the engine's inspect operations answer.
// Each object holds its own copy of the answer and no reference to the dataset or store.
#pragma once

#include <Python.h>

#include "dataset/dataset.h"

namespace brenvale::py {

// The class objects (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* dataset_info_class();
PyTypeObject* dataset_state_class();
PyTypeObject* dataset_inspect_result_class();

// A new DataSetInspectResult holding the engine's answer without its retention floor.
PyObject* make_inspect_result(DataSetInspectResult result);

}  // namespace brenvale::py
