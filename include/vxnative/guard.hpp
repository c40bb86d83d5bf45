// Every guard of the native routes. A native route replaces plain steps (a
// call of a built-in, arithmetic on ints and floats, a sibling method of our
// own) by native code, and is taken only while a guard proves that it gives
// what the plain steps give for that very object. A guard reads only what
// runs no Python code: object identities, type version tags, dict watcher
// events and exact types. When proving it would need Python code to run (a
// comparison, a property, a hash or lookup that a non-str key could answer),
// the guard says no and the plain route runs. No guard clears an exception
// it did not cause, and none is left set.
#pragma once

#include "function_object.hpp"

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

// --- exact types ---------------------------------------------------------------

// The value of an exact int whose magnitude is at most `magnitude_limit`, the
// range in which the caller's native arithmetic gives what the interpreter
// gives; nothing for anything else (subclasses of int, a missing object,
// larger values), which then takes the plain route.
inline std::optional<int64_t> exact_int(nb::handle value,
                                        int64_t magnitude_limit = std::numeric_limits<int64_t>::max()) {
    if (!value.ptr() || !PyLong_CheckExact(value.ptr()))
        return std::nullopt;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow || number < -magnitude_limit || number > magnitude_limit)
        return std::nullopt;
    return number;
}

// An exact float, or an exact int of at most `int_limit` as its double.
inline std::optional<double> exact_real(nb::handle value, int64_t int_limit) {
    if (value.ptr() && PyFloat_CheckExact(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    if (std::optional<int64_t> integer = exact_int(value, int_limit))
        return static_cast<double>(*integer);
    return std::nullopt;
}

// True when `object` is exactly of the built-in type `type`. Such a type
// cannot be changed, so a method looked up on the object is the type's own,
// and calling its C API counterpart does what calling the method does.
inline bool exact_instance(nb::handle object, PyTypeObject *type) {
    return object.ptr() && Py_IS_TYPE(object.ptr(), type);
}

// True when `found` is the built-in type `type` itself: calling it then does
// what that type's C implementation does, which native code may do in its
// place.
inline bool is_builtin_type(nb::handle found, PyTypeObject *type) {
    return found.ptr() == reinterpret_cast<PyObject *>(type);
}

// True when every key of the exact dict is an exact str: then a lookup of an
// exact str compares strs and nothing else, so it runs no Python code.
inline bool keyed_by_exact_str(PyObject *dict) {
    if (!PyDict_CheckExact(dict))
        return false;
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    return true;
}

// The value under an exact str key of a dict keyed by exact strs (checked
// by the caller), or null. Such a lookup cannot fail or run code.
inline PyObject *pure_item(PyObject *dict, nb::handle key) {
    return PyDict_GetItemWithError(dict, key.ptr());
}

// --- what a module captures at import ---------------------------------------------

// True when `candidate` is the built-in function `name` of `module`: a
// function object only the interpreter makes, bound to that very module.
// Reads no more than object fields.
inline bool is_builtin_function(nb::handle candidate, nb::handle module, std::string_view name) {
    if (!candidate.is_valid() || !PyCFunction_CheckExact(candidate.ptr()))
        return false;
    return PyCFunction_GET_SELF(candidate.ptr()) == module.ptr() &&
           reinterpret_cast<PyCFunctionObject *>(candidate.ptr())->m_ml->ml_name == name;
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

// --- dict watcher events ----------------------------------------------------------

namespace detail {

// One clock per interpreter, shared by every module of the package there:
// the interpreter has only a few dict watcher slots. Plain data, since it is
// reached from the shared libraries of several modules.
struct ClockData {
    int watcher = -1;
    uint64_t ticks = 1;
    bool reachable = true; // false once the interpreter dropped the registration
};

inline constexpr const char *kClockKey = "valdrix.native.dict_clock.1";
inline constexpr const char *kClockDataName = "valdrix.native.dict_clock_data.1";

// The registration that the interpreter's own dict holds: the watcher's
// callback finds the clock through it.
inline ClockData *registered_clock() {
    PyObject *interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interpreter_dict)
        return nullptr;
    PyObject *key = PyUnicode_FromString(kClockKey);
    PyObject *registration = key ? PyDict_GetItemWithError(interpreter_dict, key) : nullptr;
    Py_XDECREF(key);
    if (!registration)
        return nullptr;
    return static_cast<ClockData *>(PyCapsule_GetPointer(registration, kClockKey));
}

// Called before any change of a watched dict and when one is freed.
inline int on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    PyObject *pending = PyErr_GetRaisedException();
    if (ClockData *clock = registered_clock())
        ++clock->ticks;
    PyErr_Clear(); // only what the lookup above raised
    PyErr_SetRaisedException(pending);
    return 0;
}

inline void free_clock_data(PyObject *capsule) {
    delete static_cast<ClockData *>(PyCapsule_GetPointer(capsule, kClockDataName));
}

// The interpreter drops its registration at finalization: from then on the
// callback cannot reach the clock, so nothing may be remembered by it.
inline void drop_registration(PyObject *registration) {
    PyObject *pending = PyErr_GetRaisedException();
    auto *clock = static_cast<ClockData *>(PyCapsule_GetPointer(registration, kClockKey));
    if (clock) {
        clock->reachable = false;
        if (clock->watcher >= 0)
            PyDict_ClearWatcher(clock->watcher);
    }
    Py_XDECREF(static_cast<PyObject *>(PyCapsule_GetContext(registration)));
    PyErr_Clear(); // only what the calls above raised
    PyErr_SetRaisedException(pending);
}

} // namespace detail

// Ticks whenever a watched dict changes. A fact about watched dicts found at
// tick t still holds while now() is t.
class DictClock {
  public:
    // Joins the running interpreter's clock, registering it on first use.
    void start() {
        PyObject *interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
        if (!interpreter_dict)
            raise(PyExc_RuntimeError, "no interpreter state dict to keep the dict clock in");
        nb::object key = steal_or_throw(PyUnicode_FromString(detail::kClockKey));
        PyObject *registration = PyDict_GetItemWithError(interpreter_dict, key.ptr());
        throw_if_error();
        if (!registration) {
            register_new(interpreter_dict, key);
            registration = PyDict_GetItemWithError(interpreter_dict, key.ptr());
            throw_if_error();
        }
        data_ = nb::borrow(static_cast<PyObject *>(PyCapsule_GetContext(registration)));
        clock_ = static_cast<detail::ClockData *>(PyCapsule_GetPointer(data_.ptr(), detail::kClockDataName));
        throw_if_error();
    }

    // The current tick; 0 when nothing can be remembered (no watcher slot was
    // free, or the interpreter is finalizing).
    uint64_t now() const { return clock_ && clock_->reachable && clock_->watcher >= 0 ? clock_->ticks : 0; }

    // Watches `dict`; false when that is not possible.
    bool watch(PyObject *dict) const {
        if (!clock_ || clock_->watcher < 0 || !PyDict_Check(dict))
            return false;
        return PyDict_Watch(clock_->watcher, dict) == 0;
    }

  private:
    static void register_new(PyObject *interpreter_dict, nb::handle key) {
        auto *clock = new detail::ClockData;
        nb::object data = nb::steal(PyCapsule_New(clock, detail::kClockDataName, detail::free_clock_data));
        if (!data) {
            delete clock;
            throw nb::python_error();
        }
        clock->watcher = PyDict_AddWatcher(detail::on_dict_event);
        if (clock->watcher < 0)
            PyErr_Clear(); // every slot taken: the native routes look things up each time
        nb::object registration = steal_or_throw(PyCapsule_New(clock, detail::kClockKey, detail::drop_registration));
        if (PyCapsule_SetContext(registration.ptr(), data.inc_ref().ptr()) < 0) {
            data.dec_ref();
            throw nb::python_error();
        }
        if (PyDict_SetItem(interpreter_dict, key.ptr(), registration.ptr()) < 0)
            throw nb::python_error();
    }

    nb::object data_;
    detail::ClockData *clock_ = nullptr;
};

// A fact about the contents of some watched dicts, remembered at the tick it
// was found and valid until one of them changes. `key` tells the situations
// apart that the fact was found for (such as a function's namespaces).
class Remembered {
  public:
    bool holds(const DictClock &clock, const void *key = nullptr, const void *key2 = nullptr) const {
        return tick_ != 0 && tick_ == clock.now() && key == key_ && key2 == key2_;
    }

    // Remembers that the fact held at `tick` (read before checking it) when
    // nothing changed since and every dict it depends on is watched.
    void remember(const DictClock &clock, uint64_t tick, std::initializer_list<PyObject *> dicts,
                  const void *key = nullptr, const void *key2 = nullptr) {
        tick_ = 0;
        if (tick == 0 || clock.now() != tick)
            return;
        for (PyObject *dict : dicts)
            if (!clock.watch(dict))
                return;
        tick_ = tick;
        key_ = key;
        key2_ = key2;
    }

    void forget() { tick_ = 0; }

  private:
    uint64_t tick_ = 0;
    const void *key_ = nullptr;
    const void *key2_ = nullptr;
};

// --- globals -------------------------------------------------------------------

// Lookups that run no Python code, for a GlobalsGuard check, and the dicts
// they read (which the guard then watches).
class PureReads {
  public:
    explicit PureReads(const Args &args) : args_(args) {}

    // `name` as the function's code would find it: the globals, then the
    // built-ins (both known to be exact dicts keyed by exact strs).
    PyObject *global(nb::handle name) const {
        PyObject *value = pure_item(args_.globals_ptr(), name);
        return value ? value : pure_item(args_.builtins_ptr(), name);
    }
    template <Literal L> PyObject *global() const { return global(args_.id<L>()); }

    // `module.name` when `module` is an exact module object whose namespace
    // is keyed by exact strs and has the name (so no module __getattr__ is
    // asked); null otherwise.
    PyObject *module_attribute(PyObject *module, nb::handle name) {
        if (!module || !PyModule_CheckExact(module))
            return nullptr;
        PyObject *names = PyModule_GetDict(module);
        if (!keyed_by_exact_str(names))
            return nullptr;
        read_.push_back(names);
        modules_.push_back(module);
        return pure_item(names, name);
    }
    template <Literal L> PyObject *module_attribute(PyObject *module) {
        return module_attribute(module, args_.id<L>());
    }

    const std::vector<PyObject *> &dicts_read() const { return read_; }
    const std::vector<PyObject *> &modules_read() const { return modules_; }

  private:
    const Args &args_;
    std::vector<PyObject *> read_;
    std::vector<PyObject *> modules_;
};

// True when the names a native route relies on still resolve (in the
// function's globals, then its built-ins, and in the modules found there) to
// the objects `check` compares them with. A guard remembers the answer of
// the one check it is given: each route keeps a guard of its own. `check(reads)` looks them up
// through `reads`; it runs only when both namespaces are exact dicts keyed by
// exact strs, so its lookups run no Python code. The answer is remembered
// until one of the dicts read changes.
class GlobalsGuard {
  public:
    template <class Check> bool holds(const DictClock &clock, const Args &args, Check check) {
        PyObject *globals = args.globals_ptr();
        PyObject *builtins = args.builtins_ptr();
        if (remembered_.holds(clock, globals, builtins) && modules_still_plain())
            return true;
        uint64_t tick = clock.now();
        if (!keyed_by_exact_str(globals) || !keyed_by_exact_str(builtins))
            return false;
        PureReads reads(args);
        if (!check(reads))
            return false;
        remembered_.forget();
        for (PyObject *dict : reads.dicts_read())
            if (!clock.watch(dict))
                return true;
        // A module's class can be swapped without any dict changing, so the
        // modules read are checked again on every use (they are held by the
        // watched namespaces, so the pointers stay theirs meanwhile).
        modules_ = reads.modules_read();
        remembered_.remember(clock, tick, {globals, builtins}, globals, builtins);
        return true;
    }

    void forget() {
        remembered_.forget();
        modules_.clear();
    }

  private:
    bool modules_still_plain() const {
        for (PyObject *module : modules_)
            if (!PyModule_CheckExact(module))
                return false;
        return true;
    }

    Remembered remembered_;
    std::vector<PyObject *> modules_;
};

// --- classes -------------------------------------------------------------------

// The type's version tag, assigning one if it has none; 0 when it cannot get
// one (then nothing about it may be remembered). The interpreter gives a
// class a new tag whenever the class or one of its bases changes, and never
// hands out a tag twice, so a fact keyed by (type, tag) is as current as the
// interpreter's own attribute cache.
inline unsigned int version_tag(PyTypeObject *type) {
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

// True when attribute lookups on `cls` run no Python code of their own: a
// class whose metaclass is exactly `type`.
inline bool plain_class(nb::handle cls) {
    return Py_IS_TYPE(cls.ptr(), &PyType_Type);
}

// `cls.<name>` as found in the class namespaces along the MRO, before any
// descriptor is asked: null for a missing name and for a namespace keyed by
// anything but exact strs. Meaningful for a plain_class only.
inline PyObject *class_namespace_entry(PyTypeObject *type, nb::handle name) {
    PyObject *mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *names = PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i)));
        if (!names)
            return nullptr; // PyType_GetDict does not fail for a type
        bool pure = keyed_by_exact_str(names);
        PyObject *found = pure ? pure_item(names, name) : nullptr;
        Py_DECREF(names);
        if (!pure || found)
            return found;
    }
    return nullptr;
}

