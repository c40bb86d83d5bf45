// The type of native functions and the making of one: a function type per
// module object (so that nothing is shared between interpreters), whose
// instances are called through vectorcall, bind like Python functions and
// run their native implementation.
#pragma once

#include "binding.hpp"
#include "function_attributes.hpp"
#include "stack_guard.hpp"
#include "traceback.hpp"

#include <memory>
#include <stdexcept>
#include <string>

// The plainest call runs the implementation inline; the binding of every
// other call stays out of its way.
#if defined(_MSC_VER) && !defined(__clang__)
#define VX_ALWAYS_INLINE __forceinline
#define VX_NOINLINE __declspec(noinline)
#else
#define VX_ALWAYS_INLINE [[gnu::always_inline]] inline
#define VX_NOINLINE [[gnu::noinline]]
#endif

namespace vx::detail {

// A first entry adds one native frame to what the interpreter checks itself;
// a cycle of native calls re-enters each function in it, and only a re-entry
// checks the C stack (which costs a thread-local read).
struct Running {
    FunctionObject *self;
    explicit Running(FunctionObject *function) : self(function) { ++self->running; }
    ~Running() { --self->running; }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;
};

// Runs the implementation on the arguments `bind` gives (the extra keywords,
// if any, land in `extra_keywords`): its result, or null with the error set
// and this function's traceback entry added.
template <class Bind>
VX_ALWAYS_INLINE PyObject *run(FunctionObject *self, Bind bind, const nb::object &extra_keywords) {
    try {
        PyObject *const *values = bind();
        nb::object result = self->data->implementation(Args(self, values, extra_keywords.ptr()));
        if (result.is_valid())
            return result.release().ptr();
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "native function returned no result");
    } catch (nb::python_error &error) {
        error.restore(); // the common case, caught without rethrowing
    } catch (...) {
        set_error_from_cpp_exception();
    }
    add_traceback_entry(self);
    return nullptr;
}

// Every call but the plainest: keywords, defaults, a catch-all, a re-entry.
VX_NOINLINE inline PyObject *vectorcall_binding(FunctionObject *self, PyObject *const *args, Py_ssize_t nargs,
                                                PyObject *kwnames) {
    Running running(self);
    PyObject *slots[kMaxParams];
    nb::object extra_keywords, defaults;
    auto bind = [&] {
        if (self->running > 1)
            check_stack();
        return bind_arguments(self, args, nargs, kwnames, slots, extra_keywords, defaults);
    };
    return run(self, bind, extra_keywords);
}

// A first entry with one argument for each parameter, passed by position,
// runs on the caller's own array.
inline PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<FunctionObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const FunctionData &data = *self->data;
    if (kwnames || static_cast<size_t>(nargs) != data.param_count || data.has_extra_keywords || self->running)
        return vectorcall_binding(self, args, nargs, kwnames);
    Running running(self);
    return run(self, [args] { return args; }, nb::object());
}

inline int traverse(PyObject *object, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->annotations);
    Py_VISIT(self->defaults);
    Py_VISIT(self->kwdefaults);
    Py_VISIT(self->type_params);
    Py_VISIT(self->code);
    Py_VISIT(self->globals);
    Py_VISIT(self->builtins);
    Py_VISIT(self->dict);
    Py_VISIT(self->data->traceback_frame.ptr());
    return 0;
}

// Breaks cycles through the writable attributes. `name` and `qualname`
// become empty strings rather than NULL, and the namespaces and the code
// stay (a code object takes part in no cycle): native code reads them on
// every call, and a function reached again after clearing must still work.
inline int clear(PyObject *object) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    if (PyObject *empty = PyUnicode_New(0, 0)) {
        Py_SETREF(self->name, Py_NewRef(empty));
        Py_SETREF(self->qualname, empty);
    } else {
        PyErr_Clear(); // the empty string is a preallocated singleton: not reached
    }
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->kwdefaults);
    Py_CLEAR(self->type_params);
    Py_CLEAR(self->dict);
    self->data->traceback_frame.release().dec_ref(); // cleared before the frame can go
    return 0;
}

inline void dealloc(PyObject *object) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    PyTypeObject *type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(object);
    clear(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->builtins);
    Py_CLEAR(self->closure);
    delete self->data;
    type->tp_free(object);
    Py_DECREF(type);
}

inline void *field(size_t offset) {
    return reinterpret_cast<void *>(offset);
}

// The offsets a type spec passes as members also become attributes of every
// instance on some versions; a Python function has none of them.
inline bool remove_layout_members(PyObject *type) {
    PyObject *dict = reinterpret_cast<PyTypeObject *>(type)->tp_dict;
    for (const char *name : {"__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"}) {
        PyObject *key = PyUnicode_FromString(name);
        if (!key)
            return false;
        int found = PyDict_Contains(dict, key);
        if (found > 0)
            found = PyDict_DelItem(dict, key) < 0 ? -1 : 1;
        Py_DECREF(key);
        if (found < 0)
            return false;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject *>(type));
    return true;
}

