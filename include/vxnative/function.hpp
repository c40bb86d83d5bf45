// A function type for C++ callables that behaves like a Python function:
// positional and keyword binding with the interpreter's own TypeErrors,
// defaults, an optional catch-all for extra keywords, method binding,
// introspection attributes that `inspect.signature` reads, and traceback
// entries named by dotted path when an exception leaves it.
#pragma once

#include "convert.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vx {

struct FunctionObject;

// The arguments of one call, bound to the parameters in declaration order.
// Values are borrowed from the caller for the duration of the call.
class Args {
  public:
    Args(FunctionObject *function, PyObject *const *values, PyObject *extra_keywords)
        : function_(function), values_(values), extra_keywords_(extra_keywords) {}

    nb::handle operator[](size_t index) const { return values_[index]; }
    const char *name(size_t index) const;

    // Conversions of the declared parameter types, reporting the parameter's
    // own name on failure.
    nb::str str(size_t index) const { return exact_str(name(index), values_[index]); }
    nb::object optional_str(size_t index) const { return vx::optional_str(name(index), values_[index]); }
    nb::bytes bytes(size_t index) const { return exact_bytes(name(index), values_[index]); }
    nb::int_ integer(size_t index) const { return vx::integer(name(index), values_[index]); }
    double real(size_t index) const { return vx::real(values_[index]); }
    bool truth(size_t index) const { return vx::truth(values_[index]); }

    // The extra keywords of a function with a catch-all, as a new dict.
    nb::dict extra_keywords() const;

    // The namespace of the module that defines the function.
    nb::dict globals() const;
    // A module-level name, looked up at call time as Python code would
    // (module namespace first, then the built-ins).
    nb::object global(nb::handle name) const;

  private:
    FunctionObject *function_;
    PyObject *const *values_;
    PyObject *extra_keywords_;
};

using Implementation = nb::object (*)(const Args &);

struct Param {
    const char *name;
    const char *annotation = nullptr;
    nb::object default_value = {};
};

// Everything that describes one function; the class builder fills in the
// qualified name and module.
struct FunctionDef {
    const char *name;
    Implementation implementation;
    std::vector<Param> params;
    const char *doc = nullptr;
    const char *return_annotation = nullptr;
    const char *extra_keywords_name = nullptr; // e.g. "kwargs" for **kwargs
    int source_line = 0;
};

namespace detail {

struct FunctionData {
    Implementation implementation = nullptr;
    std::vector<nb::object> param_names; // interned str
    std::vector<std::string> param_names_utf8;
    size_t first_default = 0; // index of the first parameter with a default
    nb::object defaults;      // tuple or None
    bool has_extra_keywords = false;
    nb::object extra_keywords_name;
    std::vector<const char *> annotations;
    const char *return_annotation = nullptr;
    nb::object globals;
    nb::object source_file;
    int source_line = 0;
    nb::object dotted_path;
    nb::object traceback_code;
};

} // namespace detail

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *signature;
    PyObject *dict;
    PyObject *weakrefs;
    detail::FunctionData *data;
};

inline const char *Args::name(size_t index) const {
    return function_->data->param_names_utf8[index].c_str();
}

inline nb::dict Args::extra_keywords() const {
    if (extra_keywords_)
        return nb::borrow<nb::dict>(extra_keywords_);
    return nb::dict();
}

inline nb::dict Args::globals() const { return nb::borrow<nb::dict>(function_->data->globals); }

