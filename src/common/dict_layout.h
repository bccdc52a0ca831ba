// The storage of dicts and of instance attribute values as the interpreter lays them out, for
// 3.11 to 3.13 builds with the GIL (docs/fast-paths.md: the layouts, how they are checked at
// import, and the switches that turn them off). Every accessor checks what it relies on and
// reports "not available" (null, -1, false) when the object does not look as expected, or when
// its fast path is off, so callers always have the generic C-API path to fall back to.
#pragma once
#include <Python.h>

#include "fast_paths.h"
#include "layout_mirror.h"

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define CORVANE_DICT_LAYOUT 1
#endif

namespace corvane::layout {

// The mirrored structures (layout_mirror.h, checked against the interpreter's headers at build time
// where they are installed, and on probe objects at import).
using KeysHead = corvane_keys_head;
using UnicodeEntry = corvane_unicode_entry;
constexpr uint8_t kKeysUnicode = CORVANE_KEYS_UNICODE;
constexpr uint8_t kKeysSplit = CORVANE_KEYS_SPLIT;

inline UnicodeEntry *unicode_entries(void *keys) {
    KeysHead *k = static_cast<KeysHead *>(keys);
    return reinterpret_cast<UnicodeEntry *>(k->indices + (std::size_t(1) << k->log2_index_bytes));
}

// The entries of a combined dict holding exactly `n` text keys with no deleted slot, in
// insertion order, or null when the dict is stored any other way.
inline UnicodeEntry *combined_entries(PyObject *dict, Py_ssize_t n) {
#ifdef CORVANE_DICT_LAYOUT
    if (!fast::on(fast::DictTemplates))
        return nullptr;
    PyDictObject *d = reinterpret_cast<PyDictObject *>(dict);
    if (!PyDict_CheckExact(dict) || d->ma_values || d->ma_used != n)
        return nullptr;
    KeysHead *k = reinterpret_cast<KeysHead *>(d->ma_keys);
    if (k->kind != kKeysUnicode || k->nentries != n)
        return nullptr;
    return unicode_entries(k);
#else
    (void)dict;
    (void)n;
    return nullptr;
#endif
}

// Whether instances of `tp` keep their attributes in a values array indexed by the type's
// shared keys (no dict object until one is asked for), whether or not the path is on.
inline bool has_inline_values_layout(PyTypeObject *tp) {
#ifdef CORVANE_DICT_LAYOUT
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_itemsize)
        return false;
#if PY_VERSION_HEX >= 0x030D0000
    if (!(tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) || tp->tp_basicsize != (Py_ssize_t)sizeof(PyObject))
        return false;
#endif
    void *keys = reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys;
    return keys && static_cast<KeysHead *>(keys)->kind == kKeysSplit;
#else
    (void)tp;
    return false;
#endif
}

// The same, while the instance-values path is on: the entry point of every read and store that
// goes to the values array.
inline bool has_inline_values(PyTypeObject *tp) {
    return fast::on(fast::InstanceValues) && has_inline_values_layout(tp);
}

// How many keys the shared keys of `tp` hold (-1 without inline values): they only ever grow, so
// while the count is the same, so is the set of keys.
inline Py_ssize_t shared_key_count(PyTypeObject *tp) {
#ifdef CORVANE_DICT_LAYOUT
    if (!has_inline_values_layout(tp))
        return -1;
    void *keys = reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys;
    return static_cast<KeysHead *>(keys)->nentries;
#else
    (void)tp;
    return -1;
#endif
}

// The position of `name` in the shared keys of `tp` (see has_inline_values), or -1.
inline Py_ssize_t shared_key_index(PyTypeObject *tp, PyObject *name) {
#ifdef CORVANE_DICT_LAYOUT
    if (!has_inline_values_layout(tp) || !PyUnicode_CheckExact(name))
        return -1;
    void *keys = reinterpret_cast<PyHeapTypeObject *>(tp)->ht_cached_keys;
    const Py_ssize_t n = static_cast<KeysHead *>(keys)->nentries;
    UnicodeEntry *e = unicode_entries(keys);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *k = e[i].key;
        if (k == name || (k && PyUnicode_CheckExact(k) && PyUnicode_Compare(k, name) == 0))
            return i;
    }
    return -1;
#else
    (void)tp;
    (void)name;
    return -1;
#endif
}

#if defined(CORVANE_DICT_LAYOUT) && PY_VERSION_HEX >= 0x030D0000
// 3.13 keeps a plain instance's values right after its object header.
using InlineValues = corvane_inline_values;
inline InlineValues *inline_values_of(PyObject *o) {
    return reinterpret_cast<InlineValues *>(reinterpret_cast<char *>(o) + sizeof(PyObject));
}
#endif

// The slot of the values array of `o` (an instance of a type with inline values) at `index`,
// or null when the instance's attributes are kept in a dict object (there, or as well, as 3.13
// does once a dict has been asked for), or the layout is not known here.
inline PyObject **inline_slot(PyObject *o, Py_ssize_t index) {
#if defined(CORVANE_DICT_LAYOUT) && PY_VERSION_HEX >= 0x030D0000
    InlineValues *v = inline_values_of(o);
    if (!v->valid || index >= v->capacity || reinterpret_cast<PyObject **>(o)[-CORVANE_MANAGED_DICT_WORDS])
        return nullptr;
    return &v->values[index];
#elif defined(CORVANE_DICT_LAYOUT) && PY_VERSION_HEX >= 0x030C0000
    // The slot before the managed dict pointer: the values pointer tagged with 1, or a dict.
    const uintptr_t tagged = reinterpret_cast<uintptr_t *>(o)[-CORVANE_MANAGED_DICT_WORDS];
    return (tagged & 1) ? reinterpret_cast<PyObject **>(tagged + 1) + index : nullptr;
#elif defined(CORVANE_DICT_LAYOUT)
    PyObject **values = reinterpret_cast<PyObject ***>(o)[-CORVANE_VALUES_POINTER_WORDS];
    return values ? values + index : nullptr;
#else
    (void)o;
    (void)index;
    return nullptr;
#endif
}

// Whether the attributes of `o`, an instance of a type with inline values, are in its values
// array; if so, *value is the one at `index` (borrowed, null when unset). False when they are
// read through a dict object of the instance's own (or the layout is not known here).
inline bool inline_value(PyObject *o, Py_ssize_t index, PyObject **value) {
#if defined(CORVANE_DICT_LAYOUT) && PY_VERSION_HEX >= 0x030D0000
    InlineValues *v = inline_values_of(o);
    if (!v->valid)
        return false;
    *value = index < v->capacity ? v->values[index] : nullptr;
    return true;
#else
    PyObject **slot = inline_slot(o, index);
    if (!slot)
        return false;
    *value = *slot;
    return true;
#endif
}

} // namespace corvane::layout
