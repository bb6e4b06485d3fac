#include "py_store.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert.h"
#include "guards.h"
#include "module_util.h"
#include "poll_callback.h"
#include "py_dataset.h"
#include "py_journal_queue.h"
#include "py_queue.h"
#include "results.h"
#include "store/store.h"
#include "store_config.h"

namespace brenvale::py {

namespace {

// The payload of a Store object. The engine store is present from Store.open until close();
// while it is absent, `datasets` is empty.
struct PyStore {
    static PyTypeObject* type() { return store_class(); }

    std::optional<Store> inner;
    // Every Dataset handed out, by its binding id; the same shared handle the object holds.
    std::unordered_map<uint64_t, Dataset> datasets;
    uint64_t next_dataset_id = 1;
};

using Box = PyBox<PyStore>;

// The engine store for a method that needs it open, or nullptr with RuntimeError
// "Store is closed" set.
Store* engine_of(PyStore& store) {
    if (store.inner) return &*store.inner;
    PyErr_SetString(PyExc_RuntimeError, "Store is closed");
    return nullptr;
}

// Hands a dataset out as a new Dataset object under the next binding id and tracks it.
PyObject* hand_out(PyStore& store, Dataset dataset) {
    const uint64_t id = store.next_dataset_id;
    const std::string data_dir = dataset.data_dir();
    PyObject* object = make_dataset(dataset, id, store.inner->read_only(), data_dir);
    if (object == nullptr) return nullptr;
    store.next_dataset_id = id + 1;
    store.datasets.insert_or_assign(id, std::move(dataset));
    return object;
}

// Flushes every tracked dataset, closing it too when `close`, and forgets them all; the
// datasets' errors are dropped.
void release_tracked(PyStore& store, bool close) {
    for (auto& [id, dataset] : store.datasets) {
        (void)dataset.flush();
        if (close) (void)dataset.close();
    }
    store.datasets.clear();
}

// close() and __exit__: the tracked datasets are flushed and closed, the journal queue is
// closed (its pollers wake with the queue-closed error), then the engine store goes: its
// background thread is stopped and joined and the journal flushed.
PyObject* close_tracked(PyStore& store) {
    release_tracked(store, true);
    if (!store.inner) {
        PyErr_SetString(PyExc_RuntimeError, "Store is already closed");
        return nullptr;
    }
    // The journal queue holds the directory lock until it closes.
    if (const std::shared_ptr<Journal>& journal = store.inner->journal()) (void)journal->close_queue();
    store.inner.reset();
    return py_none();
}

// ---- parameters ----

constexpr const char* kOpenParams[] = {"data_dir", "config"};
constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr const char* kKeyParams[] = {"name", "dataset_type"};
constexpr const char* kIdentifierParams[] = {"identifier"};
constexpr const char* kDatasetIdParams[] = {"dataset_id"};
constexpr const char* kSequenceParams[] = {"sequence"};
constexpr const char* kSequenceRangeParams[] = {"start_sequence", "end_sequence"};
constexpr const char* kNameParams[] = {"name"};

// The keyword-only options of create_dataset, numbered after name and dataset_type.
enum CreateOption : size_t {
    kDataSegmentSize = 2,
    kIndexSegmentSize,
    kCompressLevel,
    kIndexContinuous,
    kInitialDataSegmentSize,
    kInitialIndexSegmentSize,
    kTimestampUnitsPerSeconds,
    kEnableJournal,
};
constexpr KeywordParam kCreateOptions[] = {
    {"data_segment_size", false},          {"index_segment_size", false},
    {"compress_level", false},             {"index_continuous", false},
    {"initial_data_segment_size", false},  {"initial_index_segment_size", false},
    {"timestamp_units_per_seconds", false}, {"enable_journal", false},
};

const Params kNew{"Store", "__new__", {}, 0};
const Params kOpen{"Store", "open", kOpenParams, 1};
const Params kExit{"Store", "__exit__", kExitParams, 3};
const Params kCreate{"Store", "create_dataset", kKeyParams, 2, kCreateOptions};
const Params kOpenDataset{"Store", "open_dataset", kKeyParams, 2};
const Params kOpenByIdentifier{"Store", "open_dataset_by_identifier", kIdentifierParams, 1};
const Params kOpenQueue{"Store", "open_queue", kDatasetIdParams, 1};
const Params kJournalRead{"Store", "journal_read", kSequenceParams, 1};
const Params kJournalQuery{"Store", "journal_query", kSequenceRangeParams, 2};
const Params kDrop{"Store", "drop_dataset", kKeyParams, 2};
const Params kTypes{"Store", "get_dataset_types", kNameParams, 1};
const Params kInspect{"Store", "inspect_dataset", kKeyParams, 2};

using FastArgs = PyObject* const*;

// A method with parameters. Every Store method releases, on its way out, the Python
// references that the engine dropped meanwhile (the callbacks of queues that a close took
// down) and runs with the engine holding none of its locks there.
template <typename Body>
PyObject* store_fast(PyObject* self, const Params& params, FastArgs args, Py_ssize_t nargs, PyObject* kwnames,
                     Borrow borrow, Body body) {
    return released(call_fast<PyStore>(self, params, args, nargs, kwnames, borrow, body));
}

// A method without parameters that needs the store open: body(engine store).
template <typename Body>
PyObject* store_noargs(PyObject* self, Borrow borrow, Body body) {
    return released(call_noargs<PyStore>(self, borrow, [&body](Box& box) -> PyObject* {
        Store* store = engine_of(box.value);
        return store != nullptr ? body(*store) : nullptr;
    }));
}

// The methods given (name, dataset_type) that need the store open:
// body(store payload, engine store, name, dataset_type).
template <typename Body>
PyObject* with_key(PyObject* self, const Params& params, FastArgs args, Py_ssize_t nargs, PyObject* kwnames,
                   Borrow borrow, Body body) {
    return store_fast(self, params, args, nargs, kwnames, borrow, [&body](Box& box, const Args& a) -> PyObject* {
        std::string_view name;
        std::string_view dataset_type;
        if (!a.text(0, &name) || !a.text(1, &dataset_type)) return nullptr;
        Store* store = engine_of(box.value);
        if (store == nullptr) return nullptr;
        return body(box.value, *store, std::string(name), std::string(dataset_type));
    });
}

// ---- construction and the context manager ----

PyObject* store_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return at_boundary([&]() -> PyObject* {
        Args a(kNew);
        if (!a.bind(args, kwargs)) return nullptr;
        return new_box<PyStore>();
    });
}

PyObject* store_open(PyObject*, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_boundary([&]() -> PyObject* {
        Args a(kOpen);
        if (!a.bind(args, nargs, kwnames)) return nullptr;
        std::string_view data_dir;
        if (!a.path(0, &data_dir)) return nullptr;
        StoreConfig config = StoreConfigBuilder().build();
        if (a.given(1)) {
            PyTypeObject* cls = store_config_class();
            if (cls == nullptr || !a.instance(1, cls)) return nullptr;
            config = store_config_of(a.get(1));
        }
        auto opened = Store::open(std::string(data_dir), config);
        if (!opened.ok()) return to_py_err(std::move(opened).error());
        Ref object(new_box<PyStore>());
        if (object == nullptr) return nullptr;
        reinterpret_cast<Box*>(object.get())->value.inner.emplace(std::move(opened).value());
        return object.release();
    });
}

PyObject* store_enter(PyObject* self, PyObject*) noexcept {
    return call_noargs<PyStore>(self, Borrow::None, [](Box& box) { return Py_NewRef(box.self()); });
}

PyObject* store_exit(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kExit, args, nargs, kwnames, Borrow::Exclusive,
                      [](Box& box, const Args&) { return close_tracked(box.value); });
}