// The type of the module's native functions, made for one module object.
inline nb::object make_function_type(nb::handle module) {
    static PyMemberDef members[] = {
        {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
        {"__builtins__", Py_T_OBJECT_EX, offsetof(FunctionObject, builtins), Py_READONLY, nullptr},
        {"__closure__", Py_T_OBJECT_EX, offsetof(FunctionObject, closure), Py_READONLY, nullptr},
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
        {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__name__", get_str_field, set_name, nullptr, field(offsetof(FunctionObject, name))},
        {"__qualname__", get_str_field, set_qualname, nullptr, field(offsetof(FunctionObject, qualname))},
        {"__module__", get_any_field, set_any_field, nullptr, field(offsetof(FunctionObject, module))},
        {"__doc__", get_any_field, set_any_field, nullptr, field(offsetof(FunctionObject, doc))},
        {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
        {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
        {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
        {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
        {"__code__", get_code, nullptr, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
                                  {Py_tp_repr, reinterpret_cast<void *>(repr)},
                                  {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                                  {Py_tp_descr_get, reinterpret_cast<void *>(descr_get)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(clear)},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {Py_tp_methods, methods},
                                  {0, nullptr}};
    static PyType_Spec spec = {"valdrix.native_function", sizeof(FunctionObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                   Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    nb::object type = steal_or_throw(PyType_FromModuleAndSpec(module.ptr(), &spec, nullptr));
    if (!remove_layout_members(type.ptr()))
        throw nb::python_error();
    return type;
}

// The built-ins a function defined in a module with these globals sees, found
// as the interpreter finds them for a new function.
inline nb::object builtins_for(nb::handle globals, const Names &names) {
    PyObject *found = PyDict_GetItemWithError(globals.ptr(), names.get<"__builtins__">().ptr());
    if (!found) {
        throw_if_error();
        return nb::borrow(PyEval_GetBuiltins());
    }
    if (PyModule_Check(found))
        return nb::borrow(PyModule_GetDict(found));
    return nb::borrow(found);
}

} // namespace vx::detail

namespace vx {

// Creates the Python-visible function object for a definition.
// `qualname` is e.g. "ImageTool.adjust_size"; `module` is the module the
// function belongs to and `state` its state; `source_file` names the C++
// source in tracebacks.
inline nb::object make_function(const FunctionDef &def, nb::handle module, const std::shared_ptr<ModuleState> &state,
                                const std::string &qualname, const char *source_file) {
    if (def.params.size() > detail::kMaxParams)
        throw std::length_error("too many parameters for a native function");
    auto data = std::make_unique<detail::FunctionData>();
    data->implementation = def.implementation;
    data->state = state;
    data->param_count = def.params.size();
    size_t first_default = def.params.size();
    nb::list defaults;
    nb::dict annotations;
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param &param = def.params[i];
        nb::object name = steal_or_throw(PyUnicode_InternFromString(param.name));
        data->param_names.push_back(name);
        data->param_names_utf8.emplace_back(param.name);
        if (param.annotation && PyDict_SetItem(annotations.ptr(), name.ptr(), nb::str(param.annotation).ptr()) < 0)
            throw nb::python_error();
        if (param.default_value.is_valid()) {
            if (first_default == def.params.size())
                first_default = i;
            defaults.append(param.default_value);
        } else if (first_default != def.params.size()) {
            throw std::invalid_argument("parameter without default follows one with a default");
        }
    }
    data->has_extra_keywords = def.extra_keywords_name != nullptr;
    if (data->has_extra_keywords)
        data->extra_keywords_name = nb::str(def.extra_keywords_name);
    if (def.return_annotation &&
        PyDict_SetItem(annotations.ptr(), state->names.get<"return">().ptr(), nb::str(def.return_annotation).ptr()) < 0)
        throw nb::python_error();
    nb::handle globals = PyModule_GetDict(module.ptr());
    nb::object builtins = detail::builtins_for(globals, state->names);
    data->source_file = nb::str(source_file);
    data->source_line = def.source_line;
    nb::object module_name = steal_or_throw(PyObject_GetAttr(module.ptr(), state->names.get<"__name__">().ptr()));
    nb::object dotted = steal_or_throw(PyUnicode_FromFormat("%U.%s", module_name.ptr(), qualname.c_str()));
    data->dotted_path = dotted;
    nb::str name(def.name);
    nb::str qualified(qualname.c_str());
    data->code_name = name;
    data->code_qualname = qualified;

    nb::object doc = def.doc ? nb::object(nb::str(def.doc)) : nb::none();
    nb::object default_tuple = defaults.size() ? nb::object(nb::tuple(defaults)) : nb::object();
    data->original_defaults = default_tuple;

    auto *type = reinterpret_cast<PyTypeObject *>(state->function_type.ptr());
    auto *self = PyObject_GC_New(FunctionObject, type);
    if (!self)
        throw nb::python_error();
    self->vectorcall = detail::vectorcall;
    self->name = name.release().ptr();
    self->qualname = qualified.release().ptr();
    self->module = module_name.release().ptr();
    self->doc = doc.release().ptr();
    self->annotations = annotations.release().ptr();
    self->defaults = default_tuple.release().ptr();
    self->kwdefaults = nullptr;
    self->type_params = nullptr;
    self->code = nullptr;
    self->globals = Py_NewRef(globals.ptr());
    self->builtins = builtins.release().ptr();
    self->closure = Py_NewRef(Py_None);
    self->dict = nullptr;
    self->weakrefs = nullptr;
    self->data = data.release();
    self->running = 0;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

} // namespace vx
