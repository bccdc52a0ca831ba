// Type version tags: a number the interpreter changes whenever a type or one of its bases is
// modified, so a lookup result remembered with the tag stays right while the tag is the same.
#pragma once
#include <Python.h>

namespace corvane {

// The type's current valid version tag, or 0 when it has none (never assigned, invalidated by a
// modification, or the interpreter ran out of tags).
inline unsigned int type_version(PyTypeObject *tp) {
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 sets the tag itself to 0 on modification; the flag is no longer kept up.
    return tp->tp_version_tag;
#else
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#endif
}

// The attribute `name` found along the type's MRO (borrowed, or null), as attribute lookup sees
// it; also gives the type a version tag when it has none and one can be assigned.
inline PyObject *type_lookup(PyTypeObject *tp, PyObject *name) {
    PyObject *r = _PyType_Lookup(tp, name);
    // Before 3.12 the lookup may leave an error of a failed hash or comparison set; the generic
    // path that follows every uncached read reports it, so nothing is kept here.
    if (!r && PyErr_Occurred())
        PyErr_Clear();
    return r;
}

} // namespace corvane
