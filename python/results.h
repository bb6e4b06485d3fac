// The result classes: read-only snapshots of what the engine's inspect operations answer
// (of a dataset and of a queue consumer group).
// Each object holds its own copy of the answer and no reference to the dataset or store.
#pragma once

#include <Python.h>

#include "dataset/dataset.h"
#include "queue/queue.h"

namespace brenvale::py {

// The class objects (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* dataset_info_class();
PyTypeObject* dataset_state_class();
PyTypeObject* dataset_inspect_result_class();
PyTypeObject* consumer_info_class();
PyTypeObject* consumer_pending_entry_class();
PyTypeObject* consumer_state_class();
PyTypeObject* consumer_inspect_result_class();

// A new DataSetInspectResult holding the engine's answer without its retention floor.
PyObject* make_inspect_result(DataSetInspectResult result);
// A new DatasetQueueConsumerInspectResult holding the engine's answer.
PyObject* make_consumer_inspect_result(ConsumerInspect result);

}  // namespace brenvale::py
