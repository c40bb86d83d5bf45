// What only lexgard's proof of re's compile uses, until that proof goes.
#pragma once

#include "class_facts.hpp"
#include "exact_types.hpp"
#include "globals_guard.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vx::guard {

inline bool is_builtin_function(nb::handle candidate, nb::handle module, std::string_view name) {
    return is_builtin_function(candidate.ptr(), module.ptr(), name);
}

// `module.name` at import, or nothing when it is missing (a module may be
// imported after someone deleted a built-in; only calls of it fail then).
inline nb::object attribute_if_present(nb::handle module, const char *name) {
    PyObject *found = PyObject_GetAttrString(module.ptr(), name);
    if (found)
        return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear(); // raised by this lookup itself
    return nb::object();
}

// The function `name` of `module` when it is the interpreter's own built-in
// function, else nothing: what a module finds at import may already be a
// replacement someone installed, or be missing, and native code stands in
// only for the interpreter's own. Guards compare with what this returns, so
// an empty one never matches.
inline nb::object original_function(nb::handle module, const char *name) {
    nb::object function = attribute_if_present(module, name);
    return is_builtin_function(function, module, name) ? function : nb::object();
}

// The built-in function `name` (`round`, `max`, `abs`...), when it is the
// interpreter's own.
inline nb::object original_builtin(const char *name) {
    nb::object builtins = steal_or_throw(PyImport_ImportModule("builtins"));
    return original_function(builtins, name);
}

// The built-in type `name` (`int`, `float`, `range`, `map`...), when the
// builtins module holds the interpreter's own type `expected` under it.
inline nb::object original_builtin_type(const char *name, PyTypeObject *expected) {
    nb::object builtins = steal_or_throw(PyImport_ImportModule("builtins"));
    nb::object found = attribute_if_present(builtins, name);
    return found.ptr() == reinterpret_cast<PyObject *>(expected) ? found : nb::object();
}

// True when a lookup found the object a module captured at import (an empty
// capture, when the interpreter's own was not there, never matches).
inline bool is_original(PyObject *found, const nb::object &original) {
    return original.is_valid() && found == original.ptr();
}
// --- standard-library code as it was at import ----------------------------------------

// What some modules' code reads, as it was when captured, checked again by
// identity only. A native route that relies on what such code computes may
// be taken only while holds() is true. Captured are:
//   - each module's namespace (or a namespace the code runs in, reached as
//     the globals of its functions): exactly those names, bound to those
//     objects, and the module objects still of the exact module type;
//   - one level deep, the items of the dicts, lists and sets bound there and
//     the instance attributes (with the class) of the other objects there;
//   - every function met, with its __code__, __defaults__, __kwdefaults__
//     (and their contents when a dict) and the contents of its closure;
//   - every class met, with its version tag and its metaclass's, and for
//     the classes the modules define, what their namespaces hold: functions,
//     the functions inside classmethod, staticmethod and property objects,
//     and the instance attributes of the other objects there (descriptors,
//     enumeration members);
//   - what each captured function's code may read from its globals (when
//     they are not a namespace captured whole) and from its built-ins, as it
//     would find it (present or absent), and what is found there in turn.
// Names whose values the modules' own code fills as it runs (caches) are
// captured by the identity of the object bound alone. The capture trusts
// what it finds: holds() answers whether everything is as it was then
// (StandardLibraryCode answers whether the code found was the standard
// library's own).
class NamespaceSnapshot {
  public:
    // Where a captured function's code comes from: the module whose source
    // it was compiled from, as its globals tell. `module_namespace` when its
    // globals are the namespace of a module captured under that name;
    // otherwise the name is the `__name__` bound in its globals.
    struct FunctionSource {
        PyObject *code;
        std::string module;
        bool module_namespace;
    };

    // Captures `module`'s namespace, naming it `name` (the module its code
    // was compiled as); names in `identity_only` by the object bound alone.
    void capture_module(nb::handle module, std::string_view name,
                        std::initializer_list<std::string_view> identity_only = {}) {
        if (!module.is_valid() || !PyModule_CheckExact(module.ptr())) {
            broken_ = true;
            return;
        }
        note_module(module.ptr());
        capture_namespace(PyModule_GetDict(module.ptr()), name, identity_only);
    }

    // Captures a namespace that code runs in (the globals of some function),
    // as capture_module does, without a module object: the code reads its
    // globals directly, whichever module object (if any) holds them.
    void capture_namespace(PyObject *names, std::string_view name,
                           std::initializer_list<std::string_view> identity_only = {}) {
        create_names();
        if (!names || !keyed_by_exact_str(names)) {
            broken_ = true;
            return;
        }
        if (!namespace_names_.emplace(names, std::string(name)).second)
            return;
        std::vector<Item> items = capture_dict(names).items;
        for (const Item &item : items) {
            if (is_dunder(item.key.ptr()) || listed(item.key.ptr(), identity_only))
                continue;
            capture_value(item.value.ptr(), Place::namespace_value);
        }
        captured_ = true;
    }

    // Captures one more object as if found in a namespace (an enumeration
    // member used from elsewhere: its attributes and class).
    void capture_object(nb::handle value) {
        create_names();
        if (value.is_valid())
            capture_value(value.ptr(), Place::namespace_value);
    }