// Facts about recently used plain classes, each valid while its class keeps
// the version tag it had when the facts were found. `resolve(type)` finds
// them without running Python code. Facts may hold borrowed pointers into the
// class namespaces: a namespace changes only with a new tag.
template <class Facts, size_t Entries = 4> class ClassFactsCache {
  public:
    template <class Resolve> const Facts *find(nb::handle cls, Resolve resolve) {
        if (!plain_class(cls))
            return nullptr;
        auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
        unsigned int tag = version_tag(type);
        if (tag == 0)
            return nullptr;
        for (Entry &entry : entries_)
            if (entry.type == type && entry.tag == tag)
                return &entry.facts;
        Entry &slot = entries_[next_++ % Entries];
        slot = {type, tag, resolve(type)};
        return &slot.facts;
    }

  private:
    struct Entry {
        PyTypeObject *type = nullptr;
        unsigned int tag = 0;
        Facts facts{};
    };
    Entry entries_[Entries];
    size_t next_ = 0;
};

// --- our own functions -----------------------------------------------------------

// True when `callable` is `original` (a native function of this module) and
// still calls its native implementation the way it was defined: no other
// __code__ and its original __defaults__. Calling it can then be replaced by
// running that implementation's steps natively.
inline bool runs_as_defined(nb::handle callable, nb::handle original) {
    if (!callable.is(original) || !original)
        return false;
    const auto *function = reinterpret_cast<const FunctionObject *>(original.ptr());
    return !function->code_replaced && function->defaults == function->data->original_defaults.ptr();
}

