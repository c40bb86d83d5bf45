// The pieces of a Python `try: ... except X as e: ...` statement for native
// code: running a block and keeping what it raised, matching it against an
// exception class the way an except clause does, running a handler while the
// caught exception is the one being handled (so `sys.exception()` shows it and
// anything raised in the handler gets it as `__context__`), and re-raising.
#pragma once

#include "errors.hpp"

#include <utility>

namespace vx {

// Runs `block`; returns the exception it raised, or an invalid object when it
// completed. C++ failures inside the block become their Python counterparts
// first, so a MemoryError is caught like any other exception.
template <class Block> nb::object run_protected(Block &&block) {
    try {
        std::forward<Block>(block)();
        return nb::object();
    } catch (...) {
        set_error_from_cpp_exception();
        return nb::steal(PyErr_GetRaisedException());
    }
}

// Raises a caught exception again, unchanged.
[[noreturn]] inline void reraise(nb::object exception) {
    PyErr_SetRaisedException(exception.release().ptr());
    throw nb::python_error();
}

// True when an except clause naming `clause` would catch `exception`. Like
// the interpreter, refuses a clause that is neither an exception class nor a
// tuple of them.
inline bool exception_matches(nb::handle exception, nb::handle clause) {
    auto is_exception_class = [](nb::handle candidate) {
        return PyType_Check(candidate.ptr()) && PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(candidate.ptr()),
                                                                 reinterpret_cast<PyTypeObject *>(PyExc_BaseException));
    };
    bool valid = is_exception_class(clause);
    if (!valid && PyTuple_Check(clause.ptr())) {
        valid = true;
        for (nb::handle item : nb::borrow<nb::tuple>(clause))
            valid = valid && is_exception_class(item);
    }
    if (!valid)
        raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return PyErr_GivenExceptionMatches(exception.ptr(), clause.ptr()) != 0;
}

// While alive, `exception` is the exception being handled on this thread, as
// inside an except block; the previous one comes back when it ends.
class HandlingScope {
  public:
    explicit HandlingScope(nb::handle exception) : previous_(nb::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception.ptr());
    }
    ~HandlingScope() { PyErr_SetHandledException(previous_.ptr()); }

    HandlingScope(const HandlingScope &) = delete;
    HandlingScope &operator=(const HandlingScope &) = delete;

  private:
    nb::object previous_;
};

} // namespace vx
