// The attributes of a native function that Python code reads and writes,
// each accepting what the same attribute of a Python function accepts.
#pragma once

#include "calls.hpp"
#include "module_state.hpp"

namespace vx::detail {

// A code object describing the parameters, for the tools that read a
// function's signature from `__code__` (inspect, with its evaluation of
// annotation strings). Its body is the interpreter's empty one, which raises
// AssertionError: the native function runs its implementation instead. Like
// a compiled function's, it cannot be replaced. Made once per function, on
// first read.
inline nb::object native_code(FunctionObject *self) {
    FunctionData &data = *self->data;
    if (data.native_code)
        return data.native_code;
    const Names &names = data.state->names;
    nb::object empty = steal_or_throw(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(PyUnicode_AsUTF8(data.source_file.ptr()), "<native>", data.source_line)));
    size_t count = data.param_names.size();
    nb::object parameters = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(count + data.has_extra_keywords)));
    for (size_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(parameters.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(data.param_names[i].ptr()));
    if (data.has_extra_keywords)
        PyTuple_SET_ITEM(parameters.ptr(), static_cast<Py_ssize_t>(count), Py_NewRef(data.extra_keywords_name.ptr()));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (data.has_extra_keywords ? CO_VARKEYWORDS : 0);
    nb::object argcount = steal_or_throw(PyLong_FromSize_t(count));
    nb::object nlocals = steal_or_throw(PyLong_FromSsize_t(PyTuple_GET_SIZE(parameters.ptr())));
    nb::object code_flags = steal_or_throw(PyLong_FromLong(flags));
    nb::object replace = steal_or_throw(PyObject_GetAttr(empty.ptr(), names.get<"replace">().ptr()));
    nb::object code = call(replace, {},
                           {{names.get<"co_argcount">(), argcount},
                            {names.get<"co_nlocals">(), nlocals},
                            {names.get<"co_varnames">(), parameters},
                            {names.get<"co_flags">(), code_flags},
                            {names.get<"co_name">(), data.code_name},
                            {names.get<"co_qualname">(), data.code_qualname}});
    // Making it ran Python code, so another thread may have made one too.
    if (!data.native_code)
        data.native_code = code;
    return data.native_code;
}

inline PyObject *get_code(PyObject *object, void *) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    if (!self->code) {
        nb::object code;
        try {
            code = native_code(self);
        } catch (...) {
            set_error_from_cpp_exception();
            return nullptr;
        }
        if (!self->code)
            self->code = code.release().ptr();
    }
    return Py_NewRef(self->code);
}

// The object field at the offset a getset entry carries as its closure.
inline PyObject **field_at(PyObject *object, void *offset) {
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(object) + reinterpret_cast<size_t>(offset));
}

inline PyObject *get_str_field(PyObject *object, void *offset) {
    return Py_NewRef(*field_at(object, offset));
}

inline int set_name(PyObject *object, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject *>(object)->name, Py_NewRef(value));
    return 0;
}

inline int set_qualname(PyObject *object, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject *>(object)->qualname, Py_NewRef(value));
    return 0;
}

inline PyObject *get_annotations(PyObject *object, void *) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    if (!self->annotations) {
        self->annotations = PyDict_New();
        if (!self->annotations)
            return nullptr;
    }
    return Py_NewRef(self->annotations);
}

inline int set_annotations(PyObject *object, PyObject *value, void *) {
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject *>(object)->annotations, Py_XNewRef(value));
    return 0;
}

inline PyObject *get_defaults(PyObject *object, void *) {
    PyObject *defaults = reinterpret_cast<FunctionObject *>(object)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

// `__defaults__` and `__kwdefaults__`: None or an object of one type, with
// the interpreter's message and audit event for the write.
inline int set_optional_slot(PyObject *object, PyObject *value, PyObject *FunctionObject::*slot,
                             int (*accepts)(PyObject *), const char *attribute, const char *message) {
    if (value == Py_None)
        value = nullptr;
    if (value && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (PySys_Audit("object.__setattr__", "OsO", object, attribute, value ? value : Py_None) < 0)
        return -1;
    Py_XSETREF(reinterpret_cast<FunctionObject *>(object)->*slot, Py_XNewRef(value));
    return 0;
}

inline int set_defaults(PyObject *object, PyObject *value, void *) {
    return set_optional_slot(
        object, value, &FunctionObject::defaults, [](PyObject *o) { return PyTuple_Check(o); }, "__defaults__",
        "__defaults__ must be set to a tuple object");
}

inline PyObject *get_kwdefaults(PyObject *object, void *) {
    PyObject *kwdefaults = reinterpret_cast<FunctionObject *>(object)->kwdefaults;
    return Py_NewRef(kwdefaults ? kwdefaults : Py_None);
}

inline int set_kwdefaults(PyObject *object, PyObject *value, void *) {
    return set_optional_slot(
        object, value, &FunctionObject::kwdefaults, [](PyObject *o) { return PyDict_Check(o); }, "__kwdefaults__",
        "__kwdefaults__ must be set to a dict object");
}

inline PyObject *get_type_params(PyObject *object, void *) {
    PyObject *type_params = reinterpret_cast<FunctionObject *>(object)->type_params;
    if (type_params)
        return Py_NewRef(type_params);
    return PyTuple_New(0);
}

inline int set_type_params(PyObject *object, PyObject *value, void *) {
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject *>(object)->type_params, Py_NewRef(value));
    return 0;
}

// `__module__` and `__doc__`: any object; deleting leaves None.
inline PyObject *get_any_field(PyObject *object, void *offset) {
    PyObject *value = *field_at(object, offset);
    return Py_NewRef(value ? value : Py_None);
}

inline int set_any_field(PyObject *object, PyObject *value, void *offset) {
    Py_XSETREF(*field_at(object, offset), Py_XNewRef(value));
    return 0;
}

// Pickled by reference, as a Python function is: pickle looks the qualified
// name up in the module named by `__module__`, and copy returns the function.
inline PyObject *reduce(PyObject *object, PyObject *) {
    return Py_NewRef(reinterpret_cast<FunctionObject *>(object)->qualname);
}

inline PyObject *descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject *repr(PyObject *object) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, object);
}

} // namespace vx::detail
