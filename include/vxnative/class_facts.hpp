// Guards on classes: facts about a class whose metaclass is `type`, kept
// while the class keeps its version tag, and our own functions found there.
#pragma once

#include "exact_types.hpp"
#include "function_object.hpp"

namespace vx::guard {

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
    // Facts about what `cls.<name>` finds: only for a plain class, whose
    // metaclass runs no code of its own on those lookups.
    template <class Resolve> const Facts *find(nb::handle cls, Resolve resolve) {
        if (!plain_class(cls))
            return nullptr;
        return find_for_instances(reinterpret_cast<PyTypeObject *>(cls.ptr()), resolve);
    }

    // Facts about what the instances of `type` find along its MRO, which
    // the metaclass takes no part in.
    template <class Resolve> const Facts *find_for_instances(PyTypeObject *type, Resolve resolve) {
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

} // namespace vx::guard