inline nb::object Args::global(nb::handle name) const {
    PyObject *value = PyDict_GetItemWithError(function_->data->globals.ptr(), name.ptr());
    if (!value && !PyErr_Occurred())
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

namespace detail {

constexpr size_t kMaxParams = 16;

inline nb::str callable_name(FunctionObject *self) { return nb::borrow<nb::str>(self->qualname); }

[[noreturn]] inline void raise_too_many_positional(FunctionObject *self, Py_ssize_t given) {
    const FunctionData &data = *self->data;
    size_t count = data.param_names.size();
    size_t required = data.first_default;
    if (required < count) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %zu to %zu positional arguments but %zd %s given",
                     self->qualname, required, count, given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zd %s given",
                     self->qualname, count, count == 1 ? "" : "s", given, given == 1 ? "was" : "were");
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
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s", self->qualname,
                 missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
    throw nb::python_error();
}

inline Py_ssize_t find_param(const FunctionData &data, PyObject *keyword) {
    size_t count = data.param_names.size();
    for (size_t i = 0; i < count; ++i)
        if (data.param_names[i].ptr() == keyword)
            return static_cast<Py_ssize_t>(i);
    for (size_t i = 0; i < count; ++i) {
        int equal = PyUnicode_Compare(data.param_names[i].ptr(), keyword);
        if (equal == 0)
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Binds positional and keyword arguments to parameter slots the way the
// interpreter does for a Python function, including the order in which it
// reports problems: keywords first, then surplus positionals, then missing.
inline void bind_arguments(FunctionObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **slots, nb::object &extra_keywords) {
    const FunctionData &data = *self->data;
    size_t count = data.param_names.size();
    if (!kwnames && static_cast<size_t>(nargs) == count && !data.has_extra_keywords) {
        std::copy(args, args + nargs, slots);
        return;
    }
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

    std::vector<size_t> missing;
    for (size_t i = 0; i < count; ++i) {
        if (slots[i])
            continue;
        if (i >= data.first_default)
            slots[i] = PyTuple_GET_ITEM(data.defaults.ptr(), i - data.first_default);
        else
            missing.push_back(i);
    }
    if (!missing.empty())
        raise_missing(self, missing);
}

// A traceback entry for the function: a frame of an empty code object whose
// name is the dotted path, so a traceback reads like one through Python code.
inline void add_traceback_entry(FunctionObject *self) {
    FunctionData &data = *self->data;
    PyObject *exc = PyErr_GetRaisedException();
    if (!data.traceback_code) {
        PyCodeObject *code = PyCode_NewEmpty(PyUnicode_AsUTF8(data.source_file.ptr()),
                                             PyUnicode_AsUTF8(data.dotted_path.ptr()), data.source_line);
        if (!code) {
            PyErr_Clear();
            PyErr_SetRaisedException(exc);
            return;
        }
        data.traceback_code = nb::steal(reinterpret_cast<PyObject *>(code));
    }
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(data.traceback_code.ptr()),
                                       data.globals.ptr(), nullptr);
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

inline PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<FunctionObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *slots[kMaxParams];
    try {
        nb::object extra_keywords;
        bind_arguments(self, args, nargs, kwnames, slots, extra_keywords);
        Args bound(self, slots, extra_keywords.ptr());
        nb::object result = self->data->implementation(bound);
        if (!result.is_valid()) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "native function returned no result");
        } else {
            return result.release().ptr();
        }
    } catch (...) {
        set_error_from_cpp_exception();
    }
    add_traceback_entry(self);
    return nullptr;
}

inline PyObject *make_signature(FunctionObject *self) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object empty = parameter.attr("empty");
    const FunctionData &data = *self->data;
    nb::list params;
    for (size_t i = 0; i < data.param_names.size(); ++i) {
        nb::object default_value =
            i >= data.first_default ? nb::borrow(PyTuple_GET_ITEM(data.defaults.ptr(), i - data.first_default)) : empty;
        nb::object annotation = data.annotations[i] ? nb::object(nb::str(data.annotations[i])) : empty;
        params.append(parameter(data.param_names[i], parameter.attr("POSITIONAL_OR_KEYWORD"),
                                nb::arg("default") = default_value, nb::arg("annotation") = annotation));
    }
    if (data.has_extra_keywords)
        params.append(parameter(data.extra_keywords_name, parameter.attr("VAR_KEYWORD")));
    nb::object return_annotation =
        data.return_annotation ? nb::object(nb::str(data.return_annotation)) : inspect.attr("Signature").attr("empty");
    return inspect.attr("Signature")(params, nb::arg("return_annotation") = return_annotation).release().ptr();
}

inline PyObject *get_signature(PyObject *object, void *) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    if (!self->signature) {
        PyObject *signature;
        try {
            signature = make_signature(self);
        } catch (...) {
            set_error_from_cpp_exception();
            return nullptr;
        }
        // Building it runs Python code, so another thread may have won.
        if (self->signature)
            Py_DECREF(signature);
        else
            self->signature = signature;
    }
    return Py_NewRef(self->signature);
}