// Reads the function a classmethod or staticmethod object wraps now (they
// can be re-initialised with another one without any change to their
// class) through their `__func__` member, which runs no Python code.
class WrappedFunctionReader {
  public:
    void start() {
        class_method_ = member_of(&PyClassMethod_Type);
        static_method_ = member_of(&PyStaticMethod_Type);
    }

    // The wrapped function; null when `wrapper` is of another type.
    PyObject *read(PyObject *wrapper) const {
        const PyMemberDef *member = Py_IS_TYPE(wrapper, &PyClassMethod_Type)    ? class_method_
                                    : Py_IS_TYPE(wrapper, &PyStaticMethod_Type) ? static_method_
                                                                                : nullptr;
        if (!member || (member->type != Py_T_OBJECT_EX && member->type != kObjectMember))
            return nullptr;
        return *reinterpret_cast<PyObject *const *>(reinterpret_cast<const char *>(wrapper) + member->offset);
    }

  private:
    // The older kind of object member (reads NULL as None), which these
    // types use; its public name is deprecated.
    static constexpr int kObjectMember = 6;

    // The member behind the type's `__func__` descriptor (static data of the
    // interpreter, like the type itself).
    static const PyMemberDef *member_of(PyTypeObject *type) {
        nb::object names = nb::steal(PyType_GetDict(type));
        PyObject *descriptor = names ? PyDict_GetItemString(names.ptr(), "__func__") : nullptr;
        if (!descriptor || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type))
            return nullptr;
        return reinterpret_cast<PyMemberDescrObject *>(descriptor)->d_member;
    }

    const PyMemberDef *class_method_ = nullptr;
    const PyMemberDef *static_method_ = nullptr;
};

