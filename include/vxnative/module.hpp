// The entry point of a module: `VX_MODULE(name, module) { ... }` in place of
// nanobind's NB_MODULE. nanobind still creates and initialises the module;
// what differs is a failure of the body. nanobind's entry point wraps any
// exception in an ImportError of its own, while the body of a module stands
// for the statements of a Python module, whose exceptions reach the
// importing code unchanged: `import requests` missing fails the import with
// the very ModuleNotFoundError (message, `name`) the statement raised.
//
// How: NB_MODULE defines a module under a private name, whose entry point
// returns a multi-phase definition (PEP 489). The real entry point hands the
// import system a copy of that definition whose execution slot runs
// nanobind's, and, when the body failed, puts the body's own exception back
// in place of nanobind's wrapper. Only the public module-definition API of
// CPython is touched; of nanobind, only NB_MODULE itself. nanobind releases
// before 2.8 create the module in one phase under the name given to
// NB_MODULE, so they are refused at compile time.
#pragma once

#include "errors.hpp"

#if NB_VERSION_MAJOR < 2 || (NB_VERSION_MAJOR == 2 && NB_VERSION_MINOR < 8)
#error "valdrix needs nanobind 2.8 or newer (multi-phase module initialisation)"
#endif

namespace vx::detail {

// One module's state between its entry point and the end of its execution.
struct ModuleEntry {
    const char *name;
    PyModuleDef definition;
    PyModuleDef_Slot slots[8];
    int (*nanobind_exec)(PyObject *) = nullptr;
    PyObject *body_error = nullptr; // the exception the body raised, owned
};

// Runs the body of a module, keeping the exception it raises so the entry
// point can hand that one, not nanobind's wrapper, to the importer.
inline void run_module_body(ModuleEntry &entry, nb::module_ &module, void (*body)(nb::module_ &)) {
    try {
        body(module);
    } catch (...) {
        set_error_from_cpp_exception();
        PyObject *error = PyErr_GetRaisedException();
        Py_XSETREF(entry.body_error, Py_XNewRef(error));
        PyErr_SetRaisedException(error);
        throw nb::python_error();
    }
}

inline int execute_module(ModuleEntry &entry, PyObject *module) {
    Py_CLEAR(entry.body_error);
    int status = entry.nanobind_exec(module);
    if (entry.body_error) {
        PyObject *error = entry.body_error;
        entry.body_error = nullptr;
        if (status == 0) {
            Py_DECREF(error);
        } else {
            PyErr_Clear();
            PyErr_SetRaisedException(error);
        }
    }
    return status;
}

// The definition handed to the import system: nanobind's, with its
// execution slot replaced by `exec`.
inline PyObject *module_definition(ModuleEntry &entry, PyObject *(*nanobind_init)(), int (*exec)(PyObject *)) {
#ifdef Py_GIL_DISABLED
    (void)entry;
    (void)nanobind_init;
    (void)exec;
    PyErr_Format(PyExc_ImportError,
                 "%s: free-threaded builds of Python (without the GIL) are not supported; "
                 "use a build with the GIL",
                 entry.name);
    return nullptr;
#else
    if (entry.nanobind_exec)
        return PyModuleDef_Init(&entry.definition);
    PyObject *created = nanobind_init();
    if (!created)
        return nullptr;
    if (!PyObject_TypeCheck(created, &PyModuleDef_Type)) {
        Py_DECREF(created);
        PyErr_Format(PyExc_ImportError, "%s: nanobind created the module in one phase; it needs 2.8 or newer",
                     entry.name);
        return nullptr;
    }
    const PyModuleDef *original = reinterpret_cast<const PyModuleDef *>(created);
    size_t count = 0;
    int (*nanobind_exec)(PyObject *) = nullptr;
    for (const PyModuleDef_Slot *slot = original->m_slots; slot && slot->slot; ++slot) {
        if (count + 2 > sizeof(entry.slots) / sizeof(entry.slots[0])) {
            PyErr_Format(PyExc_ImportError, "%s: unexpected module definition from nanobind", entry.name);
            return nullptr;
        }
        entry.slots[count] = *slot;
        if (slot->slot == Py_mod_exec) {
            if (nanobind_exec) {
                PyErr_Format(PyExc_ImportError, "%s: unexpected module definition from nanobind", entry.name);
                return nullptr;
            }
            nanobind_exec = reinterpret_cast<int (*)(PyObject *)>(slot->value);
            entry.slots[count].value = reinterpret_cast<void *>(exec);
        }
        ++count;
    }
    if (!nanobind_exec) {
        PyErr_Format(PyExc_ImportError, "%s: unexpected module definition from nanobind", entry.name);
        return nullptr;
    }
    entry.slots[count] = {0, nullptr};
    PyModuleDef_Base base = PyModuleDef_HEAD_INIT;
    entry.definition = *original;
    entry.definition.m_base = base;
    entry.definition.m_name = entry.name;
    entry.definition.m_slots = entry.slots;
    entry.nanobind_exec = nanobind_exec;
    return PyModuleDef_Init(&entry.definition);
#endif
}

} // namespace vx::detail

#define VX_MODULE(name, variable)                                                                                      \
    static void vx_module_body_##name(::nanobind::module_ &);                                                          \
    static ::vx::detail::ModuleEntry vx_module_entry_##name{#name, {}, {}};                                            \
    NB_MODULE(vx_nanobind_##name, vx_module_) {                                                                        \
        ::vx::detail::run_module_body(vx_module_entry_##name, vx_module_, vx_module_body_##name);                      \
    }                                                                                                                  \
    static int vx_module_exec_##name(PyObject *module) {                                                               \
        return ::vx::detail::execute_module(vx_module_entry_##name, module);                                           \
    }                                                                                                                  \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void);                                                                \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                                               \
        return ::vx::detail::module_definition(vx_module_entry_##name, PyInit_vx_nanobind_##name,                      \
                                               vx_module_exec_##name);                                                 \
    }                                                                                                                  \
    static void vx_module_body_##name(::nanobind::module_ &variable)
