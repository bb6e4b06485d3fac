// Test-only extension `_brenvale_testhooks`: raises engine errors through the module's
// error conversion so that the Python tests can check every kind's class and text, makes
// brenvale.Dataset objects that no store makes (a retention window, a failing journal
// hook), breaks query iterators, and probes the argument binding, the conversions and the
// delay conversion directly.
//
// It links its own copy of the binding code. At import it adopts the classes of the loaded
// `brenvale`, so the objects it makes are brenvale's own: their methods run in brenvale's
// copy of the same code, over the same payload layout.
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache.h"
#include "convert.h"
#include "dataset/dataset.h"
#include "error.h"
#include "exceptions.h"
#include "guards.h"
#include "module_util.h"
#include "py_dataset.h"
#include "py_store.h"
#include "query.h"

namespace brenvale::py {

namespace {

// Builds the engine error of `tag` (the ErrorKind value). `code` is the OS error code of an
// I/O error (0: an I/O error made from `detail` alone) or the version of an
// unsupported-version error; the other kinds take `detail` as their payload.
bool make_error(long tag, const std::string& detail, long code, Error* out) {
    switch (tag) {
        case 0: *out = code != 0 ? Error::io(static_cast<int>(code)) : Error::io_message(detail); return true;
        case 1: *out = Error::invalid_magic(); return true;
        case 2:
            if (code < 0 || code > UINT16_MAX) return false;
            *out = Error::unsupported_version(static_cast<uint16_t>(code));
            return true;
        case 3: *out = Error::mmap(detail); return true;
        case 4: *out = Error::compression(detail); return true;
        case 5: *out = Error::decompression(detail); return true;
        case 6: *out = Error::invalid_data(detail); return true;
        case 7: *out = Error::not_found(detail); return true;
        case 8: *out = Error::expired(detail); return true;
        case 9: *out = Error::already_exists(detail); return true;
        case 10: *out = Error::segment_full(); return true;
        case 11: *out = Error::queue_already_open(detail); return true;
        case 12: *out = Error::queue_not_open(detail); return true;
        case 13: *out = Error::consumer_group_not_found(detail); return true;
        case 14: *out = Error::consumer_group_exists(detail); return true;
        case 15: *out = Error::queue_closed(detail); return true;
        case 16: *out = Error::pending_full(detail); return true;
        default: return false;
    }
}

// raise_engine_error(tag, detail="", code=0)
PyObject* raise_engine_error(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"tag", "detail", "code", nullptr};
    long tag = 0;
    const char* detail = "";
    Py_ssize_t detail_len = 0;
    long code = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "l|s#l", const_cast<char**>(keywords), &tag, &detail,
                                     &detail_len, &code)) {
        return nullptr;
    }
    Error error = Error::segment_full();
    if (!make_error(tag, std::string(detail, static_cast<size_t>(detail_len)), code, &error)) {
        PyErr_Format(PyExc_ValueError, "no engine error for tag %ld and code %ld", tag, code);
        return nullptr;
    }
    return to_py_err(std::move(error));
}

// ---- datasets ----

// A journal hook that fails on purpose: "error" returns an engine error (after the record
// was stored), "throw" throws a C++ exception with a message through the engine call,
// "throw_other" throws one without a message.
class FailingJournal final : public JournalHook {
public:
    explicit FailingJournal(std::string mode) : mode_(std::move(mode)) {}
    Status record_write(uint64_t, const IndexEntry&) override { return fail(); }
    Status record_delete(uint64_t, const IndexEntry&) override { return fail(); }
    Status record_append(uint64_t, const IndexEntry&, uint32_t, uint32_t) override { return fail(); }

private:
    Status fail() {
        if (mode_ == "throw") throw std::runtime_error("journal hook exploded");
        if (mode_ == "throw_other") throw 42;
        return Error::io_message("journal unavailable");
    }
    std::string mode_;
};

