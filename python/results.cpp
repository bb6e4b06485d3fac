#include "results.h"

#include <utility>

#include "convert.h"
#include "guards.h"
#include "module_util.h"

namespace brenvale::py {

namespace {

struct PyDataSetInfo {
    static PyTypeObject* type() { return dataset_info_class(); }
    DataSetInfo snapshot;
};

struct PyDataSetState {
    static PyTypeObject* type() { return dataset_state_class(); }
    DataSetState snapshot;
};

struct PyDataSetInspectResult {
    static PyTypeObject* type() { return dataset_inspect_result_class(); }
    DataSetInspectResult snapshot;
};

// The getter of one field of the held snapshot, converted by its type.
template <typename Payload, auto Member>
PyObject* field(PyObject* self, void*) noexcept {
    return call_noargs<Payload>(self, Borrow::Shared,
                                [](PyBox<Payload>& box) { return py_value(box.value.snapshot.*Member); });
}

// A flag shown as the int 0 or 1.
template <typename Payload, auto Member>
PyObject* flag_as_int(PyObject* self, void*) noexcept {
    return call_noargs<Payload>(self, Borrow::Shared, [](PyBox<Payload>& box) {
        return py_value(static_cast<uint8_t>(box.value.snapshot.*Member ? 1 : 0));
    });
}

// A new inner object holding a copy of one part of the snapshot.
template <typename Payload, typename Inner, auto Member>
PyObject* part(PyObject* self, void*) noexcept {
    return call_noargs<Payload>(self, Borrow::Shared,
                                [](PyBox<Payload>& box) { return new_box<Inner>(box.value.snapshot.*Member); });
}

// ---- DataSetInfo ----

template <auto Member>
constexpr auto info = field<PyDataSetInfo, Member>;

PyGetSetDef g_info_getset[] = {
    {"name", info<&DataSetInfo::name>, nullptr, "Dataset name", nullptr},
    {"dataset_type", info<&DataSetInfo::dataset_type>, nullptr, "Dataset type", nullptr},
    {"base_dir", info<&DataSetInfo::base_dir>, nullptr, "Dataset directory path", nullptr},
    {"identifier", info<&DataSetInfo::identifier>, nullptr, "Store-assigned numeric dataset identifier", nullptr},
    {"data_segment_size", info<&DataSetInfo::data_segment_size>, nullptr, "Data segment file size limit (bytes)",
     nullptr},
    {"index_segment_size", info<&DataSetInfo::index_segment_size>, nullptr,
     "Index segment file size limit (bytes)", nullptr},
    {"initial_data_segment_size", info<&DataSetInfo::initial_data_segment_size>, nullptr,
     "Initial data segment file size (bytes)", nullptr},
    {"initial_index_segment_size", info<&DataSetInfo::initial_index_segment_size>, nullptr,
     "Initial index segment file size (bytes)", nullptr},
    {"compress_type", info<&DataSetInfo::compress_type>, nullptr, "Compression algorithm type (0=zstd, 1=deflate)",
     nullptr},
    {"compress_level", info<&DataSetInfo::compress_level>, nullptr, "Compression level (0-9)", nullptr},
    {"index_continuous", flag_as_int<PyDataSetInfo, &DataSetInfo::index_continuous>, nullptr,
     "Index mode: 0=sparse, 1=continuous", nullptr},
    {"retention_window", info<&DataSetInfo::retention_window>, nullptr,
     "Data retention window (same unit as timestamp, 0=no limit)", nullptr},
    {"timestamp_units_per_seconds", info<&DataSetInfo::timestamp_units_per_seconds>, nullptr,
     "Timestamp units per Unix second (0=legacy retention)", nullptr},
    {"enable_journal", info<&DataSetInfo::enable_journal>, nullptr,
     "Whether this dataset records journal entries when Store journal is enabled", nullptr},
    {"create_time", info<&DataSetInfo::create_time>, nullptr, "Dataset creation time (Unix milliseconds)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Immutable dataset configuration info.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyDataSetInfo>)},
    {Py_tp_getset, g_info_getset},
    {0, nullptr},
};

PyType_Spec g_info_spec = {"builtins.DataSetInfo", sizeof(PyBox<PyDataSetInfo>), 0, kClassFlags, g_info_slots};
TypeCell g_info_class(&g_info_spec);

// ---- DataSetState ----

template <auto Member>
constexpr auto state = field<PyDataSetState, Member>;

PyGetSetDef g_state_getset[] = {
    {"latest_written_timestamp", state<&DataSetState::latest_written_timestamp>, nullptr,
     "Highest written timestamp", nullptr},
    {"open_data_segments", state<&DataSetState::open_data_segments>, nullptr,
     "Number of currently open data segments", nullptr},
    {"data_segments", state<&DataSetState::data_segments>, nullptr, "Total number of data segments", nullptr},
    {"total_record_count", state<&DataSetState::total_record_count>, nullptr,
     "Total record count across all data segments", nullptr},
    {"total_data_size", state<&DataSetState::total_data_size>, nullptr,
     "Total used space across all data segments (bytes)", nullptr},
    {"total_uncompressed_size", state<&DataSetState::total_uncompressed_size>, nullptr,
     "Total uncompressed size across all data segments (bytes)", nullptr},
    {"total_invalid_record_count", state<&DataSetState::total_invalid_record_count>, nullptr,
     "Total invalid record count across all data segments", nullptr},
    {"min_timestamp", state<&DataSetState::min_timestamp>, nullptr,
     "Global minimum timestamp from the index-visible range", nullptr},
    {"max_timestamp", state<&DataSetState::max_timestamp>, nullptr,
     "Global maximum timestamp from the index-visible range", nullptr},
    {"open_index_segments", state<&DataSetState::open_index_segments>, nullptr,
     "Number of currently open index segments", nullptr},
    {"index_segments", state<&DataSetState::index_segments>, nullptr, "Total number of index segments", nullptr},
    {"pending_index_entries", state<&DataSetState::pending_index_entries>, nullptr,
     "Number of in-memory buffered index entries", nullptr},
    {"base_timestamp", state<&DataSetState::base_timestamp>, nullptr, "Index base timestamp (None if no data)",
     nullptr},
    {"read_only", state<&DataSetState::read_only>, nullptr, "Whether the dataset is in read-only mode", nullptr},
    {"has_block_cache", state<&DataSetState::has_block_cache>, nullptr, "Whether BlockCache is enabled", nullptr},
    {"has_journal", state<&DataSetState::has_journal>, nullptr, "Whether Journal is enabled", nullptr},
    {"has_queue", state<&DataSetState::has_queue>, nullptr, "Whether the dataset has an associated Queue", nullptr},
    {"queue_consumer_groups", state<&DataSetState::queue_consumer_groups>, nullptr,
     "Number of queue consumer groups", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_state_slots[] = {
    {Py_tp_doc, const_cast<char*>("Mutable dataset state info.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyDataSetState>)},
    {Py_tp_getset, g_state_getset},
    {0, nullptr},
};

PyType_Spec g_state_spec = {"builtins.DataSetState", sizeof(PyBox<PyDataSetState>), 0, kClassFlags,
                            g_state_slots};
TypeCell g_state_class(&g_state_spec);

// ---- DataSetInspectResult ----

PyGetSetDef g_inspect_getset[] = {
    {"info", part<PyDataSetInspectResult, PyDataSetInfo, &DataSetInspectResult::info>, nullptr,
     "Immutable configuration info", nullptr},
    {"state", part<PyDataSetInspectResult, PyDataSetState, &DataSetInspectResult::state>, nullptr,
     "Mutable current state", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_inspect_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result of `Store.inspect_dataset()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyDataSetInspectResult>)},
    {Py_tp_getset, g_inspect_getset},
    {0, nullptr},
};

PyType_Spec g_inspect_spec = {"builtins.DataSetInspectResult", sizeof(PyBox<PyDataSetInspectResult>), 0,
                              kClassFlags, g_inspect_slots};
TypeCell g_inspect_class(&g_inspect_spec);

}  // namespace

PyTypeObject* dataset_info_class() { return g_info_class.get(); }
PyTypeObject* dataset_state_class() { return g_state_class.get(); }
PyTypeObject* dataset_inspect_result_class() { return g_inspect_class.get(); }

PyObject* make_inspect_result(DataSetInspectResult result) {
    result.state.retention_floor.reset();
    return new_box<PyDataSetInspectResult>(std::move(result));
}

}  // namespace brenvale::py
