// A function type for C++ callables that behaves like a Python function:
// positional and keyword binding with the interpreter's own TypeErrors,
// defaults, an optional catch-all for extra keywords, method binding,
// introspection attributes that `inspect.signature` reads, and traceback
// entries named by dotted path when an exception leaves it.
#pragma once

#include "convert.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// What a function was built from; never changed after creation, so native
// code may rely on it whatever Python code does to the attributes.
struct FunctionData {
    Implementation implementation = nullptr;
    std::vector<nb::object> param_names; // interned str
    std::vector<std::string> param_names_utf8;
    bool has_extra_keywords = false;
    nb::object extra_keywords_name;
    nb::object source_file;
    int source_line = 0;
    nb::object dotted_path;
    nb::object traceback_code;
    nb::object traceback_frame; // made once: a frame per raise costs more than the raise
    nb::object code_name;       // the name and qualified name at creation,
    nb::object code_qualname;   // for the code object that describes it
};

} // namespace detail

// The object layout. Every PyObject * field below except `data` is reachable
// from Python as an attribute; the setters keep each one to the types a
// Python function accepts, so native code may read `name` and `qualname` as
// str, `defaults` as a tuple or NULL, and `globals` as the module's dict.
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
    PyObject *code;        // code object or NULL (built on read)
    PyObject *globals;     // the module's dict, never NULL, read-only
    PyObject *builtins;    // read-only
    PyObject *closure;     // always None, read-only
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

inline nb::dict Args::globals() const {
    return nb::borrow<nb::dict>(function_->globals);
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
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    // The name goes with the error, as the interpreter's own lookup gives it
    // (for the "Did you mean" hint).
    PyObject *error = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(error, "name", name.ptr()) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(error);
    throw nb::python_error();
}

namespace detail {

constexpr size_t kMaxParams = 16;

// --- recursion -------------------------------------------------------------------

// What is kept free of a stack of `size` bytes: what the interpreter and the
// C++ code between two native entries may still need, and what a handler of
// the RecursionError raised then may use (ordinary work such as a repr of
// nested containers takes tens of KiB). A quarter of the stack, at least
// 128 KiB where the stack allows; a sanitizer's frames are several times
// larger than a release build's, so such a build keeps at least 256 KiB.
inline size_t stack_reserve(size_t size) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    constexpr bool sanitized = true;
#else
    constexpr bool sanitized = false;
#endif
#else
    constexpr bool sanitized = false;
#endif
    if (sanitized)
        return std::max(size / 4, std::min<size_t>(256 * 1024, size / 2));
    return std::max(size / 4, std::min<size_t>(128 * 1024, size / 2));
}

// True when this thread's C stack is nearly used up (see stack_reserve).
// False when the bounds cannot be told (unknown platform, or a stack the
// thread library did not hand out, such as a coroutine's).
inline bool stack_nearly_exhausted() {
#if defined(__linux__) || defined(__APPLE__)
    struct Bounds {
        char *low = nullptr;
        char *high = nullptr;
        size_t reserve = 0;
    };
    static thread_local Bounds bounds = [] {
        Bounds found;
        size_t size = 0;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *address = nullptr;
            if (pthread_attr_getstack(&attr, &address, &size) == 0) {
                found.low = static_cast<char *>(address);
                found.high = found.low + size;
            }
            pthread_attr_destroy(&attr);
        }
#else
        size = pthread_get_stacksize_np(pthread_self());
        found.high = static_cast<char *>(pthread_get_stackaddr_np(pthread_self()));
        found.low = found.high - size;
#endif
        found.reserve = stack_reserve(size);
        return found;
    }();
#if defined(__GNUC__)
    // The frame itself, also when a sanitizer keeps locals elsewhere.
    char *position = static_cast<char *>(__builtin_frame_address(0));
#else
    char here;
    char *position = &here;
#endif
    if (!bounds.low || position <= bounds.low || position >= bounds.high)
        return false;
    return static_cast<size_t>(position - bounds.low) < bounds.reserve;
#else
    return false;
#endif
}

// Counts one entry into a native function against the interpreter's
// recursion limit, as a call into Python code counts, and refuses to go on
// when the thread's C stack is nearly used up: native functions calling
// native functions (through overrides or rebound methods) consume C stack
// on every level, which Python-to-Python calls do not.
class RecursionGuard {
  public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(""))
            throw nb::python_error();
        if (stack_nearly_exhausted()) {
            Py_LeaveRecursiveCall();
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            throw nb::python_error();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }

    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// --- binding -------------------------------------------------------------------

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