// standalone_dataset(root, name, dataset_type, *, index_continuous=False, journal=None,
//                    retention_window=0, timestamp_units_per_seconds=0)
// A brenvale.Dataset (id 1, identifier 1) over the engine dataset <root>/<name>/<dataset_type>,
// created outside any store, for what a store cannot make: a retention window (the store's
// create_dataset never sets one) and a journal hook that fails on purpose.
PyObject* standalone_dataset(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"root", "name", "dataset_type", "index_continuous", "journal",
                                     "retention_window", "timestamp_units_per_seconds", nullptr};
    const char* root = nullptr;
    const char* name = nullptr;
    const char* type = nullptr;
    int continuous = 0;
    const char* journal = nullptr;
    unsigned long long retention = 0;
    unsigned long long units = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sss|$pzKK", const_cast<char**>(keywords), &root, &name, &type,
                                     &continuous, &journal, &retention, &units)) {
        return nullptr;
    }
    DatasetConfig config;
    config.index_continuous = continuous ? 1 : 0;
    config.retention_window = retention;
    config.timestamp_units_per_seconds = units;
    auto created = Dataset::create(DataSetKey{name, type}, std::string(root) + "/" + name + "/" + type, config);
    if (!created.ok()) return to_py_err(std::move(created).error());
    Dataset handle = std::move(created).value();
    DatasetRuntime runtime;
    runtime.block_cache = std::make_shared<BlockCache>(uint64_t{1} << 26);
    if (journal != nullptr) runtime.journal_hook = std::make_shared<FailingJournal>(journal);
    if (Status st = handle.set_identifier(1); !st.ok()) return to_py_err(st.error());
    if (Status st = handle.attach_runtime(std::move(runtime)); !st.ok()) return to_py_err(st.error());
    const std::string data_dir = handle.data_dir();
    return make_dataset(std::move(handle), 1, false, data_dir);
}

// delay_ms(seconds, nanoseconds): the milliseconds that Store.next_background_delay and
// Store.tick_background_tasks report for that delay, from a duration wider than the
// engine's, so that the saturation can be seen.
PyObject* delay_ms_of(PyObject*, PyObject* args) {
    PyObject* seconds_obj = nullptr;
    long long nanos = 0;
    if (!PyArg_ParseTuple(args, "OL", &seconds_obj, &nanos)) return nullptr;
    unsigned long long seconds = PyLong_AsUnsignedLongLong(seconds_obj);
    if (PyErr_Occurred()) return nullptr;
    using Wide = std::chrono::duration<__int128, std::nano>;
    const Wide delay = Wide(static_cast<__int128>(seconds) * 1'000'000'000 + nanos);
    return py_value(delay_ms(delay));
}

// break_iterator(iterator): makes a call fail fatally while it holds the iterator's mutex.
template <QueryItems Items>
void break_one(PyObject* object) {
    auto* box = reinterpret_cast<PyBox<PyQueryIterator<Items>>*>(object);
    try {
        (void)with_inner(box->value, [](std::optional<QueryIterator>&) { throw std::runtime_error("broken"); });
    } catch (const std::runtime_error&) {
    }
}

PyObject* break_iterator(PyObject*, PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == query_iterator_class()) {
        break_one<QueryItems::Records>(object);
        return py_none();
    }
    // QueryLengthIterator is not in brenvale's namespace: adopted from its first instance.
    if (std::string(type->tp_name) == "builtins.QueryLengthIterator" &&
        adopt_query_iterator_class(QueryItems::Lengths, type) == type) {
        break_one<QueryItems::Lengths>(object);
        return py_none();
    }
    PyErr_SetString(PyExc_TypeError, "not a query iterator");
    return nullptr;
}

// ---- binding and conversion probes ----

// A parameter description given as (cls or None, method, positional names, required count,
// ((keyword-only name, required), ...), positional-only count).
struct ProbeParams {
    std::vector<std::string> storage;
    std::vector<const char*> positional;
    std::vector<KeywordParam> keyword_only;
    std::string cls;
    bool has_cls = false;
    std::string method;
    Params params{nullptr, "", {}};