// --- standard-library code as it was at import ----------------------------------------

// What some modules' code reads, as it was when captured, checked again by
// identity only. A native route that relies on what such code computes may
// be taken only while holds() is true. Captured are:
//   - each module's namespace: exactly those names, bound to those objects,
//     and the module objects still of the exact module type;
//   - one level deep, the items of the dicts, lists and sets bound there and
//     the instance attributes (with the class) of the other objects there;
//   - every function met, with its __code__, __defaults__, __kwdefaults__
//     (and their contents when a dict) and the contents of its closure;
//   - every class met, with its version tag and its metaclass's, and for
//     the classes the modules define, what their namespaces hold: functions,
//     the functions inside classmethod, staticmethod and property objects,
//     and the instance attributes of the other objects there (descriptors,
//     enumeration members);
//   - the built-ins each captured function's code may read, as it would
//     find them (present or absent).
// Names whose values the modules' own code fills as it runs (caches) are
// captured by the identity of the object bound alone. The capture trusts
// what it finds: holds() answers whether everything is as it was then.
class NamespaceSnapshot {
  public:
    // Captures `module`'s namespace; names in `identity_only` by the object
    // bound alone.
    void capture_module(nb::handle module, std::initializer_list<std::string_view> identity_only = {}) {
        create_names();
        PyObject *object = module.ptr();
        if (!PyModule_CheckExact(object) || !keyed_by_exact_str(PyModule_GetDict(object))) {
            broken_ = true;
            return;
        }
        note_module(object);
        std::vector<Item> items = capture_dict(PyModule_GetDict(object)).items;
        for (const Item &item : items) {
            if (is_dunder(item.key.ptr()) || listed(item.key.ptr(), identity_only))
                continue;
            capture_value(item.value.ptr(), Place::namespace_value);
        }
        captured_ = true;
    }

