// Bar frames to bar arrays: numpy structured arrays filled column by column.
#include "bar_array.h"

#include <cstring>
#include <string>

#include "dates.h"

namespace histsource {
namespace {

using corvane::call;
using corvane::call_method;
using corvane::checked;
using corvane::getattr;

// convert_dt_to_int and convert_int_to_datetime as bound at import (kept for the process): the
// native conversion stands in for both, integer bar times going through the second first.
PyObject *g_import_converter = nullptr;
PyObject *g_import_int_converter = nullptr;

// Where a one-dimensional numpy array keeps its elements, read from `__array_interface__` so no
// numpy headers are needed and any numpy version serves.
struct ArrayInfo {
    char *data = nullptr;
    Py_ssize_t n = 0;
    Py_ssize_t stride = 0;
    Py_ssize_t itemsize = 0;
    int ndim = 0;
    std::string typestr;
};

bool array_info(nb::handle arr, ArrayInfo &out) {
    nb::object ai = corvane::getattr_or_absent(arr, CORVANE_NAME(__array_interface__));
    if (!ai.is_valid() || !PyDict_Check(ai.ptr()))
        return false;
    PyObject *data = PyDict_GetItemString(ai.ptr(), "data");
    PyObject *shape = PyDict_GetItemString(ai.ptr(), "shape");
    PyObject *strides = PyDict_GetItemString(ai.ptr(), "strides");
    PyObject *typestr = PyDict_GetItemString(ai.ptr(), "typestr");
    if (!data || !PyTuple_Check(data) || !shape || !PyTuple_Check(shape) || !typestr || !PyUnicode_Check(typestr))
        return false;
    out.ndim = (int) PyTuple_GET_SIZE(shape);
    if (out.ndim != 1)
        return true;
    out.data = static_cast<char *>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0)));
    out.n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, 0));
    out.itemsize = PyLong_AsSsize_t(getattr(arr, CORVANE_NAME(itemsize)).ptr());
    out.stride = (strides && strides != Py_None) ? PyLong_AsSsize_t(PyTuple_GET_ITEM(strides, 0)) : out.itemsize;
    if (PyErr_Occurred())
        throw nb::python_error();
    out.typestr = PyUnicode_AsUTF8(typestr);
    return true;
}

bool little_or_none(char order) { return order == '<' || order == '|'; }

// Reads integer elements of one numpy type string ("<i8", "|u1", ...), parsed once.
class IntegerReader {
public:
    explicit IntegerReader(const std::string &t) {
        if (t.size() >= 3 && little_or_none(t[0]) && (t[1] == 'i' || t[1] == 'u')) {
            kind_ = t[1];
            size_ = std::atoi(t.c_str() + 2);
        }
    }
    bool valid() const { return kind_ && (size_ == 1 || size_ == 2 || size_ == 4 || size_ == 8); }

    bool read(const char *p, int64_t &v) const {
        if (kind_ == 'i') {
            switch (size_) {
            case 1: { int8_t x; std::memcpy(&x, p, 1); v = x; return true; }
            case 2: { int16_t x; std::memcpy(&x, p, 2); v = x; return true; }
            case 4: { int32_t x; std::memcpy(&x, p, 4); v = x; return true; }
            case 8: { int64_t x; std::memcpy(&x, p, 8); v = x; return true; }
            }
        } else if (kind_ == 'u') {
            switch (size_) {
            case 1: { uint8_t x; std::memcpy(&x, p, 1); v = x; return true; }
            case 2: { uint16_t x; std::memcpy(&x, p, 2); v = x; return true; }
            case 4: { uint32_t x; std::memcpy(&x, p, 4); v = x; return true; }
            case 8: { uint64_t x; std::memcpy(&x, p, 8); if (x > (uint64_t) INT64_MAX) return false; v = (int64_t) x; return true; }
            }
        }
        return false;
    }

private:
    char kind_ = 0;
    int size_ = 0;
};

// Ticks per second of a datetime64 type string such as "<M8[ns]"; 0 for units not handled.
int64_t datetime_ticks_per_second(const std::string &t) {
    if (t.size() < 5 || !little_or_none(t[0]) || t[1] != 'M' || t[2] != '8')
        return 0;
    const std::string unit = t.substr(3);
    if (unit == "[ns]") return 1000000000LL;
    if (unit == "[us]") return 1000000LL;
    if (unit == "[ms]") return 1000LL;
    if (unit == "[s]") return 1LL;
    return 0;
}

