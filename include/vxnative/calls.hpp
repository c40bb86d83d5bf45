// Calling Python objects from native code with positional and keyword
// arguments, the keyword names being interned str objects of the module
// (never C strings: those would need nanobind's own per-process runtime,
// which the modules do not start).
#pragma once

#include "errors.hpp"
#include "thread_end.hpp"

#include <initializer_list>

namespace vx {

struct Keyword {
    nb::handle name;
    nb::handle value;
};

// `(first, second)`: a pair built directly (nanobind's make_tuple converts
// each element through its casters first, and PyTuple_Pack walks varargs).
inline nb::object pair(nb::handle first, nb::handle second) {
    nb::object tuple = steal_or_throw(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.ptr(), 0, Py_NewRef(first.ptr()));
    PyTuple_SET_ITEM(tuple.ptr(), 1, Py_NewRef(second.ptr()));
    return tuple;
}

// `callable(*positional, **{name: value, ...})`.
inline nb::object call(nb::handle callable, std::initializer_list<nb::handle> positional,
                       std::initializer_list<Keyword> keywords = {}) {
    constexpr size_t kMaxArguments = 8;
    size_t count = positional.size() + keywords.size();
    if (count > kMaxArguments)
        raise(PyExc_SystemError, "too many arguments for a native call");
    PyObject *stack[kMaxArguments + 1] = {nullptr};
    size_t next = 1;
    for (nb::handle value : positional)
        stack[next++] = value.ptr();
    nb::object names;
    if (keywords.size()) {
        names = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t index = 0;
        for (const Keyword &keyword : keywords) {
            PyTuple_SET_ITEM(names.ptr(), index++, Py_NewRef(keyword.name.ptr()));
            stack[next++] = keyword.value.ptr();
        }
    }
    size_t positional_count = positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return steal_or_throw(
        into_python([&] { return PyObject_Vectorcall(callable.ptr(), stack + 1, positional_count, names.ptr()); }));
}

// `object.name(*arguments)`, the attribute looked up and called in one step
// as Python code calls a method, without making a bound method. The name is
// looked up after the arguments are evaluated, where Python looks it up
// first: use it only with arguments that are constants or values at hand.
inline nb::object call_method(nb::handle object, nb::handle name, std::initializer_list<nb::handle> arguments = {}) {
    constexpr size_t kMaxArguments = 3;
    if (arguments.size() > kMaxArguments)
        raise(PyExc_SystemError, "too many arguments for a native method call");
    PyObject *stack[1 + kMaxArguments] = {object.ptr()};
    size_t count = 1;
    for (nb::handle argument : arguments)
        stack[count++] = argument.ptr();
    return steal_or_throw(into_python([&] { return PyObject_VectorcallMethod(name.ptr(), stack, count, nullptr); }));
}

// `next(iterator)`, or nothing at its end or when it raised (the error is
// then set). An iterator may run Python code: a file reading its next line
// gives the interpreter's lock up.
inline nb::object next(nb::handle iterator) {
    return nb::steal(into_python([&] { return PyIter_Next(iterator.ptr()); }));
}

// `object.name = value` for a name interned by the module: the type's own
// slot, which is what PyObject_SetAttr calls after interning the name anew.
inline void set_attribute(nb::handle object, nb::handle name, nb::handle value) {
    setattrofunc set = Py_TYPE(object.ptr())->tp_setattro;
    int status =
        set ? set(object.ptr(), name.ptr(), value.ptr()) : PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr());
    if (status < 0)
        throw nb::python_error();
}

} // namespace vx