// Binds positional and keyword arguments to parameter slots the way the
// interpreter does for a Python function, including the order in which it
// reports problems: keywords first, then surplus positionals, then missing.
// Defaults come from `__defaults__` as it is at the call (the last ones of the
// tuple fill the last parameters); `defaults` keeps that tuple alive for the
// call, since Python code run by the call may replace the attribute.
inline void bind_arguments(FunctionObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **slots, nb::object &extra_keywords, nb::object &defaults) {
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
}

// A traceback entry for the function: a frame of an empty code object whose
// name is the dotted path recorded at creation (not the writable
// `__qualname__`), so a traceback reads like one through Python code. The
// frame never runs and holds no locals, so one frame serves every entry.
//
// Python code can still give the frame state through an entry: names
// written into its `f_locals`, a trace function or tracing flags. Such a frame
// stays with the tracebacks that hold it, and later entries get a new one,
// so that they do not show (or keep alive) what was put there.
inline bool frame_attribute_is(PyObject *frame, nb::handle name, PyObject *expected) {
    PyObject *value = name ? PyObject_GetAttr(frame, name.ptr()) : nullptr;
    if (!value) {
        PyErr_Clear();
        return false;
    }
    bool same = value == expected;
    Py_DECREF(value);
    return same;
}

inline bool frame_is_unchanged(PyObject *frame) {
    PyObject *locals = PyFrame_GetLocals(reinterpret_cast<PyFrameObject *>(frame));
    if (!locals) {
        PyErr_Clear();
        return false;
    }
    bool unchanged = PyDict_CheckExact(locals) && PyDict_GET_SIZE(locals) == 0;
    Py_DECREF(locals);
    return unchanged && frame_attribute_is(frame, VX_ID("f_trace"), Py_None) &&
           frame_attribute_is(frame, VX_ID("f_trace_lines"), Py_True) &&
           frame_attribute_is(frame, VX_ID("f_trace_opcodes"), Py_False);
}

inline nb::object traceback_frame(FunctionObject *self) {
    FunctionData &data = *self->data;
    // Letting go of a changed frame may run code that raises here again:
    // the slot is empty meanwhile, and whatever frame it holds afterwards
    // is used.
    if (data.traceback_frame && !frame_is_unchanged(data.traceback_frame.ptr()))
        data.traceback_frame.release().dec_ref();
    if (!data.traceback_code) {
        PyCodeObject *code = PyCode_NewEmpty(PyUnicode_AsUTF8(data.source_file.ptr()),
                                             PyUnicode_AsUTF8(data.dotted_path.ptr()), data.source_line);
        if (!code)
            return {};
        data.traceback_code = nb::steal(reinterpret_cast<PyObject *>(code));
    }
    if (!data.traceback_frame) {
        PyFrameObject *frame = PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(data.traceback_code.ptr()), self->globals, nullptr);
        if (!frame)
            return {};
        data.traceback_frame = nb::steal(reinterpret_cast<PyObject *>(frame));
    }
    return data.traceback_frame;
}

// A failure to make the entry only drops it: the exception being raised
// is what the caller must see. The frame is held here, as code run while
// the entry is made may raise here again and replace the shared one.
inline void add_traceback_entry(FunctionObject *self) {
    PyObject *exc = PyErr_GetRaisedException();
    nb::object frame = traceback_frame(self);
    if (!frame)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.ptr()));
}

inline PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<FunctionObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *slots[kMaxParams];
    try {
        RecursionGuard guard;
        nb::object extra_keywords, defaults;
        bind_arguments(self, args, nargs, kwnames, slots, extra_keywords, defaults);
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

// --- attributes ------------------------------------------------------------------

// A code object describing the parameters, for the tools that read a
// function's signature from `__code__` (inspect, with its evaluation of
// annotation strings). Its body does nothing; the function never runs it.
inline PyObject *make_code(FunctionObject *self) {
    const FunctionData &data = *self->data;
    nb::object empty = steal_or_throw(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(PyUnicode_AsUTF8(data.source_file.ptr()), "<native>", data.source_line)));
    size_t count = data.param_names.size();
    nb::object names = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(count + data.has_extra_keywords)));
    for (size_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(data.param_names[i].ptr()));
    if (data.has_extra_keywords)
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(count), Py_NewRef(data.extra_keywords_name.ptr()));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (data.has_extra_keywords ? CO_VARKEYWORDS : 0);
    nb::object code =
        empty.attr("replace")(nb::arg("co_argcount") = count, nb::arg("co_nlocals") = PyTuple_GET_SIZE(names.ptr()),
                              nb::arg("co_varnames") = names, nb::arg("co_flags") = flags,
                              nb::arg("co_name") = data.code_name, nb::arg("co_qualname") = data.code_qualname);
    return code.release().ptr();
}

