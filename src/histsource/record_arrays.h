// Fixed-layout record arrays for corporate actions: allocated through numpy's Python API and
// filled one field (column) at a time.
#pragma once
#include <cstdint>
#include <vector>

#include "histsource.h"

namespace histsource {

// np.empty(n, dtype=np.dtype(fields)) where fields is a list of (name, type text) pairs; numpy
// packs the fields without padding.
nb::object empty_records(Py_ssize_t n, std::initializer_list<std::pair<const char *, const char *>> fields);

// The encoded dates (year * 10000 + month * 100 + day; 0 for a missing date) of every value an
// iterable of date-like values yields, in order.
std::vector<int64_t> encoded_dates(nb::handle values);

// Writes `values` into an integer field of `records` (unsigned 32-bit or signed 64-bit, little-
// endian), straight into the array's memory.
void fill_int_field(nb::handle records, PyObject *field, const std::vector<int64_t> &values);

// records[field] = values, numpy converting the values to the field's type.
void assign_field(nb::handle records, PyObject *field, nb::handle values);

} // namespace histsource
