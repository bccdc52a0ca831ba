// Bar frames to bar arrays: numpy structured arrays filled column by column.
#include "bar_array.h"

#include <cstring>

#include "array_view.h"
#include "bar_time_kernels.h"
#include "index_entries.h"
#include "python_ops.h"

namespace histsource {
namespace {

using corvane::call;
using corvane::call_method;
using corvane::checked;
using corvane::getattr;

// The raw column of a one-dimensional array of bar times, opened in `view`: integers, or
// datetime64 read through its int64 view with `ticks` per second. False when the values have no
// such form and the caller converts row by row.
bool open_time_column(nb::handle values, corvane::ArrayView &view, int64_t &ticks) {
    ticks = 0;
    nb::object dtype = corvane::getattr_or_absent(values, CORVANE_NAME(dtype));
    nb::object text = dtype.is_valid() ? corvane::getattr_or_absent(dtype, CORVANE_NAME(str)) : nb::object();
    if (text.is_valid() && PyUnicode_Check(text.ptr())) {
        const char *t = PyUnicode_AsUTF8(text.ptr());
        if (!t)
            throw nb::python_error();
        ticks = datetime_ticks_per_second(t);
    }
    if (!ticks)
        return view.try_open(values) && corvane::IntegerReader(view.element()).valid();
    // numpy exports no buffer for datetime64; its int64 view holds the same ticks.
    PyObject *ints = PyObject_CallMethodOneArg(values.ptr(), CORVANE_NAME(view), CORVANE_TEXT("<i8"));
    if (!ints) {
        PyErr_Clear();
        return false;
    }
    nb::object as_ints = nb::steal(ints);
    const corvane::ElementType t = view.try_open(as_ints) ? view.element() : corvane::ElementType{};
    return t.kind == corvane::ElementKind::signed_int && t.size == 8;
}

Column column_of(const corvane::ArrayView &view) { return Column{view.at(0), view.length(), view.stride()}; }

// YYYYMMDDHHMMSS of every element of an opened time column, exactly as convert_dt_to_int gives
// them, written to out[0..length); false when any value needs the framework's own handling (NaT,
// invalid numbers), and the caller converts row by row instead.
bool convert_times_into(const corvane::ArrayView &view, int64_t ticks, uint64_t *out) {
    if (ticks)
        return convert_datetime_column(column_of(view), ticks, out);
    return convert_int_column(column_of(view), corvane::IntegerReader(view.element()), out);
}

bool convert_times_natively(nb::handle values, std::vector<uint64_t> &out) {
    corvane::ArrayView view;
    int64_t ticks;
    if (!open_time_column(values, view, ticks))
        return false;
    out.resize((size_t)view.length());
    return convert_times_into(view, ticks, out.data());
}

// The index level holding the bar time: the labels of a one-level index, else `orig_time` by name
// (the second level when the levels are unnamed).
Py_ssize_t time_level(nb::handle index, Py_ssize_t nlevels) {
    if (nlevels == 1)
        return 0;
    const Py_ssize_t named = orig_time_level(index);
    return named >= 0 ? named : 1;
}

bool has_time_zone(nb::handle level) {
    nb::object tz = corvane::getattr_or_absent(level, CORVANE_NAME(tz));
    return tz.is_valid() && !tz.is_none();
}

// Native path: convert the distinct level values once, then spread them over the rows by code.
bool fill_times_natively(nb::handle index, Py_ssize_t nlevels, Py_ssize_t level, uint64_t *out, Py_ssize_t n) {
    if (nlevels == 1) {
        if (has_time_zone(index))
            return false;
        nb::object values = getattr(index, CORVANE_NAME(values));
        corvane::ArrayView view;
        int64_t ticks;
        if (!open_time_column(values, view, ticks) || view.length() != n)
            return false;
        return convert_times_into(view, ticks, out);
    }
    std::vector<uint64_t> converted;
    nb::object lv = checked(PySequence_GetItem(getattr(index, CORVANE_NAME(levels)).ptr(), level));
    if (has_time_zone(lv) || !convert_times_natively(getattr(lv, CORVANE_NAME(values)), converted))
        return false;
    nb::object codes = checked(PySequence_GetItem(getattr(index, CORVANE_NAME(codes)).ptr(), level));
    corvane::ArrayView cv;
    if (!cv.try_open(codes) || cv.length() != n)
        return false;
    const corvane::IntegerReader code_reader(cv.element());
    const int64_t nvalues = (int64_t)converted.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        int64_t c;
        if (!code_reader.read(cv.at(i), c) || c < 0 || c >= nvalues)
            return false;
        out[i] = converted[(size_t)c];
    }
    return true;
}

bool is_integer_label(PyObject *label) {
    return !PyBool_Check(label) && (PyLong_Check(label) || (!PyFloat_Check(label) && PyIndex_Check(label)));
}

// Row by row through the module's converters: integer labels become date-times first, then every
// row's time goes through `convert_dt_to_int`, stored with numpy's own assignment.
void fill_times_by_row(nb::handle index, Py_ssize_t nlevels, Py_ssize_t level, nb::handle out) {
    nb::object labels =
        nlevels == 1 ? nb::borrow(index) : call_method(index, CORVANE_NAME(get_level_values), nb::int_(level));
    nb::object convert = HS_GLOBAL(convert_dt_to_int);
    nb::object to_datetime = HS_GLOBAL(convert_int_to_datetime);
    nb::object it = checked(PyObject_GetIter(labels.ptr()));
    Py_ssize_t i = 0;
    // A one-level index of record-like entries (not named orig_time) gives each entry's own
    // orig_time; plain time labels are used as they are.
    const bool entries = nlevels == 1 && orig_time_level(index) < 0;
    while (PyObject *raw_label = PyIter_Next(it.ptr())) {
        nb::object label = nb::steal(raw_label);
        if (entries && !is_integer_label(label.ptr()))
            if (nb::object part = entry_orig_time(label, -1); part.is_valid())
                label = part;
        if (is_integer_label(label.ptr()))
            label = call(to_datetime, label);
        nb::object v = call(convert, label);
        if (PySequence_SetItem(out.ptr(), i++, v.ptr()) != 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

// The rows of `src` as numpy would copy them: a slice, or a take of the positions.
nb::object select_rows(nb::handle src, const Rows &rows) {
    if (!rows.picks) {
        nb::object sl =
            checked(PySlice_New(nb::int_(rows.start).ptr(), nb::int_(rows.start + rows.count).ptr(), nullptr));
        return checked(PyObject_GetItem(src.ptr(), sl.ptr()));
    }
    nb::list positions;
    for (Py_ssize_t p : *rows.picks)
        positions.append(nb::int_(p));
    nb::object arr = call_method(HS_GLOBAL(np), CORVANE_NAME(asarray), src);
    return call_method(arr, CORVANE_NAME(take), positions);
}

} // namespace

// The native conversion stands in for both, integer bar times going through the second first.
bool native_time_conversion() { return HS_PRISTINE("convert_dt_to_int") && HS_PRISTINE("convert_int_to_datetime"); }

nb::object empty_array(nb::handle np, nb::handle dtype, Py_ssize_t n) {
    return call_method(np, CORVANE_NAME(empty), nb::int_(n), dtype);
}

StructTarget::StructTarget(nb::handle array, Py_ssize_t n) : array_(array), n_(n) {
    // Each field's memory is checked when it is filled.
    corvane::expect_records(array, n, "the bar array");
}

namespace {

// Same element layout on both sides, so bytes copy as they are: numbers, booleans and objects
// of one size; anything else (text, structures, foreign byte order) goes through numpy.
bool same_elements(const corvane::ArrayView &from, const corvane::ArrayView &to) {
    const corvane::ElementType a = from.element(), b = to.element();
    return a.kind != corvane::ElementKind::other && a.kind == b.kind && a.size == b.size &&
           (a.kind != corvane::ElementKind::object || a.size == (Py_ssize_t)sizeof(PyObject *));
}

bool rows_in_range(const Rows &rows, Py_ssize_t length) {
    const Py_ssize_t n = rows.size();
    if (!rows.picks) // a range is checked at its ends
        return n == 0 || (rows.start >= 0 && rows.start + n <= length);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (rows.at(i) < 0 || rows.at(i) >= length)
            return false;
    return true;
}

// Object slots: the new element gains a reference, the one it replaces loses one.
void copy_objects(const corvane::ArrayView &from, const corvane::ArrayView &to, const Rows &rows) {
    for (Py_ssize_t i = 0; i < rows.size(); ++i) {
        PyObject *value, *old;
        std::memcpy(&value, from.at(rows.at(i)), sizeof value);
        std::memcpy(&old, to.at(i), sizeof old);
        if (!value)
            value = Py_None;
        Py_INCREF(value);
        std::memcpy(to.writable_at(i), &value, sizeof value);
        Py_XDECREF(old);
    }
}

void copy_bytes(const corvane::ArrayView &from, const corvane::ArrayView &to, const Rows &rows) {
    const Py_ssize_t n = rows.size();
    char *dst = to.writable_at(0);
    const Py_ssize_t to_step = to.stride(), from_step = from.stride();
    if (!rows.picks && from.itemsize() == 8) {
        // The common case, 8-byte numbers over a range of rows: one tight strided copy, with the
        // strides in locals so the loop keeps them in registers.
        const char *src = from.at(rows.start);
        for (Py_ssize_t i = 0; i < n; ++i)
            std::memcpy(dst + i * to_step, src + i * from_step, 8);
        return;
    }
    const size_t width = (size_t)from.itemsize();
    for (Py_ssize_t i = 0; i < n; ++i)
        std::memcpy(dst + i * to_step, from.at(rows.at(i)), width);
}

} // namespace

void StructTarget::fill(nb::handle name, nb::handle src, const Rows &rows) {
    // The field as numpy views it: its memory, stride and element type come from the buffer.
    nb::object field = checked(PyObject_GetItem(array_.ptr(), name.ptr()));
    if (rows.size() != n_) {
        PyErr_Format(PyExc_ValueError, "%zd source rows for a bar array of %zd", rows.size(), n_);
        throw nb::python_error();
    }
    // Fields numpy exports no buffer for (datetime64) and read-only ones take numpy's assignment.
    corvane::ArrayView to, from;
    nb::object sdtype = corvane::getattr_or_absent(src, CORVANE_NAME(dtype));
    nb::object fdtype = corvane::getattr_or_absent(field, CORVANE_NAME(dtype));
    const bool raw = sdtype.is_valid() && fdtype.is_valid() && to.try_open(field, corvane::ArrayView::writable) &&
                     from.try_open(src) && same_elements(from, to) && corvane::equals(sdtype, fdtype);
    if (raw)
        to.expect_length(n_, "a bar array field");
    if (!raw) {
        // Types differ (or the source is no plain array): numpy's own assignment does the casting.
        if (PyObject_SetItem(field.ptr(), nb::slice(nb::none(), nb::none(), nb::none()).ptr(),
                             select_rows(src, rows).ptr()) != 0)
            throw nb::python_error();
        return;
    }
    if (!rows_in_range(rows, from.length())) {
        PyErr_SetString(PyExc_IndexError, "bar row out of range");
        throw nb::python_error();
    }
    if (to.element().kind == corvane::ElementKind::object)
        copy_objects(from, to, rows);
    else
        copy_bytes(from, to, rows);
}

nb::object bar_times(nb::handle index) {
    const Py_ssize_t nlevels = corvane::ssize_of(getattr(index, CORVANE_NAME(nlevels)));
    const Py_ssize_t n = corvane::length_of(index);
    const Py_ssize_t level = time_level(index, nlevels);
    nb::object np = HS_GLOBAL(np);
    nb::object out = empty_array(np, getattr(np, CORVANE_NAME(uint64)), n);
    corvane::ArrayView ov(out, "np.empty's result", corvane::ArrayView::writable);
    ov.expect_length(n, "np.empty's result");
    ov.expect_element(corvane::ElementKind::unsigned_int, 8, "np.empty's result");
    ov.expect_contiguous("np.empty's result");
    ov.expect_aligned(alignof(uint64_t), "np.empty's result");
    if (native_time_conversion() &&
        fill_times_natively(index, nlevels, level, reinterpret_cast<uint64_t *>(ov.writable_at(0)), n))
        return out;
    fill_times_by_row(index, nlevels, level, out);
    return out;
}

bool is_orig_time(nb::handle name) { return corvane::equals(name, CORVANE_NAME(orig_time)); }

nb::list bar_field_names(nb::handle fields, nb::handle columns) {
    if (!fields.is_none())
        return nb::borrow<nb::list>(checked(PySequence_List(fields.ptr())));
    nb::list names;
    names.append(nb::handle(CORVANE_NAME(orig_time)));
    names.extend(columns);
    return names;
}

// The field type of a column's dtype. A text column whose dtype is no numpy dtype (the string
// dtype pandas 3 gives text columns by default, or one asked for on older lines) becomes an
// object field holding the column's strings, as an object column of text always has; numpy could
// not take such a dtype as a field type. Every other dtype is numpy's to accept or refuse.
nb::object field_type(nb::handle np, nb::handle dtype) {
    const int is_numpy = PyObject_IsInstance(dtype.ptr(), getattr(np, CORVANE_NAME(dtype)).ptr());
    if (is_numpy < 0)
        throw nb::python_error();
    if (is_numpy)
        return nb::borrow(dtype);
    nb::object scalar_type = corvane::getattr_or_absent(dtype, CORVANE_NAME(type));
    if (scalar_type.is_valid() && scalar_type.ptr() == (PyObject *)&PyUnicode_Type)
        return nb::borrow((PyObject *)&PyBaseObject_Type);
    return nb::borrow(dtype);
}

nb::object bar_dtype(nb::handle np, nb::handle names, nb::handle dtypes) {
    nb::list pairs;
    bool has_time = false;
    for (nb::handle name : names) {
        if (!is_orig_time(name))
            pairs.append(nb::make_tuple(name, field_type(np, checked(PyObject_GetItem(dtypes.ptr(), name.ptr())))));
        else if (!has_time) {
            has_time = true;
            nb::object pair = nb::make_tuple(nb::handle(CORVANE_NAME(orig_time)), getattr(np, CORVANE_NAME(uint64)));
            if (PyList_Insert(pairs.ptr(), 0, pair.ptr()) != 0)
                throw nb::python_error();
        }
    }
    return call(getattr(np, CORVANE_NAME(dtype)), pairs);
}

nb::object ndarray_from_df(nb::handle df, nb::handle fields) {
    nb::object np = HS_GLOBAL(np);
    nb::list names = bar_field_names(fields, getattr(df, CORVANE_NAME(columns)));
    // Each column is read once: its dtype is the frame's dtype of that column (the frame's
    // KeyError for a name that is no column), its values are what the field is filled with.
    nb::dict dtypes, values;
    for (nb::handle name : names) {
        if (is_orig_time(name) || PyDict_Contains(dtypes.ptr(), name.ptr()) == 1)
            continue;
        nb::object column = checked(PyObject_GetItem(df.ptr(), name.ptr()));
        nb::object dtype = corvane::getattr_or_absent(column, CORVANE_NAME(dtype));
        if (!dtype.is_valid()) // a name shared by several columns: the frame's own dtype lookup decides
            dtype = checked(PyObject_GetItem(getattr(df, CORVANE_NAME(dtypes)).ptr(), name.ptr()));
        dtypes[name] = dtype;
        values[name] = getattr(column, CORVANE_NAME(values));
    }
    nb::object dtype = bar_dtype(np, names, dtypes);
    const Py_ssize_t n = corvane::length_of(df);
    nb::object result = empty_array(np, dtype, n);
    StructTarget target(result, n);
    const Rows all{0, n, nullptr};
    for (nb::handle name : names) {
        if (is_orig_time(name))
            target.fill(name, bar_times(getattr(df, CORVANE_NAME(index))), all);
        else
            target.fill(name, values[name], all);
    }
    return result;
}

} // namespace histsource
