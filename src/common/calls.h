// Calling helpers over the vectorcall protocol; each returns a new reference or throws the
// pending Python exception unchanged.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>

#include "kwnames.h"

namespace corvane {
namespace nb = nanobind;

// Takes ownership of a new reference; a null result means a Python error is pending.
inline nb::object checked(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

inline PyObject *raw(nb::handle h) { return h.ptr(); }
inline PyObject *raw(PyObject *p) { return p; }

// f(*args)
template <typename... Args> nb::object call(nb::handle f, const Args &...args) {
    PyObject *argv[] = {nullptr, raw(args)...};
    return checked(PyObject_Vectorcall(f.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(*positional, **dict(zip(kwnames, keyword_values))): the last K arguments are the keyword
// values, in the order of the names.
template <std::size_t K, typename... Args>
nb::object call_kw(nb::handle f, const KwNames<K> &kwnames, const Args &...args) {
    static_assert(sizeof...(Args) >= K, "fewer values than keyword names");
    PyObject *argv[] = {nullptr, raw(args)...};
    constexpr size_t positional = sizeof...(Args) - K;
    return checked(
        PyObject_Vectorcall(f.ptr(), argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.tuple()));
}

// obj.name(*args)
template <typename... Args> nb::object call_method(nb::handle obj, PyObject *name, const Args &...args) {
    PyObject *argv[] = {obj.ptr(), raw(args)...};
    return checked(
        PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*positional, **keywords), keyword values last as in call_kw.
template <std::size_t K, typename... Args>
nb::object call_method_kw(nb::handle obj, PyObject *name, const KwNames<K> &kwnames, const Args &...args) {
    static_assert(sizeof...(Args) >= K, "fewer values than keyword names");
    PyObject *argv[] = {obj.ptr(), raw(args)...};
    constexpr size_t positional = sizeof...(Args) + 1 - K;
    return checked(PyObject_VectorcallMethod(name, argv, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.tuple()));
}

// getattr(obj, name)
inline nb::object getattr(nb::handle obj, PyObject *name) { return checked(PyObject_GetAttr(obj.ptr(), name)); }

// getattr(obj, name, None) semantics for "has an attribute": any failure of the read counts as
// absent and the error is dropped. Returns an empty object when absent.
inline nb::object getattr_or_absent(nb::handle obj, PyObject *name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (!v) {
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(v);
}

// getattr(obj, name) when obj has the attribute, else an empty object: only AttributeError (or the
// errors of `absent`, e.g. PyExc_Exception) counts as absent, any other error of the read propagates.
inline nb::object getattr_if_present(nb::handle obj, PyObject *name, PyObject *absent = PyExc_AttributeError) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (v)
        return nb::steal(v);
    if (!PyErr_ExceptionMatches(absent))
        throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

// builtins.<name> as the running code sees it (a host may replace a builtin); when it is missing,
// `missing` is raised with `message`, as the interpreter words it for that use.
inline nb::object builtin(PyObject *name, PyObject *missing, const char *message) {
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_SetString(missing, message);
        throw nb::python_error();
    }
    return nb::borrow(v);
}

inline void setattr(nb::handle obj, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

// import name: the module object as the import system hands it out.
inline nb::object import(const char *dotted) { return checked(PyImport_ImportModule(dotted)); }

} // namespace corvane