    // Captures the built-ins that the code of every function captured so far
    // may read: each name its code uses that its module does not define.
    // Called once, after the modules.
    void capture_builtins() {
        std::unordered_map<PyObject *, std::vector<PyObject *>> reads; // built-ins dict -> names
        std::unordered_set<PyObject *> seen_code;
        for (const FunctionParts &parts : functions_) {
            auto *function = reinterpret_cast<PyFunctionObject *>(parts.function.ptr());
            PyObject *globals = function->func_globals;
            PyObject *builtins = function->func_builtins;
            if (!keyed_by_exact_str(globals) || !keyed_by_exact_str(builtins)) {
                broken_ = true;
                return;
            }
            std::vector<PyObject *> names;
            collect_names(parts.code.ptr(), names, seen_code);
            std::vector<PyObject *> &read = reads[builtins];
            for (PyObject *name : names)
                if (!pure_item(globals, name))
                    read.push_back(name);
        }
        for (auto &[builtins, names] : reads) {
            std::sort(names.begin(), names.end());
            names.erase(std::unique(names.begin(), names.end()), names.end());
            DictContents contents;
            contents.dict = nb::borrow(builtins);
            contents.whole = false;
            for (PyObject *name : names)
                contents.items.push_back({nb::borrow(name), nb::borrow(pure_item(builtins, name))});
            dicts_.push_back(std::move(contents));
        }
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
    std::unordered_set<PyObject *> visited_;        // while capturing: each object once
    std::unordered_set<PyObject *> instances_seen_; // ... and each instance's attributes once
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

} // namespace vx::guard
