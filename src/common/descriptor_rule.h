// What a cache may remember about a class attribute it found (docs/fast-paths.md, "What may be
// cached"). A class's version tag changes when the class or a base changes, but not when the
// *type* of one of its attributes gains or loses __get__/__set__/__delete__. An attribute whose
// type is immutable cannot change kind; for one whose type is mutable, the cache also keys on that
// type's own version tag, which any such change invalidates.
#pragma once
#include <Python.h>

#include "interned.h"
#include "type_version.h"

namespace corvane {

struct DescriptorGuard {
    // The attribute's type when it is mutable (borrowed: the attribute holds it, and the class
    // holds the attribute while the class's own tag is unchanged, which callers check first).
    PyTypeObject *type = nullptr;
    unsigned int version = 0;

    bool holds() const { return !type || type_version(type) == version; }

    // The guard for `attr` (a strong reference the caller holds); false when the attribute's
    // type has no version tag to key on, and nothing may be cached. May run Python code (a
    // lookup that assigns the tag), so callers hold their references across it.
    bool set(PyObject *attr) {
        type = nullptr;
        version = 0;
        if (!attr)
            return true;
        PyTypeObject *tp = Py_TYPE(attr);
        if (PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE))
            return true;
        if (!type_version(tp))
            (void)type_lookup(tp, CORVANE_NAME(__get__));
        version = type_version(tp);
        type = tp;
        return version != 0;
    }
};

} // namespace corvane
