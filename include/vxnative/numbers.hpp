// The interpreter's number operations for native code.
#pragma once

#include "convert.hpp"

#include <cstdint>

namespace vx {

inline nb::object new_int(int64_t value) {
    return steal_or_throw(PyLong_FromLongLong(value));
}

// `int(value)`.
inline nb::object int_of(nb::handle value) {
    return steal_or_throw(PyNumber_Long(value.ptr()));
}

// `a <op> b` for a binary number operation such as PyNumber_TrueDivide.
inline nb::object number_op(binaryfunc op, nb::handle a, nb::handle b) {
    return steal_or_throw(op(a.ptr(), b.ptr()));
}

// The object `a <op> b` gives for a comparison operator, before anything
// asks for its truth value.
inline nb::object comparison(nb::handle a, nb::handle b, int op) {
    return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// `a <op> b` reduced to its truth value, without the identity shortcut of
// PyObject_RichCompareBool, as the comparison operators behave.
inline bool compare(nb::handle a, nb::handle b, int op) {
    return truth(comparison(a, b, op));
}

} // namespace vx
