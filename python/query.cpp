#include "query.h"

#include <type_traits>
#include <vector>

#include "convert.h"
#include "guards.h"
#include "module_util.h"

namespace brenvale::py {

namespace {

template <QueryItems Items>
using Payload = PyQueryIterator<Items>;
template <QueryItems Items>
using Item = std::conditional_t<Items == QueryItems::Records, Record, RecordLength>;
template <QueryItems Items>
using Box = PyBox<Payload<Items>>;

template <QueryItems Items>
constexpr const char* kClassName = Items == QueryItems::Records ? "QueryIterator" : "QueryLengthIterator";

constexpr const char* kCount[] = {"count"};
template <QueryItems Items>
const Params kSkip{kClassName<Items>, "skip", kCount, 1};
template <QueryItems Items>
const Params kCollectTake{kClassName<Items>, "collect_take", kCount, 1};

template <QueryItems Items>
Result<std::optional<Item<Items>>> next_of(QueryIterator& it) {
    if constexpr (Items == QueryItems::Records)
        return it.next();
    else
        return it.next_length();
}

// Every remaining item, or at most `limit` of them.
template <QueryItems Items>
Result<std::vector<Item<Items>>> collect_of(QueryIterator& it, std::optional<uint64_t> limit) {
    if constexpr (Items == QueryItems::Records)
        return limit ? it.collect_take(*limit) : it.collect_all();
    else
        return limit ? it.collect_take_lengths(*limit) : it.collect_all_lengths();
}


PyObject* poisoned() {
    PyErr_SetString(PyExc_RuntimeError, "query iterator mutex poisoned");
    return nullptr;
}

template <QueryItems Items>
PyObject* iter_self(PyObject* self) noexcept {
    return call_noargs<Payload<Items>>(self, Borrow::None, [](Box<Items>& box) { return Py_NewRef(box.self()); });
}

template <QueryItems Items>
PyObject* iter_next(PyObject* self) noexcept {
    return call_noargs<Payload<Items>>(self, Borrow::None, [](Box<Items>& box) -> PyObject* {
        std::optional<Item<Items>> item;
        std::optional<Error> error;
        const bool usable = with_inner(box.value, [&](std::optional<QueryIterator>& inner) {
            if (!inner) return;
            auto next = next_of<Items>(*inner);
            if (!next.ok())
                error = std::move(next).error();  // the iterator stays open
            else if (!*next)
                inner.reset();  // the end of the range closes it
            else
                item = std::move(**next);
        });
        if (!usable) return poisoned();
        if (error) return runtime_error(*error);
        if (!item) return nullptr;  // end of iteration
        return py_value(*item);
    });
}

template <QueryItems Items>
PyObject* reverse(PyObject* self, PyObject*) noexcept {
    return call_noargs<Payload<Items>>(self, Borrow::None, [](Box<Items>& box) -> PyObject* {
        if (!with_inner(box.value, [](std::optional<QueryIterator>& inner) {
                if (inner) inner->reverse();
            })) {
            return poisoned();
        }
        return Py_NewRef(box.self());
    });
}

template <QueryItems Items>
PyObject* skip(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_fast<Payload<Items>>(
        self, kSkip<Items>, args, nargs, kwnames, Borrow::None, [](Box<Items>& box, const Args& a) -> PyObject* {
            uint64_t count = 0;
            if (!a.u64(0, &count)) return nullptr;
            if (!with_inner(box.value, [count](std::optional<QueryIterator>& inner) {
                    if (inner) inner->skip(count);
                })) {
                return poisoned();
            }
            return Py_NewRef(box.self());
        });
}

// collect_all and collect_take: the engine iterator is taken out first, so the iterator is
// closed whatever the collection gives; the engine work then runs outside the mutex.
template <QueryItems Items>
PyObject* collect(Box<Items>& box, std::optional<uint64_t> limit) {
    std::optional<QueryIterator> taken;
    if (!with_inner(box.value, [&taken](std::optional<QueryIterator>& inner) { taken.swap(inner); }))
        return poisoned();
    if (!taken) return PyList_New(0);
    auto items = collect_of<Items>(*taken, limit);
    taken.reset();
    if (!items.ok()) return runtime_error(items.error());
    return py_value(*items);
}

template <QueryItems Items>
PyObject* collect_all(PyObject* self, PyObject*) noexcept {
    return call_noargs<Payload<Items>>(self, Borrow::None,
                                       [](Box<Items>& box) { return collect<Items>(box, std::nullopt); });
}

template <QueryItems Items>
PyObject* collect_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_fast<Payload<Items>>(self, kCollectTake<Items>, args, nargs, kwnames, Borrow::None,
                                     [](Box<Items>& box, const Args& a) -> PyObject* {
                                         uint64_t count = 0;
                                         if (!a.u64(0, &count)) return nullptr;
                                         return collect<Items>(box, count);
                                     });
}

// Closing a broken iterator does nothing: it is closed already.
template <QueryItems Items>
PyObject* close(PyObject* self, PyObject*) noexcept {
    return call_noargs<Payload<Items>>(self, Borrow::None, [](Box<Items>& box) {
        (void)with_inner(box.value, [](std::optional<QueryIterator>& inner) { inner.reset(); });
        return py_none();
    });
}

template <QueryItems Items>
PyMethodDef g_methods[] = {
    {"reverse", as_method(&reverse<Items>), METH_NOARGS, "reverse($self)\n--\n\n"},
    {"skip", as_method(&skip<Items>), kFast, "skip($self, count)\n--\n\n"},
    {"collect_all", as_method(&collect_all<Items>), METH_NOARGS, "collect_all($self)\n--\n\n"},
    {"collect_take", as_method(&collect_take<Items>), kFast,
     "collect_take($self, count)\n--\n\n"},
    {"close", as_method(&close<Items>), METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

template <QueryItems Items>
PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<Payload<Items>>)},
    {Py_tp_iter, reinterpret_cast<void*>(&iter_self<Items>)},
    {Py_tp_iternext, reinterpret_cast<void*>(&iter_next<Items>)},
    {Py_tp_methods, g_methods<Items>},
    {0, nullptr},
};

template <QueryItems Items>
PyType_Spec g_spec = {Items == QueryItems::Records ? "builtins.QueryIterator" : "builtins.QueryLengthIterator",
                      sizeof(Box<Items>), 0, kClassFlags, g_slots<Items>};

template <QueryItems Items>
TypeCell g_class(&g_spec<Items>);

}  // namespace

PyTypeObject* query_iterator_class() { return g_class<QueryItems::Records>.get(); }
PyTypeObject* query_length_iterator_class() { return g_class<QueryItems::Lengths>.get(); }

PyTypeObject* adopt_query_iterator_class(QueryItems items, PyTypeObject* cls) {
    return items == QueryItems::Records ? g_class<QueryItems::Records>.adopt(cls)
                                        : g_class<QueryItems::Lengths>.adopt(cls);
}

PyObject* make_query_iterator(QueryIterator iterator, QueryItems items) {
    if (items == QueryItems::Records) return new_box<Payload<QueryItems::Records>>(std::move(iterator));
    return new_box<Payload<QueryItems::Lengths>>(std::move(iterator));
}

}  // namespace brenvale::py
