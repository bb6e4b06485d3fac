#include "results.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// The parts of a consumer group's inspect answer, each copied when its object is made.
struct ConsumerInfo {
    std::string group_name;
    uint16_t running_expired_seconds = 0;
    uint8_t max_retry_count = 0;
};

struct ConsumerState {
    int64_t processed_ts = 0;
    std::vector<PendingEntry> pending_entries;
};

struct PyConsumerInfo {
    static PyTypeObject* type() { return consumer_info_class(); }
    ConsumerInfo snapshot;
};

struct PyConsumerPendingEntry {
    static PyTypeObject* type() { return consumer_pending_entry_class(); }
    PendingEntry snapshot;
};

struct PyConsumerState {
    static PyTypeObject* type() { return consumer_state_class(); }
    ConsumerState snapshot;
};

struct PyConsumerInspectResult {
    static PyTypeObject* type() { return consumer_inspect_result_class(); }
    ConsumerInspect snapshot;
};

// The getter of one field of the held snapshot, converted by its type.
template <typename Payload, auto Member>
PyObject* field(PyObject* self, void*) noexcept {
    return call_noargs<Payload>(self, Borrow::None,
                                [](PyBox<Payload>& box) { return py_value(box.value.snapshot.*Member); });
}

// A flag shown as the int 0 or 1.
template <typename Payload, auto Member>
PyObject* flag_as_int(PyObject* self, void*) noexcept {
    return call_noargs<Payload>(self, Borrow::None, [](PyBox<Payload>& box) {
        return py_value(static_cast<uint8_t>(box.value.snapshot.*Member ? 1 : 0));
    });
}

// A new inner object holding a copy of one part of the snapshot.
template <typename Payload, typename Inner, auto Member>
PyObject* part(PyObject* self, void*) noexcept {
    return call_noargs<Payload>(self, Borrow::None,
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

// ---- the queue consumer results ----

PyObject* consumer_info(PyObject* self, void*) noexcept {
    return call_noargs<PyConsumerInspectResult>(self, Borrow::None, [](PyBox<PyConsumerInspectResult>& box) {
        const ConsumerInspect& held = box.value.snapshot;
        return new_box<PyConsumerInfo>(
            ConsumerInfo{held.group_name, held.config.running_expired_seconds, held.config.max_retry_count});
    });
}

PyObject* consumer_state(PyObject* self, void*) noexcept {
    return call_noargs<PyConsumerInspectResult>(self, Borrow::None, [](PyBox<PyConsumerInspectResult>& box) {
        const ConsumerInspect& held = box.value.snapshot;
        return new_box<PyConsumerState>(ConsumerState{held.committed, held.pending});
    });
}

PyObject* pending_entries(PyObject* self, void*) noexcept {
    return call_noargs<PyConsumerState>(self, Borrow::None, [](PyBox<PyConsumerState>& box) {
        return py_list(box.value.snapshot.pending_entries,
                       [](const PendingEntry& entry) { return new_box<PyConsumerPendingEntry>(entry); });
    });
}

template <auto Member>
constexpr auto group_info = field<PyConsumerInfo, Member>;
template <auto Member>
constexpr auto pending = field<PyConsumerPendingEntry, Member>;

PyGetSetDef g_consumer_info_getset[] = {
    {"group_name", group_info<&ConsumerInfo::group_name>, nullptr, nullptr, nullptr},
    {"running_expired_seconds", group_info<&ConsumerInfo::running_expired_seconds>, nullptr, nullptr, nullptr},
    {"max_retry_count", group_info<&ConsumerInfo::max_retry_count>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef g_pending_getset[] = {
    {"timestamp", pending<&PendingEntry::timestamp>, nullptr, nullptr, nullptr},
    {"start_time", pending<&PendingEntry::running_since>, nullptr, nullptr, nullptr},
    {"status", pending<&PendingEntry::status>, nullptr, nullptr, nullptr},
    {"retry_count", pending<&PendingEntry::attempts>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef g_consumer_state_getset[] = {
    {"processed_ts", field<PyConsumerState, &ConsumerState::processed_ts>, nullptr, nullptr, nullptr},
    {"pending_entries", pending_entries, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef g_consumer_inspect_getset[] = {
    {"info", consumer_info, nullptr, nullptr, nullptr},
    {"state", consumer_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_consumer_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Public configuration for a dataset queue consumer group.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyConsumerInfo>)},
    {Py_tp_getset, g_consumer_info_getset},
    {0, nullptr},
};

PyType_Slot g_pending_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pending queue record state returned by DatasetQueueConsumer.inspect().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyConsumerPendingEntry>)},
    {Py_tp_getset, g_pending_getset},
    {0, nullptr},
};

PyType_Slot g_consumer_state_slots[] = {
    {Py_tp_doc, const_cast<char*>("Durable state for a dataset queue consumer group.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyConsumerState>)},
    {Py_tp_getset, g_consumer_state_getset},
    {0, nullptr},
};

PyType_Slot g_consumer_inspect_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result of DatasetQueueConsumer.inspect().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<PyConsumerInspectResult>)},
    {Py_tp_getset, g_consumer_inspect_getset},
    {0, nullptr},
};

PyType_Spec g_consumer_info_spec = {"builtins.DatasetQueueConsumerInfo", sizeof(PyBox<PyConsumerInfo>), 0,
                                    kClassFlags, g_consumer_info_slots};
PyType_Spec g_pending_spec = {"builtins.DatasetQueueConsumerPendingEntry", sizeof(PyBox<PyConsumerPendingEntry>),
                              0, kClassFlags, g_pending_slots};
PyType_Spec g_consumer_state_spec = {"builtins.DatasetQueueConsumerState", sizeof(PyBox<PyConsumerState>), 0,
                                     kClassFlags, g_consumer_state_slots};
PyType_Spec g_consumer_inspect_spec = {"builtins.DatasetQueueConsumerInspectResult",
                                       sizeof(PyBox<PyConsumerInspectResult>), 0, kClassFlags,
                                       g_consumer_inspect_slots};
TypeCell g_consumer_info_class(&g_consumer_info_spec);
TypeCell g_pending_class(&g_pending_spec);
TypeCell g_consumer_state_class(&g_consumer_state_spec);
TypeCell g_consumer_inspect_class(&g_consumer_inspect_spec);

}  // namespace

PyTypeObject* dataset_info_class() { return g_info_class.get(); }
PyTypeObject* dataset_state_class() { return g_state_class.get(); }
PyTypeObject* dataset_inspect_result_class() { return g_inspect_class.get(); }
PyTypeObject* consumer_info_class() { return g_consumer_info_class.get(); }
PyTypeObject* consumer_pending_entry_class() { return g_pending_class.get(); }
PyTypeObject* consumer_state_class() { return g_consumer_state_class.get(); }
PyTypeObject* consumer_inspect_result_class() { return g_consumer_inspect_class.get(); }

PyObject* make_inspect_result(DataSetInspectResult result) {
    result.state.retention_floor.reset();
    return new_box<PyDataSetInspectResult>(std::move(result));
}

PyObject* make_consumer_inspect_result(ConsumerInspect result) {
    return new_box<PyConsumerInspectResult>(std::move(result));
}

}  // namespace brenvale::py