// HHMM00 of every minute of a day, so a time of day needs one division (by 60) per row.
const uint32_t *clock_of_minute() {
    static const struct Table {
        uint32_t v[1440];
        Table() {
            for (uint32_t m = 0; m < 1440; ++m)
                v[m] = m / 60 * 10000 + m % 60 * 100;
        }
    } table;
    return table.v;
}

// Date-time bar times in `ticks` per second to YYYYMMDDHHMMSS. The calendar arithmetic runs
// once per day: a row inside the current day only needs its second of the day split.
template <bool Nanoseconds>
bool convert_datetimes(const ArrayInfo &info, int64_t ticks, uint64_t *out) {
    const uint32_t *clock = clock_of_minute();
    int64_t day_start = 1, day_end = 0; // no day yet
    uint64_t date_part = 0;
    for (Py_ssize_t i = 0; i < info.n; ++i) {
        int64_t v;
        std::memcpy(&v, info.data + i * info.stride, 8);
        if (v == INT64_MIN) // NaT
            return false;
        // Division by the constant of the usual nanosecond unit compiles to a multiplication.
        const int64_t secs = (Nanoseconds && v >= 0) ? (int64_t) ((uint64_t) v / 1000000000ULL)
                                                     : corvane::dates::floor_div(v, ticks);
        if (secs < day_start || secs >= day_end) {
            day_start = corvane::dates::floor_div(secs, 86400) * 86400;
            day_end = day_start + 86400;
            if (!corvane::dates::ymdhms_from_epoch_seconds(day_start, date_part))
                return false;
        }
        const uint32_t sod = (uint32_t) (secs - day_start);
        const uint32_t minute = sod / 60;
        out[i] = date_part + clock[minute] + (sod - minute * 60);
    }
    return true;
}

// YYYYMMDDHHMMSS of every element of a one-dimensional array of integer or date-time bar times,
// exactly as convert_dt_to_int gives them, written to out[0..info.n); false when any value needs
// the framework's own handling (NaT, invalid numbers, other types), and the caller converts row
// by row instead.
bool convert_times_into(const ArrayInfo &info, uint64_t *out) {
    const int64_t ticks = datetime_ticks_per_second(info.typestr);
    if (ticks == 1000000000LL)
        return convert_datetimes<true>(info, ticks, out);
    if (ticks)
        return convert_datetimes<false>(info, ticks, out);
    const IntegerReader ints(info.typestr);
    if (!ints.valid())
        return false;
    for (Py_ssize_t i = 0; i < info.n; ++i) {
        int64_t v;
        if (!ints.read(info.data + i * info.stride, v) || !corvane::dates::normalise_int_time(v, out[i]))
            return false;
    }
    return true;
}

bool convert_times_natively(nb::handle values, std::vector<uint64_t> &out) {
    ArrayInfo info;
    if (!array_info(values, info) || info.ndim != 1)
        return false;
    out.resize((size_t) info.n);
    return convert_times_into(info, out.data());
}

// The index level holding the bar time: the labels of a one-level index, else `orig_time` by name
// (the second level when the levels are unnamed).
Py_ssize_t time_level(nb::handle index, Py_ssize_t nlevels) {
    if (nlevels == 1)
        return 0;
    nb::object names = getattr(index, CORVANE_NAME(names));
    const Py_ssize_t n = PySequence_Size(names.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object name = checked(PySequence_GetItem(names.ptr(), i));
        const int eq = PyObject_RichCompareBool(name.ptr(), CORVANE_NAME(orig_time), Py_EQ);
        if (eq < 0)
            throw nb::python_error();
        if (eq)
            return i;
    }
    return 1;
}

bool has_time_zone(nb::handle level) {
    nb::object tz = corvane::getattr_or_absent(level, CORVANE_NAME(tz));
    return tz.is_valid() && !tz.is_none();
}