    // Captures, for the code of every function captured so far (and of those
    // met on the way), each name it may read from its globals and its
    // built-ins: what a namespace captured whole holds is captured already;
    // from other globals the name is captured with what it is bound to (a
    // function or class there is captured in turn), and a built-in as it
    // would be found, present or absent. Called once, after the namespaces.
    void capture_names_read() {
        std::unordered_map<PyObject *, std::vector<PyObject *>> builtins_read, globals_read;
        for (size_t i = 0; i < functions_.size(); ++i) { // grows as functions are met
            auto *function = reinterpret_cast<PyFunctionObject *>(functions_[i].function.ptr());
            PyObject *globals = function->func_globals;
            PyObject *builtins = function->func_builtins;
            if (!keyed_by_exact_str(globals) || !keyed_by_exact_str(builtins)) {
                broken_ = true;
                return;
            }
            functions_[i].source = source_of(globals);
            bool whole = namespace_names_.count(globals) != 0;
            std::vector<PyObject *> names;
            std::unordered_set<PyObject *> seen_code;
            collect_names(functions_[i].code.ptr(), names, seen_code);
            for (PyObject *name : names) {
                PyObject *value = pure_item(globals, name);
                if (!value) {
                    builtins_read[builtins].push_back(name);
                } else if (!whole) {
                    globals_read[globals].push_back(name);
                    capture_value(value, Place::item);
                }
            }
        }
        capture_partially(builtins_read);
        capture_partially(globals_read);
    }

    // The code of every captured function, with the module it comes from.
    std::vector<FunctionSource> function_sources() const {
        std::vector<FunctionSource> sources;
        for (const FunctionParts &parts : functions_)
            sources.push_back({parts.code.ptr(), parts.source.first, parts.source.second});
        return sources;
    }

    // The names the namespaces were captured under.
    std::vector<std::string> module_names() const {
        std::vector<std::string> names;
        for (const auto &[names_dict, name] : namespace_names_)
            names.push_back(name);
        return names;
    }