inline PyObject *get_defaults(PyObject *object, void *) {
    return Py_NewRef(reinterpret_cast<FunctionObject *>(object)->data->defaults.ptr());
}

inline PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

inline PyObject *descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject *repr(PyObject *object) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, object);
}

inline void dealloc(PyObject *object) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    PyTypeObject *type = Py_TYPE(object);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->signature);
    Py_CLEAR(self->dict);
    delete self->data;
    type->tp_free(object);
    Py_DECREF(type);
}

inline PyTypeObject *function_type() {
    static PyTypeObject *type = [] {
        static PyMemberDef members[] = {
            {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), 0, nullptr},
            {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), 0, nullptr},
            {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
            {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
            {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), 0, nullptr},
            {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
            {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
            {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyGetSetDef getset[] = {
            {"__signature__", get_signature, nullptr, nullptr, nullptr},
            {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
            {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr}};
        static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
                                      {Py_tp_repr, reinterpret_cast<void *>(repr)},
                                      {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                                      {Py_tp_descr_get, reinterpret_cast<void *>(descr_get)},
                                      {Py_tp_members, members},
                                      {Py_tp_getset, getset},
                                      {0, nullptr}};
        static PyType_Spec spec = {"valdrix.native_function", sizeof(FunctionObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                       Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    }();
    if (!type)
        throw nb::python_error();
    return type;
}

} // namespace detail

// Creates the Python-visible function object for a definition.
// `qualname` is e.g. "ImageTool.adjust_size"; `module` is the module the
// function belongs to; `source_file` names the C++ source in tracebacks.
inline nb::object make_function(const FunctionDef &def, nb::handle module, const std::string &qualname,
                                const char *source_file) {
    if (def.params.size() > detail::kMaxParams)
        throw std::length_error("too many parameters for a native function");
    auto data = std::make_unique<detail::FunctionData>();
    data->implementation = def.implementation;
    data->first_default = def.params.size();
    nb::list defaults;
    nb::dict annotations;
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param &param = def.params[i];
        PyObject *name = PyUnicode_InternFromString(param.name);
        data->param_names.push_back(steal_or_throw(name));
        data->param_names_utf8.emplace_back(param.name);
        data->annotations.push_back(param.annotation);
        if (param.annotation)
            annotations[param.name] = nb::str(param.annotation);
        if (param.default_value.is_valid()) {
            if (data->first_default == def.params.size())
                data->first_default = i;
            defaults.append(param.default_value);
        } else if (data->first_default != def.params.size()) {
            throw std::invalid_argument("parameter without default follows one with a default");
        }
    }
    data->defaults = defaults.size() ? nb::object(nb::tuple(defaults)) : nb::object(nb::none());
    data->has_extra_keywords = def.extra_keywords_name != nullptr;
    if (data->has_extra_keywords)
        data->extra_keywords_name = nb::str(def.extra_keywords_name);
    data->return_annotation = def.return_annotation;
    if (def.return_annotation)
        annotations["return"] = nb::str(def.return_annotation);
    data->globals = nb::borrow(PyModule_GetDict(module.ptr()));
    data->source_file = nb::str(source_file);
    data->source_line = def.source_line;
    nb::str module_name = nb::borrow<nb::str>(module.attr("__name__"));
    std::string dotted_path = std::string(module_name.c_str()) + "." + qualname;
    data->dotted_path = nb::str(dotted_path.c_str());

    PyTypeObject *type = detail::function_type();
    auto *self = PyObject_New(FunctionObject, type);
    if (!self)
        throw nb::python_error();
    self->vectorcall = detail::vectorcall;
    self->name = nb::str(def.name).release().ptr();
    self->qualname = nb::str(qualname.c_str()).release().ptr();
    self->module = module_name.release().ptr();
    self->doc = def.doc ? nb::str(def.doc).release().ptr() : Py_NewRef(Py_None);
    self->annotations = annotations.release().ptr();
    self->signature = nullptr;
    self->dict = nullptr;
    self->weakrefs = nullptr;
    self->data = data.release();
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

} // namespace vx
