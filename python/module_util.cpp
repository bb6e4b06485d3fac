#include "module_util.h"

namespace brenvale::py {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
    if (all == nullptr) {
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of 'list'", Py_TYPE(all)->tp_name);
        Py_DECREF(all);
        return -1;
    }
    PyObject* key = PyUnicode_FromString(name);
    if (key == nullptr) {
        Py_DECREF(all);
        return -1;
    }
    int rc = PyList_Append(all, key);
    Py_DECREF(all);
    if (rc == 0) rc = PyObject_SetAttr(module, key, value);
    Py_DECREF(key);
    return rc;
}

}  // namespace brenvale::py

namespace brenvale::py {

PyObject* fill_class_cell(std::atomic<PyObject*>& cell, PyObject* candidate) {
    PyObject* expected = nullptr;
    if (cell.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return candidate;
    }
    Py_DECREF(candidate);
    return expected;
}

PyTypeObject* TypeCell::fill(PyObject* candidate) {
    return reinterpret_cast<PyTypeObject*>(fill_class_cell(cell_, candidate));
}

PyTypeObject* TypeCell::make() {
    PyObject* made = PyType_FromSpec(spec_);
    if (made == nullptr) return nullptr;
    return fill(made);
}

PyTypeObject* TypeCell::adopt(PyTypeObject* cls) {
    return fill(Py_NewRef(reinterpret_cast<PyObject*>(cls)));
}

}  // namespace brenvale::py
