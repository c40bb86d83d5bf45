// `a, b = value` for native code: a tuple or list of the right length is
// read directly, anything else is iterated; wrong lengths raise the
// package's unpacking errors.
#pragma once

#include "calls.hpp"
#include "convert.hpp"

#include <utility>

namespace vx {

inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject *sequence = value.ptr();
    if (PyTuple_CheckExact(sequence) || PyList_CheckExact(sequence)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        if (size < 2)
            raise_too_few_to_unpack(size);
        if (size > 2)
            raise_too_many_to_unpack(2);
        PyObject **items = PySequence_Fast_ITEMS(sequence);
        return {nb::borrow(items[0]), nb::borrow(items[1])};
    }
    nb::object iterator = nb::steal(PyObject_GetIter(sequence));
    if (!iterator.is_valid()) {
        // The interpreter's own wording for a value that cannot be iterated.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(sequence)->tp_iter && !PySequence_Check(sequence)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(sequence)->tp_name);
        }
        throw nb::python_error();
    }
    nb::object items[2];
    for (Py_ssize_t taken = 0; taken < 2; ++taken) {
        items[taken] = next(iterator);
        if (!items[taken].is_valid()) {
            throw_if_error();
            raise_too_few_to_unpack(taken);
        }
    }
    nb::object surplus = next(iterator);
    if (surplus.is_valid())
        raise_too_many_to_unpack(2);
    throw_if_error();
    return {std::move(items[0]), std::move(items[1])};
}

} // namespace vx
