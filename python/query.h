// The lazy query iterators handed out by Dataset.query (QueryIterator, items
// (timestamp, data)) and Dataset.query_length (QueryLengthIterator, items
// (timestamp, data_len)). Both wrap one engine QueryIterator behind a mutex; the iterator
// is open while it holds one and closed once it has dropped it.
#pragma once

#include <Python.h>

#include <mutex>
#include <optional>
#include <utility>

#include "dataset/dataset.h"

namespace brenvale::py {

enum class QueryItems { Records, Lengths };

// The class objects (borrowed), built on first use; nullptr with a Python error set.
// QueryLengthIterator is not added to the module.
PyTypeObject* query_iterator_class();
PyTypeObject* query_length_iterator_class();
// Share the classes of an already loaded `brenvale` (see TypeCell::adopt).
PyTypeObject* adopt_query_iterator_class(QueryItems items, PyTypeObject* cls);

// A new open iterator object of the class for `items` that owns `iterator`.
PyObject* make_query_iterator(QueryIterator iterator, QueryItems items);

// The payload of an iterator object.
template <QueryItems Items>
struct PyQueryIterator {
    static PyTypeObject* type() {
        return Items == QueryItems::Records ? query_iterator_class() : query_length_iterator_class();
    }
    explicit PyQueryIterator(QueryIterator iterator) : inner(std::move(iterator)) {}

    std::mutex mu;
    // Set when a call failed fatally while holding the mutex; the engine iterator is then
    // gone and every later call but close() raises RuntimeError.
    bool broken = false;
    std::optional<QueryIterator> inner;  // present while open
};

// Runs fn(inner) under the iterator's mutex, unless the mutex is broken (false). A C++
// exception escaping fn breaks the mutex and closes the iterator on its way out. No Python
// code may run under the mutex: a re-entrant call from the same thread would wait forever.
template <QueryItems Items, typename Fn>
[[nodiscard]] bool with_inner(PyQueryIterator<Items>& it, Fn&& fn) {
    std::lock_guard<std::mutex> lock(it.mu);
    if (it.broken) return false;
    try {
        fn(it.inner);
    } catch (...) {
        it.broken = true;
        it.inner.reset();
        throw;
    }
    return true;
}

}  // namespace brenvale::py
