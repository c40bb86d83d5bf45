// Building module-level functions and classes from native functions. Classes
// are made by calling their metaclass with a namespace, exactly as a class
// statement does, so they are ordinary Python classes (subclassable, with
// instance dicts, enumerations through Enum's own protocol).
#pragma once

#include "calls.hpp"
#include "function_type.hpp"

#include <memory>
#include <string>

namespace vx {

// A module under construction: its object, its state and the source file
// named in traceback entries of its functions.
struct ModuleContext {
    nb::handle module;
    std::shared_ptr<ModuleState> state;
    const char *source_file;

    template <class State> State &state_as() const { return static_cast<State &>(*state); }
    template <Literal L> nb::handle id() const { return state->names.get<L>(); }

    // Binds `name` in the module namespace.
    void bind(const char *name, nb::handle value) const {
        if (PyObject_SetAttrString(module.ptr(), name, value.ptr()) < 0)
            throw nb::python_error();
    }

    // `import name`, as the statement does it (see import_for); for a dotted
    // name that is the top-level package, which the statement binds.
    nb::object import(const char *name) const { return import_for(name, nb::none()); }

    // `module.name`, for the module's set-up.
    static nb::object attribute(nb::handle object, const char *name) {
        return steal_or_throw(PyObject_GetAttrString(object.ptr(), name));
    }

    // An import statement's call of the built-in `__import__` found among the
    // builtins now, so that an import hook the host installed sees it, with
    // the module's globals, `fromlist` (None for `import name`; the names of
    // `from name import ...`, which imports a submodule among them too) and
    // `level` (1 for `from .name import ...`). Gives what `__import__` gave.
    nb::object import_for(const char *module_name, nb::handle fromlist, long level = 0) const {
        nb::object import_function = builtin_import();
        nb::handle globals = PyModule_GetDict(module.ptr());
        nb::object level_number = steal_or_throw(PyLong_FromLong(level));
        return call(import_function, {nb::str(module_name), globals, globals, fromlist, level_number});
    }

    static nb::object names_tuple(std::initializer_list<const char *> names) {
        nb::object tuple = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        Py_ssize_t index = 0;
        for (const char *name : names)
            PyTuple_SET_ITEM(tuple.ptr(), index++, nb::str(name).release().ptr());
        return tuple;
    }

    // `from module_name import name`.
    nb::object import_from(const char *module_name, const char *name) const {
        return take_from(import_for(module_name, names_tuple({name})), nb::str(name));
    }

    // `from module_name import name, ...`, each name bound in the module.
    void bind_from(const char *module_name, std::initializer_list<const char *> names, long level = 0) const {
        nb::object source = import_for(module_name, names_tuple(names), level);
        for (const char *name : names)
            bind(name, take_from(source, nb::str(name)));
    }

    // The `__import__` of the built-ins of the code running the import (the
    // interpreter's own when no Python code runs), with the interpreter's
    // error when it is missing.
    static nb::object builtin_import() {
        PyObject *builtins = PyEval_GetBuiltins();
        PyObject *found = builtins ? PyDict_GetItemWithError(builtins, nb::str("__import__").ptr()) : nullptr;
        if (!found) {
            throw_if_error();
            raise(PyExc_ImportError, "__import__ not found");
        }
        return nb::borrow(found);
    }

    // The name lookup of `from module import name`, as the interpreter does it:
    // the attribute, else the submodule in sys.modules, else ImportError.
    static nb::object take_from(nb::handle module, nb::handle name) {
        PyObject *value = PyObject_GetAttr(module.ptr(), name.ptr());
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        nb::object package = nb::steal(PyObject_GetAttrString(module.ptr(), "__name__"));
        if (package.is_valid() && PyUnicode_Check(package.ptr())) {
            nb::object full = steal_or_throw(PyUnicode_FromFormat("%U.%U", package.ptr(), name.ptr()));
            PyObject *submodule = PyImport_GetModule(full.ptr());
            if (submodule)
                return nb::steal(submodule);
            throw_if_error();
        } else {
            PyErr_Clear();
            package = nb::object();
        }
        nb::object path = nb::steal(PyModule_GetFilenameObject(module.ptr()));
        nb::object shown = package.is_valid() ? package : nb::object(nb::str("<unknown module name>"));
        nb::object message;
        if (!path.is_valid() || !PyUnicode_Check(path.ptr())) {
            PyErr_Clear();
            path = nb::object();
            message = steal_or_throw(
                PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(), shown.ptr()));
        } else {
            nb::object spec = nb::steal(PyObject_GetAttrString(module.ptr(), "__spec__"));
            bool initializing = false;
            if (spec.is_valid()) {
                nb::object flag = nb::steal(PyObject_GetAttrString(spec.ptr(), "_initializing"));
                initializing = flag.is_valid() && PyObject_IsTrue(flag.ptr()) > 0;
            }
            PyErr_Clear();
            message = steal_or_throw(
                PyUnicode_FromFormat(initializing ? "cannot import name %R from partially initialized module %R "
                                                    "(most likely due to a circular import) (%S)"
                                                  : "cannot import name %R from %R (%S)",
                                     name.ptr(), shown.ptr(), path.ptr()));
        }
        PyErr_SetImportError(message.ptr(), package.ptr(), path.ptr());
        PyObject *error = PyErr_GetRaisedException();
        if (PyObject_SetAttrString(error, "name_from", name.ptr()) < 0)
            PyErr_Clear();
        PyErr_SetRaisedException(error);
        throw nb::python_error();
    }

