#include "py_journal_queue.h"

#include "convert.h"
#include "guards.h"
#include "module_util.h"
#include "queue_shim.h"

namespace brenvale::py {

namespace {

struct QueueKind {
    using Engine = JournalQueue;
    static constexpr const char* kClass = "JournalQueue";
    static PyTypeObject* type() { return journal_queue_class(); }
};

struct ConsumerKind {
    using Engine = JournalQueueConsumer;
    static constexpr const char* kClass = "JournalQueueConsumer";
    static constexpr const char* kPosition = "sequence";
    static PyTypeObject* type() { return journal_queue_consumer_class(); }
};


// ---- JournalQueue ----

PyObject* close_queue(PyObject* self, PyObject*) noexcept {
    return queue_noargs<QueueKind>(self, [](JournalQueue& queue) { return py_status(queue.close()); });
}

PyMethodDef g_queue_methods[] = {
    {"open_consumer", as_method(&open_consumer<QueueKind, ConsumerKind>), kFast,
     "open_consumer($self, group_name, running_expired_seconds=900, max_retry_count=3)\n--\n\nOpen or create a "
     "journal consumer group."},
    {"close", as_method(&close_queue), METH_NOARGS,
     "close($self)\n--\n\nClose the journal queue handle and unblock waiting polls."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_queue_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for the built-in journal queue.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&handle_dealloc<PyQueue<QueueKind>>)},
    {Py_tp_repr, reinterpret_cast<void*>(&queue_repr<PyQueue<QueueKind>, QueueKind>)},
    {Py_tp_methods, g_queue_methods},
    {0, nullptr},
};

PyType_Spec g_queue_spec = {"builtins.JournalQueue", sizeof(QueueBox<QueueKind>), 0, kClassFlags, g_queue_slots};
TypeCell g_queue_class(&g_queue_spec);

// ---- JournalQueueConsumer ----

PyMethodDef g_consumer_methods[] = {
    {"poll", as_method(&consumer_poll<ConsumerKind>), kFast,
     "poll($self, timeout_ms)\n--\n\nPoll for the next encoded journal record."},
    {"ack", as_method(&consumer_ack<ConsumerKind>), kFast,
     "ack($self, sequence)\n--\n\nAcknowledge a previously polled journal sequence."},
    {"poll_callback", as_method(&consumer_poll_callback<ConsumerKind>), kFast,
     "poll_callback($self, callback)\n--\n\nRegister or clear a lightweight wake callback."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_consumer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for a journal queue consumer.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&handle_dealloc<PyConsumer<ConsumerKind>>)},
    {Py_tp_repr, reinterpret_cast<void*>(&queue_repr<PyConsumer<ConsumerKind>, ConsumerKind>)},
    {Py_tp_methods, g_consumer_methods},
    {0, nullptr},
};

PyType_Spec g_consumer_spec = {"builtins.JournalQueueConsumer", sizeof(ConsumerBox<ConsumerKind>), 0,
                               kClassFlags, g_consumer_slots};
TypeCell g_consumer_class(&g_consumer_spec);

}  // namespace

PyTypeObject* journal_queue_class() { return g_queue_class.get(); }
PyTypeObject* journal_queue_consumer_class() { return g_consumer_class.get(); }

PyObject* make_journal_queue(JournalQueue queue) {
    return at_boundary([&]() -> PyObject* { return new_box<PyQueue<QueueKind>>(std::move(queue)); });
}

}  // namespace brenvale::py
