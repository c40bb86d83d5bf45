// The globals guard: a native route that stands in for a call of a built-in
// (or of a module's built-in function) is taken only while the name the
// plain code looks up still resolves, in the function's globals and then its
// built-ins, to the object the module captured at import. What a route
// relies on is declared once per module (Captures) and per route (Route);
// the answer is remembered until a dict it read changes (DictClock, through
// dict watcher events), so a route asks nothing on most calls.
#pragma once

#include "exact_types.hpp"
#include "function_object.hpp"
#include "module_state.hpp"

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vx::guard {

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

// --- globals -------------------------------------------------------------------

// Lookups that run no Python code, for a route's check, and the dicts they
// read (which the route then watches).
class PureReads {
  public:
    explicit PureReads(const Args &args) : args_(args) {}

    // `name` as the function's code would find it: the globals, then the
    // built-ins (both known to be exact dicts keyed by exact strs).
    PyObject *global(nb::handle name) const {
        PyObject *value = pure_item(args_.globals_ptr(), name);
        return value ? value : pure_item(args_.builtins_ptr(), name);
    }

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

    const std::vector<PyObject *> &dicts_read() const { return read_; }
    const std::vector<PyObject *> &modules_read() const { return modules_; }

  private:
    const Args &args_;
    std::vector<PyObject *> read_;
    std::vector<PyObject *> modules_;
};

// --- what a module captures at import ---------------------------------------------

// True when `candidate` is the built-in function `name` of `module`: a
// function object only the interpreter makes, bound to that very module.
// Reads no more than object fields.
inline bool is_builtin_function(PyObject *candidate, PyObject *module, std::string_view name) {
    if (!candidate || !PyCFunction_CheckExact(candidate))
        return false;
    return PyCFunction_GET_SELF(candidate) == module &&
           reinterpret_cast<PyCFunctionObject *>(candidate)->m_ml->ml_name == name;
}

// The objects a module's native routes stand in for, captured once the
// module's body has bound its globals. Each name is
//   - a global of the module ("math"), or else a built-in ("round", "int"),
//     captured only when it is the interpreter's own: a built-in function of
//     the builtins module, or a static type of that name;
//   - "owner.name": a function of a captured module ("math.sqrt", or
//     "re.match", a Python function defined in that very module), or the
//     entry of a class the module defined ("Calculator.method"), with the
//     function a classmethod or staticmethod there wraps.
// What is not found as expected stays empty and never matches, so a route
// relying on it takes the plain way.
template <Literal... Names> class Captures final : public StatePart {
  public:
    explicit Captures(ModuleState &state) : StatePart(state) {}

    DictClock clock;

    template <Literal L> nb::handle get() const { return objects_[index_of<L>()]; }
    // The function a captured classmethod or staticmethod wraps.
    template <Literal L> nb::handle function() const { return functions_[index_of<L>()]; }

    // True when each name of `Used` resolves, as the function's code finds
    // it, to what was captured.
    template <Literal... Used> bool resolve(PureReads &reads) const {
        return (resolves(index_of<Used>(), reads) && ...);
    }

    void capture(nb::handle module) override {
        clock.start();
        nb::object builtins = steal_or_throw(PyImport_ImportModule("builtins"));
        for (size_t i = 0; i < kCount; ++i)
            capture_one(i, module, builtins);
    }

    int traverse(visitproc visit, void *arg) const override {
        for (size_t i = 0; i < kCount; ++i) {
            Py_VISIT(objects_[i].ptr());
            Py_VISIT(functions_[i].ptr());
        }
        return 0;
    }

    void clear() override {
        for (size_t i = 0; i < kCount; ++i)
            objects_[i] = functions_[i] = nb::object();
    }

  private:
    static constexpr size_t kCount = sizeof...(Names);
    static constexpr std::array<std::string_view, kCount> kNames = {std::string_view(Names.text)...};

    static constexpr size_t find(std::string_view name) {
        for (size_t i = 0; i < kCount; ++i)
            if (kNames[i] == name)
                return i;
        return kCount;
    }

    template <Literal L> static constexpr size_t index_of() {
        constexpr size_t index = find(std::string_view(L.text));
        static_assert(index < kCount, "a route relies on a name its module does not capture");
        return index;
    }

    static constexpr size_t owner_of(size_t i) {
        size_t dot = kNames[i].find('.');
        return dot == std::string_view::npos ? kCount : find(kNames[i].substr(0, dot));
    }

    static std::string_view own_name(size_t i) {
        size_t dot = kNames[i].find('.');
        return dot == std::string_view::npos ? kNames[i] : kNames[i].substr(dot + 1);
    }

    // Absent is no error here: a module may be imported after someone
    // deleted a built-in, and only calls of it fail then.
    static PyObject *entry(PyObject *names, nb::handle key) {
        return names && PyDict_Check(names) ? PyDict_GetItemWithError(names, key.ptr()) : nullptr;
    }

    void capture_one(size_t i, nb::handle module, nb::handle builtins) {
        std::string_view text = own_name(i);
        names_[i] = steal_or_throw(PyUnicode_InternFromString(std::string(text).c_str()));
        PyObject *found = nullptr;
        if (size_t owner = owner_of(i); owner < kCount)
            found = owned_by(objects_[owner].ptr(), i);
        else if (!(found = entry(PyModule_GetDict(module.ptr()), names_[i])))
            found = interpreters_own(entry(PyModule_GetDict(builtins.ptr()), names_[i]), builtins.ptr(), text);
        throw_if_error();
        objects_[i] = nb::borrow(found);
        if (found && (Py_IS_TYPE(found, &PyClassMethod_Type) || Py_IS_TYPE(found, &PyStaticMethod_Type)))
            functions_[i] = steal_or_throw(PyObject_GetAttrString(found, "__func__"));
    }

    static PyObject *interpreters_own(PyObject *found, PyObject *builtins, std::string_view name) {
        if (is_builtin_function(found, builtins, name))
            return found;
        bool static_type = found && PyType_Check(found) &&
                           !(PyType_GetFlags(reinterpret_cast<PyTypeObject *>(found)) & Py_TPFLAGS_HEAPTYPE);
        return static_type && reinterpret_cast<PyTypeObject *>(found)->tp_name == name ? found : nullptr;
    }

    PyObject *owned_by(PyObject *owner, size_t i) const {
        if (owner && PyModule_CheckExact(owner)) {
            PyObject *names = PyModule_GetDict(owner);
            PyObject *found = entry(names, names_[i]);
            bool defined_there = found && PyFunction_Check(found) && PyFunction_GetGlobals(found) == names;
            return defined_there || is_builtin_function(found, owner, own_name(i)) ? found : nullptr;
        }
        if (owner && PyType_Check(owner))
            return entry(reinterpret_cast<PyTypeObject *>(owner)->tp_dict, names_[i]);
        return nullptr;
    }

    bool resolves(size_t i, PureReads &reads) const {
        PyObject *expected = objects_[i].ptr();
        if (!expected)
            return false;
        size_t owner = owner_of(i);
        if (owner == kCount)
            return reads.global(names_[i]) == expected;
        return resolves(owner, reads) && reads.module_attribute(objects_[owner].ptr(), names_[i]) == expected;
    }

    std::array<nb::object, kCount> objects_;
    std::array<nb::object, kCount> functions_;
    std::array<nb::object, kCount> names_; // each name's own part, interned
};

// A native route's guard: true while the captured names it relies on still
// resolve (in the function's globals, then its built-ins, and in the modules
// found there) to what the module captured. The check runs only when both
// namespaces are exact dicts keyed by exact strs, so its lookups run no
// Python code. Either answer is remembered until a dict it read changes: a
// name replaced for good (as a test's patch does) costs the plain route no
// second look.
template <Literal... Used> class Route {
  public:
    template <class Captured> bool holds(const Captured &captured, const Args &args) {
        const DictClock &clock = captured.clock;
        PyObject *globals = args.globals_ptr();
        PyObject *builtins = args.builtins_ptr();
        if (tick_ != 0 && tick_ == clock.now() && globals == globals_ && builtins == builtins_)
            return answer_ && modules_still_plain();
        tick_ = 0;
        modules_.clear();
        uint64_t tick = clock.now();
        PureReads reads(args);
        bool answer =
            keyed_by_exact_str(globals) && keyed_by_exact_str(builtins) && captured.template resolve<Used...>(reads);
        for (PyObject *dict : reads.dicts_read())
            if (!clock.watch(dict))
                return answer;
        if (tick == 0 || clock.now() != tick || !clock.watch(globals) || !clock.watch(builtins))
            return answer;
        // A module's class can be swapped without any dict changing, so the
        // modules read are checked again on every use (they are held by the
        // watched namespaces, so the pointers stay theirs meanwhile). A no
        // stays a no until a dict changes: the plain route is always right.
        if (answer)
            modules_ = reads.modules_read();
        answer_ = answer;
        tick_ = tick;
        globals_ = globals;
        builtins_ = builtins;
        return answer;
    }

  private:
    bool modules_still_plain() const {
        for (PyObject *module : modules_)
            if (!PyModule_CheckExact(module))
                return false;
        return true;
    }

    uint64_t tick_ = 0;
    PyObject *globals_ = nullptr;
    PyObject *builtins_ = nullptr;
    bool answer_ = false;
    std::vector<PyObject *> modules_;
};

} // namespace vx::guard