    // A module-level function.
    nb::object def(const FunctionDef &def) const {
        nb::object function = make_function(def, module, state, def.name, source_file);
        bind(def.name, function);
        return function;
    }
};

class ClassBuilder {
  public:
    ClassBuilder(const ModuleContext &context, const char *name, const char *doc, nb::tuple bases = nb::tuple())
        : context_(context), name_(name), original_bases_(bases), bases_(resolved_bases(bases)) {
        metaclass_ = most_derived_metaclass();
        nb::object prepare = optional_attribute(metaclass_, "__prepare__");
        namespace_ = prepare.is_valid() ? prepare(nb::str(name), bases_) : nb::object(nb::dict());
        if (!PyMapping_Check(namespace_.ptr()))
            raise(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                  PyType_Check(metaclass_.ptr()) ? reinterpret_cast<PyTypeObject *>(metaclass_.ptr())->tp_name
                                                 : "<metaclass>",
                  Py_TYPE(namespace_.ptr())->tp_name);
        set("__module__", ModuleContext::attribute(context.module, "__name__"));
        set("__qualname__", nb::str(name));
        if (doc)
            set("__doc__", nb::str(doc));
    }

    // Stores `value` under `name` in the class namespace.
    // Keys are interned as a class statement's names are, so attribute
    // lookups on the class hit the identity fast path.
    void set(const char *key, nb::handle value) {
        nb::object name = steal_or_throw(PyUnicode_InternFromString(key));
        if (PyObject_SetItem(namespace_.ptr(), name.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    }

    nb::object method(const FunctionDef &def) {
        nb::object function = make(def);
        set(def.name, function);
        return function;
    }

    nb::object static_method(const FunctionDef &def) { return wrap_in("staticmethod", def); }
    nb::object class_method(const FunctionDef &def) { return wrap_in("classmethod", def); }
    nb::object property(const FunctionDef &getter) { return wrap_in("property", getter); }

    // Creates the class and binds it in the module.
    nb::object finish() {
        // After the body, as a class statement stores it.
        if (!bases_.is(original_bases_))
            set("__orig_bases__", original_bases_);
        nb::object cls = metaclass_(nb::str(name_), bases_, namespace_);
        context_.bind(name_, cls);
        return cls;
    }

  private:
    nb::object make(const FunctionDef &def) const {
        return make_function(def, context_.module, context_.state, std::string(name_) + "." + def.name,
                             context_.source_file);
    }

    nb::object wrap_in(const char *decorator, const FunctionDef &def) {
        nb::object wrapper = call(name_in_body(decorator), {make(def)});
        set(def.name, wrapper);
        return wrapper;
    }

    // A name as the class body finds it: the namespace being built, the
    // module's globals, then the built-ins; NameError when it is in none.
    nb::object name_in_body(const char *text) const {
        nb::object name = steal_or_throw(PyUnicode_InternFromString(text));
        PyObject *value = PyObject_GetItem(namespace_.ptr(), name.ptr());
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear(); // not in the namespace: the globals are next, as for the statement
        for (PyObject *names : {PyModule_GetDict(context_.module.ptr()), PyEval_GetBuiltins()}) {
            value = PyDict_GetItemWithError(names, name.ptr());
            if (value)
                return nb::borrow(value);
            throw_if_error();
        }
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }

    // The attribute, or nothing when it is missing; other errors pass on.
    static nb::object optional_attribute(nb::handle object, const char *name) {
        PyObject *value = PyObject_GetAttrString(object.ptr(), name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw nb::python_error();
            PyErr_Clear();
            return {};
        }
        return nb::steal(value);
    }

    // The bases a class statement would use: a base that is not a class
    // but has `__mro_entries__` is replaced by the classes that returns.
    static nb::tuple resolved_bases(const nb::tuple &bases) {
        nb::list resolved;
        bool changed = false;
        for (nb::handle base : bases) {
            nb::object entries;
            if (!PyType_Check(base.ptr()))
                entries = optional_attribute(base, "__mro_entries__");
            if (!entries.is_valid()) {
                resolved.append(base);
                continue;
            }
            nb::object replacement = entries(bases);
            if (!PyTuple_Check(replacement.ptr()))
                raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
            for (nb::handle entry : replacement)
                resolved.append(entry);
            changed = true;
        }
        return changed ? nb::tuple(resolved) : bases;
    }

    // The metaclass a class statement would pick: the most derived type
    // among the bases' types, starting from the first base's (type itself
    // for no bases).
    nb::object most_derived_metaclass() const {
        PyTypeObject *winner = bases_.size() ? Py_TYPE(PyTuple_GET_ITEM(bases_.ptr(), 0)) : &PyType_Type;
        for (nb::handle base : bases_) {
            PyTypeObject *candidate = Py_TYPE(base.ptr());
            if (PyType_IsSubtype(winner, candidate))
                continue;
            if (PyType_IsSubtype(candidate, winner))
                winner = candidate;
            else
                raise(PyExc_TypeError, "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                                       "subclass of the metaclasses of all its bases");
        }
        return nb::borrow(reinterpret_cast<PyObject *>(winner));
    }

    const ModuleContext &context_;
    const char *name_;
    nb::tuple original_bases_;
    nb::tuple bases_;
    nb::object metaclass_;
    nb::object namespace_;
};

} // namespace vx
