// The interpreter's number operations for native code, and the bridge
// between exact Python ints and machine integers used by the native
// arithmetic's fast paths.
#pragma once

#include "convert.hpp"

#include <cstdint>
#include <optional>

namespace vx {

// The value of an exact int that fits in 64 bits; nothing for anything else
// (subclasses of int included), which then takes the interpreter's route.
inline std::optional<int64_t> exact_int64(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr()))
        return std::nullopt;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow)
        return std::nullopt;
    return number;
}

inline nb::object new_int(int64_t value) { return steal_or_throw(PyLong_FromLongLong(value)); }

// `a <op> b` for a binary number operation such as PyNumber_TrueDivide.
inline nb::object number_op(binaryfunc op, nb::handle a, nb::handle b) { return steal_or_throw(op(a.ptr(), b.ptr())); }

// `a <op> b` reduced to its truth value, without the identity shortcut of
// PyObject_RichCompareBool, as the comparison operators behave.
inline bool compare(nb::handle a, nb::handle b, int op) {
    nb::object result = steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    return truth(result);
}

} // namespace vx
