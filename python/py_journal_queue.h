// The Python classes JournalQueue and JournalQueueConsumer: the store's journal queue and
// the consumer handles of its groups.
#pragma once

#include <Python.h>

#include "journal/queue.h"

namespace brenvale::py {

// The class objects (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* journal_queue_class();
PyTypeObject* journal_queue_consumer_class();

// A new JournalQueue object over `queue`, as Store.open_journal_queue hands it out.
// Returns nullptr with a Python error set.
PyObject* make_journal_queue(JournalQueue queue);

}  // namespace brenvale::py