PyObject* store_close(PyObject* self, PyObject*) noexcept {
    return released(
        call_noargs<PyStore>(self, Borrow::Exclusive, [](Box& box) { return close_tracked(box.value); }));
}

// ---- datasets ----

PyObject* create_dataset(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kCreate, args, nargs, kwnames, Borrow::Exclusive, [](Box& box, const Args& a) -> PyObject* {
        std::string_view name;
        std::string_view dataset_type;
        std::optional<uint64_t> data_segment_size;
        std::optional<uint64_t> index_segment_size;
        std::optional<uint8_t> compress_level;
        bool index_continuous = false;
        std::optional<uint64_t> initial_data_segment_size;
        std::optional<uint64_t> initial_index_segment_size;
        uint64_t timestamp_units_per_seconds = 0;
        bool enable_journal = false;
        if (!a.text(0, &name) || !a.text(1, &dataset_type) ||
            !a.optional(kDataSegmentSize, &data_segment_size, &Args::u64) ||
            !a.optional(kIndexSegmentSize, &index_segment_size, &Args::u64) ||
            !a.optional(kCompressLevel, &compress_level, &Args::u8) ||
            !a.defaulted(kIndexContinuous, &index_continuous, &Args::flag) ||
            !a.optional(kInitialDataSegmentSize, &initial_data_segment_size, &Args::u64) ||
            !a.optional(kInitialIndexSegmentSize, &initial_index_segment_size, &Args::u64) ||
            !a.defaulted(kTimestampUnitsPerSeconds, &timestamp_units_per_seconds, &Args::u64) ||
            !a.defaulted(kEnableJournal, &enable_journal, &Args::flag)) {
            return nullptr;
        }
        Store* store = engine_of(box.value);
        if (store == nullptr) return nullptr;
        // The store's sizes and compression, no retention window; the journal only when asked.
        DatasetConfigBuilder builder = DatasetConfigBuilder::from_store(store->config());
        builder.timestamp_units_per_seconds(timestamp_units_per_seconds).enable_journal(enable_journal);
        if (data_segment_size) builder.data_segment_size(*data_segment_size);
        if (index_segment_size) builder.index_segment_size(*index_segment_size);
        if (initial_data_segment_size) builder.initial_data_segment_size(*initial_data_segment_size);
        if (initial_index_segment_size) builder.initial_index_segment_size(*initial_index_segment_size);
        if (compress_level) builder.compress_level(*compress_level);
        builder.index_continuous(index_continuous);
        auto created = store->create_dataset(std::string(name), std::string(dataset_type), builder);
        if (!created.ok()) return to_py_err(std::move(created).error());
        return hand_out(box.value, std::move(created).value());
    });
}

