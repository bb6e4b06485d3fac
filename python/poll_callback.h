// Wake callbacks registered from Python: the engine PollCallback built around a Python
// callable, shared by the dataset and journal queue consumers.
//
// The engine calls a wake callback on the thread that woke the queue, after it has
// released its own locks; the callback attaches that thread to the interpreter, calls the
// callable with no arguments and reports an exception through the unraisable hook, so
// that nothing reaches the writer.
//
// The engine may drop its last copy of a callback anywhere, also while it holds a dataset
// lock (a dataset close drops the callbacks of its queue). Running Python code there (the
// callable's finalizer) could let another thread take the interpreter lock and then wait
// for that dataset lock, so the reference is not released on the spot: it waits in a
// process-wide list until a thread that is attached to the interpreter and holds no engine
// lock releases it (every queue method does so on its way out, and a pending call of the
// interpreter's main thread does so soon after).
#pragma once

#include <Python.h>

#include <memory>
#include <mutex>

#include "queue/notify.h"

namespace brenvale::py {

// The callable of one registration: a strong reference held for the engine's copies of the
// callback and released when the last of them goes. The consumer object that registered
// it also keeps the cell, to show the reference to the cycle collector and to let go of it
// when the collector finds the consumer and its callable unreachable.
class CallbackCell {
public:
    explicit CallbackCell(PyObject* callable) : callable_(callable) {}
    CallbackCell(const CallbackCell&) = delete;
    CallbackCell& operator=(const CallbackCell&) = delete;
    // A reference still held (a registration never handed to the engine) is released later.
    ~CallbackCell();

    // A new reference to the callable, or nullptr once it was released. Needs no
    // attachment (only the reference count changes).
    PyObject* acquire();
    // Takes the reference out: the caller owns it (nullptr when already taken).
    PyObject* take();
    // tp_traverse support: visits the callable while the cell holds it.
    int visit(visitproc visit, void* arg);

private:
    std::mutex mu_;
    PyObject* callable_;  // guarded by mu_; owned
};

// One registration: the engine callback and the cell of its callable.
struct WakeCallback {
    PollCallback callback;
    std::shared_ptr<CallbackCell> cell;
};

// Builds the engine callback around `callable`, taking a new strong reference to it.
// Attached to the interpreter. Throws std::bad_alloc.
WakeCallback make_wake_callback(PyObject* callable);

// Queues a reference for release_deferred and asks the interpreter's main thread to run
// that soon. Any thread; needs no attachment.
void release_later(PyObject* object) noexcept;

// Releases the references waiting in the list. Attached to the interpreter, with no engine
// lock held by this thread.
void release_deferred() noexcept;

// A method's result, after the references that the engine dropped during the call were
// released.
inline PyObject* released(PyObject* result) {
    release_deferred();
    return result;
}

}  // namespace brenvale::py
