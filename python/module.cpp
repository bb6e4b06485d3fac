// Entry point of the extension module `brenvale`: the module definition and its execution
// step. The module keeps no state of its own; every class object it adds is process-wide.
#include <Python.h>

#include <array>

#include "exceptions.h"
#include "module_util.h"
#include "py_dataset.h"
#include "py_journal_queue.h"
#include "py_queue.h"
#include "py_store.h"
#include "query.h"
#include "results.h"
#include "store_config.h"

namespace brenvale::py {

namespace {

// An ordinary (non-exception) class added to the module: its name and the function that
// returns its process-wide class object (borrowed), building it on first use, or nullptr
// with a Python error set.
struct ClassEntry {
    const char* name;
    PyObject* (*get)();
};

// The ordinary classes, added after the exceptions in this order: Store, DataSetInfo,
// DataSetState, DataSetInspectResult, StoreConfig, Dataset, QueryIterator, DatasetQueue,
// DatasetQueueConsumer, DatasetQueueConsumerInfo, DatasetQueueConsumerPendingEntry,
// DatasetQueueConsumerState, DatasetQueueConsumerInspectResult, JournalQueue,
// JournalQueueConsumer. QueryLengthIterator is never added.
template <PyTypeObject* (*Get)()>
PyObject* class_object() {
    return reinterpret_cast<PyObject*>(Get());
}

constexpr std::array kClasses{
    ClassEntry{"Store", &class_object<store_class>},
    ClassEntry{"DataSetInfo", &class_object<dataset_info_class>},
    ClassEntry{"DataSetState", &class_object<dataset_state_class>},
    ClassEntry{"DataSetInspectResult", &class_object<dataset_inspect_result_class>},
    ClassEntry{"StoreConfig", &class_object<store_config_class>},
    ClassEntry{"Dataset", &class_object<dataset_class>},
    ClassEntry{"QueryIterator", &class_object<query_iterator_class>},
    ClassEntry{"DatasetQueue", &class_object<dataset_queue_class>},
    ClassEntry{"DatasetQueueConsumer", &class_object<dataset_queue_consumer_class>},
    ClassEntry{"DatasetQueueConsumerInfo", &class_object<consumer_info_class>},
    ClassEntry{"DatasetQueueConsumerPendingEntry", &class_object<consumer_pending_entry_class>},
    ClassEntry{"DatasetQueueConsumerState", &class_object<consumer_state_class>},
    ClassEntry{"DatasetQueueConsumerInspectResult", &class_object<consumer_inspect_result_class>},
    ClassEntry{"JournalQueue", &class_object<journal_queue_class>},
    ClassEntry{"JournalQueueConsumer", &class_object<journal_queue_consumer_class>},
};

// Py_mod_exec: fills a new module object. The first failing step ends it with its error;
// names added before it stay.
int init_module(PyObject* module) {
    if (register_exceptions(module) < 0) return -1;
    for (const ClassEntry& entry : kClasses) {
        PyObject* type = entry.get();
        if (type == nullptr || add_to_module(module, entry.name, type) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&init_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "brenvale",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods
    g_slots,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace

}  // namespace brenvale::py

PyMODINIT_FUNC PyInit_brenvale(void) { return PyModuleDef_Init(&brenvale::py::g_module_def); }
