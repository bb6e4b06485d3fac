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
// saturating at 2^64 - 1; a negative delay is 0. Any duration type, also a wider one than
// the engine's.
template <typename Rep, typename Period>
uint64_t delay_ms(std::chrono::duration<Rep, Period> delay) {
    using Seconds = std::chrono::duration<Rep>;
    using Millis = std::chrono::duration<Rep, std::milli>;
    constexpr uint64_t kMax = UINT64_MAX;
    if (delay <= delay.zero()) return 0;
    const Seconds seconds = std::chrono::duration_cast<Seconds>(delay);
    if (seconds.count() > static_cast<Rep>(kMax / 1000)) return kMax;
    const uint64_t whole = static_cast<uint64_t>(seconds.count()) * 1000;
    const uint64_t rest = static_cast<uint64_t>(std::chrono::duration_cast<Millis>(delay - seconds).count());
    return whole > kMax - rest ? kMax : whole + rest;
}

}  // namespace brenvale::py
