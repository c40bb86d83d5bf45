// What a native function is made of: its definition (FunctionDef), the
// object Python code sees (FunctionObject), and the bound arguments of one
// call (Args), through which an implementation reaches its module's state.
#pragma once

#include "convert.hpp"
#include "names.hpp"

#include <memory>
#include <string>
#include <vector>

namespace vx {

class ModuleState;
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

    // The state of the module object that defined the function.
    template <class State> State &state() const;
    // An interned name of that module: `args.id<"MAX_EDGE">()`.
    template <Literal L> nb::handle id() const;

    // The namespace of the module that defines the function, and the
    // built-ins the function was created with.
    PyObject *globals_ptr() const;
    PyObject *builtins_ptr() const;
    // A module-level name, looked up at call time as Python code would
    // (module namespace first, then the built-ins), with NameError when it
    // is in neither.
    nb::object global(nb::handle name) const;
    template <Literal L> nb::object global() const { return global(id<L>()); }

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

// What a function was built from; never changed after creation, so native
// code may rely on it whatever Python code does to the attributes.
struct FunctionData {
    Implementation implementation = nullptr;
    // The module's state; shared, so that a function reached after its
    // module was cleared still finds its names.
    std::shared_ptr<ModuleState> state;
    size_t param_count = 0;
    std::vector<nb::object> param_names; // interned str
    std::vector<std::string> param_names_utf8;
    bool has_extra_keywords = false;
    nb::object extra_keywords_name;
    nb::object original_defaults; // held, so that its identity stays its own
    nb::object native_code;       // the code object that describes the native function
    nb::object source_file;
    int source_line = 0;
    nb::object dotted_path;
    nb::object traceback_code;
    nb::object traceback_frame;  // made once: a frame per raise costs more than the raise
    nb::object traceback_locals; // the frame's read-only locals, while it has them
    nb::object code_name;        // the name and qualified name at creation,
    nb::object code_qualname;    // for the code object that describes it
};

} // namespace detail

// The object layout. Every PyObject * field below is reachable from Python
// as an attribute; the setters keep each one to the types a Python function
// accepts, so native code may read `name` and `qualname` as str, `defaults`
// as a tuple or NULL, and `globals` as the module's dict.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *name;        // str, never NULL
    PyObject *qualname;    // str, never NULL
    PyObject *module;      // any object or NULL (reads as None)
    PyObject *doc;         // any object or NULL (reads as None)
    PyObject *annotations; // dict or NULL (created empty on read)
    PyObject *defaults;    // tuple or NULL
    PyObject *kwdefaults;  // dict or NULL
    PyObject *type_params; // tuple or NULL (reads as ())
    PyObject *code;        // the code object describing it, or NULL until first read; read-only
    PyObject *globals;     // the module's dict, never NULL, read-only
    PyObject *builtins;    // read-only
    PyObject *closure;     // always None, read-only
    PyObject *dict;
    PyObject *weakrefs;
    detail::FunctionData *data;
    size_t running; // calls of it under way (the interpreter's lock guards it)
};

inline const char *Args::name(size_t index) const {
    return function_->data->param_names_utf8[index].c_str();
}

inline nb::dict Args::extra_keywords() const {
    if (extra_keywords_)
        return nb::borrow<nb::dict>(extra_keywords_);
    return nb::dict();
}

inline PyObject *Args::globals_ptr() const {
    return function_->globals;
}

inline PyObject *Args::builtins_ptr() const {
    return function_->builtins;
}

// A name as Python code of the function's module finds it: its globals, then
// the built-ins the function was created with (which need not be a dict).
inline nb::object Args::global(nb::handle name) const {
    PyObject *value = PyDict_GetItemWithError(function_->globals, name.ptr());
    if (value)
        return nb::borrow(value);
    if (PyErr_Occurred())
        throw nb::python_error();
    PyObject *builtins = function_->builtins;
    if (PyDict_CheckExact(builtins)) {
        value = PyDict_GetItemWithError(builtins, name.ptr());
        if (value)
            return nb::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
    } else {
        value = PyObject_GetItem(builtins, name.ptr());
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear(); // a KeyError from the built-ins mapping becomes the NameError, as in the interpreter
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    // The name goes with the error, as the interpreter's own lookup gives it
    // (for the "Did you mean" hint).
    PyObject *error = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(error, "name", name.ptr()) < 0)
        PyErr_Clear(); // raised by this write itself: the NameError goes without it
    PyErr_SetRaisedException(error);
    throw nb::python_error();
}

} // namespace vx