PyObject* open_dataset(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_key(self, kOpenDataset, args, nargs, kwnames, Borrow::Exclusive,
                    [](PyStore& payload, Store& store, const std::string& name, const std::string& type) {
                        return py_result(store.open_dataset(name, type),
                                         [&payload](Dataset& dataset) { return hand_out(payload, dataset); });
                    });
}

PyObject* open_dataset_by_identifier(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kOpenByIdentifier, args, nargs, kwnames, Borrow::Exclusive,
                      [](Box& box, const Args& a) -> PyObject* {
                          uint64_t identifier = 0;
                          if (!a.u64(0, &identifier)) return nullptr;
                          Store* store = engine_of(box.value);
                          if (store == nullptr) return nullptr;
                          return py_result(store->open_dataset_by_identifier(identifier), [&box](Dataset& dataset) {
                              return hand_out(box.value, dataset);
                          });
                      });
}

// Needs no open store: the tracked map is empty once it is closed.
PyObject* open_queue(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kOpenQueue, args, nargs, kwnames, Borrow::Exclusive,
                      [](Box& box, const Args& a) -> PyObject* {
                          uint64_t dataset_id = 0;
                          if (!a.u64(0, &dataset_id)) return nullptr;
                          auto found = box.value.datasets.find(dataset_id);
                          if (found == box.value.datasets.end()) {
                              PyErr_Format(PyExc_ValueError, "dataset_id %llu not found",
                                           static_cast<unsigned long long>(dataset_id));
                              return nullptr;
                          }
                          return py_result(found->second.open_queue(), [](DatasetQueue& queue) {
                              return make_dataset_queue(std::move(queue));
                          });
                      });
}

PyObject* drop_dataset(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_key(self, kDrop, args, nargs, kwnames, Borrow::Exclusive,
                    [](PyStore&, Store& store, const std::string& name, const std::string& type) {
                        return py_status(store.drop_dataset(name, type));
                    });
}

PyObject* inspect_dataset(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_key(self, kInspect, args, nargs, kwnames, Borrow::Shared,
                    [](PyStore&, Store& store, const std::string& name, const std::string& type) {
                        return py_result(store.inspect_dataset(name, type), [](DataSetInspectResult& result) {
                            return make_inspect_result(std::move(result));
                        });
                    });
}