    // True while everything captured is as it was. Reads identities, sizes,
    // exact types and version tags only: runs no Python code and leaves no
    // exception set.
    bool holds() const {
        if (!captured_ || broken_)
            return false;
        for (const nb::object &module : modules_)
            if (!PyModule_CheckExact(module.ptr()))
                return false;
        for (const ClassTag &cls : classes_)
            if (version_tag(reinterpret_cast<PyTypeObject *>(cls.type.ptr())) != cls.tag)
                return false;
        for (const FunctionParts &parts : functions_)
            if (!function_holds(parts))
                return false;
        for (const Attribute &attribute : attributes_)
            if (read_attribute(attribute.owner.ptr(), attribute.name.ptr()) != attribute.value.ptr())
                return false;
        for (const DictContents &contents : dicts_)
            if (!dict_holds(contents))
                return false;
        for (const ListContents &contents : lists_)
            if (!list_holds(contents))
                return false;
        for (const SetContents &contents : sets_)
            if (!set_holds(contents))
                return false;
        for (const InstanceDict &instance : instances_)
            if (!instance_holds(instance))
                return false;
        return true;
    }

    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &module : modules_)
            Py_VISIT(module.ptr());
        for (const ClassTag &cls : classes_)
            Py_VISIT(cls.type.ptr());
        for (const FunctionParts &parts : functions_)
            for (const nb::object *held : {&parts.function, &parts.code, &parts.defaults, &parts.kwdefaults})
                Py_VISIT(held->ptr());
        for (const FunctionParts &parts : functions_)
            for (const nb::object &content : parts.cell_contents)
                Py_VISIT(content.ptr());
        for (const Attribute &attribute : attributes_)
            for (const nb::object *held : {&attribute.owner, &attribute.name, &attribute.value})
                Py_VISIT(held->ptr());
        for (const DictContents &contents : dicts_)
            if (int result = traverse_dict(contents, visit, arg))
                return result;
        for (const ListContents &contents : lists_) {
            Py_VISIT(contents.list.ptr());
            for (const nb::object &item : contents.items)
                Py_VISIT(item.ptr());
        }
        for (const SetContents &contents : sets_) {
            Py_VISIT(contents.set.ptr());
            for (const nb::object &item : contents.items)
                Py_VISIT(item.ptr());
        }
        for (const InstanceDict &instance : instances_) {
            Py_VISIT(instance.owner.ptr());
            Py_VISIT(instance.type.ptr());
            if (int result = traverse_dict(instance.contents, visit, arg))
                return result;
        }
        return 0;
    }

    // Forgets everything; holds() is false from then on.
    void clear() {
        modules_.clear();
        classes_.clear();
        functions_.clear();
        attributes_.clear();
        dicts_.clear();
        lists_.clear();
        sets_.clear();
        instances_.clear();
        visited_.clear();
        instances_seen_.clear();
        namespace_names_.clear();
        captured_ = false;
    }

  private:
    enum class Place { namespace_value, class_entry, item };

    struct Item {
        nb::object key;
        nb::object value; // invalid: the key is absent
    };
    struct DictContents {
        nb::object dict;
        std::vector<Item> items;
        std::unordered_map<PyObject *, PyObject *> value_of_key;
        bool whole = true; // exactly these keys, rather than these among others
    };
    struct ListContents {
        nb::object list;
        std::vector<nb::object> items;
    };
    struct SetContents {
        nb::object set;
        std::vector<nb::object> items;
        std::unordered_set<PyObject *> members;
    };
    struct FunctionParts {
        nb::object function, code, defaults, kwdefaults;
        std::vector<nb::object> cell_contents; // invalid: an empty cell
        std::pair<std::string, bool> source{}; // see FunctionSource
    };
    // `owner.name` read through a member of the owner's exact built-in type
    // (a classmethod's function, a property's getter).
    struct Attribute {
        nb::object owner, name, value;
    };
    struct ClassTag {
        nb::object type;
        unsigned int tag;
    };
    struct InstanceDict {
        nb::object owner, type;
        DictContents contents;
    };

    void create_names() {
        if (func_name_.is_valid())
            return;
        for (auto [name, text] : {std::pair{&func_name_, "__func__"}, std::pair{&fget_name_, "fget"},
                                  std::pair{&fset_name_, "fset"}, std::pair{&fdel_name_, "fdel"}})
            *name = steal_or_throw(PyUnicode_InternFromString(text));
    }

    static bool is_dunder(PyObject *key) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) < 4)
            return false;
        Py_ssize_t last = PyUnicode_GET_LENGTH(key) - 1;
        return PyUnicode_READ_CHAR(key, 0) == '_' && PyUnicode_READ_CHAR(key, 1) == '_' &&
               PyUnicode_READ_CHAR(key, last) == '_' && PyUnicode_READ_CHAR(key, last - 1) == '_';
    }

    static bool listed(PyObject *key, std::initializer_list<std::string_view> names) {
        if (!PyUnicode_CheckExact(key))
            return false;
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(key, &size);
        if (!text) {
            PyErr_Clear(); // raised by this conversion itself (a lone surrogate): not listed
            return false;
        }
        std::string_view key_text(text, static_cast<size_t>(size));
        return std::find(names.begin(), names.end(), key_text) != names.end();
    }

    static bool plain_key(PyObject *key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

    // The module a function's code comes from, as its globals tell: the name
    // its namespace was captured under, else the `__name__` bound there.
    std::pair<std::string, bool> source_of(PyObject *globals) const {
        auto known = namespace_names_.find(globals);
        if (known != namespace_names_.end())
            return {known->second, true};
        PyObject *name = PyDict_GetItemString(globals, "__name__"); // keyed by exact strs: runs no code
        if (!name || !PyUnicode_CheckExact(name))
            return {std::string(), false};
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(name, &size);
        if (!text) {
            PyErr_Clear(); // raised by this conversion itself (a lone surrogate): no name
            return {std::string(), false};
        }
        return {std::string(text, static_cast<size_t>(size)), false};
    }

    // The names each dict was read under, each with what it held then.
    void capture_partially(std::unordered_map<PyObject *, std::vector<PyObject *>> &reads) {
        for (auto &[dict, names] : reads) {
            std::sort(names.begin(), names.end());
            names.erase(std::unique(names.begin(), names.end()), names.end());
            DictContents contents;
            contents.dict = nb::borrow(dict);
            contents.whole = false;
            for (PyObject *name : names)
                contents.items.push_back({nb::borrow(name), nb::borrow(pure_item(dict, name))});
            dicts_.push_back(std::move(contents));
        }
    }

    void note_module(PyObject *module) {
        if (visited_.insert(module).second)
            modules_.push_back(nb::borrow(module));
    }

    static DictContents contents_of(PyObject *dict) {
        DictContents contents;
        contents.dict = nb::borrow(dict);
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            contents.items.push_back({nb::borrow(key), nb::borrow(value)});
            contents.value_of_key[key] = value;
        }
        return contents;
    }

    const DictContents &capture_dict(PyObject *dict) {
        dicts_.push_back(contents_of(dict));
        return dicts_.back();
    }

    // `value` as found in a module namespace, a class namespace or (one
    // level deep) in a container or instance found there.
    void capture_value(PyObject *value, Place place) {
        if (PyModule_Check(value))
            return note_module(value);
        if (PyFunction_Check(value))
            return capture_function(value);
        if (PyType_Check(value))
            return capture_class(reinterpret_cast<PyTypeObject *>(value));
        if (place == Place::item)
            return;
        if (Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type)) {
            if (visited_.insert(value).second)
                capture_attribute(value, func_name_.ptr());
            return;
        }
        if (Py_IS_TYPE(value, &PyProperty_Type)) {
            if (visited_.insert(value).second)
                for (PyObject *name : {fget_name_.ptr(), fset_name_.ptr(), fdel_name_.ptr()})
                    capture_attribute(value, name);
            return;
        }
        if (place == Place::namespace_value && capture_container(value))
            return;
        capture_instance_dict(value);
    }

    // Items of the module's own dicts, lists and sets, one level deep.
    bool capture_container(PyObject *value) {
        bool mutable_container = PyDict_CheckExact(value) || PyList_CheckExact(value) || PySet_CheckExact(value);
        if (mutable_container && !visited_.insert(value).second)
            return true;
        if (PyDict_CheckExact(value)) {
            std::vector<Item> items = capture_dict(value).items;
            for (const Item &item : items)
                capture_value(item.value.ptr(), Place::item);
            return true;
        }
        if (PyList_CheckExact(value)) {
            ListContents contents{nb::borrow(value), {}};
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
                contents.items.push_back(nb::borrow(PyList_GET_ITEM(value, i)));
            lists_.push_back(contents);
            for (const nb::object &item : contents.items)
                capture_value(item.ptr(), Place::item);
            return true;
        }
        if (PySet_CheckExact(value)) {
            SetContents contents{nb::borrow(value), {}, {}};
            nb::object iterator = steal_or_throw(PyObject_GetIter(value));
            while (PyObject *item = PyIter_Next(iterator.ptr())) {
                contents.items.push_back(nb::steal(item));
                contents.members.insert(item);
            }
            throw_if_error();
            sets_.push_back(contents);
            for (const nb::object &item : contents.items)
                capture_value(item.ptr(), Place::item);
            return true;
        }
        return PyTuple_CheckExact(value) || PyFrozenSet_CheckExact(value); // immutable: their identity says all
    }

    void capture_attribute(PyObject *owner, PyObject *name) {
        PyObject *value = read_attribute(owner, name);
        attributes_.push_back({nb::borrow(owner), nb::borrow(name), nb::borrow(value)});
        if (value)
            capture_value(value, Place::item);
    }

    // The attributes of an instance of a Python class (an enumeration member,
    // a descriptor written in Python), whose methods read them.
    void capture_instance_dict(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        bool has_dict = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0;
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !has_dict || !instances_seen_.insert(value).second)
            return;
        PyObject *dict = PyObject_GenericGetDict(value, nullptr);
        if (!dict) {
            PyErr_Clear(); // raised by this read itself: nothing to compare with later
            broken_ = true;
            return;
        }
        nb::object held = nb::steal(dict);
        if (!PyDict_CheckExact(dict)) {
            broken_ = true;
            return;
        }
        InstanceDict instance{nb::borrow(value), nb::borrow(reinterpret_cast<PyObject *>(type)), contents_of(dict)};
        std::vector<Item> items = instance.contents.items;
        instances_.push_back(std::move(instance));
        capture_class(type);
        for (const Item &item : items)
            capture_value(item.value.ptr(), Place::item);
    }

    void capture_function(PyObject *function) {
        if (!visited_.insert(function).second)
            return;
        FunctionParts parts;
        parts.function = nb::borrow(function);
        parts.code = nb::borrow(PyFunction_GetCode(function));
        parts.defaults = nb::borrow(PyFunction_GetDefaults(function));
        parts.kwdefaults = nb::borrow(PyFunction_GetKwDefaults(function));
        if (PyObject *closure = PyFunction_GetClosure(function)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i)
                parts.cell_contents.push_back(nb::borrow(PyCell_GET(PyTuple_GET_ITEM(closure, i))));
        }
        functions_.push_back(parts);
        if (parts.kwdefaults.is_valid() && PyDict_CheckExact(parts.kwdefaults.ptr()))
            capture_dict(parts.kwdefaults.ptr());
        for (const nb::object &content : parts.cell_contents)
            if (content.is_valid())
                capture_value(content.ptr(), Place::item);
    }

    void capture_class(PyTypeObject *type) {
        if (!visited_.insert(reinterpret_cast<PyObject *>(type)).second)
            return;
        unsigned int tag = version_tag(type);
        if (tag == 0)
            broken_ = true;
        classes_.push_back({nb::borrow(reinterpret_cast<PyObject *>(type)), tag});
        capture_class(Py_TYPE(type));
        // Built-in and immutable classes cannot change; the others keep
        // what their methods run in their namespace.
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE))
            return;
        nb::object names = steal_or_throw(PyType_GetDict(type));
        if (!keyed_by_exact_str(names.ptr())) {
            broken_ = true;
            return;
        }
        std::vector<nb::object> entries;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(names.ptr(), &position, &key, &value))
            entries.push_back(nb::borrow(value));
        for (const nb::object &entry : entries)
            capture_value(entry.ptr(), Place::class_entry);
    }

    static void collect_names(PyObject *code, std::vector<PyObject *> &names, std::unordered_set<PyObject *> &seen) {
        if (!code || !PyCode_Check(code) || !seen.insert(code).second)
            return;
        auto *object = reinterpret_cast<PyCodeObject *>(code);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object->co_names); ++i)
            names.push_back(PyTuple_GET_ITEM(object->co_names, i));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object->co_consts); ++i)
            collect_names(PyTuple_GET_ITEM(object->co_consts, i), names, seen);
    }

    // A member of an exact built-in type, read without running Python code;
    // null when the owner has none (then the read raised, and only that is
    // cleared). The owner keeps the value alive.
    static PyObject *read_attribute(PyObject *owner, PyObject *name) {
        PyObject *value = PyObject_GetAttr(owner, name);
        if (!value) {
            PyErr_Clear(); // raised by this read itself
            return nullptr;
        }
        Py_DECREF(value);
        return value;
    }

    bool function_holds(const FunctionParts &parts) const {
        PyObject *function = parts.function.ptr();
        if (PyFunction_GetCode(function) != parts.code.ptr() ||
            PyFunction_GetDefaults(function) != parts.defaults.ptr() ||
            PyFunction_GetKwDefaults(function) != parts.kwdefaults.ptr())
            return false;
        PyObject *closure = PyFunction_GetClosure(function);
        for (size_t i = 0; i < parts.cell_contents.size(); ++i)
            if (PyCell_GET(PyTuple_GET_ITEM(closure, static_cast<Py_ssize_t>(i))) != parts.cell_contents[i].ptr())
                return false;
        return true;
    }

    // The dict maps exactly the captured keys (or, for a partial capture,
    // at least them) to the captured objects. Compared by identity: in the
    // captured order (a dict left alone keeps it), else key by key; an equal
    // key put back in another object is found by a lookup, which runs no
    // Python code while every key is an exact str or int.
    static bool dict_holds(const DictContents &contents) {
        PyObject *dict = contents.dict.ptr();
        if (!PyDict_CheckExact(dict))
            return false;
        if (!contents.whole)
            return keyed_by_exact_str(dict) && lookups_hold(contents);
        if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(contents.items.size()))
            return false;
        return in_captured_order(contents) || same_entries(contents);
    }

    static bool in_captured_order(const DictContents &contents) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        for (const Item &item : contents.items)
            if (!PyDict_Next(contents.dict.ptr(), &position, &key, &value) || key != item.key.ptr() ||
                value != item.value.ptr())
                return false;
        return true;
    }

    static bool same_entries(const DictContents &contents) {
        bool same_keys = true;
        bool plain_keys = true;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(contents.dict.ptr(), &position, &key, &value)) {
            auto found = contents.value_of_key.find(key);
            same_keys = same_keys && found != contents.value_of_key.end() && found->second == value;
            plain_keys = plain_keys && plain_key(key);
        }
        return same_keys || (plain_keys && lookups_hold(contents));
    }

    static bool lookups_hold(const DictContents &contents) {
        for (const Item &item : contents.items)
            if (!plain_key(item.key.ptr()) ||
                PyDict_GetItemWithError(contents.dict.ptr(), item.key.ptr()) != item.value.ptr())
                return false;
        return true;
    }

    static bool list_holds(const ListContents &contents) {
        PyObject *list = contents.list.ptr();
        if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(contents.items.size()))
            return false;
        for (size_t i = 0; i < contents.items.size(); ++i)
            if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)) != contents.items[i].ptr())
                return false;
        return true;
    }

    static bool set_holds(const SetContents &contents) {
        PyObject *set = contents.set.ptr();
        if (!PySet_CheckExact(set) || PySet_GET_SIZE(set) != static_cast<Py_ssize_t>(contents.items.size()))
            return false;
        PyObject *iterator = PyObject_GetIter(set);
        if (!iterator) {
            PyErr_Clear(); // raised by this call itself (out of memory)
            return false;
        }
        bool same = true;
        while (PyObject *item = PyIter_Next(iterator)) {
            same = same && contents.members.count(item) != 0;
            Py_DECREF(item);
        }
        Py_DECREF(iterator);
        return same;
    }

    static bool instance_holds(const InstanceDict &instance) {
        PyObject *owner = instance.owner.ptr();
        if (reinterpret_cast<PyObject *>(Py_TYPE(owner)) != instance.type.ptr())
            return false;
        PyObject *dict = PyObject_GenericGetDict(owner, nullptr);
        if (!dict) {
            PyErr_Clear(); // raised by this read itself
            return false;
        }
        Py_DECREF(dict); // the owner keeps it
        return dict == instance.contents.dict.ptr() && dict_holds(instance.contents);
    }

    static int traverse_dict(const DictContents &contents, visitproc visit, void *arg) {
        Py_VISIT(contents.dict.ptr());
        for (const Item &item : contents.items) {
            Py_VISIT(item.key.ptr());
            Py_VISIT(item.value.ptr());
        }
        return 0;
    }

    std::vector<nb::object> modules_;
    std::vector<ClassTag> classes_;
    std::vector<FunctionParts> functions_;
    std::vector<Attribute> attributes_;
    std::deque<DictContents> dicts_;
    std::vector<ListContents> lists_;
    std::vector<SetContents> sets_;
    std::vector<InstanceDict> instances_;
    std::unordered_set<PyObject *> visited_;                      // while capturing: each object once
    std::unordered_set<PyObject *> instances_seen_;               // ... and each instance's attributes once
    std::unordered_map<PyObject *, std::string> namespace_names_; // namespaces captured whole
    nb::object func_name_, fget_name_, fset_name_, fdel_name_;
    bool captured_ = false;
    bool broken_ = false; // something could not be captured: holds() stays false
};

