/* The interpreter structures the fast paths read directly, mirrored field by field for 3.11 to
 * 3.13 builds with the GIL (docs/fast-paths.md, "Layout checks"). Plain C, so that the build can
 * compare them with the interpreter's own internal headers (src/layout_check). */
#ifndef CORVANE_LAYOUT_MIRROR_H
#define CORVANE_LAYOUT_MIRROR_H
#include <Python.h>
#include <stdint.h>

/* The head of a dict keys object; the index table starts at `indices`, then the entries. */
typedef struct {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[1];
} corvane_keys_head;

/* An entry of a table with text keys only (combined or split). */
typedef struct {
    PyObject *key;
    PyObject *value;
} corvane_unicode_entry;

/* The values array 3.13 keeps right after a plain instance's object header. */
typedef struct {
    uint8_t capacity, size, embedded, valid;
    PyObject *values[1];
} corvane_inline_values;

#define CORVANE_KEYS_UNICODE 1 /* combined table, text keys only */
#define CORVANE_KEYS_SPLIT 2   /* shared keys of a type's instances */

/* Where an instance with a managed dict keeps it, in pointer-sized words before the object. */
#define CORVANE_MANAGED_DICT_WORDS 3
#if PY_VERSION_HEX < 0x030C0000
/* 3.11 keeps the values array pointer one word further. */
#define CORVANE_VALUES_POINTER_WORDS 4
#endif

#endif