PyObject* get_dataset_names(PyObject* self, PyObject*) noexcept {
    return store_noargs(self, Borrow::Shared, [](Store& store) { return py_result(store.dataset_names()); });
}

PyObject* get_dataset_types(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kTypes, args, nargs, kwnames, Borrow::Shared, [](Box& box, const Args& a) -> PyObject* {
        std::string_view name;
        if (!a.text(0, &name)) return nullptr;
        Store* store = engine_of(box.value);
        if (store == nullptr) return nullptr;
        return py_result(store->dataset_types(std::string(name)));
    });
}

// ---- journal ----

PyObject* journal_latest_sequence(PyObject* self, PyObject*) noexcept {
    return store_noargs(self, Borrow::Shared, [](Store& store) {
        return py_result(store.journal_latest_sequence(),
                         [](const std::optional<uint64_t>& sequence) { return py_value(sequence); });
    });
}

PyObject* journal_read(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kJournalRead, args, nargs, kwnames, Borrow::Shared,
                      [](Box& box, const Args& a) -> PyObject* {
                          int64_t sequence = 0;
                          if (!a.i64(0, &sequence)) return nullptr;
                          Store* store = engine_of(box.value);
                          if (store == nullptr) return nullptr;
                          return py_result(store->journal_read(sequence));
                      });
}

PyObject* journal_query(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return store_fast(self, kJournalQuery, args, nargs, kwnames, Borrow::Shared,
                      [](Box& box, const Args& a) -> PyObject* {
                          int64_t start = 0;
                          int64_t end = 0;
                          if (!a.i64(0, &start) || !a.i64(1, &end)) return nullptr;
                          Store* store = engine_of(box.value);
                          if (store == nullptr) return nullptr;
                          return py_result(store->journal_query(start, end));
                      });
}

PyObject* open_journal_queue(PyObject* self, PyObject*) noexcept {
    return store_noargs(self, Borrow::Exclusive, [](Store& store) {
        return py_result(store.open_journal_queue(),
                         [](JournalQueue& queue) { return make_journal_queue(std::move(queue)); });
    });
}

// ---- background tasks ----

PyObject* tick_background_tasks(PyObject* self, PyObject*) noexcept {
    return store_noargs(self, Borrow::Shared, [](Store& store) {
        return py_result(store.tick_background_tasks(), [](const BgTick& tick) {
            return py_pair(py_value(tick.executed), py_value(delay_ms(tick.next_delay)));
        });
    });
}

PyObject* next_background_delay(PyObject* self, PyObject*) noexcept {
    return store_noargs(self, Borrow::Shared, [](Store& store) {
        return py_result(store.next_background_delay(),
                         [](std::chrono::nanoseconds delay) { return py_value(delay_ms(delay)); });
    });
}

// ---- the class ----

// Release without close(): the tracked datasets are flushed but stay open for whoever still
// holds them; the engine store then stops its background thread and flushes the journal.
// The directory lock goes with the last dataset or journal queue handle that can write.
void store_dealloc(PyObject* self) noexcept {
    auto& payload = reinterpret_cast<Box*>(self)->value;
    try {
        std::optional<Store> inner = std::move(payload.inner);
        payload.inner.reset();
        release_tracked(payload, false);
        inner.reset();
    } catch (...) {
        // Nothing in the release throws but allocation failures of the engine's flush; the
        // payload is destroyed below either way.
    }
    box_dealloc<PyStore>(self);
    release_deferred();
}


