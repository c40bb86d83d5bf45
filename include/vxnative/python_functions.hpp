// What the code of a Python function (one written in Python, such as a
// standard-library function) would find, read without running any code, so
// that native code can tell whether a shortcut around calling it gives what
// the call gives.
#pragma once

#include "errors.hpp"

#include <string_view>

namespace vx {

// The object the function's code finds under a global `name`: its module's
// globals, then the built-ins it was created with. Nothing when the name is
// not there, or when the built-ins are not a dict (their lookup could run
// code).
inline PyObject *global_seen_by(PyObject *function, nb::handle name) {
    PyObject *found = PyDict_GetItemWithError(PyFunction_GetGlobals(function), name.ptr());
    if (!found && !PyErr_Occurred()) {
        PyObject *builtins = reinterpret_cast<PyFunctionObject *>(function)->func_builtins;
        if (builtins && PyDict_CheckExact(builtins))
            found = PyDict_GetItemWithError(builtins, name.ptr());
    }
    PyErr_Clear();
    return found;
}

// The interpreter's own built-in function `name`: a function of the builtins
// module by that name (Python code cannot make one, so a wrapper installed
// in its place, even before a module was imported, is not one).
inline bool is_builtin_function(nb::handle candidate, std::string_view name) {
    if (!candidate.is_valid() || !PyCFunction_Check(candidate.ptr()))
        return false;
    PyObject *owner = PyCFunction_GET_SELF(candidate.ptr());
    const char *owner_name = owner && PyModule_Check(owner) ? PyModule_GetName(owner) : nullptr;
    if (!owner_name) {
        PyErr_Clear();
        return false;
    }
    const char *function_name = reinterpret_cast<PyCFunctionObject *>(candidate.ptr())->m_ml->ml_name;
    return std::string_view(owner_name) == "builtins" && function_name == name;
}

} // namespace vx
