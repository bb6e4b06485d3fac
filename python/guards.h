// What stands between the interpreter and a method body: the object's borrow state, the
// check of the receiver, and the boundary that keeps C++ exceptions out of the interpreter.
// The shim templates at the end run the steps of every call in their fixed order.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <utility>

#include "convert.h"

namespace brenvale::py {

// The borrow of an object's payload taken for one call. Borrows never wait: a conflicting
// call fails at once.
// Only Dataset and Store take exclusive borrows; the other classes call with None, since
// a shared borrow of them could never be refused.
enum class Borrow : uint8_t { None, Shared, Exclusive };

// 0 = free, all ones = borrowed exclusively, anything else = the number of shared borrows.
struct BorrowState {
    static constexpr uint64_t kExclusive = UINT64_MAX;
    std::atomic<uint64_t> count{0};
};

// Raise RuntimeError "Already mutably borrowed" (a shared borrow refused) or "Already
// borrowed" (an exclusive one refused). Return false.
bool refuse_shared_borrow();
bool refuse_exclusive_borrow();

// Holds one borrow for its lifetime. Taking and releasing are inline: every call of every
// method goes through them, and the kind is known where they are used.
class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() { release(); }

    // Takes the borrow; false with RuntimeError "Already mutably borrowed" (shared asked)
    // or "Already borrowed" (exclusive asked) set.
    bool take(BorrowState& state, Borrow kind) {
        if (kind == Borrow::Shared) {
            uint64_t seen = state.count.load(std::memory_order_relaxed);
            do {
                if (seen == BorrowState::kExclusive) [[unlikely]]
                    return refuse_shared_borrow();
            } while (!state.count.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                        std::memory_order_relaxed));
        } else if (kind == Borrow::Exclusive) {
            uint64_t expected = 0;
            if (!state.count.compare_exchange_strong(expected, BorrowState::kExclusive, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) [[unlikely]] {
                return refuse_exclusive_borrow();
            }
        }
        state_ = &state;
        kind_ = kind;
        return true;
    }

    void release() {
        if (state_ == nullptr) return;
        if (kind_ == Borrow::Shared)
            state_->count.fetch_sub(1, std::memory_order_release);
        else if (kind_ == Borrow::Exclusive)
            state_->count.store(0, std::memory_order_release);
        state_ = nullptr;
        kind_ = Borrow::None;
    }

private:
    BorrowState* state_ = nullptr;
    Borrow kind_ = Borrow::None;
};

// Raises the exception of a method that failed fatally (a C++ exception reached its
// boundary): the dedicated class derived from BaseException, carrying `message` or, when
// there is none, a fixed text. A Python error already pending becomes its context.
// Returns nullptr. A failure while doing so ends the process.
PyObject* raise_internal_failure(const char* message) noexcept;

// The class of those exceptions (borrowed), built on first use.
PyObject* internal_failure_class();

// Runs one method body; any C++ exception that escapes it is raised as the internal
// failure exception instead of crossing into the interpreter.
template <typename Fn>
PyObject* at_boundary(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const std::exception& e) {
        return raise_internal_failure(e.what());
    } catch (...) {
        return raise_internal_failure(nullptr);
    }
}

// The memory of one object of a class of the module: the object header, the borrow state
// and the payload. A payload type names its class with `static PyTypeObject* type()`.
template <typename Payload>
struct PyBox {
    PyObject ob_base;
    BorrowState borrow;
    Payload value;

    PyObject* self() { return &ob_base; }
};

// A new object of the payload's class with the payload built from `args`, or nullptr with
// a Python error set.
template <typename Payload, typename... A>
PyObject* new_box(A&&... args) {
    PyTypeObject* type = Payload::type();
    if (type == nullptr) return nullptr;
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) return nullptr;
    auto* box = reinterpret_cast<PyBox<Payload>*>(raw);
    new (&box->borrow) BorrowState();
    try {
        new (&box->value) Payload(std::forward<A>(args)...);
    } catch (...) {
        type->tp_free(raw);
        Py_DECREF(type);
        throw;
    }
    return raw;
}

// tp_dealloc of a class whose objects hold no Python references (so no GC support).
template <typename Payload>
void box_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* box = reinterpret_cast<PyBox<Payload>*>(self);
    box->value.~Payload();
    box->borrow.~BorrowState();
    type->tp_free(self);
    Py_DECREF(type);
}

// The receiver as a box of `Payload`, or nullptr with TypeError set when it is an object of
// another class.
template <typename Payload>
PyBox<Payload>* receiver(PyObject* self) {
    PyTypeObject* type = Payload::type();
    if (type == nullptr) return nullptr;
    if (!Py_IS_TYPE(self, type)) {
        to_instance(self, type);
        return nullptr;
    }
    return reinterpret_cast<PyBox<Payload>*>(self);
}

// ---- shims: one per calling convention ----
// Each runs, in order: binding of the arguments (fast calls only), the receiver check, the
// borrow, then the body, which converts its arguments, calls the engine and converts the
// result. The borrow is released on every path.

// METH_NOARGS methods, tp_iter, tp_iternext, tp_repr and property getters.
template <typename Payload, typename Body>
PyObject* call_noargs(PyObject* self, Borrow borrow, Body&& body) noexcept {
    return at_boundary([&]() -> PyObject* {
        PyBox<Payload>* box = receiver<Payload>(self);
        if (box == nullptr) return nullptr;
        BorrowGuard guard;
        if (!guard.take(box->borrow, borrow)) return nullptr;
        return body(*box);
    });
}

// METH_FASTCALL | METH_KEYWORDS methods.
template <typename Payload, typename Body>
PyObject* call_fast(PyObject* self, const Params& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Borrow borrow, Body&& body) noexcept {
    return at_boundary([&]() -> PyObject* {
        Args bound(params);
        if (!bound.bind(args, nargs, kwnames)) return nullptr;
        PyBox<Payload>* box = receiver<Payload>(self);
        if (box == nullptr) return nullptr;
        BorrowGuard guard;
        if (!guard.take(box->borrow, borrow)) return nullptr;
        return body(*box, static_cast<const Args&>(bound));
    });
}

}  // namespace brenvale::py
