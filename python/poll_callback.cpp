#include "poll_callback.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "module_util.h"

namespace brenvale::py {

namespace {

// ---- references waiting to be released ----

std::mutex g_waiting_mu;
std::vector<PyObject*> g_waiting;  // guarded by g_waiting_mu; owned references
std::atomic<bool> g_any_waiting{false};
std::atomic<bool> g_call_scheduled{false};

int release_pending_call(void*) {
    g_call_scheduled.store(false, std::memory_order_release);
    release_deferred();
    return 0;
}

// ---- the engine's share of a registration ----

// Lives as long as the engine holds a copy of the callback and owns the reference to the
// callable; its end releases the reference, later and where no engine lock is held.
class EngineShare {
public:
    explicit EngineShare(PyObject* callable) : callable_(callable) {}
    EngineShare(const EngineShare&) = delete;
    EngineShare& operator=(const EngineShare&) = delete;
    ~EngineShare() { release_later(callable_); }

    // The body of the wake callback: runs on the waking thread, attached for the call.
    // The share outlives the call (the waker holds a copy of the callback), and with it
    // the callable.
    void wake() const noexcept {
        // A thread that is not attached cannot attach while the interpreter shuts down.
        if (!PyGILState_Check() && (!Py_IsInitialized() || Py_IsFinalizing())) return;
        const PyGILState_STATE gil = PyGILState_Ensure();
        // The writer's own pending exception, if any, is kept apart from the callback's.
        PyObject* outer = PyErr_GetRaisedException();
        PyObject* result = PyObject_CallNoArgs(callable_);
        if (result != nullptr) {
            Py_DECREF(result);
        } else {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
            PyErr_WriteUnraisable(nullptr);
        }
        PyErr_SetRaisedException(outer);
        PyGILState_Release(gil);
    }

private:
    PyObject* callable_;  // owned
};

}  // namespace

PollCallback make_wake_callback(PyObject* callable) {
    Ref owned(Py_NewRef(callable));
    auto share = std::make_shared<const EngineShare>(owned.get());
    owned.release();  // the share owns it now
    return make_poll_callback([share]() { share->wake(); });
}

// ---- deferred releases ----

void release_later(PyObject* object) noexcept {
    try {
        std::lock_guard<std::mutex> lock(g_waiting_mu);
        g_waiting.push_back(object);
    } catch (...) {
        return;  // out of memory: the reference is leaked rather than released here
    }
    g_any_waiting.store(true, std::memory_order_release);
    if (!g_call_scheduled.exchange(true, std::memory_order_acq_rel)) {
        if (!Py_IsInitialized() || Py_AddPendingCall(&release_pending_call, nullptr) != 0)
            g_call_scheduled.store(false, std::memory_order_release);
    }
}

void release_deferred() noexcept {
    if (!g_any_waiting.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> batch;
    {
        std::lock_guard<std::mutex> lock(g_waiting_mu);
        batch.swap(g_waiting);
        g_any_waiting.store(false, std::memory_order_release);
    }
    // A method may end here with its exception set: finalizers run apart from it.
    PyObject* raised = PyErr_GetRaisedException();
    for (PyObject* object : batch) Py_DECREF(object);
    PyErr_SetRaisedException(raised);
}

}  // namespace brenvale::py
