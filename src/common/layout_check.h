// The import-time check of the interpreter layouts mirrored in dict_layout.h: each path that reads
// them is turned on only when probe objects read through the mirror give what the interpreter's
// own API gives (docs/fast-paths.md, "Layout checks"). A mismatch leaves the path off and logs one
// warning line naming it.
#pragma once
#include <nanobind/nanobind.h>

#include "calls.h"
#include "dict_layout.h"
#include "fast_paths.h"
#include "interned.h"

namespace corvane::layout_check {
namespace nb = nanobind;

// A keys head whose fields are consistent with a table holding `n` entries of `kind`.
inline bool plausible_keys(const layout::KeysHead *k, uint8_t kind, Py_ssize_t n) {
    return k && k->kind == kind && k->nentries == n && k->log2_size < 32 && k->log2_index_bytes >= k->log2_size &&
           (Py_ssize_t(1) << k->log2_size) >= n && k->usable >= 0 && k->refcnt >= 1;
}

// Instances of a fresh class, three attributes set: the shared keys hold them in order, and the
// values array gives the very objects getattr gives, before and after the instance's dict exists.
inline bool instance_values_match() {
#ifdef CORVANE_DICT_LAYOUT
    nb::object cls = call(nb::handle((PyObject *)&PyType_Type), nb::str("_LayoutProbe"),
                          nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)), nb::dict());
    PyTypeObject *tp = (PyTypeObject *)cls.ptr();
    nb::object o = call(cls);
    const char *names[] = {"first", "second", "third"};
    nb::object keys[3], values[3];
    for (int i = 0; i < 3; ++i) {
        keys[i] = nb::steal(PyUnicode_InternFromString(names[i]));
        values[i] = nb::steal(PyFloat_FromDouble(i + 0.5));
        setattr(o, keys[i].ptr(), values[i]);
    }
    if (!layout::has_inline_values_layout(tp))
        return false;
    auto *head = reinterpret_cast<const layout::KeysHead *>(reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys);
    if (!plausible_keys(head, layout::kKeysSplit, 3) || layout::shared_key_count(tp) != 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        PyObject *v = nullptr;
        PyObject **slot = layout::inline_slot(o.ptr(), i);
        if (layout::shared_key_index(tp, keys[i].ptr()) != i || !layout::inline_value(o.ptr(), i, &v) ||
            v != values[i].ptr() || !slot || *slot != values[i].ptr())
            return false;
    }
    // Once the instance has a dict of its own, the mirror either steps aside or still agrees.
    nb::object d = getattr(o, CORVANE_NAME(__dict__));
    for (int i = 0; i < 3; ++i) {
        PyObject *v = nullptr;
        if (layout::inline_value(o.ptr(), i, &v) && v != getattr(o, keys[i].ptr()).ptr())
            return false;
    }
    return true;
#else
    return false;
#endif
}

// A copy of a three-key dict: its entries, in insertion order, are where the mirror finds them,
// and a value written there is what the dict's own lookup returns.
inline bool dict_templates_match() {
#ifdef CORVANE_DICT_LAYOUT
    const char *names[] = {"open", "high", "low"};
    nb::object keys[3];
    nb::object templ = nb::steal(PyDict_New());
    for (int i = 0; i < 3; ++i) {
        keys[i] = nb::steal(PyUnicode_InternFromString(names[i]));
        if (PyDict_SetItem(templ.ptr(), keys[i].ptr(), Py_None) != 0)
            throw nb::python_error();
    }
    nb::object d = checked(PyDict_Copy(templ.ptr()));
    auto *dict = reinterpret_cast<PyDictObject *>(d.ptr());
    if (dict->ma_values || dict->ma_used != 3 ||
        !plausible_keys(reinterpret_cast<const layout::KeysHead *>(dict->ma_keys), layout::kKeysUnicode, 3))
        return false;
    layout::UnicodeEntry *e = layout::unicode_entries(dict->ma_keys);
    for (int i = 0; i < 3; ++i)
        if (e[i].key != keys[i].ptr() || e[i].value != Py_None)
            return false;
    nb::object probe = nb::steal(PyFloat_FromDouble(2.5));
    PyObject *old = e[1].value;
    e[1].value = Py_NewRef(probe.ptr());
    Py_DECREF(old);
    return PyDict_GetItem(d.ptr(), keys[1].ptr()) == probe.ptr() && PyDict_GetItem(d.ptr(), keys[0].ptr()) == Py_None;
#else
    return false;
#endif
}

// Whether path `p` may be turned on: true for the paths that rely on no mirrored layout; for the
// others, the probe's verdict. A mismatch logs one warning line through `logger` (the framework's
// system_log the module bound), naming the path.
inline bool passes(fast::Path p, nb::handle logger) {
    bool ok = true;
    if (p == fast::InstanceValues)
        ok = instance_values_match();
    else if (p == fast::DictTemplates)
        ok = dict_templates_match();
    else
        return true;
#ifdef CORVANE_DICT_LAYOUT
    if (!ok)
        call_method(logger, CORVANE_NAME(warning),
                    nb::str("fast path {} off: the interpreter's layout differs from the one this build mirrors")
                        .attr("format")(fast::name_of(p)));
#else
    (void)logger;
#endif
    return ok;
}

} // namespace corvane::layout_check
