// What the Python queue classes share: the payloads of queue and consumer objects, the
// method bodies common to the dataset queue and the journal queue, and the cycle-collector
// support of consumer objects, which can hold a wake callback.
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

#include <memory>
#include <mutex>
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

// The payload of a consumer object. Besides the engine handle it keeps the cell of the
// last callback registered through it, which tp_traverse shows to the cycle collector.
template <typename Kind>
struct PyConsumer {
    static PyTypeObject* type() { return Kind::type(); }
    explicit PyConsumer(typename Kind::Engine consumer) : inner(std::move(consumer)) {}

    typename Kind::Engine inner;
    std::mutex mu;  // guards `callback`; held for pointer moves only
    std::shared_ptr<CallbackCell> callback;

    void remember(std::shared_ptr<CallbackCell> cell) {
        std::unique_lock<std::mutex> lock(mu);
        callback.swap(cell);
        lock.unlock();  // the old cell goes after the lock
    }
    // Takes the callable of the remembered registration out (nullptr when there is none).
    PyObject* take_callable() {
        std::lock_guard<std::mutex> lock(mu);
        return callback ? callback->take() : nullptr;
    }
};

template <typename Kind>
using QueueBox = PyBox<PyQueue<Kind>>;
template <typename Kind>
using ConsumerBox = PyBox<PyConsumer<Kind>>;

// Runs fn() with this thread detached from the interpreter, so that other threads run
// meanwhile; attached again on every path. fn must not touch Python objects.
template <typename Fn>
decltype(auto) detached(Fn&& fn) {
    class Detach {
    public:
        Detach() : state_(PyEval_SaveThread()) {}
        Detach(const Detach&) = delete;
        Detach& operator=(const Detach&) = delete;
        ~Detach() { PyEval_RestoreThread(state_); }

    private:
        PyThreadState* state_;
    };
    Detach detach;
    return fn();
}

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

// poll(timeout_ms): a blocking wait runs detached from the interpreter, so that a producer
// thread of this process can wake it and other threads run meanwhile. The engine holds
// none of its locks when the call returns and the thread attaches again.
template <typename Kind>
PyObject* consumer_poll(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{Kind::kClass, "poll", kTimeoutParams, 1};
    return released(call_fast<PyConsumer<Kind>>(
        self, params, args, nargs, kwnames, Borrow::None, [](ConsumerBox<Kind>& box, const Args& a) -> PyObject* {
            uint64_t timeout_ms = 0;
            if (!a.u64(0, &timeout_ms)) return nullptr;
            auto& consumer = box.value.inner;
            auto polled = timeout_ms == 0 ? consumer.poll(0)
                                          : detached([&consumer, timeout_ms] { return consumer.poll(timeout_ms); });
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
                Status cleared = box.value.inner.set_poll_callback(nullptr);
                if (cleared.ok()) box.value.remember(nullptr);
                return py_status(cleared);
            }
            if (!PyCallable_Check(callback)) {
                PyErr_SetString(PyExc_TypeError, "poll_callback requires a callable or None");
                return nullptr;
            }
            WakeCallback wake = make_wake_callback(callback);
            // A refused registration drops the engine's copy here, and with it the callable.
            Status registered = box.value.inner.set_poll_callback(std::move(wake.callback));
            if (registered.ok()) box.value.remember(std::move(wake.cell));
            return py_status(registered);
        }));
}

// A consumer method without parameters: body(engine consumer) -> PyObject*.
template <typename Kind, typename Body>
PyObject* consumer_noargs(PyObject* self, Body body) noexcept {
    return released(call_noargs<PyConsumer<Kind>>(
        self, Borrow::None, [&body](ConsumerBox<Kind>& box) { return body(box.value.inner); }));
}

// tp_dealloc of a queue object: dropping the engine handle may drop the last handle of a
// dataset and with it the callbacks of its queue.
template <typename Kind>
void queue_dealloc(PyObject* self) noexcept {
    box_dealloc<PyQueue<Kind>>(self);
    release_deferred();
}

// ---- consumer objects and the cycle collector ----
//
// A callable registered through a consumer often refers back to it (a closure over the
// consumer, a bound method of an object holding it). The engine keeps the callable while
// the group is open, so such a cycle would outlive every Python reference. The consumer
// therefore reports the callable of its registration as its own reference; when the
// collector finds the consumer and the callable unreachable from Python, the consumer's
// finalizer lets go of the callable before anything is cleared, and the engine's
// remaining copies of the callback then do nothing. A consumer dropped by its last
// reference leaves its registration in force, as the open group keeps it.

template <typename Kind>
int consumer_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    auto& payload = reinterpret_cast<ConsumerBox<Kind>*>(self)->value;
    std::lock_guard<std::mutex> lock(payload.mu);
    return payload.callback ? payload.callback->visit(visit, arg) : 0;
}

template <typename Kind>
int consumer_clear(PyObject* self) noexcept {
    Py_XDECREF(reinterpret_cast<ConsumerBox<Kind>*>(self)->value.take_callable());
    return 0;
}

template <typename Kind>
void consumer_finalize(PyObject* self) noexcept {
    (void)consumer_clear<Kind>(self);
}

template <typename Kind>
void consumer_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    box_dealloc<PyConsumer<Kind>>(self);
    release_deferred();
}

}  // namespace brenvale::py
