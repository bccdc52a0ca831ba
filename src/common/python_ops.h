// Python operations with the interpreter's own semantics and errors, for native code: each either
// returns the operation's result or throws the pending Python exception unchanged.
//
// Errors, in all native code of the project:
// - An operation the Python code performs (a call, an attribute read, a comparison, len, bool)
//   throws its exception unchanged (nb::python_error); the helpers here and in calls.h do that.
// - Where the Python code catches (`except KeyError:`), test for exactly that type, clear it and
//   go on; any other exception propagates.
// - A probe that decides whether a fast path applies (a buffer view, a layout or dtype check, a
//   read the Python code never makes) never raises and never leaves an error pending: an error
//   while probing means "does not apply", the error is dropped and the generic path runs, which
//   performs the real operation and raises whatever Python raises. A probe written with the
//   throwing helpers catches nb::python_error at its entry (discarding it) and answers false.
// - A function that answers false or an empty object for "not applicable" returns with no error
//   set; one that can fail throws. Never both: a false with an error pending is a fault.
// - A message Python words itself (argument binding, unpacking) replaces the error raised while
//   computing it: clear, then set the interpreter's exception type and text.
#pragma once
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "calls.h"

namespace corvane {
namespace nb = nanobind;

// bool(obj)
inline bool truthy(nb::handle obj) {
    const int truth = PyObject_IsTrue(obj.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth != 0;
}

// a <op> b through the objects' own rich comparison, then bool() of the answer (never identity).
inline bool compares(nb::handle a, nb::handle b, int op) {
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// PyObject_RichCompareBool(a, b, Py_EQ) (identity counts as equal), with exact floats and
// small exact ints compared as doubles, which is what float's own comparison does for them.
inline bool same_or_equal(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    auto as_double = [](PyObject *o, double &out) {
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        if (PyLong_CheckExact(o)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            // Every integer up to 2**53 is exactly a double.
            if (!overflow && v >= -(1LL << 53) && v <= (1LL << 53) && !(v == -1 && PyErr_Occurred())) {
                out = (double)v;
                return true;
            }
            PyErr_Clear();
        }
        return false;
    };
    double x, y;
    if ((PyFloat_CheckExact(a) || PyFloat_CheckExact(b)) && as_double(a, x) && as_double(b, y))
        return x == y;
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// a == b; equal but distinct values match too.
inline bool equals(nb::handle a, nb::handle b) { return compares(a, b, Py_EQ); }

// a != b (its own operator: a class may define __ne__ apart from __eq__)
inline bool differs(nb::handle a, nb::handle b) { return compares(a, b, Py_NE); }

// len(obj)
inline Py_ssize_t length_of(nb::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// operator.index(obj) as a Py_ssize_t: TypeError for a non-integer, OverflowError out of range.
inline Py_ssize_t ssize_of(nb::handle obj) {
    const Py_ssize_t v = PyNumber_AsSsize_t(obj.ptr(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// operator.index(obj) as a 64-bit integer, OverflowError out of range.
inline int64_t int64_of(nb::handle obj) {
    nb::object i = checked(PyNumber_Index(obj.ptr()));
    const long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// key in container
inline bool contains(nb::handle container, nb::handle key) {
    const int present = PySequence_Contains(container.ptr(), key.ptr());
    if (present < 0)
        throw nb::python_error();
    return present != 0;
}

// `a, b, ... = value` for exactly N items, with the interpreter's messages for too few or too many.
template <std::size_t N> std::array<nb::object, N> unpack_exactly(nb::handle value) {
    std::array<nb::object, N> items;
    PyObject *raw_it = PyObject_GetIter(value.ptr());
    if (!raw_it) {
        // the interpreter's own message for unpacking a value that cannot be iterated
        PyTypeObject *type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
        }
        throw nb::python_error();
    }
    nb::object it = nb::steal(raw_it);
    for (std::size_t i = 0; i < N; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
            throw nb::python_error();
        }
        items[i] = nb::steal(item);
    }
    if (PyObject *extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
        throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return items;
}

// mapping[key] if key in mapping, else an empty object. One hash lookup for a plain dict; any other
// mapping a host installs keeps the membership-test-then-subscript semantics.
inline nb::object lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nb::object();
        }
        return nb::borrow(v);
    }
    if (!contains(mapping, key))
        return nb::object();
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// The object a weak reference refers to (a new reference), or None once it is gone.
inline nb::object weak_target(nb::handle ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *obj = nullptr;
    if (PyWeakref_GetRef(ref.ptr(), &obj) < 0)
        throw nb::python_error();
    return obj ? nb::steal(obj) : nb::none();
#else
    PyObject *obj = PyWeakref_GetObject(ref.ptr());
    if (!obj)
        throw nb::python_error();
    return nb::borrow(obj);
#endif
}

} // namespace corvane
