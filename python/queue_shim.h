// What the Python queue classes share: the payloads of queue and consumer objects and the
// method bodies common to the dataset queue and the journal queue.
//
// A class is described by a kind: a struct with
//   using Engine = <the engine handle>;
//   static constexpr const char* kClass = "<the Python class name>";
//   static PyTypeObject* type();                   // the class object
// and, for a consumer kind, also
//   static constexpr const char* kPosition = "<the name of ack's parameter>";
//
// Every method takes the shared borrow: one object may be used from several threads at
// once and the engine's locks order the work. Each method releases, on its way out, the
// Python references that the engine dropped during the call (see poll_callback.h).
#pragma once

#include <Python.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "convert.h"
#include "guards.h"
#include "journal/log.h"
#include "poll_callback.h"
#include "queue/queue.h"

namespace brenvale::py {

// The payload of a queue object.
template <typename Kind>
struct PyQueue {
    static PyTypeObject* type() { return Kind::type(); }
    explicit PyQueue(typename Kind::Engine queue) : inner(std::move(queue)) {}

    typename Kind::Engine inner;
};

// The payload of a consumer object: the engine handle alone. A callable registered through
// it belongs to the engine (see poll_callback.h), so the object holds no Python reference.
template <typename Kind>
struct PyConsumer {
    static PyTypeObject* type() { return Kind::type(); }
    explicit PyConsumer(typename Kind::Engine consumer) : inner(std::move(consumer)) {}

    typename Kind::Engine inner;
};

template <typename Kind>
using QueueBox = PyBox<PyQueue<Kind>>;
template <typename Kind>
using ConsumerBox = PyBox<PyConsumer<Kind>>;

// A blocking engine poll, run detached from the interpreter so that other threads run
// meanwhile (a producer thread of this process can wake it); attached again on every path.
// In the interpreter's main thread the wait is cut into slices of at most 100 ms, after
// each of which the thread attaches briefly to run the signal handlers: a handler that
// raises (KeyboardInterrupt for Ctrl-C) ends the poll without another attempt, so nothing
// is handed out that the caller does not receive, and leaves its exception set with
// *interrupted true.
class DetachedPoll {
public:
    static constexpr std::chrono::milliseconds kSignalSlice{100};

    template <typename Poll>
    static auto run(Poll poll, bool* interrupted) {
        DetachedPoll detached(in_main_thread(), interrupted);
        return poll(detached.wait_);
    }

private:
    DetachedPoll(bool watch_signals, bool* interrupted) {
        if (watch_signals) {
            wait_.slice = kSignalSlice;
            wait_.cancelled = [this, interrupted] {
                PyEval_RestoreThread(state_);
                const bool raised = PyErr_CheckSignals() != 0;
                state_ = PyEval_SaveThread();
                if (raised) *interrupted = true;
                return raised;
            };
        }
        state_ = PyEval_SaveThread();
    }
    DetachedPoll(const DetachedPoll&) = delete;
    DetachedPoll& operator=(const DetachedPoll&) = delete;
    ~DetachedPoll() { PyEval_RestoreThread(state_); }

    // Whether this thread is the interpreter's main thread, the one that runs signal
    // handlers. Attached. Any failure to tell counts as no.
    static bool in_main_thread() {
        Ref main_thread(PyImport_ImportModuleAttrString("threading", "main_thread"));
        Ref main(main_thread ? PyObject_CallNoArgs(main_thread.get()) : nullptr);
        Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return ident && value == PyThread_get_thread_ident();
    }

    PollWait wait_;
    PyThreadState* state_ = nullptr;
};

// `repr` of the queue classes: "<class>()".
template <typename Payload, typename Kind>
PyObject* queue_repr(PyObject* self) noexcept {
    return released(call_noargs<Payload>(self, Borrow::None, [](PyBox<Payload>&) {
        return PyUnicode_FromFormat("%s()", Kind::kClass);
    }));
}

// ---- queue methods ----

inline constexpr const char* kOpenConsumerParams[] = {"group_name", "running_expired_seconds", "max_retry_count"};

// open_consumer(group_name, running_expired_seconds=900, max_retry_count=3) of the queue
// kind `Queue`, making an object of the consumer kind `Consumer`.
template <typename Queue, typename Consumer>
PyObject* open_consumer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{Queue::kClass, "open_consumer", kOpenConsumerParams, 1};
    return released(call_fast<PyQueue<Queue>>(
        self, params, args, nargs, kwnames, Borrow::None, [](QueueBox<Queue>& box, const Args& a) -> PyObject* {
            std::string_view group_name;
            uint64_t running_expired_seconds = 900;
            uint16_t max_retry_count = 3;
            if (!a.text(0, &group_name)) return nullptr;
            if (!a.defaulted(1, &running_expired_seconds, &Args::u64) ||
                !a.defaulted(2, &max_retry_count, &Args::u16))
                return nullptr;
            auto config = ConsumerConfig::create(running_expired_seconds, max_retry_count);
            if (!config.ok()) return to_py_err(std::move(config).error());
            return py_result(box.value.inner.open_consumer(std::string(group_name), *config), [](auto& consumer) {
                return new_box<PyConsumer<Consumer>>(std::move(consumer));
            });
        }));
}