// True when no trace or profile function is set on this thread: then the
// Python code that runs next is not interleaved with such a function, which
// could change what that code computes (the values it returns, the lists it
// fills) without changing any namespace.
inline bool untraced() {
    PyThreadState *thread = PyThreadState_Get();
    return !thread->c_tracefunc && !thread->c_profilefunc;
}

// Whether the functions a snapshot captured run the standard library's own
// code: what was there at import may have been replaced before. Each
// function's code must compare equal to the code of the same qualified name
// compiled from its module's source file in the standard library directory
// (code objects compare field by field, running no Python code while their
// constants are of built-in types, which is checked first). The sources are
// compiled once, the first time the answer is needed, and the answer is
// kept: from then on the snapshot tells whether the code is still the code
// compared. A standard library without these sources leaves the code
// trusted as found.
class StandardLibraryCode {
  public:
    // The standard library directory as sysconfig reports it, read once at
    // import: what it is computed from can be changed later. Left unknown
    // (the code then trusted as found) when sysconfig fails with an
    // ordinary error.
    void locate() {
        try {
            nb::object sysconfig = steal_or_throw(PyImport_ImportModule("sysconfig"));
            nb::object get_paths = steal_or_throw(PyObject_GetAttrString(sysconfig.ptr(), "get_paths"));
            nb::object paths = steal_or_throw(PyObject_CallNoArgs(get_paths.ptr()));
            nb::object key = steal_or_throw(PyUnicode_FromString("stdlib"));
            nb::object directory = steal_or_throw(PyObject_GetItem(paths.ptr(), key.ptr()));
            if (PyUnicode_CheckExact(directory.ptr()))
                directory_ = directory;
        } catch (const nb::python_error &error) {
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }

    // True when every function of `snapshot` runs its module's code as the
    // standard library's source file defines it.
    bool genuine(const NamespaceSnapshot &snapshot) {
        if (verdict_ == Verdict::unchecked)
            verdict_ = compare_with_sources(snapshot) ? Verdict::genuine : Verdict::replaced;
        return verdict_ == Verdict::genuine;
    }

    void clear() {
        directory_ = nb::object();
        verdict_ = Verdict::unchecked;
    }

  private:
    enum class Verdict { unchecked, genuine, replaced };

    // A module's source, compiled: its code objects by qualified name.
    struct CompiledSource {
        bool found = false;
        std::unordered_map<std::string, std::vector<nb::object>> code_by_name;
    };

    bool compare_with_sources(const NamespaceSnapshot &snapshot) {
        if (!directory_.is_valid())
            return true;
        std::unordered_map<std::string, CompiledSource> sources;
        auto source = [&](const std::string &module) -> const CompiledSource & {
            auto it = sources.find(module);
            if (it == sources.end())
                it = sources.emplace(module, compile_source(module)).first;
            return it->second;
        };
        std::vector<std::string> modules = snapshot.module_names();
        bool any_found = false;
        for (const std::string &module : modules)
            any_found = source(module).found || any_found;
        if (!any_found)
            return true;
        for (const NamespaceSnapshot::FunctionSource &function : snapshot.function_sources()) {
            // A function naming a captured module must run in its namespace.
            bool claims_captured = std::find(modules.begin(), modules.end(), function.module) != modules.end();
            if (!function.module_namespace && claims_captured)
                return false;
            const CompiledSource &compiled = source(function.module);
            if (!compiled.found || !defines(compiled, function.code))
                return false;
        }
        return true;
    }

    // Module names are dotted identifiers: anything else names no file.
    static bool plain_module_name(const std::string &module) {
        if (module.empty() || module.front() == '.' || module.back() == '.' || module.find("..") != std::string::npos)
            return false;
        return std::all_of(module.begin(), module.end(), [](char c) {
            return c == '_' || c == '.' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
    }

    CompiledSource compile_source(const std::string &module) const {
        CompiledSource compiled;
        if (!plain_module_name(module))
            return compiled;
        std::string relative = module;
        std::replace(relative.begin(), relative.end(), '.', '/');
        for (const char *suffix : {".py", "/__init__.py"}) {
            nb::object path =
                steal_or_throw(PyUnicode_FromFormat("%U/%s%s", directory_.ptr(), relative.c_str(), suffix));
            std::optional<std::string> text = read_file(path);
            if (!text)
                continue;
            compiled.found = true;
            // Compiled with the interpreter's optimization level, as its
            // imports compile. (The compile raises the "compile" audit event
            // as every compile does; a hook refusing it leaves the code
            // unconfirmed.)
            PyObject *code = Py_CompileStringObject(text->c_str(), path.ptr(), Py_file_input, nullptr, -1);
            if (!code) {
                discard_ordinary_error(); // a source that does not compile defines nothing
                return compiled;
            }
            index_code(nb::steal(code), compiled);
            return compiled;
        }
        return compiled;
    }

    // The file's bytes, read with the C library (nothing of Python's io, so
    // no audit hook or replaced open is involved); nothing when it cannot be
    // opened.
    static std::optional<std::string> read_file(nb::handle path) {
        nb::object encoded = steal_or_throw(PyUnicode_EncodeFSDefault(path.ptr()));
        FILE *file = fopen(PyBytes_AS_STRING(encoded.ptr()), "rb");
        if (!file)
            return std::nullopt;
        std::string text;
        char buffer[1 << 16];
        size_t count = 0;
        while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, count);
        bool failed = ferror(file) != 0;
        fclose(file);
        if (failed)
            return std::nullopt;
        return text;
    }

    static void index_code(nb::handle code, CompiledSource &compiled) {
        auto *object = reinterpret_cast<PyCodeObject *>(code.ptr());
        if (std::optional<std::string> name = text_of(object->co_qualname))
            compiled.code_by_name[*name].push_back(nb::borrow(code));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object->co_consts); ++i)
            if (PyCode_Check(PyTuple_GET_ITEM(object->co_consts, i)))
                index_code(PyTuple_GET_ITEM(object->co_consts, i), compiled);
    }

