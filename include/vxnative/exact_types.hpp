// Guards on exact types. A value of exactly a built-in type cannot be
// changed by Python code (its type is immutable), so native code may read it
// or do what its type's C implementation does without running any Python
// code; anything else (a subclass, a missing object, a number too large)
// takes the plain route.
#pragma once

#include "errors.hpp"

#include <cstdint>
#include <limits>
#include <optional>

namespace vx::guard {

// The value of an exact int whose magnitude is at most `magnitude_limit`, the
// range in which the caller's native arithmetic gives what the interpreter
// gives; nothing for anything else (subclasses of int, a missing object,
// larger values), which then takes the plain route.
inline std::optional<int64_t> exact_int(nb::handle value,
                                        int64_t magnitude_limit = std::numeric_limits<int64_t>::max()) {
    if (!value.ptr() || !PyLong_CheckExact(value.ptr()))
        return std::nullopt;
    auto *integer = reinterpret_cast<PyLongObject *>(value.ptr());
    long long number = 0;
    if (PyUnstable_Long_IsCompact(integer)) { // one digit: read in place, as the interpreter's own fast paths do
        number = PyUnstable_Long_CompactValue(integer);
    } else {
        int overflow = 0;
        number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow)
            return std::nullopt;
    }
    if (number < -magnitude_limit || number > magnitude_limit)
        return std::nullopt;
    return number;
}

// An exact float, or an exact int of at most `int_limit` as its double.
inline std::optional<double> exact_real(nb::handle value, int64_t int_limit) {
    if (value.ptr() && PyFloat_CheckExact(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    if (std::optional<int64_t> integer = exact_int(value, int_limit))
        return static_cast<double>(*integer);
    return std::nullopt;
}

// True when `object` is exactly of the built-in type `type`. Such a type
// cannot be changed, so a method looked up on the object is the type's own,
// and calling its C API counterpart does what calling the method does.
inline bool exact_instance(nb::handle object, PyTypeObject *type) {
    return object.ptr() && Py_IS_TYPE(object.ptr(), type);
}

// True when `found` is the built-in type `type` itself: calling it then does
// what that type's C implementation does, which native code may do in its
// place.
inline bool is_builtin_type(nb::handle found, PyTypeObject *type) {
    return found.ptr() == reinterpret_cast<PyObject *>(type);
}

// True when every key of the exact dict is an exact str: then a lookup of an
// exact str compares strs and nothing else, so it runs no Python code.
inline bool keyed_by_exact_str(PyObject *dict) {
    if (!PyDict_CheckExact(dict))
        return false;
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    return true;
}

// The value under an exact str key of a dict keyed by exact strs (checked
// by the caller), or null. Such a lookup cannot fail or run code.
inline PyObject *pure_item(PyObject *dict, nb::handle key) {
    return PyDict_GetItemWithError(dict, key.ptr());
}

} // namespace vx::guard
