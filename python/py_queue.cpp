#include "py_queue.h"

#include <string>
#include <vector>

#include "convert.h"
#include "guards.h"
#include "module_util.h"
#include "queue_shim.h"
#include "results.h"

namespace brenvale::py {

namespace {

struct QueueKind {
    using Engine = DatasetQueue;
    static constexpr const char* kClass = "DatasetQueue";
    static PyTypeObject* type() { return dataset_queue_class(); }
};

struct ConsumerKind {
    using Engine = DatasetQueueConsumer;
    static constexpr const char* kClass = "DatasetQueueConsumer";
    static constexpr const char* kPosition = "timestamp";
    static PyTypeObject* type() { return dataset_queue_consumer_class(); }
};

using Box = QueueBox<QueueKind>;

constexpr const char* kData[] = {"data"};
constexpr const char* kGroupName[] = {"group_name"};
const Params kPush{QueueKind::kClass, "push", kData, 1};
const Params kDropConsumer{QueueKind::kClass, "drop_consumer", kGroupName, 1};

// ---- DatasetQueue ----

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return released(call_fast<PyQueue<QueueKind>>(
        self, kPush, args, nargs, kwnames, Borrow::None, [](Box& box, const Args& a) -> PyObject* {
            ByteArg data;
            if (!a.bytes(0, &data)) return nullptr;
            return py_result(box.value.inner.push(data.span()), [](int64_t timestamp) { return py_value(timestamp); });
        }));
}

PyObject* drop_consumer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return released(call_fast<PyQueue<QueueKind>>(
        self, kDropConsumer, args, nargs, kwnames, Borrow::None, [](Box& box, const Args& a) -> PyObject* {
            std::string_view group_name;
            if (!a.text(0, &group_name)) return nullptr;
            return py_status(box.value.inner.drop_consumer(std::string(group_name)));
        }));
}

PyObject* get_consumer_group_names(PyObject* self, PyObject*) noexcept {
    return queue_noargs<QueueKind>(self, [](DatasetQueue& queue) {
        return py_result(queue.consumer_group_names());
    });
}

PyObject* close_queue(PyObject* self, PyObject*) noexcept {
    return queue_noargs<QueueKind>(self, [](DatasetQueue& queue) { return py_status(queue.close()); });
}


