// The state of one module object. Everything a module learns or keeps beyond
// its namespace (the objects it captured at import, its caches, its interned
// names, the type of its native functions) lives here, so that a second
// import, a reload and every subinterpreter have their own and nothing found
// about one module object is ever used for another.
//
// A module's own state derives from ModuleState and lists the Python objects
// it holds in `traverse` and `clear`, which the garbage collector calls
// through the module.
#pragma once

#include "guard.hpp"
#include "names.hpp"

namespace vx {

class ModuleState {
  public:
    virtual ~ModuleState() = default;

    Names names;
    guard::DictClock clock;
    guard::WrappedFunctionReader wrapped_function;
    nb::object function_type; // the type of this module's native functions

    // The references of the module's own state, for the garbage collector.
    virtual int traverse(visitproc, void *) { return 0; }
    // Drops every reference that can take part in a cycle. Names stay: a
    // function that outlives its cleared module still looks them up, and
    // str objects cannot form cycles.
    virtual void clear() {}

    int traverse_all(visitproc visit, void *arg) {
        Py_VISIT(function_type.ptr());
        return traverse(visit, arg);
    }

    void clear_all() {
        function_type = nb::object();
        clear();
    }
};

template <class State> State &Args::state() const {
    return static_cast<State &>(*function_->data->state);
}

template <Literal L> nb::handle Args::id() const {
    return function_->data->state->names.get<L>();
}

} // namespace vx
