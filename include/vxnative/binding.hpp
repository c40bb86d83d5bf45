// Binding the arguments of a call to a native function's parameters, the way
// the interpreter binds them for a Python function, with its TypeErrors.
#pragma once

#include "function_object.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace vx::detail {

constexpr size_t kMaxParams = 16;

inline Py_ssize_t default_count(FunctionObject *self) {
    return self->defaults ? PyTuple_GET_SIZE(self->defaults) : 0;
}

[[noreturn]] inline void raise_too_many_positional(FunctionObject *self, Py_ssize_t given) {
    Py_ssize_t count = static_cast<Py_ssize_t>(self->data->param_names.size());
    Py_ssize_t defaults = default_count(self);
    const char *verb = given == 1 ? "was" : "were";
    if (defaults) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     self->qualname, count - defaults, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", self->qualname, count,
                     count == 1 ? "" : "s", given, verb);
    }
    throw nb::python_error();
}

[[noreturn]] inline void raise_missing(FunctionObject *self, const std::vector<size_t> &missing) {
    const FunctionData &data = *self->data;
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += "'" + data.param_names_utf8[missing[i]] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s", self->qualname, missing.size(),
                 missing.size() == 1 ? "" : "s", names.c_str());
    throw nb::python_error();
}

// The slot of the parameter a keyword names, or -1. Names are compared the
// way the interpreter does: by identity first, then with the keyword's own
// `==` (a str subclass may define it).
inline Py_ssize_t find_param(const FunctionData &data, PyObject *keyword) {
    size_t count = data.param_names.size();
    for (size_t i = 0; i < count; ++i)
        if (data.param_names[i].ptr() == keyword)
            return static_cast<Py_ssize_t>(i);
    for (size_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(keyword, data.param_names[i].ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal > 0)
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// The common short call: positional arguments only, and defaults for all
// the parameters after them. False when the call is of another kind.
inline bool bind_positional_and_defaults(FunctionObject *self, PyObject *const *args, Py_ssize_t nargs,
                                         PyObject *kwnames, PyObject **slots, nb::object &defaults) {
    const FunctionData &data = *self->data;
    Py_ssize_t count = static_cast<Py_ssize_t>(data.param_count);
    if (kwnames || data.has_extra_keywords || nargs > count || !self->defaults)
        return false;
    Py_ssize_t first_default = count - PyTuple_GET_SIZE(self->defaults);
    if (nargs < first_default)
        return false;
    defaults = nb::borrow(self->defaults);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    for (Py_ssize_t i = nargs; i < count; ++i)
        slots[i] = PyTuple_GET_ITEM(defaults.ptr(), i - first_default);
    return true;
}

// Binds positional and keyword arguments to parameter slots the way the
// interpreter does for a Python function, including the order in which it
// reports problems: keywords first, then surplus positionals, then missing.
// Defaults come from `__defaults__` as it is at the call (the last ones of the
// tuple fill the last parameters); `defaults` keeps that tuple alive for the
// call, since Python code run by the call may replace the attribute.
// The call itself takes the caller's own array when every parameter came by
// position; this fills `slots` for every other call.
inline PyObject *const *bind_arguments(FunctionObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                                       PyObject **slots, nb::object &extra_keywords, nb::object &defaults) {
    const FunctionData &data = *self->data;
    size_t count = data.param_count;
    if (bind_positional_and_defaults(self, args, nargs, kwnames, slots, defaults))
        return slots;
    size_t positional = std::min(static_cast<size_t>(nargs), count);
    for (size_t i = 0; i < count; ++i)
        slots[i] = i < positional ? args[i] : nullptr;
    if (data.has_extra_keywords)
        extra_keywords = nb::dict();

    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        Py_ssize_t index = find_param(data, keyword);
        if (index < 0) {
            if (!data.has_extra_keywords)
                raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", self->qualname, keyword);
            if (PyDict_SetItem(extra_keywords.ptr(), keyword, value) < 0)
                throw nb::python_error();
            continue;
        }
        if (slots[index])
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", self->qualname, keyword);
        slots[index] = value;
    }

    if (static_cast<size_t>(nargs) > count)
        raise_too_many_positional(self, nargs);

    if (self->defaults)
        defaults = nb::borrow(self->defaults);
    Py_ssize_t available = defaults.is_valid() ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    Py_ssize_t first_default = static_cast<Py_ssize_t>(count) - available;
    std::vector<size_t> missing;
    for (size_t i = 0; i < count; ++i) {
        if (slots[i])
            continue;
        Py_ssize_t index = static_cast<Py_ssize_t>(i);
        if (index >= first_default)
            slots[i] = PyTuple_GET_ITEM(defaults.ptr(), index - first_default);
        else
            missing.push_back(i);
    }
    if (!missing.empty())
        raise_missing(self, missing);
    return slots;
}

} // namespace vx::detail
