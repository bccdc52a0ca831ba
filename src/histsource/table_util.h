// Small helpers for reading the data client's answers: the no-data test, indexed items
// and the date encodings used by the record arrays.
#pragma once
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>

#include "calls.h"
#include "interned.h"
#include "python_ops.h"

namespace histsource {
namespace nb = nanobind;

using corvane::equals;
using corvane::length_of;
using corvane::truthy;

// True when the client's answer means "no data": None, or a table whose `empty` flag is set.
inline bool no_data(nb::handle table) {
    if (table.is_none())
        return true;
    return corvane::truthy(corvane::getattr(table, CORVANE_NAME(empty)));
}

// obj[index], as the subscription operator does it (negative indexes count from the end for
// sequences; label-based containers decide for themselves).
inline nb::object item_at(nb::handle obj, Py_ssize_t index) {
    nb::object key = corvane::checked(PyLong_FromSsize_t(index));
    return corvane::checked(PyObject_GetItem(obj.ptr(), key.ptr()));
}

inline nb::object item(nb::handle obj, PyObject *key) { return corvane::checked(PyObject_GetItem(obj.ptr(), key)); }

// [False] * n: the status queries' answer when there is no data.
inline nb::object all_false(Py_ssize_t n) {
    PyObject *list = PyList_New(n);
    if (!list)
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(Py_False);
        PyList_SET_ITEM(list, i, Py_False);
    }
    return nb::steal(list);
}

// An integer attribute of a date-like value; false when the value carries no date (the attribute
// is missing-value NaN, as on pandas' NaT).
inline bool date_part(nb::handle value, PyObject *name, long &out) {
    nb::object part = corvane::getattr(value, name);
    if (PyFloat_Check(part.ptr()) && std::isnan(PyFloat_AS_DOUBLE(part.ptr())))
        return false;
    out = PyLong_AsLong(part.ptr());
    if (out == -1 && PyErr_Occurred())
        throw nb::python_error();
    return true;
}

// year * 10000 + month * 100 + day of a date-like value; 0 for a missing date (None or NaT), so a
// dividend without a payment date still encodes.
inline int64_t encode_date(nb::handle value) {
    if (value.is_none())
        return 0;
    long year, month, day;
    if (!date_part(value, CORVANE_NAME(year), year) || !date_part(value, CORVANE_NAME(month), month) ||
        !date_part(value, CORVANE_NAME(day), day))
        return 0;
    int64_t encoded = 0, month_day = 0;
    if (__builtin_mul_overflow((int64_t)month, (int64_t)100, &month_day) ||
        __builtin_add_overflow(month_day, (int64_t)day, &month_day) ||
        __builtin_mul_overflow((int64_t)year, (int64_t)10000, &encoded) ||
        __builtin_add_overflow(encoded, month_day, &encoded)) {
        PyErr_SetString(PyExc_OverflowError, "date out of range for an integer date");
        throw nb::python_error();
    }
    return encoded;
}

} // namespace histsource
