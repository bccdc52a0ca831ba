// Interned names: attribute names and dict keys made once and kept for the process.
#pragma once
#include <nanobind/nanobind.h>

namespace corvane {
namespace nb = nanobind;

// A new interned string that is never released: modules live as long as the process, and keeping
// the reference avoids decrefs during interpreter shutdown.
inline PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;
}

} // namespace corvane

// The interned string for an identifier, created on first use (under the GIL) and cached.
#define CORVANE_NAME(ident)                                                                                            \
    ([]() -> PyObject * {                                                                                              \
        static PyObject *const s = ::corvane::intern(#ident);                                                          \
        return s;                                                                                                      \
    }())

// The interned string for arbitrary text (keys that are not identifiers).
#define CORVANE_TEXT(text)                                                                                             \
    ([]() -> PyObject * {                                                                                              \
        static PyObject *const s = ::corvane::intern(text);                                                            \
        return s;                                                                                                      \
    }())
