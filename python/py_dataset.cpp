#include "py_dataset.h"

#include <string>
#include <utility>

#include "convert.h"
#include "guards.h"
#include "module_util.h"
#include "query.h"
#include "results.h"

namespace brenvale::py {

namespace {

// The payload of a Dataset object; every field is set when the object is made.
struct PyDataset {
    static PyTypeObject* type() { return dataset_class(); }

    std::string data_dir;
    Dataset handle;
    uint64_t id;
    bool read_only;
};

using Box = PyBox<PyDataset>;

constexpr const char* kTimestampData[] = {"timestamp", "data"};
constexpr const char* kData[] = {"data"};
constexpr const char* kTimestamp[] = {"timestamp"};
constexpr const char* kRange[] = {"start_ts", "end_ts"};

const Params kWrite{"Dataset", "write", kTimestampData, 2};
const Params kAppend{"Dataset", "append", kTimestampData, 2};
const Params kWriteNow{"Dataset", "write_now", kData, 1};
const Params kAppendNow{"Dataset", "append_now", kData, 1};
const Params kRead{"Dataset", "read", kTimestamp, 1};
const Params kDelete{"Dataset", "delete", kTimestamp, 1};
const Params kQuery{"Dataset", "query", kRange, 2};
const Params kQueryAll{"Dataset", "query_all", kRange, 2};
const Params kReadExist{"Dataset", "read_exist", kTimestamp, 1};
const Params kQueryExist{"Dataset", "query_exist", kRange, 2};
const Params kReadLength{"Dataset", "read_length", kTimestamp, 1};
const Params kQueryLength{"Dataset", "query_length", kRange, 2};
const Params kQueryLengthAll{"Dataset", "query_length_all", kRange, 2};

// The guard in front of the mutating methods, after their arguments are converted.
bool writable(const PyDataset& dataset) {
    if (!dataset.read_only) return true;
    PyErr_SetString(PyExc_RuntimeError, "Dataset is read-only");
    return false;
}

// ---- methods with parameters; all take the exclusive borrow ----

using FastArgs = PyObject* const*;

// The methods given (timestamp, data).
template <Status (Dataset::*Op)(int64_t, std::span<const uint8_t>)>
PyObject* timestamp_data(PyObject* self, const Params& params, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_fast<PyDataset>(self, params, args, nargs, kwnames, Borrow::Exclusive,
                                [](Box& box, const Args& a) -> PyObject* {
                                    int64_t timestamp = 0;
                                    ByteArg data;
                                    if (!a.i64(0, &timestamp) || !a.bytes(1, &data) || !writable(box.value))
                                        return nullptr;
                                    return py_status((box.value.handle.*Op)(timestamp, data.span()));
                                });
}

// The methods given (data).
template <Status (Dataset::*Op)(std::span<const uint8_t>)>
PyObject* data_only(PyObject* self, const Params& params, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_fast<PyDataset>(self, params, args, nargs, kwnames, Borrow::Exclusive,
                                [](Box& box, const Args& a) -> PyObject* {
                                    ByteArg data;
                                    if (!a.bytes(0, &data) || !writable(box.value)) return nullptr;
                                    return py_status((box.value.handle.*Op)(data.span()));
                                });
}

// The methods given (timestamp): body(dataset, timestamp).
template <typename Body>
PyObject* at_timestamp(PyObject* self, const Params& params, FastArgs args, Py_ssize_t nargs, PyObject* kwnames,
                       Body body) {
    return call_fast<PyDataset>(self, params, args, nargs, kwnames, Borrow::Exclusive,
                                [&body](Box& box, const Args& a) -> PyObject* {
                                    int64_t timestamp = 0;
                                    if (!a.i64(0, &timestamp)) return nullptr;
                                    return body(box.value, timestamp);
                                });
}

// The methods given (start_ts, end_ts): body(handle, start, end).
template <typename Body>
PyObject* over_range(PyObject* self, const Params& params, FastArgs args, Py_ssize_t nargs, PyObject* kwnames,
                     Body body) {
    return call_fast<PyDataset>(self, params, args, nargs, kwnames, Borrow::Exclusive,
                                [&body](Box& box, const Args& a) -> PyObject* {
                                    int64_t start = 0;
                                    int64_t end = 0;
                                    if (!a.i64(0, &start) || !a.i64(1, &end)) return nullptr;
                                    return body(box.value.handle, start, end);
                                });
}

PyObject* write(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return timestamp_data<&Dataset::write>(self, kWrite, args, nargs, kwnames);
}

PyObject* append(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return timestamp_data<&Dataset::append>(self, kAppend, args, nargs, kwnames);
}

PyObject* write_now(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return data_only<&Dataset::write_now>(self, kWriteNow, args, nargs, kwnames);
}

PyObject* append_now(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return data_only<&Dataset::append_now>(self, kAppendNow, args, nargs, kwnames);
}

PyObject* read(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_timestamp(self, kRead, args, nargs, kwnames, [](PyDataset& dataset, int64_t timestamp) {
        return py_result(dataset.handle.read(timestamp));
    });
}

PyObject* delete_record(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_timestamp(self, kDelete, args, nargs, kwnames, [](PyDataset& dataset, int64_t timestamp) -> PyObject* {
        if (!writable(dataset)) return nullptr;
        return py_status(dataset.handle.delete_record(timestamp));
    });
}

PyObject* read_exist(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_timestamp(self, kReadExist, args, nargs, kwnames, [](PyDataset& dataset, int64_t timestamp) {
        return py_result(dataset.handle.read_exist(timestamp), [](bool exists) { return py_value(exists); });
    });
}

PyObject* read_length(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_timestamp(self, kReadLength, args, nargs, kwnames, [](PyDataset& dataset, int64_t timestamp) {
        return py_result(dataset.handle.read_length(timestamp),
                         [](const std::optional<uint32_t>& length) { return py_value(length); });
    });
}

PyObject* query(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return over_range(self, kQuery, args, nargs, kwnames, [](Dataset& handle, int64_t start, int64_t end) {
        return py_result(handle.query(start, end), [](QueryIterator& it) {
            return make_query_iterator(std::move(it), QueryItems::Records);
        });
    });
}

PyObject* query_length(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return over_range(self, kQueryLength, args, nargs, kwnames, [](Dataset& handle, int64_t start, int64_t end) {
        return py_result(handle.query(start, end), [](QueryIterator& it) {
            return make_query_iterator(std::move(it), QueryItems::Lengths);
        });
    });
}

PyObject* query_all(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return over_range(self, kQueryAll, args, nargs, kwnames, [](Dataset& handle, int64_t start, int64_t end) {
        return py_result(handle.query_all(start, end));
    });
}

PyObject* query_length_all(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return over_range(self, kQueryLengthAll, args, nargs, kwnames, [](Dataset& handle, int64_t start, int64_t end) {
        return py_result(handle.query_length_all(start, end));
    });
}

PyObject* query_exist(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return over_range(self, kQueryExist, args, nargs, kwnames, [](Dataset& handle, int64_t start, int64_t end) {
        return py_result(handle.query_exist(start, end),
                         [](const std::vector<uint8_t>& bitmap) { return py_bytes(bitmap); });
    });
}

// ---- methods without parameters ----

PyObject* read_latest(PyObject* self, PyObject*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Exclusive, [](Box& box) {
        return py_result(box.value.handle.read_latest());
    });
}

PyObject* inspect(PyObject* self, PyObject*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Shared, [](Box& box) {
        return py_result(box.value.handle.inspect(),
                         [](DataSetInspectResult& result) { return make_inspect_result(std::move(result)); });
    });
}