// A queue method without parameters: body(engine queue) -> PyObject*.
template <typename Queue, typename Body>
PyObject* queue_noargs(PyObject* self, Body body) noexcept {
    return released(call_noargs<PyQueue<Queue>>(
        self, Borrow::None, [&body](QueueBox<Queue>& box) { return body(box.value.inner); }));
}

// ---- consumer methods ----

inline constexpr const char* kTimeoutParams[] = {"timeout_ms"};
inline constexpr const char* kCallbackParams[] = {"callback"};

// poll(timeout_ms): a blocking wait runs detached (DetachedPoll); the engine holds none of
// its locks when the call returns and the thread attaches again. Ctrl-C in the main thread
// ends it with KeyboardInterrupt.
template <typename Kind>
PyObject* consumer_poll(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{Kind::kClass, "poll", kTimeoutParams, 1};
    return released(call_fast<PyConsumer<Kind>>(
        self, params, args, nargs, kwnames, Borrow::None, [](ConsumerBox<Kind>& box, const Args& a) -> PyObject* {
            uint64_t timeout_ms = 0;
            if (!a.u64(0, &timeout_ms)) return nullptr;
            auto& consumer = box.value.inner;
            if (timeout_ms == 0) return py_result(consumer.poll(0));
            bool interrupted = false;
            auto polled = DetachedPoll::run(
                [&consumer, timeout_ms](const PollWait& wait) { return consumer.poll(timeout_ms, wait); },
                &interrupted);
            if (interrupted) return nullptr;  // the handler's exception is set
            return py_result(std::move(polled));
        }));
}

// ack(timestamp) or ack(sequence).
template <typename Kind>
PyObject* consumer_ack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {Kind::kPosition};
    static const Params params{Kind::kClass, "ack", names, 1};
    return released(call_fast<PyConsumer<Kind>>(
        self, params, args, nargs, kwnames, Borrow::None, [](ConsumerBox<Kind>& box, const Args& a) -> PyObject* {
            int64_t position = 0;
            if (!a.i64(0, &position)) return nullptr;
            return py_status(box.value.inner.ack(position));
        }));
}

// poll_callback(callback): None clears the registration; a callable is registered (the
// engine refuses it while another one is); anything else is refused before the engine is
// called.
template <typename Kind>
PyObject* consumer_poll_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{Kind::kClass, "poll_callback", kCallbackParams, 1};
    return released(call_fast<PyConsumer<Kind>>(
        self, params, args, nargs, kwnames, Borrow::None, [](ConsumerBox<Kind>& box, const Args& a) -> PyObject* {
            PyObject* callback = a.get(0);
            if (callback == Py_None) {
                return py_status(box.value.inner.set_poll_callback(nullptr));
            }
            if (!PyCallable_Check(callback)) {
                PyErr_SetString(PyExc_TypeError, "poll_callback requires a callable or None");
                return nullptr;
            }
            // A refused registration drops the engine's copy here, and with it the callable.
            return py_status(box.value.inner.set_poll_callback(make_wake_callback(callback)));
        }));
}

// A consumer method without parameters: body(engine consumer) -> PyObject*.
template <typename Kind, typename Body>
PyObject* consumer_noargs(PyObject* self, Body body) noexcept {
    return released(call_noargs<PyConsumer<Kind>>(
        self, Borrow::None, [&body](ConsumerBox<Kind>& box) { return body(box.value.inner); }));
}

// tp_dealloc of a queue or consumer object (Payload: PyQueue<Kind> or PyConsumer<Kind>):
// dropping the engine handle may drop the last handle of the queue, which then closes and
// drops its callbacks, or the last handle of a dataset. While the queue stays open, a
// registered callback stays with its group.
template <typename Payload>
void handle_dealloc(PyObject* self) noexcept {
    box_dealloc<Payload>(self);
    release_deferred();
}

}  // namespace brenvale::py