PyMethodDef g_queue_methods[] = {
    {"push", as_method(&push), kFast,
     "push($self, data)\n--\n\nPush data into the queue.\n\nAuto-increments the dataset timestamp and notifies all "
     "waiting\nconsumers across all consumer groups.\n\nReturns the assigned timestamp."},
    {"open_consumer", as_method(&open_consumer<QueueKind, ConsumerKind>), kFast,
     "open_consumer($self, group_name, running_expired_seconds=900, max_retry_count=3)\n--\n\nOpen or create a "
     "consumer group and return a consumer handle.\n\nMultiple consumers in the same group share progress via "
     "the\nshared 4KB mmap state file. The first call for a group creates\nthe state file; subsequent calls open "
     "the existing file."},
    {"get_consumer_group_names", as_method(&get_consumer_group_names), METH_NOARGS,
     "get_consumer_group_names($self)\n--\n\nReturn current consumer group names.\n\nThis lists existing state "
     "file directory entries without opening or\nvalidating the state files."},
    {"close", as_method(&close_queue), METH_NOARGS,
     "close($self)\n--\n\nClose the queue and all associated consumers.\n\nAll pending records are synced, "
     "consumer state files are\nflushed, and waiting polls are unblocked with `QueueClosed`."},
    {"drop_consumer", as_method(&drop_consumer), kFast,
     "drop_consumer($self, group_name)\n--\n\nDrop (close and remove) a consumer group.\n\nThe consumer group's "
     "state file is synced and deleted.\nSubsequent calls to open_consumer with the same group name\nwill create "
     "a fresh group."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_queue_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DatasetQueue.\n\nMaintains an open queue on a dataset, "
                                  "allowing push and consumer\ngroup operations.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&handle_dealloc<PyQueue<QueueKind>>)},
    {Py_tp_repr, reinterpret_cast<void*>(&queue_repr<PyQueue<QueueKind>, QueueKind>)},
    {Py_tp_methods, g_queue_methods},
    {0, nullptr},
};

PyType_Spec g_queue_spec = {"builtins.DatasetQueue", sizeof(Box), 0, kClassFlags, g_queue_slots};
TypeCell g_queue_class(&g_queue_spec);

// ---- DatasetQueueConsumer ----

PyObject* consumer_flush(PyObject* self, PyObject*) noexcept {
    return consumer_noargs<ConsumerKind>(self,
                                         [](DatasetQueueConsumer& consumer) { return py_status(consumer.flush()); });
}

PyObject* consumer_close(PyObject* self, PyObject*) noexcept {
    return consumer_noargs<ConsumerKind>(self,
                                         [](DatasetQueueConsumer& consumer) { return py_status(consumer.close()); });
}

PyObject* consumer_inspect(PyObject* self, PyObject*) noexcept {
    return consumer_noargs<ConsumerKind>(self, [](DatasetQueueConsumer& consumer) {
        return py_result(consumer.inspect(),
                         [](ConsumerInspect& result) { return make_consumer_inspect_result(std::move(result)); });
    });
}

PyMethodDef g_consumer_methods[] = {
    {"poll", as_method(&consumer_poll<ConsumerKind>), kFast,
     "poll($self, timeout_ms)\n--\n\nPoll for the next record.\n\nReturns the next unacked record as `(timestamp, "
     "data)`, or `None`\nif the timeout expires with no data available.\n\nArgs:\n    timeout_ms: Maximum wait "
     "time in milliseconds. Use 0 for\n        non-blocking poll (returns immediately if no data).\n\nRaises:\n"
     "    BrvlQueueClosedError: Queue has been closed."},
    {"ack", as_method(&consumer_ack<ConsumerKind>), kFast,
     "ack($self, timestamp)\n--\n\nAcknowledge a previously polled record.\n\nRemoves the pending entry and "
     "advances the consumer's processed\ntimestamp. Only call after successfully processing a record\nreturned "
     "by `poll()`."},
    {"flush", as_method(&consumer_flush), METH_NOARGS, "flush($self)\n--\n\nFlush this consumer group's state file."},
    {"close", as_method(&consumer_close), METH_NOARGS,
     "close($self)\n--\n\nClose this consumer group.\n\nAll opened handles for the same group become invalid, and "
     "any\nunacknowledged pending entries are released for redelivery after reopen."},
    {"inspect", as_method(&consumer_inspect), METH_NOARGS,
     "inspect($self)\n--\n\nInspect this consumer group's public config and durable state."},
    {"poll_callback", as_method(&consumer_poll_callback<ConsumerKind>), kFast,
     "poll_callback($self, callback)\n--\n\nRegister or clear a lightweight wake callback.\n\nThe callback is "
     "invoked synchronously after data waiters are notified.\nIt must only wake external processing; call poll() "
     "separately to handle\ndata. Pass None to clear the callback."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_consumer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DatasetQueueConsumer.\n\nPolls for new records from a "
                                  "consumer group with configurable timeout.\nMultiple consumers for the same "
                                  "group share progress via mmap.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&handle_dealloc<PyConsumer<ConsumerKind>>)},
    {Py_tp_repr, reinterpret_cast<void*>(&queue_repr<PyConsumer<ConsumerKind>, ConsumerKind>)},
    {Py_tp_methods, g_consumer_methods},
    {0, nullptr},
};

PyType_Spec g_consumer_spec = {"builtins.DatasetQueueConsumer", sizeof(ConsumerBox<ConsumerKind>), 0,
                               kClassFlags, g_consumer_slots};
TypeCell g_consumer_class(&g_consumer_spec);

}  // namespace

PyTypeObject* dataset_queue_class() { return g_queue_class.get(); }
PyTypeObject* dataset_queue_consumer_class() { return g_consumer_class.get(); }

PyObject* make_dataset_queue(DatasetQueue queue) {
    return at_boundary([&]() -> PyObject* { return new_box<PyQueue<QueueKind>>(std::move(queue)); });
}

}  // namespace brenvale::py