PyObject* flush(PyObject* self, PyObject*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Exclusive,
                                  [](Box& box) { return py_status(box.value.handle.flush()); });
}

PyObject* repr(PyObject* self) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Shared, [](Box& box) -> PyObject* {
        Ref dir(py_value(box.value.data_dir));
        if (dir == nullptr) return nullptr;
        return PyUnicode_FromFormat("Dataset(id=%llu, dir=%U)", static_cast<unsigned long long>(box.value.id),
                                    dir.get());
    });
}

// ---- properties ----

PyObject* get_data_dir(PyObject* self, void*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Shared, [](Box& box) { return py_value(box.value.data_dir); });
}

PyObject* get_id(PyObject* self, void*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Shared, [](Box& box) { return py_value(box.value.id); });
}

PyObject* get_identifier(PyObject* self, void*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Shared,
                                  [](Box& box) { return py_value(box.value.handle.identifier()); });
}

PyObject* get_latest_timestamp(PyObject* self, void*) noexcept {
    return call_noargs<PyDataset>(self, Borrow::Shared,
                                  [](Box& box) { return py_value(box.value.handle.latest_timestamp()); });
}


PyMethodDef g_methods[] = {
    {"write", as_method(&write), kFast,
     "write($self, timestamp, data)\n--\n\nWrite a record (timestamp, data).\n\nArgs:\n    timestamp: Signed i64 "
     "business timestamp. Negative values and 0 are valid.\n    data: Payload bytes.\n\nRaises:\n    "
     "BrvlInvalidDataError: out-of-order missing timestamp or oversized record."},
    {"append", as_method(&append), kFast, "append($self, timestamp, data)\n--\n\nAppend bytes to a record."},
    {"write_now", as_method(&write_now), kFast,
     "write_now($self, data)\n--\n\nWrite a record using the current Unix timestamp (seconds).\n\nArgs:\n    "
     "data: Payload bytes.\n\nRaises:\n    BrvlInvalidDataError: oversized record."},
    {"append_now", as_method(&append_now), kFast,
     "append_now($self, data)\n--\n\nAppend data to a record using the current Unix timestamp (seconds).\n\n"
     "Args:\n    data: Payload bytes to append.\n\nRaises:\n    BrvlInvalidDataError: if append would exceed max "
     "record size."},
    {"read", as_method(&read), kFast,
     "read($self, timestamp)\n--\n\nRead a single record by timestamp.\n\nArgs:\n    timestamp: Exact signed "
     "business timestamp.\n\nReturns:\n    Optional[tuple[int, bytes]]: (timestamp, data) if found, or None\n"
     "        when the timestamp does not exist, or the entry is deleted/filler."},
    {"read_latest", as_method(&read_latest), METH_NOARGS,
     "read_latest($self)\n--\n\nRead the latest written timestamp's record without falling back."},
    {"inspect", as_method(&inspect), METH_NOARGS,
     "inspect($self)\n--\n\nInspect dataset configuration and runtime state.\n\nReturns:\n    "
     "DataSetInspectResult: Contains `info` (DataSetInfo with config)\n        and `state` (DataSetState with "
     "runtime stats)."},
    {"delete", as_method(&delete_record), kFast,
     "delete($self, timestamp)\n--\n\nDelete the record at the given timestamp.\n\nMarks the index entry as "
     "sentinel (block_offset = 0xFFFF..., in_block = 0xFFFF)\nand increments the data segment's "
     "invalid_record_count. The physical data\nremains on disk until retention-based reclamation or future "
     "compaction.\n\nArgs:\n    timestamp: Exact signed business timestamp of the record to delete.\n\nRaises:\n"
     "    BrvlNotFoundError: no real data exists at that timestamp.\n    BrvlInvalidDataError: dataset is empty "
     "or timestamp is expired."},
    {"query", as_method(&query), kFast,
     "query($self, start_ts, end_ts)\n--\n\nQuery records in [start_ts, end_ts], returns a lazy iterator.\n\n"
     "Yields (timestamp: int, data: bytes) tuples.\nImplements Python iterator protocol (__iter__ / __next__)."},
    {"query_all", as_method(&query_all), kFast,
     "query_all($self, start_ts, end_ts)\n--\n\nQuery and collect all results into a list.\nConvenience wrapper: "
     "equivalent to list(dataset.query(...))."},
    {"flush", as_method(&flush), METH_NOARGS, "flush($self)\n--\n\nFlush pending data to disk."},
    {"read_exist", as_method(&read_exist), kFast,
     "read_exist($self, timestamp)\n--\n\nCheck if index entry exists for a timestamp.\n\nArgs:\n    timestamp: "
     "Exact signed business timestamp.\n\nReturns:\n    bool: True if index entry exists (including filler "
     "entries), False otherwise."},
    {"query_exist", as_method(&query_exist), kFast,
     "query_exist($self, start_ts, end_ts)\n--\n\nCheck existence of index entries in [start_ts, end_ts].\n\n"
     "Args:\n    start_ts: Start timestamp (inclusive).\n    end_ts: End timestamp (inclusive).\n\nReturns:\n    "
     "bytes: Bitmap as bytes; bit i corresponds to start_ts + i."},
    {"read_length", as_method(&read_length), kFast,
     "read_length($self, timestamp)\n--\n\nRead the logical data length for a timestamp.\n\nArgs:\n    "
     "timestamp: Exact signed business timestamp.\n\nReturns:\n    Optional[int]: Data length if record exists, "
     "None if not found, filler, or expired."},
    {"query_length", as_method(&query_length), kFast,
     "query_length($self, start_ts, end_ts)\n--\n\nQuery data lengths in [start_ts, end_ts], returns a lazy "
     "iterator.\n\nYields (timestamp: int, data_len: int) tuples.\nImplements Python iterator protocol "
     "(__iter__ / __next__)."},
    {"query_length_all", as_method(&query_length_all), kFast,
     "query_length_all($self, start_ts, end_ts)\n--\n\nQuery data lengths and collect all results into a list.\n"
     "Convenience wrapper: equivalent to list(dataset.query_length(...))."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"data_dir", get_data_dir, nullptr, "Base directory of this dataset.", nullptr},
    {"id", get_id, nullptr, "Internal dataset ID (used for queue operations).", nullptr},
    {"identifier", get_identifier, nullptr, "Store-assigned numeric dataset identifier.", nullptr},
    {"latest_timestamp", get_latest_timestamp, nullptr,
     "Latest successfully written timestamp (None if the dataset is empty).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyDataset>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {"builtins.Dataset", sizeof(Box), 0, kClassFlags, g_slots};
TypeCell g_class(&g_spec);

}  // namespace

PyTypeObject* dataset_class() { return g_class.get(); }
PyTypeObject* adopt_dataset_class(PyTypeObject* cls) { return g_class.adopt(cls); }

PyObject* make_dataset(Dataset handle, uint64_t id, bool read_only, std::string_view data_dir) {
    return at_boundary([&]() -> PyObject* {
        // The directory is kept as valid UTF-8 text.
        Ref text(py_value(data_dir));
        if (text == nullptr) return nullptr;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (utf8 == nullptr) return nullptr;
        return new_box<PyDataset>(std::string(utf8, static_cast<size_t>(size)), std::move(handle), id, read_only);
    });
}

}  // namespace brenvale::py
