// The Python class Store: the door to one engine store. It owns the engine store while it
// is open and keeps the datasets it handed out, keyed by binding ids of its own, so that
// close() can flush and close them and open_queue(dataset_id) can find them.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

namespace brenvale::py {

// The class object (borrowed), built on first use; nullptr with a Python error set.
PyTypeObject* store_class();

// A delay in whole milliseconds: seconds × 1000 plus the milliseconds of the rest,
// saturating at 2^64 - 1; a negative delay is 0.
template <typename Rep, typename Period>
uint64_t delay_ms(std::chrono::duration<Rep, Period> delay) {
    using std::chrono::duration_cast;
    if (delay <= delay.zero()) return 0;
    const auto seconds = duration_cast<std::chrono::seconds>(delay);
    const auto rest = duration_cast<std::chrono::milliseconds>(delay - seconds);
    uint64_t ms = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(seconds.count()), uint64_t{1000}, &ms) ||
        __builtin_add_overflow(ms, static_cast<uint64_t>(rest.count()), &ms)) {
        return UINT64_MAX;
    }
    return ms;
}

}  // namespace brenvale::py
