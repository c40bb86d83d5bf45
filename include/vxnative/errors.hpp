// Raising Python exceptions from C++ and turning C++ failures back into
// Python ones at the boundary of every native function.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <initializer_list>
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

// Sets the exception `raise error` raises, by the interpreter's rules: a
// class is called without arguments, an instance is raised as it is,
// anything else is refused. Throws only when calling the class fails.
inline void set_raised(nb::handle error) {
    if (PyExceptionClass_Check(error.ptr())) {
        PyObject *instance = PyObject_CallNoArgs(error.ptr());
        if (!instance)
            throw nb::python_error();
        nb::object held = nb::steal(instance);
        if (!PyExceptionInstance_Check(instance)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         error.ptr(), Py_TYPE(instance));
            return;
        }
        PyErr_SetObject(error.ptr(), instance);
    } else if (PyExceptionInstance_Check(error.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// `raise error`.
[[noreturn]] inline void raise_as_python_does(nb::handle error) {
    set_raised(error);
    throw nb::python_error();
}

// `raise error` as a native function's result: the exception is set and no
// object returned, which the function passes on as it is. Unwinding C++
// frames for an exception costs several times what the raise itself costs,
// so a raise that a caller may meet on every rejected request takes this way.
inline nb::object raised(nb::handle error) {
    set_raised(error);
    return nb::object();
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

template <class From, class To> void widen_characters(const void *source, Py_ssize_t length, void *target) {
    std::copy_n(static_cast<const From *>(source), length, static_cast<To *>(target));
}

// Copies the characters of a str to `target`, the data of a str of width
// `kind`, at least as wide as the part's own.
inline void copy_characters(nb::handle part, void *target, int kind) {
    PyObject *source = part.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(source);
    const void *data = PyUnicode_DATA(source);
    int own_kind = PyUnicode_KIND(source);
    if (own_kind == kind)
        std::memcpy(target, data, static_cast<size_t>(length * kind));
    else if (own_kind == PyUnicode_1BYTE_KIND && kind == PyUnicode_2BYTE_KIND)
        widen_characters<Py_UCS1, Py_UCS2>(data, length, target);
    else if (own_kind == PyUnicode_1BYTE_KIND)
        widen_characters<Py_UCS1, Py_UCS4>(data, length, target);
    else
        widen_characters<Py_UCS2, Py_UCS4>(data, length, target);
}

// The texts joined into one, as an f-string or a chain of + joins strs: one
// allocation, as wide as the widest part.
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (nb::handle part : parts) {
        length += PyUnicode_GET_LENGTH(part.ptr());
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(part.ptr()));
    }
    PyObject *result = PyUnicode_New(length, widest);
    if (!result)
        throw nb::python_error();
    int kind = PyUnicode_KIND(result);
    auto *data = static_cast<char *>(PyUnicode_DATA(result));
    for (nb::handle part : parts) {
        copy_characters(part, data, kind);
        data += PyUnicode_GET_LENGTH(part.ptr()) * kind;
    }
    return nb::steal(result);
}

// What an f-string's replacement field without a format gives: format(value, "").
inline nb::object formatted(nb::handle value) {
    return steal_or_throw(PyObject_Format(value.ptr(), nullptr));
}

// `visit(units, length)` with the code units of a str at their own width.
// The str is immutable, so they stay valid for as long as it is referenced.
template <class Visit> decltype(auto) visit_units(nb::handle text, Visit visit) {
    auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()));
    switch (PyUnicode_KIND(text.ptr())) {
    case PyUnicode_1BYTE_KIND:
        return visit(PyUnicode_1BYTE_DATA(text.ptr()), length);
    case PyUnicode_2BYTE_KIND:
        return visit(PyUnicode_2BYTE_DATA(text.ptr()), length);
    default:
        return visit(PyUnicode_4BYTE_DATA(text.ptr()), length);
    }
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

// The Python exception class nanobind raises for one of its builtin_exceptions.
inline PyObject *builtin_exception_class(const nb::builtin_exception &error) {
    switch (error.type()) {
    case nb::exception_type::stop_iteration:
        return PyExc_StopIteration;
    case nb::exception_type::index_error:
        return PyExc_IndexError;
    case nb::exception_type::key_error:
        return PyExc_KeyError;
    case nb::exception_type::value_error:
        return PyExc_ValueError;
    case nb::exception_type::type_error:
    case nb::exception_type::next_overload: // no other overload to try: the arguments do not fit
        return PyExc_TypeError;
    case nb::exception_type::buffer_error:
        return PyExc_BufferError;
    case nb::exception_type::import_error:
        return PyExc_ImportError;
    case nb::exception_type::attribute_error:
        return PyExc_AttributeError;
    default:
        return PyExc_RuntimeError;
    }
}

// Converts whatever C++ exception is in flight into a Python exception, as
// nanobind translates the exceptions of the functions it binds. Called from
// inside a catch block only.
inline void set_error_from_cpp_exception() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(builtin_exception_class(e), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "a C++ exception of unknown type left a native function");
    }
}

} // namespace vx
