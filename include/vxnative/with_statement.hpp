// A Python `with` statement for native code: __enter__ and __exit__ looked up
// on the manager's type as the interpreter does, __exit__ called with the
// exception's type, value and traceback when the block raises (while that
// exception is the one being handled, so anything raised in __exit__ chains
// to it), a true result of __exit__ suppressing the exception.
#pragma once

#include "errors.hpp"
#include "except.hpp"
#include "names.hpp"
#include "thread_end.hpp"

#include <utility>

namespace vx {

namespace detail {

// An attribute found in a class namespace, bound to `obj` as for a special
// method (through its __get__ when it has one).
inline nb::object bind_special(PyObject *found, nb::handle obj) {
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind)
        return nb::borrow(found);
    return steal_or_throw(bind(found, obj.ptr(), reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))));
}

// The attribute `name` of `type`'s namespaces, searched along its MRO only
// (instance attributes and the metaclass are not consulted), as the
// interpreter looks up special methods; invalid when not found.
inline nb::object find_in_mro(PyTypeObject *type, nb::handle name) {
    // Held, as the interpreter holds it in its own lookups: a key's __eq__ run
    // by a lookup below may give the type a new MRO and release this one.
    nb::object mro_reference = nb::borrow(type->tp_mro);
    PyObject *mro = mro_reference.ptr();
    Py_ssize_t count = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto *klass = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        nb::object namespace_ = nb::steal(PyType_GetDict(klass));
        if (!namespace_.is_valid())
            continue;
        PyObject *found = PyDict_GetItemWithError(namespace_.ptr(), name.ptr());
        if (found)
            return nb::borrow(found);
        throw_if_error();
    }
    return nb::object();
}

// type(obj).<name> bound to obj, as for a special method; invalid when not
// found.
inline nb::object lookup_special(nb::handle obj, nb::handle name) {
    nb::object found = find_in_mro(Py_TYPE(obj.ptr()), name);
    return found.is_valid() ? bind_special(found.ptr(), obj) : found;
}

#if PY_VERSION_HEX >= 0x030E0000
// Whether the interpreter would suggest `async with` for `manager`: its type
// has both asynchronous methods, each a descriptor. The interpreter's lookup
// for this hint reports no error, so none is left set here either.
inline bool supports_async_protocol(nb::handle manager, const Names &names) {
    auto is_method = [&](nb::handle name) {
        try {
            nb::object found = find_in_mro(Py_TYPE(manager.ptr()), name);
            return found.is_valid() && Py_TYPE(found.ptr())->tp_descr_get != nullptr;
        } catch (nb::python_error &) {
            return false;
        }
    };
    return is_method(names.get<"__aenter__">()) && is_method(names.get<"__aexit__">());
}
#endif

} // namespace detail

class ContextManager {
  public:
    // Looks up and binds both methods before entering, in the interpreter's
    // order (__enter__ first up to 3.13, __exit__ first from 3.14), with its
    // errors for a manager that lacks one of them.
    ContextManager(nb::handle manager, const Names &names) {
#if PY_VERSION_HEX >= 0x030E0000
        exit_ = required(manager, names, names.get<"__exit__">(), "__exit__");
        enter_ = required(manager, names, names.get<"__enter__">(), "__enter__");
#else
        enter_ = required(manager, names.get<"__enter__">(), "");
        exit_ = required(manager, names.get<"__exit__">(), " (missed __exit__ method)");
#endif
    }

    nb::object enter() {
        return steal_or_throw(into_python([&] { return PyObject_CallNoArgs(enter_.ptr()); }));
    }

    void exit_cleanly() {
        nb::handle none = Py_None;
        PyObject *args[] = {none.ptr(), none.ptr(), none.ptr()};
        steal_or_throw(into_python([&] { return PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr); }));
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
            HandlingScope handling(exception);
            PyObject *args[] = {reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr(),
                                traceback.ptr()};
            nb::object result =
                steal_or_throw(into_python([&] { return PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr); }));
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
#if PY_VERSION_HEX >= 0x030E0000
    static nb::object required(nb::handle manager, const Names &names, nb::handle name, const char *method) {
        nb::object found = detail::lookup_special(manager, name);
        if (found.is_valid())
            return found;
        if (detail::supports_async_protocol(manager, names))
            raise(PyExc_TypeError,
                  "'%T' object does not support the context manager protocol (missed %s method) but it supports "
                  "the asynchronous context manager protocol. Did you mean to use 'async with'?",
                  manager.ptr(), method);
        raise(PyExc_TypeError, "'%T' object does not support the context manager protocol (missed %s method)",
              manager.ptr(), method);
    }
#else
    static nb::object required(nb::handle manager, nb::handle name, const char *missed) {
        nb::object method = detail::lookup_special(manager, name);
        if (!method.is_valid())
            raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                  Py_TYPE(manager.ptr())->tp_name, missed);
        return method;
    }
#endif

    nb::object enter_;
    nb::object exit_;
};

// `with manager as value: block(value)`. Returns true when the block ran to
// its end, false when it raised and __exit__ suppressed the exception.
template <class Block> bool with_context(nb::handle manager, const Names &names, Block &&block) {
    ContextManager context(manager, names);
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
