// The entry point of a module:
//
//     VX_MODULE(dimora, State, kSource, module) { ...the module's statements... }
//
// defines the module by multi-phase initialisation (PEP 489) with a state of
// type `State` (derived from ModuleState) in each module object. Each import
// (a second one after leaving sys.modules included) and each subinterpreter
// executes the body for a new module object with a new state, so modules load
// in isolated subinterpreters with their own GIL. importlib.reload leaves the
// module as it is: the interpreter executes a module that has its state once.
// The body stands for the statements of a Python module: an exception it
// raises reaches the importing code unchanged (a missing `requests` fails the
// import with the very ModuleNotFoundError the import raised).
//
// Only nanobind's object handles are used, never its runtime (which keeps
// per-process state): no nanobind module, no string-keyed nanobind helpers
// such as `attr("name")` or `"name"_a`.
#pragma once

#include "classes.hpp"

#include <memory>

namespace vx::detail {

// The module object's own memory holds the owner of its state. The state is
// shared with the module's functions, so one reached after its module was
// cleared still finds its names.
using StateOwner = std::shared_ptr<ModuleState>;

inline StateOwner *&state_owner(PyObject *module) {
    return *static_cast<StateOwner **>(PyModule_GetState(module));
}

template <class State> int execute_module(PyObject *module, void (*body)(ModuleContext &), const char *source_file) {
    try {
        auto state = std::make_shared<State>();
        state->names.create();
        state->function_type = make_function_type(module);
        state_owner(module) = new StateOwner(state);
        ModuleContext context{module, state, source_file};
        body(context);
        state->capture_parts(module);
        return 0;
    } catch (...) {
        set_error_from_cpp_exception();
        return -1;
    }
}

inline int traverse_module(PyObject *module, visitproc visit, void *arg) {
    StateOwner *owner = state_owner(module);
    return owner ? (*owner)->traverse_all(visit, arg) : 0;
}

inline int clear_module(PyObject *module) {
    if (StateOwner *owner = state_owner(module))
        (*owner)->clear_all();
    return 0;
}

inline void free_module(void *object) {
    auto *module = static_cast<PyObject *>(object);
    clear_module(module);
    StateOwner *&owner = state_owner(module);
    delete owner;
    owner = nullptr;
}

inline PyModuleDef module_definition(const char *name, PyModuleDef_Slot *slots) {
    return {
        PyModuleDef_HEAD_INIT,
        name,
        nullptr, // the body binds __doc__
        sizeof(StateOwner *),
        nullptr,
        slots,
        traverse_module,
        clear_module,
        free_module,
    };
}

inline PyObject *initialise(PyModuleDef *definition) {
#ifdef Py_GIL_DISABLED
    PyErr_Format(PyExc_ImportError,
                 "%s: free-threaded builds of Python (without the GIL) are not supported; "
                 "use a build with the GIL",
                 definition->m_name);
    return nullptr;
#else
    return PyModuleDef_Init(definition);
#endif
}

} // namespace vx::detail

#if PY_VERSION_HEX >= 0x030D0000
#define VX_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define VX_MODULE_GIL_SLOT
#endif

#define VX_MODULE(name, State, source_file, variable)                                                                  \
    static void vx_module_body(::vx::ModuleContext &);                                                                 \
    static int vx_module_exec(PyObject *module) {                                                                      \
        return ::vx::detail::execute_module<State>(module, vx_module_body, source_file);                               \
    }                                                                                                                  \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void);                                                                \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                                               \
        static PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(vx_module_exec)},                    \
                                           {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},       \
                                           VX_MODULE_GIL_SLOT{0, nullptr}};                                            \
        static PyModuleDef definition = ::vx::detail::module_definition(#name, slots);                                 \
        return ::vx::detail::initialise(&definition);                                                                  \
    }                                                                                                                  \
    static void vx_module_body(::vx::ModuleContext &variable)