// Native path: convert the distinct level values once, then spread them over the rows by code.
bool fill_times_natively(nb::handle index, Py_ssize_t nlevels, Py_ssize_t level, uint64_t *out, Py_ssize_t n) {
    std::vector<uint64_t> converted;
    if (nlevels == 1) {
        if (has_time_zone(index))
            return false;
        nb::object values = getattr(index, CORVANE_NAME(values)); // keeps the times' memory alive
        ArrayInfo info;
        if (!array_info(values, info) || info.ndim != 1 || info.n != n)
            return false;
        return convert_times_into(info, out);
    }
    nb::object lv = checked(PySequence_GetItem(getattr(index, CORVANE_NAME(levels)).ptr(), level));
    if (has_time_zone(lv) || !convert_times_natively(getattr(lv, CORVANE_NAME(values)), converted))
        return false;
    nb::object codes = checked(PySequence_GetItem(getattr(index, CORVANE_NAME(codes)).ptr(), level));
    ArrayInfo ci;
    if (!array_info(codes, ci) || ci.ndim != 1 || ci.n != n)
        return false;
    const int64_t nvalues = (int64_t) converted.size();
    const IntegerReader code_reader(ci.typestr);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int64_t c;
        if (!code_reader.read(ci.data + i * ci.stride, c) || c < 0 || c >= nvalues)
            return false;
        out[i] = converted[(size_t) c];
    }
    return true;
}

bool is_integer_label(PyObject *label) {
    return !PyBool_Check(label) && (PyLong_Check(label) || (!PyFloat_Check(label) && PyIndex_Check(label)));
}

// Row by row through the module's converters: integer labels become date-times first, then every
// row's time goes through `convert_dt_to_int`, stored with numpy's own assignment.
void fill_times_by_row(nb::handle index, Py_ssize_t nlevels, Py_ssize_t level, nb::handle out) {
    nb::object labels = nlevels == 1 ? nb::borrow(index)
                                     : call_method(index, CORVANE_NAME(get_level_values), nb::int_(level));
    nb::object convert = HS_GLOBAL(convert_dt_to_int);
    nb::object to_datetime = HS_GLOBAL(convert_int_to_datetime);
    nb::object it = checked(PyObject_GetIter(labels.ptr()));
    Py_ssize_t i = 0;
    while (PyObject *raw_label = PyIter_Next(it.ptr())) {
        nb::object label = nb::steal(raw_label);
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
        nb::object sl = checked(PySlice_New(nb::int_(rows.start).ptr(), nb::int_(rows.start + rows.count).ptr(), nullptr));
        return checked(PyObject_GetItem(src.ptr(), sl.ptr()));
    }
    nb::list positions;
    for (Py_ssize_t p : *rows.picks)
        positions.append(nb::int_(p));
    nb::object arr = call_method(HS_GLOBAL(np), CORVANE_NAME(asarray), src);
    return call_method(arr, CORVANE_NAME(take), positions);
}

} // namespace

void remember_import_bound(nb::handle module) {
    nb::object f = getattr(module, CORVANE_NAME(convert_dt_to_int));
    nb::object g = getattr(module, CORVANE_NAME(convert_int_to_datetime));
    Py_XDECREF(g_import_converter);
    Py_XDECREF(g_import_int_converter);
    g_import_converter = f.release().ptr();
    g_import_int_converter = g.release().ptr();
}

bool native_time_conversion() {
    return HS_GLOBAL(convert_dt_to_int).ptr() == g_import_converter &&
           HS_GLOBAL(convert_int_to_datetime).ptr() == g_import_int_converter;
}

nb::object empty_array(nb::handle np, nb::handle dtype, Py_ssize_t n) {
    return call_method(np, CORVANE_NAME(empty), nb::int_(n), dtype);
}

StructTarget::StructTarget(nb::handle array) : array_(array) {
    nb::object dtype = getattr(array, CORVANE_NAME(dtype));
    fields_ = getattr(dtype, CORVANE_NAME(fields));
    itemsize_ = PyLong_AsSsize_t(getattr(dtype, CORVANE_NAME(itemsize)).ptr());
    nb::object ai = getattr(array, CORVANE_NAME(__array_interface__));
    PyObject *data = PyDict_GetItemString(ai.ptr(), "data");
    if (!data || !PyTuple_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "bar array without a data buffer");
        throw nb::python_error();
    }
    base_ = static_cast<char *>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0)));
    if (PyErr_Occurred())
        throw nb::python_error();
}

