// Argument and return-value conversions with the messages that callers of
// declared-type parameters see.
#pragma once

#include "errors.hpp"

namespace vx {

inline const char *given_type_name(nb::handle obj) {
    return Py_TYPE(obj.ptr())->tp_name;
}

inline constexpr const char *kSubclassNote =
    "Note: subclasses of built-in types are not accepted; pass an object of the exact type.";

[[noreturn]] inline void raise_incorrect_type(const char *param, const char *expected, nb::handle given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
                 given_type_name(given));
    throw nb::python_error();
}

// Like raise_incorrect_type, adding the note for subclasses of the expected
// built-in type, whose instances look acceptable but are refused.
[[noreturn]] inline void raise_not_exact(const char *param, const char *expected, nb::handle given,
                                         PyTypeObject *expected_type) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
                 given_type_name(given));
    if (PyObject_TypeCheck(given.ptr(), expected_type))
        add_note_to_current_error(kSubclassNote);
    throw nb::python_error();
}

// `str` parameter: only an exact str.
inline nb::str exact_str(const char *param, nb::handle value) {
    if (!PyUnicode_CheckExact(value.ptr()))
        raise_not_exact(param, "str", value, &PyUnicode_Type);
    return nb::borrow<nb::str>(value);
}

// `Optional[str]` parameter: an exact str or None.
inline nb::object optional_str(const char *param, nb::handle value) {
    if (value.is_none())
        return nb::none();
    return exact_str(param, value);
}

// `bytes` parameter: only an exact bytes object.
inline nb::bytes exact_bytes(const char *param, nb::handle value) {
    if (!PyBytes_CheckExact(value.ptr()))
        raise_not_exact(param, "bytes", value, &PyBytes_Type);
    return nb::borrow<nb::bytes>(value);
}

// True when `int()` on the object goes through the numeric protocol rather
// than text parsing.
inline bool has_numeric_protocol(nb::handle value) {
    PyNumberMethods *number = Py_TYPE(value.ptr())->tp_as_number;
    return number && (number->nb_int || number->nb_index || number->nb_float);
}

// `int` parameter: an exact int unchanged, any other number through int(),
// anything else refused.
inline nb::int_ integer(const char *param, nb::handle value) {
    if (PyLong_CheckExact(value.ptr()))
        return nb::borrow<nb::int_>(value);
    if (!has_numeric_protocol(value))
        raise_incorrect_type(param, "int", value);
    return nb::steal<nb::int_>(steal_or_throw(PyNumber_Long(value.ptr())).release());
}

// `float` parameter: the interpreter's own float conversion and errors.
inline double real(nb::handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

// `bool` parameter: the truth value of any object.
inline bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

// Declared `str` result: an exact str or None.
inline nb::object checked_str_result(nb::object result) {
    if (!result.is_none() && !PyUnicode_CheckExact(result.ptr()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", "str", given_type_name(result));
    return result;
}

// Declared `int` result: an exact int, or another number converted by int().
inline nb::object checked_int_result(nb::object result) {
    if (PyLong_CheckExact(result.ptr()))
        return result;
    if (!has_numeric_protocol(result))
        raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", given_type_name(result));
    return steal_or_throw(PyNumber_Long(result.ptr()));
}

// Errors of unpacking a sequence of the wrong length into a fixed number of
// names.
[[noreturn]] inline void raise_too_few_to_unpack(Py_ssize_t got) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

[[noreturn]] inline void raise_too_many_to_unpack(Py_ssize_t expected) {
    raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

} // namespace vx
