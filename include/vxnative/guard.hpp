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

// True when `key` is the clock's key (an exact str, compared without running
// any code).
inline bool is_clock_key(PyObject *key) {
    return key && PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, kClockKey) == 0;
}

// Called before any change of a watched dict and when one is freed. The
// interpreter's own dict is watched too: when the registration is removed or
// replaced there, this callback could no longer find the clock, so the clock
// stops remembering.
inline int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *) {
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (ClockData *clock = registered_clock()) {
        ++clock->ticks;
        bool registration_goes =
            dict == interpreter_dict &&
            (event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_DEALLOCATED ||
             ((event == PyDict_EVENT_DELETED || event == PyDict_EVENT_MODIFIED) && is_clock_key(key)));
        if (registration_goes)
            clock->reachable = false;
    }
    PyErr_Clear(); // only what the lookups above raised
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
        // Something else under the key: this module remembers nothing.
        if (!registration || !PyCapsule_IsValid(registration, detail::kClockKey))
            return;
        data_ = nb::borrow(static_cast<PyObject *>(PyCapsule_GetContext(registration)));
        if (!data_ || !PyCapsule_IsValid(data_.ptr(), detail::kClockDataName)) {
            data_ = nb::object();
            return;
        }
        clock_ = static_cast<detail::ClockData *>(PyCapsule_GetPointer(data_.ptr(), detail::kClockDataName));
    }

    // The current tick; 0 when nothing can be remembered (no watcher slot was
    // free, or the interpreter is finalizing).
    uint64_t now() const { return clock_ && clock_->reachable && clock_->watcher >= 0 ? clock_->ticks : 0; }

    // Watches `dict`; false when that is not possible.
    bool watch(PyObject *dict) const {
        if (!clock_ || clock_->watcher < 0 || !PyDict_Check(dict))
            return false;
        if (PyDict_Watch(clock_->watcher, dict) == 0)
            return true;
        PyErr_Clear(); // raised by this call itself: the slot is no longer the clock's
        clock_->reachable = false;
        return false;
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
        if (clock->watcher >= 0 && PyDict_Watch(clock->watcher, interpreter_dict) < 0)
            PyErr_Clear(); // the dict holding the registration is always a dict: not reached
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
        read_.push_back(names);
        if (!keyed_by_exact_str(names))
            return nullptr;
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
// exact strs, so its lookups run no Python code. Either answer is remembered
// until one of the dicts read changes: a name replaced for good (as a test's
// patch does) costs the plain route no second look.
class GlobalsGuard {
  public:
    template <class Check> bool holds(const DictClock &clock, const Args &args, Check check) {
        PyObject *globals = args.globals_ptr();
        PyObject *builtins = args.builtins_ptr();
        if (remembered_.holds(clock, globals, builtins))
            return answer_ && modules_still_plain();
        forget();
        uint64_t tick = clock.now();
        PureReads reads(args);
        bool answer = keyed_by_exact_str(globals) && keyed_by_exact_str(builtins) && check(reads);
        for (PyObject *dict : reads.dicts_read())
            if (!clock.watch(dict))
                return answer;
        // A module's class can be swapped without any dict changing, so the
        // modules read are checked again on every use (they are held by the
        // watched namespaces, so the pointers stay theirs meanwhile). A no
        // stays a no until a dict changes: the plain route is always right.
        if (answer)
            modules_ = reads.modules_read();
        answer_ = answer;
        remembered_.remember(clock, tick, {globals, builtins}, globals, builtins);
        return answer;
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
    bool answer_ = false;
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
// still calls its native implementation the way it was defined, with its
// original __defaults__. Calling it can then be replaced by running that
// implementation's steps natively.
inline bool runs_as_defined(nb::handle callable, nb::handle original) {
    if (!callable.is(original) || !original)
        return false;
    const auto *function = reinterpret_cast<const FunctionObject *>(original.ptr());
    return function->defaults == function->data->original_defaults.ptr();
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