PyMethodDef g_methods[] = {
    {"open", as_method(&store_open), kFast | METH_CLASS,
     "open($cls, data_dir, config=None)\n--\n\nOpen or create a store at `data_dir`.\n\nDirectories are created "
     "automatically if they don't exist."},
    {"__enter__", as_method(&store_enter), METH_NOARGS, "__enter__($self)\n--\n\nContext manager entry."},
    {"__exit__", as_method(&store_exit), kFast,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\nContext manager exit 鈥?calls close()."},
    {"close", as_method(&store_close), METH_NOARGS,
     "close($self)\n--\n\nClose the store completely.\n\nCloses all tracked datasets (release mmap handles) then "
     "drops the store."},
    {"create_dataset", as_method(&create_dataset), kFast,
     "create_dataset($self, name, dataset_type, *, data_segment_size=None, index_segment_size=None, "
     "compress_level=None, index_continuous=False, initial_data_segment_size=None, "
     "initial_index_segment_size=None, timestamp_units_per_seconds=0, enable_journal=False)\n--\n\nCreate a new "
     "dataset.\n\nOnly `name` and `dataset_type` are required. All other parameters\ninherit from StoreConfig "
     "defaults unless overridden.\n\nReturns a Dataset object for read/write operations."},
    {"open_dataset", as_method(&open_dataset), kFast,
     "open_dataset($self, name, dataset_type)\n--\n\nOpen an existing dataset.\n\nReturns a Dataset object for "
     "read/write operations."},
    {"open_dataset_by_identifier", as_method(&open_dataset_by_identifier), kFast,
     "open_dataset_by_identifier($self, identifier)\n--\n\nOpen an existing dataset by its Store-assigned numeric "
     "identifier."},
    {"open_queue", as_method(&open_queue), kFast,
     "open_queue($self, dataset_id)\n--\n\nOpen the queue subsystem for a dataset.\n\nArgs:\n    dataset_id: The "
     "ID of the dataset (returned by `open_dataset().id`).\n\nReturns a DatasetQueue that supports push and "
     "consumer group operations.\n\nRaises:\n    BrvlQueueAlreadyOpenError: Queue is already open for this "
     "dataset."},
    {"journal_latest_sequence", as_method(&journal_latest_sequence), METH_NOARGS,
     "journal_latest_sequence($self)\n--\n\nReturn the latest journal sequence, or None when journal is empty."},
    {"journal_read", as_method(&journal_read), kFast,
     "journal_read($self, sequence)\n--\n\nRead one encoded journal record by sequence."},
    {"journal_query", as_method(&journal_query), kFast,
     "journal_query($self, start_sequence, end_sequence)\n--\n\nQuery encoded journal records by inclusive "
     "sequence range."},
    {"open_journal_queue", as_method(&open_journal_queue), METH_NOARGS,
     "open_journal_queue($self)\n--\n\nOpen the built-in journal queue."},
    {"drop_dataset", as_method(&drop_dataset), kFast,
     "drop_dataset($self, name, dataset_type)\n--\n\nDelete an entire dataset.\n\nWARNING: Irreversible. All data "
     "is permanently deleted."},
    {"tick_background_tasks", as_method(&tick_background_tasks), METH_NOARGS,
     "tick_background_tasks($self)\n--\n\nExecute one tick of background tasks synchronously.\n\nChecks if flush, "
     "idle-close, cache eviction, or retention reclaim are\ndue and runs them immediately.  Returns `(executed, "
     "next_delay_ms)`.\n\nCan be called regardless of whether the background thread is enabled.\nWhen "
     "`enable_background_thread=False`, call this periodically to drive\nbackground logic (e.g. in an event "
     "loop)."},
    {"next_background_delay", as_method(&next_background_delay), METH_NOARGS,
     "next_background_delay($self)\n--\n\nReturn the delay in milliseconds until the next background task is "
     "due.\n\nDoes NOT execute any tasks 鈥?reads a snapshot of the executor state.\nUseful for scheduling the "
     "next `tick_background_tasks()` call."},
    {"get_dataset_names", as_method(&get_dataset_names), METH_NOARGS,
     "get_dataset_names($self)\n--\n\nGet all unique dataset names in the store."},
    {"get_dataset_types", as_method(&get_dataset_types), kFast,
     "get_dataset_types($self, name)\n--\n\nGet all dataset types for a given name."},
    {"inspect_dataset", as_method(&inspect_dataset), kFast,
     "inspect_dataset($self, name, dataset_type)\n--\n\nGet detailed info and state of a dataset.\n\nReturns a "
     "DataSetInspectResult containing immutable config (DataSetInfo)\nand mutable state (DataSetState)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Store()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&store_dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// Like StoreConfig, it has a constructor.
PyType_Spec g_spec = {"builtins.Store", sizeof(Box), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};
TypeCell g_class(&g_spec);

}  // namespace

PyTypeObject* store_class() { return g_class.get(); }

}  // namespace brenvale::py
