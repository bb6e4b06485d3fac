#include "poll_callback.h"

#include <atomic>
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

// Lives as long as the engine holds a copy of the callback; its end releases the callable.
class EngineShare {
public:
    explicit EngineShare(std::shared_ptr<CallbackCell> cell) : cell_(std::move(cell)) {}
    EngineShare(const EngineShare&) = delete;
    EngineShare& operator=(const EngineShare&) = delete;
    ~EngineShare() {
        if (PyObject* callable = cell_->take()) release_later(callable);
    }

    CallbackCell& cell() const { return *cell_; }

private:
    std::shared_ptr<CallbackCell> cell_;
};

// The body of every wake callback: runs on the waking thread, attached for the call.
void wake(CallbackCell& cell) noexcept {
    // A thread that is not attached cannot attach while the interpreter shuts down.
    if (!PyGILState_Check() && (!Py_IsInitialized() || Py_IsFinalizing())) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    // The writer's own pending exception, if any, is kept apart from the callback's.
    PyObject* outer = PyErr_GetRaisedException();
    if (PyObject* callable = cell.acquire()) {
        PyObject* result = PyObject_CallNoArgs(callable);
        if (result != nullptr) {
            Py_DECREF(result);
        } else {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
            PyErr_WriteUnraisable(nullptr);
        }
        // When the registration was dropped meanwhile, this is the last reference: its
        // release waits like the others.
        if (Py_REFCNT(callable) == 1)
            release_later(callable);
        else
            Py_DECREF(callable);
    }
    PyErr_SetRaisedException(outer);
    PyGILState_Release(gil);
}

}  // namespace

// ---- CallbackCell ----

PyObject* CallbackCell::acquire() {
    std::lock_guard<std::mutex> lock(mu_);
    return Py_XNewRef(callable_);
}

PyObject* CallbackCell::take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(callable_, nullptr);
}

int CallbackCell::visit(visitproc visit, void* arg) {
    std::lock_guard<std::mutex> lock(mu_);
    Py_VISIT(callable_);
    return 0;
}

CallbackCell::~CallbackCell() {
    if (callable_ != nullptr) release_later(callable_);
}

WakeCallback make_wake_callback(PyObject* callable) {
    Ref owned(Py_NewRef(callable));
    auto cell = std::make_shared<CallbackCell>(owned.get());
    owned.release();  // the cell owns it now
    auto share = std::make_shared<const EngineShare>(cell);
    return WakeCallback{make_poll_callback([share]() { wake(share->cell()); }), std::move(cell)};
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
