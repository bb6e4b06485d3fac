#include "store_config.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "convert.h"
#include "guards.h"
#include "module_util.h"

namespace brenvale::py {

namespace {

// The three intervals, kept in whole seconds as they were given: the engine holds them as
// 64-bit nanoseconds, which cover about 292 years, while an option accepts any 64-bit
// count of seconds. The engine gets the longest interval it can hold for a longer one,
// and the properties still show the value given.
enum Interval : size_t { kFlush, kIdle, kCacheIdle, kIntervals };

struct PyStoreConfig {
    static PyTypeObject* type() { return store_config_class(); }

    StoreConfig config;
    std::array<uint64_t, kIntervals> seconds{};
};

using Box = PyBox<PyStoreConfig>;

std::chrono::nanoseconds interval(uint64_t seconds) {
    constexpr uint64_t kMaxSeconds =
        static_cast<uint64_t>(std::chrono::nanoseconds::max().count()) / 1'000'000'000u;
    if (seconds > kMaxSeconds) return std::chrono::nanoseconds::max();
    return std::chrono::seconds(static_cast<int64_t>(seconds));
}

// The options, in the order of the constructor's keyword-only parameters.
enum Option : size_t {
    kFlushInterval,
    kIdleTimeout,
    kDataSegmentSize,
    kIndexSegmentSize,
    kInitialDataSegmentSize,
    kInitialIndexSegmentSize,
    kCompressLevel,
    kCacheMaxMemory,
    kCacheIdleTimeout,
    kRetentionCheckHour,
    kEnableBackgroundThread,
    kEnableJournal,
    kReadOnly,
    kOptions,
};

constexpr KeywordParam kKeywords[kOptions] = {
    {"flush_interval", false},
    {"idle_timeout", false},
    {"data_segment_size", false},
    {"index_segment_size", false},
    {"initial_data_segment_size", false},
    {"initial_index_segment_size", false},
    {"compress_level", false},
    {"cache_max_memory", false},
    {"cache_idle_timeout", false},
    {"retention_check_hour", false},
    {"enable_background_thread", false},
    {"enable_journal", false},
    {"read_only", false},
};

const Params kNew{"StoreConfig", "__new__", {}, 0, kKeywords};

// The intervals of the default configuration, in seconds.
std::array<uint64_t, kIntervals> default_seconds() {
    auto whole = [](std::chrono::nanoseconds d) {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
    };
    return {whole(config_defaults::kFlushInterval), whole(config_defaults::kIdleTimeout),
            whole(config_defaults::kCacheIdleTimeout)};
}

// StoreConfig(*, ...): each given option is converted in parameter order; the first that
// fails raises and nothing is made.
PyObject* store_config_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return at_boundary([&]() -> PyObject* {
        Args a(kNew);
        if (!a.bind(args, kwargs)) return nullptr;
        const StoreConfig defaults = StoreConfigBuilder().build();
        std::array<uint64_t, kIntervals> seconds = default_seconds();
        uint64_t data_segment_size = defaults.data_segment_size;
        uint64_t index_segment_size = defaults.index_segment_size;
        uint64_t initial_data_segment_size = defaults.initial_data_segment_size;
        uint64_t initial_index_segment_size = defaults.initial_index_segment_size;
        uint8_t compress_level = defaults.compress_level;
        uint64_t cache_max_memory = defaults.cache_max_memory;
        uint8_t retention_check_hour = defaults.retention_check_hour;
        bool enable_background_thread = defaults.enable_background_thread;
        bool enable_journal = defaults.enable_journal;
        std::optional<bool> read_only;
        auto u64 = [&a](size_t i, uint64_t* out) { return a.defaulted(i, out, &Args::u64); };
        auto u8 = [&a](size_t i, uint8_t* out) { return a.defaulted(i, out, &Args::u8); };
        auto flag = [&a](size_t i, bool* out) { return a.defaulted(i, out, &Args::flag); };
        if (!u64(kFlushInterval, &seconds[kFlush]) || !u64(kIdleTimeout, &seconds[kIdle]) ||
            !u64(kDataSegmentSize, &data_segment_size) || !u64(kIndexSegmentSize, &index_segment_size) ||
            !u64(kInitialDataSegmentSize, &initial_data_segment_size) ||
            !u64(kInitialIndexSegmentSize, &initial_index_segment_size) || !u8(kCompressLevel, &compress_level) ||
            !u64(kCacheMaxMemory, &cache_max_memory) || !u64(kCacheIdleTimeout, &seconds[kCacheIdle]) ||
            !u8(kRetentionCheckHour, &retention_check_hour) ||
            !flag(kEnableBackgroundThread, &enable_background_thread) || !flag(kEnableJournal, &enable_journal) ||
            !a.optional(kReadOnly, &read_only, &Args::flag)) {
            return nullptr;
        }
        const StoreConfig config = StoreConfigBuilder()
                          .flush_interval(interval(seconds[kFlush]))
                          .idle_timeout(interval(seconds[kIdle]))
                          .data_segment_size(data_segment_size)
                          .index_segment_size(index_segment_size)
                          .initial_data_segment_size(initial_data_segment_size)
                          .initial_index_segment_size(initial_index_segment_size)
                          .compress_level(compress_level)
                          .cache_max_memory(cache_max_memory)
                          .cache_idle_timeout(interval(seconds[kCacheIdle]))
                          .retention_check_hour(retention_check_hour)
                          .enable_background_thread(enable_background_thread)
                          .enable_journal(enable_journal)
                          .read_only(read_only)
                          .build();
        return new_box<PyStoreConfig>(config, seconds);
    });
}

PyObject* store_config_default(PyObject*, PyObject*) noexcept {
    return at_boundary(
        []() -> PyObject* { return new_box<PyStoreConfig>(StoreConfigBuilder().build(), default_seconds()); });
}

// ---- properties ----

template <typename Get>
PyObject* property(PyObject* self, Get get) noexcept {
    return call_noargs<PyStoreConfig>(self, Borrow::None, [&get](Box& box) { return get(box.value); });
}

template <Interval Which>
PyObject* seconds_of(PyObject* self, void*) noexcept {
    return property(self, [](const PyStoreConfig& c) { return py_value(c.seconds[Which]); });
}

template <auto Member>
PyObject* value_of(PyObject* self, void*) noexcept {
    return property(self, [](const PyStoreConfig& c) { return py_value(c.config.*Member); });
}

PyObject* read_only_of(PyObject* self, void*) noexcept {
    return property(self, [](const PyStoreConfig& c) { return py_value(c.config.read_only); });
}

PyMethodDef g_methods[] = {
    {"default", as_method(&store_config_default), METH_NOARGS | METH_CLASS, "default($cls)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"flush_interval", seconds_of<kFlush>, nullptr, nullptr, nullptr},
    {"idle_timeout", seconds_of<kIdle>, nullptr, nullptr, nullptr},
    {"data_segment_size", value_of<&StoreConfig::data_segment_size>, nullptr, nullptr, nullptr},
    {"index_segment_size", value_of<&StoreConfig::index_segment_size>, nullptr, nullptr, nullptr},
    {"initial_data_segment_size", value_of<&StoreConfig::initial_data_segment_size>, nullptr, nullptr, nullptr},
    {"initial_index_segment_size", value_of<&StoreConfig::initial_index_segment_size>, nullptr, nullptr, nullptr},
    {"compress_level", value_of<&StoreConfig::compress_level>, nullptr, nullptr, nullptr},
    {"cache_max_memory", value_of<&StoreConfig::cache_max_memory>, nullptr, nullptr, nullptr},
    {"cache_idle_timeout", seconds_of<kCacheIdle>, nullptr, nullptr, nullptr},
    {"retention_check_hour", value_of<&StoreConfig::retention_check_hour>, nullptr, nullptr, nullptr},
    {"enable_background_thread", value_of<&StoreConfig::enable_background_thread>, nullptr, nullptr, nullptr},
    {"enable_journal", value_of<&StoreConfig::enable_journal>, nullptr, nullptr, nullptr},
    {"read_only", read_only_of, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("StoreConfig(*, flush_interval=15, idle_timeout=1800, data_segment_size=67108864, "
                       "index_segment_size=16777216, initial_data_segment_size=262144, "
                       "initial_index_segment_size=16384, compress_level=6, cache_max_memory=268435456, "
                       "cache_idle_timeout=1800, retention_check_hour=0, enable_background_thread=True, "
                       "enable_journal=True, read_only=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&store_config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyStoreConfig>)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

// Unlike the other classes it has a constructor.
PyType_Spec g_spec = {"builtins.StoreConfig", sizeof(Box), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      g_slots};
TypeCell g_class(&g_spec);

}  // namespace

PyTypeObject* store_config_class() { return g_class.get(); }

const StoreConfig& store_config_of(PyObject* object) { return reinterpret_cast<Box*>(object)->value.config; }

}  // namespace brenvale::py
