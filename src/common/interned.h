// Interned names: attribute names, dict keys and keyword names made once and kept for the process.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>

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

// A tuple of interned keyword names for vectorcall, kept for the process.
inline PyObject *kwnames(std::initializer_list<const char *> names) {
    PyObject *t = PyTuple_New((Py_ssize_t) names.size());
    if (!t)
        throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char *n : names)
        PyTuple_SET_ITEM(t, i++, intern(n));
    return t;
}

} // namespace corvane

// The interned string for an identifier, created on first use (under the GIL) and cached.
#define CORVANE_NAME(ident)                                                          \
    ([]() -> PyObject * {                                                            \
        static PyObject *const s = ::corvane::intern(#ident);                        \
        return s;                                                                    \
    }())

// The interned string for arbitrary text (keys that are not identifiers).
#define CORVANE_TEXT(text)                                                           \
    ([]() -> PyObject * {                                                            \
        static PyObject *const s = ::corvane::intern(text);                          \
        return s;                                                                    \
    }())

// A cached tuple of keyword names for vectorcall.
#define CORVANE_KWNAMES(...)                                                         \
    ([]() -> PyObject * {                                                            \
        static PyObject *const t = ::corvane::kwnames({__VA_ARGS__});                \
        return t;                                                                    \
    }())