    static bool defines(const CompiledSource &compiled, PyObject *code) {
        if (!code || !PyCode_Check(code) || !compares_without_python(code))
            return false;
        std::optional<std::string> name = text_of(reinterpret_cast<PyCodeObject *>(code)->co_qualname);
        auto it = name ? compiled.code_by_name.find(*name) : compiled.code_by_name.end();
        if (it == compiled.code_by_name.end())
            return false;
        for (const nb::object &candidate : it->second) {
            int same = PyObject_RichCompareBool(code, candidate.ptr(), Py_EQ);
            if (same < 0)
                discard_ordinary_error(); // raised by this comparison itself (out of memory): not shown equal
            if (same > 0)
                return true;
        }
        return false;
    }

    // True when comparing the code object with another runs no Python code:
    // what the comparison reads (name, line and exception tables, names,
    // constants, nested code) is of exact built-in types.
    static bool compares_without_python(PyObject *code) {
        auto *object = reinterpret_cast<PyCodeObject *>(code);
        if (!PyUnicode_CheckExact(object->co_name) || !PyBytes_CheckExact(object->co_linetable) ||
            !PyBytes_CheckExact(object->co_exceptiontable) || !exact_strs(object->co_names) ||
            !exact_strs(object->co_localsplusnames))
            return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object->co_consts); ++i)
            if (!plain_constant(PyTuple_GET_ITEM(object->co_consts, i)))
                return false;
        return true;
    }

    static bool exact_strs(PyObject *tuple) {
        if (!PyTuple_CheckExact(tuple))
            return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
            if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(tuple, i)))
                return false;
        return true;
    }

    static bool plain_constant(PyObject *constant) {
        if (constant == Py_None || constant == Py_Ellipsis || PyBool_Check(constant) || PyLong_CheckExact(constant) ||
            PyFloat_CheckExact(constant) || PyComplex_CheckExact(constant) || PyUnicode_CheckExact(constant) ||
            PyBytes_CheckExact(constant))
            return true;
        if (PyCode_Check(constant))
            return compares_without_python(constant);
        if (PyTuple_CheckExact(constant)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constant); ++i)
                if (!plain_constant(PyTuple_GET_ITEM(constant, i)))
                    return false;
            return true;
        }
        if (Py_IS_TYPE(constant, &PySlice_Type)) {
            auto *slice = reinterpret_cast<PySliceObject *>(constant);
            return plain_constant(slice->start) && plain_constant(slice->stop) && plain_constant(slice->step);
        }
        if (PyFrozenSet_CheckExact(constant))
            return plain_members(constant);
        return false;
    }

    // Iterating an exact frozenset runs no Python code.
    static bool plain_members(PyObject *frozen_set) {
        nb::object iterator = nb::steal(PyObject_GetIter(frozen_set));
        if (!iterator) {
            PyErr_Clear(); // raised by this call itself (out of memory): not shown plain
            return false;
        }
        bool plain = true;
        while (PyObject *item = PyIter_Next(iterator.ptr())) {
            plain = plain && plain_constant(item);
            Py_DECREF(item);
        }
        return plain;
    }

    static std::optional<std::string> text_of(PyObject *name) {
        Py_ssize_t size = 0;
        const char *text = name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (!text) {
            if (name && PyUnicode_Check(name))
                PyErr_Clear(); // raised by this conversion itself (a lone surrogate): no text
            return std::nullopt;
        }
        return std::string(text, static_cast<size_t>(size));
    }

    // Clears an ordinary error raised by the comparison's own calls; an
    // interrupt (from an audit hook the compile called) passes on.
    static void discard_ordinary_error() {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyErr_Clear();
    }

    nb::object directory_;
    Verdict verdict_ = Verdict::unchecked;
};

