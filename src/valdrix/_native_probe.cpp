// valdrix._native_probe: a private module through which the test suite
// reaches what no public function of the package reaches on purpose: each
// kind of C++ exception leaving a native function, to check that the native
// layer raises for it what nanobind raises for the functions it binds. Two
// functions that return their argument measure the layer's own call cost in
// bench/: one made by the layer, one a bare METH_FASTCALL C function.
#include <vxnative/native.hpp>

#include <new>
#include <stdexcept>
#include <string_view>
#include <typeinfo>

namespace nb = nanobind;

namespace {

constexpr const char *kSource = "valdrix/_native_probe.cpp";

constexpr const char *kModuleDoc = "Private: probes of the native layer for the test suite.";

constexpr const char *kThrowDoc = "Throws the C++ exception named by `kind` (what(): \"probe\").";
constexpr const char *kIdentityDoc = "Returns `value`, through the native function layer.";
constexpr const char *kBareIdentityDoc = "Returns its one argument: a bare METH_FASTCALL function.";

// Each kind the suite names, with what throws it.
struct Thrower {
    std::string_view kind;
    void (*throw_it)();
};

const Thrower kThrowers[] = {
    {"stop_iteration", [] { throw nb::stop_iteration("probe"); }},
    {"index_error", [] { throw nb::index_error("probe"); }},
    {"key_error", [] { throw nb::key_error("probe"); }},
    {"value_error", [] { throw nb::value_error("probe"); }},
    {"type_error", [] { throw nb::type_error("probe"); }},
    {"buffer_error", [] { throw nb::buffer_error("probe"); }},
    {"import_error", [] { throw nb::import_error("probe"); }},
    {"attribute_error", [] { throw nb::attribute_error("probe"); }},
    {"next_overload", [] { throw nb::next_overload("probe"); }},
    {"bad_alloc", [] { throw std::bad_alloc(); }},
    {"domain_error", [] { throw std::domain_error("probe"); }},
    {"invalid_argument", [] { throw std::invalid_argument("probe"); }},
    {"length_error", [] { throw std::length_error("probe"); }},
    {"out_of_range", [] { throw std::out_of_range("probe"); }},
    {"range_error", [] { throw std::range_error("probe"); }},
    {"overflow_error", [] { throw std::overflow_error("probe"); }},
    {"runtime_error", [] { throw std::runtime_error("probe"); }},
};

[[noreturn]] void throw_cpp(std::string_view kind) {
    for (const auto &[name, throw_it] : kThrowers)
        if (name == kind)
            throw_it();
    throw 42; // of no exception type at all
}

nb::object throw_cpp_exception(const vx::Args &args) {
    nb::str kind = args.str(0);
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(kind.ptr(), &length);
    if (!text)
        throw nb::python_error();
    throw_cpp(std::string_view(text, static_cast<size_t>(length)));
}

nb::object identity(const vx::Args &args) {
    return nb::borrow(args[0]);
}

// The least a C function called from Python can do: no argument binding
// beyond the count, no frame, no error handling of its own.
PyObject *bare_identity(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 1)
        return PyErr_Format(PyExc_TypeError, "bare_identity() takes exactly one argument (%zd given)", nargs);
    return Py_NewRef(args[0]);
}

PyMethodDef kBareIdentityDef = {"bare_identity",
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bare_identity)),
                                METH_FASTCALL, kBareIdentityDoc};

void add_bare_identity(const vx::ModuleContext &module) {
    nb::object module_name = vx::ModuleContext::attribute(module.module, "__name__");
    module.bind("bare_identity",
                vx::steal_or_throw(PyCFunction_NewEx(&kBareIdentityDef, module.module.ptr(), module_name.ptr())));
}

} // namespace

VX_MODULE(_native_probe, vx::ModuleState, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    module.def({.name = "throw_cpp_exception",
                .implementation = throw_cpp_exception,
                .params = {{"kind", "str"}},
                .doc = kThrowDoc,
                .source_line = __LINE__});
    module.def({.name = "identity",
                .implementation = identity,
                .params = {{"value"}},
                .doc = kIdentityDoc,
                .source_line = __LINE__});
    add_bare_identity(module);
}
