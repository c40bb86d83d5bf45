// The interpreter's number operations for native code, and the bridge
// between exact Python ints and machine integers used by the native
// arithmetic's fast paths.
#pragma once

#include "convert.hpp"

#include <cstdint>
#include <limits>
#include <optional>

namespace vx {

// The value of an exact int whose magnitude is at most `magnitude_limit`,
// the range in which the caller's native arithmetic gives what the
// interpreter gives; nothing for anything else (subclasses of int, a missing
// object, larger values), which then takes the interpreter's route.
inline std::optional<int64_t> native_int(nb::handle value,
                                         int64_t magnitude_limit = std::numeric_limits<int64_t>::max()) {
    if (!value.ptr() || !PyLong_CheckExact(value.ptr()))
        return std::nullopt;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow || number < -magnitude_limit || number > magnitude_limit)
        return std::nullopt;
    return number;
}

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
