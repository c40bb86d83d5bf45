// The state of one module object. Everything a module learns or keeps beyond
// its namespace (the objects it captured at import, its caches, its interned
// names, the type of its native functions) lives here, so that a second
// import, a reload and every subinterpreter have their own and nothing found
// about one module object is ever used for another.
//
// A module's own state derives from ModuleState. What it captures at import
// is declared once, as parts (StatePart) that the state captures after the
// module's body ran and that the garbage collector reaches through the
// module; other Python objects it holds it lists in `traverse` and `clear`.
#pragma once

#include "function_object.hpp"

#include <vector>

namespace vx {

class ModuleState;

// A piece of a module's state that captures objects once the module's body
// has bound its globals, and holds them for the garbage collector to reach.
class StatePart {
  public:
    explicit StatePart(ModuleState &state);
    virtual ~StatePart() = default;
    StatePart(const StatePart &) = delete;
    StatePart &operator=(const StatePart &) = delete;

    virtual void capture(nb::handle module) = 0;
    virtual int traverse(visitproc visit, void *arg) const = 0;
    virtual void clear() = 0;
};

class ModuleState {
  public:
    virtual ~ModuleState() = default;

    Names names;
    nb::object function_type; // the type of this module's native functions
    std::vector<StatePart *> parts;

    // The module's own references beyond its parts, for the garbage collector.
    virtual int traverse(visitproc, void *) { return 0; }
    // Drops every reference that can take part in a cycle. Names stay: a
    // function that outlives its cleared module still looks them up, and
    // str objects cannot form cycles.
    virtual void clear() {}

    void capture_parts(nb::handle module) {
        for (StatePart *part : parts)
            part->capture(module);
    }

    int traverse_all(visitproc visit, void *arg) {
        Py_VISIT(function_type.ptr());
        for (const StatePart *part : parts)
            if (int result = part->traverse(visit, arg))
                return result;
        return traverse(visit, arg);
    }

    void clear_all() {
        function_type = nb::object();
        for (StatePart *part : parts)
            part->clear();
        clear();
    }
};

inline StatePart::StatePart(ModuleState &state) {
    state.parts.push_back(this);
}

template <class State> State &Args::state() const {
    return static_cast<State &>(*function_->data->state);
}

template <Literal L> nb::handle Args::id() const {
    return function_->data->state->names.get<L>();
}

} // namespace vx