void StructTarget::fill(nb::handle name, nb::handle src, const Rows &rows) {
    nb::object field = checked(PyObject_GetItem(fields_.ptr(), name.ptr()));
    nb::object fdtype = checked(PySequence_GetItem(field.ptr(), 0));
    const Py_ssize_t offset = PyLong_AsSsize_t(checked(PySequence_GetItem(field.ptr(), 1)).ptr());
    if (PyErr_Occurred())
        throw nb::python_error();
    ArrayInfo info;
    nb::object sdtype = corvane::getattr_or_absent(src, CORVANE_NAME(dtype));
    int same = 0;
    if (sdtype.is_valid() && array_info(src, info) && info.ndim == 1) {
        same = PyObject_RichCompareBool(sdtype.ptr(), fdtype.ptr(), Py_EQ);
        if (same < 0)
            throw nb::python_error();
    }
    if (!same) {
        // Types differ (or the source is no plain array): numpy's own assignment does the casting.
        nb::object sub = checked(PyObject_GetItem(array_.ptr(), name.ptr()));
        if (PyObject_SetItem(sub.ptr(), nb::slice(nb::none(), nb::none(), nb::none()).ptr(),
                             select_rows(src, rows).ptr()) != 0)
            throw nb::python_error();
        return;
    }
    const Py_ssize_t n = rows.size();
    // A range is checked at its ends; picked rows one by one.
    bool in_range = rows.picks ? true : (n == 0 || (rows.start >= 0 && rows.start + n <= info.n));
    for (Py_ssize_t i = 0; rows.picks && i < n; ++i)
        in_range = in_range && rows.at(i) >= 0 && rows.at(i) < info.n;
    if (!in_range) {
        PyErr_SetString(PyExc_IndexError, "bar row out of range");
        throw nb::python_error();
    }
    const bool objects = PyObject_IsTrue(getattr(fdtype, CORVANE_NAME(hasobject)).ptr()) == 1;
    char *dst = base_ + offset;
    if (!objects && !rows.picks && info.itemsize == 8) {
        // The common case, 8-byte numbers over a range of rows: one tight strided copy, with the
        // strides in locals so the loop keeps them in registers.
        const char *from = info.data + rows.start * info.stride;
        const Py_ssize_t to_step = itemsize_, from_step = info.stride;
        for (Py_ssize_t i = 0; i < n; ++i)
            std::memcpy(dst + i * to_step, from + i * from_step, 8);
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char *from = info.data + rows.at(i) * info.stride;
        char *to = dst + i * itemsize_;
        if (objects) {
            // Object slots: the new element gains a reference, the one it replaces loses one.
            PyObject *value, *old;
            std::memcpy(&value, from, sizeof value);
            std::memcpy(&old, to, sizeof old);
            if (!value)
                value = Py_None;
            Py_INCREF(value);
            std::memcpy(to, &value, sizeof value);
            Py_XDECREF(old);
        } else {
            std::memcpy(to, from, (size_t) info.itemsize);
        }
    }
}

nb::object bar_times(nb::handle index) {
    const Py_ssize_t nlevels = PyLong_AsSsize_t(getattr(index, CORVANE_NAME(nlevels)).ptr());
    const Py_ssize_t n = PyObject_Length(index.ptr());
    if (PyErr_Occurred())
        throw nb::python_error();
    const Py_ssize_t level = time_level(index, nlevels);
    nb::object np = HS_GLOBAL(np);
    nb::object out = empty_array(np, getattr(np, CORVANE_NAME(uint64)), n);
    if (native_time_conversion()) {
        ArrayInfo oi;
        array_info(out, oi);
        if (fill_times_natively(index, nlevels, level, reinterpret_cast<uint64_t *>(oi.data), n))
            return out;
    }
    fill_times_by_row(index, nlevels, level, out);
    return out;
}

bool is_orig_time(nb::handle name) {
    const int eq = PyObject_RichCompareBool(name.ptr(), CORVANE_NAME(orig_time), Py_EQ);
    if (eq < 0)
        throw nb::python_error();
    return eq == 1;
}

nb::list bar_field_names(nb::handle fields, nb::handle columns) {
    if (!fields.is_none())
        return nb::borrow<nb::list>(checked(PySequence_List(fields.ptr())));
    nb::list names;
    names.append(nb::handle(CORVANE_NAME(orig_time)));
    names.extend(columns);
    return names;
}

nb::object bar_dtype(nb::handle np, nb::handle names, nb::handle dtypes) {
    nb::list pairs;
    bool has_time = false;
    for (nb::handle name : names) {
        if (!is_orig_time(name))
            pairs.append(nb::make_tuple(name, checked(PyObject_GetItem(dtypes.ptr(), name.ptr()))));
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
    const Py_ssize_t n = PyObject_Length(df.ptr());
    if (n < 0)
        throw nb::python_error();
    nb::object result = empty_array(np, dtype, n);
    StructTarget target(result);
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