    bool load(PyObject* spec) {
        PyObject* cls_obj = nullptr;
        const char* method_name = nullptr;
        PyObject* pos = nullptr;
        Py_ssize_t required = 0;
        PyObject* kwonly = nullptr;
        Py_ssize_t posonly = 0;
        if (!PyArg_ParseTuple(spec, "OsO!nO!n", &cls_obj, &method_name, &PyTuple_Type, &pos, &required,
                              &PyTuple_Type, &kwonly, &posonly)) {
            return false;
        }
        has_cls = cls_obj != Py_None;
        if (has_cls) {
            const char* c = PyUnicode_AsUTF8(cls_obj);
            if (c == nullptr) return false;
            cls = c;
        }
        method = method_name;
        const Py_ssize_t npos = PyTuple_GET_SIZE(pos);
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwonly);
        if (npos + nkw > static_cast<Py_ssize_t>(Args::kMaxParams)) {
            PyErr_SetString(PyExc_ValueError, "too many parameters");
            return false;
        }
        storage.reserve(static_cast<size_t>(npos + nkw));
        std::vector<int> kw_required;
        for (Py_ssize_t i = 0; i < npos; ++i) {
            const char* n = PyUnicode_AsUTF8(PyTuple_GET_ITEM(pos, i));
            if (n == nullptr) return false;
            storage.emplace_back(n);
        }
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            const char* n = nullptr;
            int req = 0;
            if (!PyArg_ParseTuple(PyTuple_GET_ITEM(kwonly, i), "sp", &n, &req)) return false;
            storage.emplace_back(n);
            kw_required.push_back(req);
        }
        for (Py_ssize_t i = 0; i < npos; ++i) positional.push_back(storage[static_cast<size_t>(i)].c_str());
        for (Py_ssize_t i = 0; i < nkw; ++i)
            keyword_only.push_back({storage[static_cast<size_t>(npos + i)].c_str(), kw_required[static_cast<size_t>(i)] != 0});
        params = Params{has_cls ? cls.c_str() : nullptr, method.c_str(), positional,
                        static_cast<size_t>(required), keyword_only, static_cast<size_t>(posonly)};
        return true;
    }

    // {name: value} of the bound parameters.
    PyObject* bound(const Args& args) const {
        Ref out(PyDict_New());
        if (out == nullptr) return nullptr;
        for (size_t i = 0; i < params.count(); ++i) {
            if (args.get(i) != nullptr && PyDict_SetItemString(out.get(), params.name(i), args.get(i)) < 0)
                return nullptr;
        }
        return out.release();
    }
};

// bind(spec, *args, **kwargs): binds the call's arguments after `spec` as the fast
// calling convention does.
PyObject* bind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "bind() needs a parameter description");
        return nullptr;
    }
    ProbeParams probe;
    if (!probe.load(args[0])) return nullptr;
    Args bound(probe.params);
    if (!bound.bind(args + 1, nargs - 1, kwnames)) return nullptr;
    return probe.bound(bound);
}

// bind_tuple(spec, args, kwargs): binds as a constructor is called (tuple and dict).
PyObject* bind_tuple(PyObject*, PyObject* args) {
    PyObject* spec = nullptr;
    PyObject* tuple = nullptr;
    PyObject* dict = nullptr;
    if (!PyArg_ParseTuple(args, "OO!O", &spec, &PyTuple_Type, &tuple, &dict)) return nullptr;
    ProbeParams probe;
    if (!probe.load(spec)) return nullptr;
    Args bound(probe.params);
    if (!bound.bind(tuple, dict == Py_None ? nullptr : dict)) return nullptr;
    return probe.bound(bound);
}

