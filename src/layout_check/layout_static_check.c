/* Compile-time comparison of the mirrored layouts (src/common/layout_mirror.h) with the
 * interpreter's internal headers, built only where those headers are installed. Nothing here is
 * linked: the build fails on the first field whose offset or size differs. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#include <stddef.h>

#include "layout_mirror.h"

/* Free-threaded builds have other layouts, which nothing here reads. */
#ifndef Py_GIL_DISABLED

#define CORVANE_SAME_FIELD(mirror, field, real, real_field)                                                            \
    _Static_assert(offsetof(mirror, field) == offsetof(real, real_field) &&                                            \
                       sizeof(((mirror *)0)->field) == sizeof(((real *)0)->real_field),                                \
                   #mirror "." #field " differs from " #real "." #real_field)

CORVANE_SAME_FIELD(corvane_keys_head, refcnt, PyDictKeysObject, dk_refcnt);
CORVANE_SAME_FIELD(corvane_keys_head, log2_size, PyDictKeysObject, dk_log2_size);
CORVANE_SAME_FIELD(corvane_keys_head, log2_index_bytes, PyDictKeysObject, dk_log2_index_bytes);
CORVANE_SAME_FIELD(corvane_keys_head, kind, PyDictKeysObject, dk_kind);
CORVANE_SAME_FIELD(corvane_keys_head, version, PyDictKeysObject, dk_version);
CORVANE_SAME_FIELD(corvane_keys_head, usable, PyDictKeysObject, dk_usable);
CORVANE_SAME_FIELD(corvane_keys_head, nentries, PyDictKeysObject, dk_nentries);
_Static_assert(offsetof(corvane_keys_head, indices) == offsetof(PyDictKeysObject, dk_indices), "index table");

CORVANE_SAME_FIELD(corvane_unicode_entry, key, PyDictUnicodeEntry, me_key);
CORVANE_SAME_FIELD(corvane_unicode_entry, value, PyDictUnicodeEntry, me_value);
_Static_assert(sizeof(corvane_unicode_entry) == sizeof(PyDictUnicodeEntry), "text-key entry size");

_Static_assert(CORVANE_KEYS_UNICODE == DICT_KEYS_UNICODE && CORVANE_KEYS_SPLIT == DICT_KEYS_SPLIT, "keys kinds");
#ifdef MANAGED_DICT_OFFSET /* 3.12 states the position only in an inline function */
_Static_assert(MANAGED_DICT_OFFSET == -CORVANE_MANAGED_DICT_WORDS * (Py_ssize_t)sizeof(PyObject *),
               "managed dict position");
#endif

#if PY_VERSION_HEX >= 0x030D0000
CORVANE_SAME_FIELD(corvane_inline_values, capacity, PyDictValues, capacity);
CORVANE_SAME_FIELD(corvane_inline_values, size, PyDictValues, size);
CORVANE_SAME_FIELD(corvane_inline_values, embedded, PyDictValues, embedded);
CORVANE_SAME_FIELD(corvane_inline_values, valid, PyDictValues, valid);
_Static_assert(offsetof(corvane_inline_values, values) == offsetof(PyDictValues, values), "values array");
#endif

#endif

/* An object file with no symbols is fine; this keeps compilers that warn on empty units quiet. */
typedef int corvane_layout_checked;
