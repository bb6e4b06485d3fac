// The Python classes DatasetQueue and DatasetQueueConsumer: one engine dataset queue and
// the consumer handles of its groups.
#pragma once

#include <Python.h>

#include "queue/queue.h"

namespace brenvale::py {

// The class objects (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* dataset_queue_class();
PyTypeObject* dataset_queue_consumer_class();

// A new DatasetQueue object over `queue`, as Store.open_queue hands it out after
// Dataset::open_queue. Returns nullptr with a Python error set.
PyObject* make_dataset_queue(DatasetQueue queue);

}  // namespace brenvale::py