// --- Python code beside a call ---------------------------------------------------------

// Whether any sys.monitoring tool is in use. A tool's callbacks run Python
// code within any code that runs (and may replace the values it returns),
// so a native route that relies on what some Python code computes is not
// taken while one is registered. Asked through sys.monitoring.get_tool when
// that is the interpreter's own built-in function, found at import: calling
// it runs no Python code.
class MonitoringTools {
  public:
    void capture() {
        PyObject *monitoring = PySys_GetObject("monitoring"); // borrowed; sets no error
        if (!monitoring || !PyModule_CheckExact(monitoring) || !keyed_by_exact_str(PyModule_GetDict(monitoring)))
            return;
        PyObject *get_tool = PyDict_GetItemString(PyModule_GetDict(monitoring), "get_tool");
        if (is_builtin_function(get_tool, monitoring, "get_tool"))
            get_tool_ = nb::borrow(get_tool);
    }

    // True when no tool holds any id; false when that cannot be told.
    bool none_in_use() const {
        if (!get_tool_.is_valid())
            return false;
        for (long id = 0; id < kToolIds; ++id) {
            nb::object number = nb::steal(PyLong_FromLong(id));
            nb::object tool = number ? nb::steal(PyObject_CallOneArg(get_tool_.ptr(), number.ptr())) : nb::object();
            if (!tool) {
                PyErr_Clear(); // raised by these calls themselves (out of memory): cannot tell
                return false;
            }
            if (!tool.is_none())
                return false;
        }
        return true;
    }

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(get_tool_.ptr());
        return 0;
    }

    void clear() { get_tool_ = nb::object(); }

  private:
    static constexpr long kToolIds = 6; // the ids sys.monitoring.use_tool_id hands out

    nb::object get_tool_;
};