// convert(kind, value, name="value"): converts `value` as the parameter `name` of the given
// kind and returns the result as Python sees it. For "bytes" the result is
// (bytes, borrowed): whether the exporter's buffer was used without a copy.
PyObject* convert(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    PyObject* value = nullptr;
    const char* name = "value";
    if (!PyArg_ParseTuple(args, "sO|s", &kind, &value, &name)) return nullptr;
    const char* names[] = {name};
    const Params params{nullptr, "convert", names, 1};
    Args a(params);
    PyObject* const call[] = {value};
    if (!a.bind(call, 1, nullptr)) return nullptr;
    const std::string k = kind;
    if (k == "i64") {
        int64_t v = 0;
        return a.i64(0, &v) ? py_value(v) : nullptr;
    }
    if (k == "u64") {
        uint64_t v = 0;
        return a.u64(0, &v) ? py_value(v) : nullptr;
    }
    if (k == "u8") {
        uint8_t v = 0;
        return a.u8(0, &v) ? py_value(v) : nullptr;
    }
    if (k == "u16") {
        uint16_t v = 0;
        return a.u16(0, &v) ? py_value(v) : nullptr;
    }
    if (k == "text") {
        std::string_view v;
        return a.text(0, &v) ? py_value(v) : nullptr;
    }
    if (k == "flag") {
        bool v = false;
        return a.flag(0, &v) ? py_value(v) : nullptr;
    }
    if (k == "bytes") {
        ByteArg v;
        if (!a.bytes(0, &v)) return nullptr;
        return py_pair(py_bytes(v.span()), py_value(v.borrowed()));
    }
    if (k == "optional_u64") {
        std::optional<uint64_t> v;
        return a.optional(0, &v, &Args::u64) ? py_value(v) : nullptr;
    }
    if (k == "dataset") {
        PyTypeObject* cls = dataset_class();
        return cls != nullptr && a.instance(0, cls) ? py_none() : nullptr;
    }
    PyErr_Format(PyExc_ValueError, "unknown kind %s", kind);
    return nullptr;
}

// Fills this extension's class cells with the classes of the loaded `brenvale`.
int exec_hooks(PyObject*) {
    PyObject* brenvale = PyImport_ImportModule("brenvale");
    if (brenvale == nullptr) return -1;
    int rc = 0;
    for (int i = 0; i < kExceptionCount && rc == 0; ++i) {
        const auto id = static_cast<ExceptionId>(i);
        PyObject* cls = PyObject_GetAttrString(brenvale, exception_name(id));
        if (cls == nullptr) {
            rc = -1;
        } else if (!PyExceptionClass_Check(cls) || adopt_exception_class(id, cls) != cls) {
            PyErr_Format(PyExc_RuntimeError, "brenvale.%s cannot be shared", exception_name(id));
            rc = -1;
        }
        Py_XDECREF(cls);
    }
    // The classes whose objects these hooks make or take.
    struct Shared {
        const char* name;
        PyTypeObject* (*adopt)(PyTypeObject*);
    };
    const Shared shared[] = {
        {"Dataset", adopt_dataset_class},
        {"QueryIterator", [](PyTypeObject* cls) { return adopt_query_iterator_class(QueryItems::Records, cls); }},
    };
    for (const Shared& entry : shared) {
        if (rc != 0) break;
        PyObject* cls = PyObject_GetAttrString(brenvale, entry.name);
        if (cls == nullptr) {
            rc = -1;
        } else if (!PyType_Check(cls) ||
                   entry.adopt(reinterpret_cast<PyTypeObject*>(cls)) != reinterpret_cast<PyTypeObject*>(cls)) {
            PyErr_Format(PyExc_RuntimeError, "brenvale.%s cannot be shared", entry.name);
            rc = -1;
        }
        Py_XDECREF(cls);
    }
    Py_DECREF(brenvale);
    return rc;
}

PyMethodDef g_methods[] = {
    {"raise_engine_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&raise_engine_error)),
     METH_VARARGS | METH_KEYWORDS, "raise_engine_error(tag, detail='', code=0)\n--\n\n"},
    {"standalone_dataset", as_method(&standalone_dataset), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"delay_ms", as_method(&delay_ms_of), METH_VARARGS, nullptr},
    {"break_iterator", as_method(&break_iterator), METH_O, nullptr},
    {"bind", as_method(&bind), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"bind_tuple", as_method(&bind_tuple), METH_VARARGS, nullptr},
    {"convert", as_method(&convert), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_hooks)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "_brenvale_testhooks", "", 0, g_methods, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace brenvale::py

PyMODINIT_FUNC PyInit__brenvale_testhooks(void) { return PyModuleDef_Init(&brenvale::py::g_def); }
