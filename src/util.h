// Small helpers shared by every file format: little-endian access to mapped bytes,
// checked arithmetic and the two clocks. The test seams (crash points and the
// wall-clock offset among them) come with it from test_hooks.h.
#pragma once

#include <sys/random.h>
#include <time.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "test_hooks.h"

namespace brenvale {

// publish_fence orders the stores before it ahead of those after it, as seen from another
// process mapping the same file (a compiler barrier on x86; a fence elsewhere);
// observe_fence orders loads from a mapping that another process writes. ThreadSanitizer
// builds, which do not support standalone fences, keep the compiler barrier.
#if defined(__SANITIZE_THREAD__)
inline void publish_fence() { std::atomic_signal_fence(std::memory_order_seq_cst); }
inline void observe_fence() { std::atomic_signal_fence(std::memory_order_seq_cst); }
#else
inline void publish_fence() { std::atomic_thread_fence(std::memory_order_release); }
inline void observe_fence() { std::atomic_thread_fence(std::memory_order_acquire); }
#endif

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

// std::byteswap is C++23; g++ 12 in C++20 mode lacks it.
template <typename T>
inline T byte_swap(T v) {
    if constexpr (sizeof(T) == 1) return v;
    else if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(v)));
    else if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(v)));
    else return static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(v)));
}

template <typename T>
inline T load_le(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = byte_swap(v);
    return v;
}

template <typename T>
inline void store_le(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) v = byte_swap(v);
    std::memcpy(p, &v, sizeof v);
}

inline uint16_t load_u16(const uint8_t* p) { return load_le<uint16_t>(p); }
inline uint32_t load_u32(const uint8_t* p) { return load_le<uint32_t>(p); }
inline uint64_t load_u64(const uint8_t* p) { return load_le<uint64_t>(p); }
inline int64_t load_i64(const uint8_t* p) { return static_cast<int64_t>(load_le<uint64_t>(p)); }
inline void store_u16(uint8_t* p, uint16_t v) { store_le(p, v); }
inline void store_u32(uint8_t* p, uint32_t v) { store_le(p, v); }
inline void store_u64(uint8_t* p, uint64_t v) { store_le(p, v); }
inline void store_i64(uint8_t* p, int64_t v) { store_le(p, static_cast<uint64_t>(v)); }

// a + b, or nothing when it overflows 64 bits.
inline std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// a - b, clamped to the i64 range when it overflows.
inline int64_t saturating_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b > 0 ? INT64_MIN : INT64_MAX;
    return r;
}

// Whether [pos, pos + len) lies inside [0, limit), without overflow.
inline bool range_within(uint64_t pos, uint64_t len, uint64_t limit) {
    return pos <= limit && len <= limit - pos;
}

// ---- keyed hashing ----

// A 64-bit finaliser with full avalanche.
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// A fresh random key for a hash map, so that collisions cannot be planned from outside.
// Falls back to the clock and an address when the kernel gives no random bytes.
inline uint64_t fresh_hash_seed() {
    uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= reinterpret_cast<uintptr_t>(&seed);
    return seed ^ 0x2545f4914f6cdd1dULL;
}

// Bytes hashed under a key: eight bytes at a time, each word mixed into the state.
inline uint64_t hash_bytes(uint64_t seed, std::string_view bytes) {
    uint64_t h = mix64(seed ^ (bytes.size() * 0x9e3779b97f4a7c15ULL));
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, bytes.data() + i, 8);
        h = mix64(h ^ w) + 0x9e3779b97f4a7c15ULL;
    }
    uint64_t tail = 0;
    if (i < bytes.size()) std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
    return mix64(h ^ tail ^ 0xc2b2ae3d27d4eb4fULL);
}

using MonoClock = std::chrono::steady_clock;
using MonoInstant = MonoClock::time_point;

// The monotonic clock at tick granularity (a few milliseconds), for the activity stamps
// taken on every record write and read: a fraction of the cost of a full clock read, and
// precise enough for idle times counted in seconds.
inline MonoInstant coarse_now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return MonoInstant(std::chrono::duration_cast<MonoClock::duration>(std::chrono::seconds(ts.tv_sec) +
                                                                       std::chrono::nanoseconds(ts.tv_nsec)));
}

// Wall clock as a duration since the Unix epoch (may be negative before 1970).
inline std::chrono::nanoseconds unix_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()) +
           std::chrono::nanoseconds(detail::g_wall_clock_offset_ns.load(std::memory_order_relaxed));
}

// Wall clock in milliseconds since the Unix epoch; 0 when the clock reads before 1970.
inline uint64_t unix_millis_now() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(unix_now()).count();
    return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

}  // namespace brenvale