// How many collections the cyclic garbage collector has made, read through
// gc.get_stats when that is the interpreter's own built-in function, found
// at import: calling it runs no Python code.
class CollectionCount {
  public:
    // Left empty (counting nothing) when gc cannot be imported as usual.
    void capture() {
        try {
            nb::object gc = steal_or_throw(PyImport_ImportModule("gc"));
            get_stats_ = original_function(gc, "get_stats");
        } catch (const nb::python_error &error) {
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }

    // The total over all generations; nothing when it cannot be told.
    std::optional<uint64_t> now() const {
        if (!get_stats_.is_valid())
            return std::nullopt;
        nb::object stats = nb::steal(PyObject_CallNoArgs(get_stats_.ptr()));
        if (!stats) {
            PyErr_Clear(); // raised by this call itself (out of memory): cannot tell
            return std::nullopt;
        }
        if (!PyList_CheckExact(stats.ptr()))
            return std::nullopt;
        uint64_t total = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stats.ptr()); ++i) {
            PyObject *generation = PyList_GET_ITEM(stats.ptr(), i);
            PyObject *count = PyDict_CheckExact(generation) ? PyDict_GetItemString(generation, "collections") : nullptr;
            std::optional<int64_t> collections = exact_int(count);
            if (!collections || *collections < 0)
                return std::nullopt;
            total += static_cast<uint64_t>(*collections);
        }
        return total;
    }

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(get_stats_.ptr());
        return 0;
    }

    void clear() { get_stats_ = nb::object(); }

  private:
    nb::object get_stats_;
};

