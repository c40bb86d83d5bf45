// Raising Python exceptions from C++ and turning C++ failures back into
// Python ones at the boundary of every native function.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdarg>
#include <new>
#include <stdexcept>

namespace vx {

namespace nb = nanobind;

// Sets a Python exception from a printf-style message and unwinds to the
// nearest native function boundary, which hands it to the interpreter.
// The interpreter takes only ASCII format strings: pass other text through a
// %s (UTF-8) or %U (str object) argument.
[[noreturn]] inline void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

// Raises `type(value)` with an arbitrary object as the single argument.
[[noreturn]] inline void raise_object(PyObject *type, nb::handle value) {
    PyErr_SetObject(type, value.ptr());
    throw nb::python_error();
}

// Throws when a C API call has reported an error.
inline void throw_if_error() {
    if (PyErr_Occurred())
        throw nb::python_error();
}

// Takes ownership of a new reference from a C API call, throwing on NULL.
inline nb::object steal_or_throw(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// Adds a note to the exception that is currently set.
inline void add_note_to_current_error(const char *note) {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc)
        return;
    PyObject *result = PyObject_CallMethod(exc, "add_note", "s", note);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

// Converts whatever C++ exception is in flight into a Python exception.
// Called from inside a catch block only.
inline void set_error_from_cpp_exception() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "unable to convert a value between Python and C++");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a native function");
    }
}

} // namespace vx
