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

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string_view>
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

} // namespace vx::guard