// Keeps the cyclic garbage collector from starting a collection while it
// lives, and leaves the collector as it found it on every way out. A
// collection runs finalizers and gc.callbacks (Python code that can run at
// any allocation), and when collections happen is no part of what any code
// computes: code run under a pause computes what it would have without it.
// A collection the interpreter scheduled before the pause still runs at its
// next check for pending work; undisturbed() tells whether one did. (The
// count is read once paused, so reading it schedules none.)
class CollectorPause {
  public:
    explicit CollectorPause(const CollectionCount &count)
        : count_(count), was_enabled_(PyGC_Disable() != 0), before_(count.now()) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

    // True when no collection ran since the pause began.
    bool undisturbed() const {
        std::optional<uint64_t> after = count_.now();
        return before_ && after && *before_ == *after;
    }

  private:
    const CollectionCount &count_;
    bool was_enabled_;
    std::optional<uint64_t> before_;
};

// True when every weak reference to `object` has either no callback or one
// made from `own_callback` (a method definition of native code, whose
// callbacks run no Python code): clearing them when the object goes runs
// none either. Reads the object's list of weak references only.
inline bool only_own_weak_callbacks(PyObject *object, const PyMethodDef *own_callback) {
    PyTypeObject *type = Py_TYPE(object);
    if (type->tp_weaklistoffset == 0)
        return true;
    if (PyType_Check(object))
        return false; // a built-in type keeps its list elsewhere: not read here
    auto *list = *reinterpret_cast<PyWeakReference **>(reinterpret_cast<char *>(object) + type->tp_weaklistoffset);
    for (PyWeakReference *reference = list; reference; reference = reference->wr_next) {
        PyObject *callback = reference->wr_callback;
        bool own = callback && PyCFunction_CheckExact(callback) &&
                   reinterpret_cast<PyCFunctionObject *>(callback)->m_ml == own_callback;
        if (callback && !own)
            return false;
    }
    return true;
}

// True when dropping a reference to an object, were it the last one, runs
// no Python code: it is of a built-in type whose deallocation only releases
// memory and references (None, bool, int, float, str, bytes), a class
// (which holds itself through its MRO, so only a collection frees it), an
// exact tuple or dict of such objects, or an object of `native_type` (a type
// whose deallocation clears weak references, then releases what it
// references) with only the weak callbacks allowed and such objects
// referenced. Looks a few levels deep and says no below.
class QuietRelease {
  public:
    QuietRelease(PyTypeObject *native_type, const PyMethodDef *own_callback)
        : native_type_(native_type), own_callback_(own_callback) {}

    bool operator()(PyObject *object) const { return quiet(object, kDepth); }

  private:
    static constexpr int kDepth = 3;

    struct Visit {
        const QuietRelease *release;
        int depth;
        bool quiet;
    };

    static int visit_referent(PyObject *referent, void *arg) {
        auto *visit = static_cast<Visit *>(arg);
        visit->quiet = visit->quiet && visit->release->quiet(referent, visit->depth);
        return visit->quiet ? 0 : 1;
    }

    bool quiet(PyObject *object, int depth) const {
        if (!object || object == Py_None || PyBool_Check(object) || PyLong_CheckExact(object) ||
            PyFloat_CheckExact(object) || PyUnicode_CheckExact(object) || PyBytes_CheckExact(object) ||
            PyType_Check(object))
            return true;
        if (depth == 0)
            return false;
        if (PyTuple_CheckExact(object)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i)
                if (!quiet(PyTuple_GET_ITEM(object, i), depth - 1))
                    return false;
            return true;
        }
        if (PyDict_CheckExact(object)) {
            Py_ssize_t position = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(object, &position, &key, &value))
                if (!quiet(key, depth - 1) || !quiet(value, depth - 1))
                    return false;
            return true;
        }
        if (!native_type_ || !Py_IS_TYPE(object, native_type_) || !only_own_weak_callbacks(object, own_callback_))
            return false;
        traverseproc traverse = native_type_->tp_traverse;
        if (!traverse)
            return false; // what it references cannot be seen
        Visit visit{this, depth - 1, true};
        traverse(object, visit_referent, &visit);
        return visit.quiet;
    }

    PyTypeObject *native_type_;
    const PyMethodDef *own_callback_;
};

} // namespace vx::guard
