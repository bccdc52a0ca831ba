// Building bar arrays: numpy structured arrays allocated through numpy's Python API and filled
// column by column straight into their memory.
#pragma once
#include <vector>

#include "histsource.h"

namespace histsource {

// True while the module's `convert_dt_to_int` and `convert_int_to_datetime` are still the
// functions bound at import.
bool native_time_conversion();

// The rows to copy out of a source column: a contiguous range, or an explicit list of positions.
struct Rows {
    Py_ssize_t start = 0;
    Py_ssize_t count = 0;
    const std::vector<Py_ssize_t> *picks = nullptr;

    Py_ssize_t size() const { return picks ? (Py_ssize_t)picks->size() : count; }
    Py_ssize_t at(Py_ssize_t i) const { return picks ? (*picks)[(size_t)i] : start + i; }
};

// orig_time of every row of a bar frame's index as a uint64 array: the label itself for a
// one-level index, the `orig_time` level otherwise; integers YYYYMMDDHHMMSS and date-times alike.
nb::object bar_times(nb::handle index);

// The bar array's field list: `fields` as a list, or `orig_time` then every column when it is None.
nb::list bar_field_names(nb::handle fields, nb::handle columns);

// The bar array's dtype for those fields: `orig_time` (uint64) first when asked for, then every other
// field with the type `dtypes[name]` gives (a missing name fails with that lookup's KeyError); a
// text dtype that is no numpy dtype gives an object field.
nb::object bar_dtype(nb::handle np, nb::handle names, nb::handle dtypes);

bool is_orig_time(nb::handle name);

// np.empty(n, dtype)
nb::object empty_array(nb::handle np, nb::handle dtype, Py_ssize_t n);

// The destination of a fill: a structured array of n records, as np.empty made it. Each field is
// written through a checked view of its memory, so an array of another shape, length or layout
// gets a TypeError or ValueError, never a write outside it.
class StructTarget {
public:
    StructTarget(nb::handle array, Py_ssize_t n);
    // Copies the chosen rows of `src` (n of them) into field `name`.
    void fill(nb::handle name, nb::handle src, const Rows &rows);

private:
    nb::handle array_;
    Py_ssize_t n_;
};

} // namespace histsource
