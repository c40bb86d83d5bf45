// A Python `with` statement for native code: __enter__ and __exit__ looked up
// on the manager's type as the interpreter does, __exit__ called with the
// exception's type, value and traceback when the block raises (while that
// exception is the one being handled, so anything raised in __exit__ chains
// to it), a true result of __exit__ suppressing the exception.
#pragma once

#include "errors.hpp"

#include <utility>

namespace vx {

namespace detail {

// type(obj).name bound to obj, searched along the type's MRO only (instance
// attributes and the metaclass are not consulted), as for special methods.
// Returns an invalid object when the name is not found.
inline nb::object lookup_special(nb::handle obj, nb::handle name) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    nb::handle mro = type->tp_mro;
    if (!mro.is_valid())
        return nb::object();
    for (nb::handle klass : nb::borrow<nb::tuple>(mro)) {
        nb::object namespace_ = nb::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(klass.ptr())));
        if (!namespace_.is_valid())
            continue;
        PyObject *found = PyDict_GetItemWithError(namespace_.ptr(), name.ptr());
        if (!found) {
            throw_if_error();
            continue;
        }
        descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
        if (!bind)
            return nb::borrow(found);
        return steal_or_throw(bind(found, obj.ptr(), reinterpret_cast<PyObject *>(type)));
    }
    return nb::object();
}

inline nb::handle enter_name() {
    static PyObject *interned = PyUnicode_InternFromString("__enter__");
    return interned;
}

inline nb::handle exit_name() {
    static PyObject *interned = PyUnicode_InternFromString("__exit__");
    return interned;
}

// While alive, `exception` is the one being handled on this thread.
class HandledExceptionScope {
  public:
    explicit HandledExceptionScope(nb::handle exception) : previous_(nb::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception.ptr());
    }
    ~HandledExceptionScope() { PyErr_SetHandledException(previous_.ptr()); }

    HandledExceptionScope(const HandledExceptionScope &) = delete;
    HandledExceptionScope &operator=(const HandledExceptionScope &) = delete;

  private:
    nb::object previous_;
};

} // namespace detail

class ContextManager {
  public:
    // Looks up both methods before entering, with the interpreter's errors
    // for a manager that lacks one of them.
    explicit ContextManager(nb::handle manager) {
        const char *type_name = Py_TYPE(manager.ptr())->tp_name;
        enter_ = detail::lookup_special(manager, detail::enter_name());
        if (!enter_.is_valid())
            raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol", type_name);
        exit_ = detail::lookup_special(manager, detail::exit_name());
        if (!exit_.is_valid())
            raise(PyExc_TypeError,
                  "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                  type_name);
    }

    nb::object enter() { return steal_or_throw(PyObject_CallNoArgs(enter_.ptr())); }

    void exit_cleanly() {
        nb::handle none = Py_None;
        PyObject *args[] = {none.ptr(), none.ptr(), none.ptr()};
        steal_or_throw(PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr));
    }

    // Called with the block's exception set; returns when __exit__ suppressed
    // it and throws otherwise (the original exception, or whatever __exit__
    // raised instead).
    void exit_with_error() {
        nb::object exception = nb::steal(PyErr_GetRaisedException());
        nb::object traceback = nb::steal(PyException_GetTraceback(exception.ptr()));
        if (!traceback.is_valid())
            traceback = nb::none();
        bool suppress;
        {
            detail::HandledExceptionScope handling(exception);
            PyObject *args[] = {reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr(),
                                traceback.ptr()};
            nb::object result = steal_or_throw(PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr));
            int truth = PyObject_IsTrue(result.ptr());
            if (truth < 0)
                throw nb::python_error();
            suppress = truth != 0;
        }
        if (suppress)
            return;
        PyErr_SetRaisedException(exception.release().ptr());
        throw nb::python_error();
    }

  private:
    nb::object enter_;
    nb::object exit_;
};

// `with manager as value: block(value)`. Returns true when the block ran to
// its end, false when it raised and __exit__ suppressed the exception.
template <class Block> bool with_context(nb::handle manager, Block &&block) {
    ContextManager context(manager);
    nb::object value = context.enter();
    try {
        std::forward<Block>(block)(nb::handle(value));
    } catch (...) {
        set_error_from_cpp_exception();
        context.exit_with_error();
        return false;
    }
    context.exit_cleanly();
    return true;
}

} // namespace vx
