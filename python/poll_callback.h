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

#include "queue/notify.h"

namespace brenvale::py {

// Builds the engine callback around `callable`, taking a new strong reference to it. The
// reference belongs to the engine's copies of the callback alone and is released when the
// last of them goes (the registration is cleared, or its group or queue closes). The
// consumer object does not hold it: the cycle collector never sees it, so a callable that
// refers back to its consumer is not collected while it is registered. Attached to the
// interpreter. Throws std::bad_alloc.
PollCallback make_wake_callback(PyObject* callable);

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