inline PyObject *get_code(PyObject *object, void *) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    if (!self->code) {
        PyObject *code;
        try {
            code = make_code(self);
        } catch (...) {
            set_error_from_cpp_exception();
            return nullptr;
        }
        // Building it runs Python code, so another thread may have won.
        if (self->code)
            Py_DECREF(code);
        else
            self->code = code;
    }
    return Py_NewRef(self->code);
}

// Python functions take any code object without free variables; here it
// describes the function to tools and changes nothing about the call.
inline int set_code(PyObject *object, PyObject *value, void *) {
    auto *self = reinterpret_cast<FunctionObject *>(object);
    if (!value || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    if (PySys_Audit("object.__setattr__", "OsO", object, "__code__", value) < 0)
        return -1;
    Py_ssize_t free_vars = PyCode_GetNumFree(reinterpret_cast<PyCodeObject *>(value));
    if (free_vars != 0) {
        PyErr_Format(PyExc_ValueError, "%U() requires a code object with 0 free vars, not %zd", self->name, free_vars);
        return -1;
    }
    Py_XSETREF(self->code, Py_NewRef(value));
    return 0;
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
// become empty strings rather than NULL, and the namespaces stay: native
// code reads them on every call, and a function reached again after
// clearing must still work.
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
    Py_CLEAR(self->code);
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

inline PyTypeObject *function_type() {
    static PyTypeObject *type = [] {
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
            {"__code__", get_code, set_code, nullptr, nullptr},
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
        PyObject *created = PyType_FromSpec(&spec);
        if (created && !remove_layout_members(created))
            Py_CLEAR(created);
        return reinterpret_cast<PyTypeObject *>(created);
    }();
    if (!type)
        throw nb::python_error();
    return type;
}

// The built-ins a function defined in a module with these globals sees, found
// as the interpreter finds them for a new function.
inline nb::object builtins_for(nb::handle globals) {
    PyObject *found = PyDict_GetItemWithError(globals.ptr(), VX_ID("__builtins__").ptr());
    if (!found) {
        throw_if_error();
        return nb::borrow(PyEval_GetBuiltins());
    }
    if (PyModule_Check(found))
        return nb::borrow(PyModule_GetDict(found));
    return nb::borrow(found);
}

} // namespace detail

// True when `function` is a native function running `implementation` (so a
// caller may skip calling it where the result is known).
inline bool is_native(nb::handle function, Implementation implementation) {
    return Py_TYPE(function.ptr()) == detail::function_type() &&
           reinterpret_cast<FunctionObject *>(function.ptr())->data->implementation == implementation;
}

// Creates the Python-visible function object for a definition.
// `qualname` is e.g. "ImageTool.adjust_size"; `module` is the module the
// function belongs to; `source_file` names the C++ source in tracebacks.
inline nb::object make_function(const FunctionDef &def, nb::handle module, const std::string &qualname,
                                const char *source_file) {
    if (def.params.size() > detail::kMaxParams)
        throw std::length_error("too many parameters for a native function");
    auto data = std::make_unique<detail::FunctionData>();
    data->implementation = def.implementation;
    size_t first_default = def.params.size();
    nb::list defaults;
    nb::dict annotations;
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param &param = def.params[i];
        PyObject *name = PyUnicode_InternFromString(param.name);
        data->param_names.push_back(steal_or_throw(name));
        data->param_names_utf8.emplace_back(param.name);
        if (param.annotation)
            annotations[param.name] = nb::str(param.annotation);
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
    if (def.return_annotation)
        annotations["return"] = nb::str(def.return_annotation);
    nb::handle globals = PyModule_GetDict(module.ptr());
    nb::object builtins = detail::builtins_for(globals);
    data->source_file = nb::str(source_file);
    data->source_line = def.source_line;
    nb::str module_name = nb::borrow<nb::str>(module.attr("__name__"));
    std::string dotted_path = std::string(module_name.c_str()) + "." + qualname;
    data->dotted_path = nb::str(dotted_path.c_str());
    nb::str name(def.name);
    nb::str qualified(qualname.c_str());
    data->code_name = name;
    data->code_qualname = qualified;

    nb::object doc = def.doc ? nb::object(nb::str(def.doc)) : nb::none();
    nb::object default_tuple = defaults.size() ? nb::object(nb::tuple(defaults)) : nb::object();

    PyTypeObject *type = detail::function_type();
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
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

} // namespace vx
