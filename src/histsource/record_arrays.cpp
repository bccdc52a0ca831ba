// Record arrays for corporate actions: numpy's Python API for allocation and type conversion, a
// checked buffer view for the integer date fields.
#include "record_arrays.h"

#include <cstring>

#include "array_view.h"
#include "table_util.h"

namespace histsource {

nb::object empty_records(Py_ssize_t n, std::initializer_list<std::pair<const char *, const char *>> fields) {
    nb::object np = HS_GLOBAL(np);
    nb::list spec;
    for (const auto &f : fields)
        spec.append(nb::make_tuple(f.first, f.second));
    nb::object dtype = corvane::call_method(np, CORVANE_NAME(dtype), spec);
    nb::object records = corvane::call_method(np, CORVANE_NAME(empty), nb::int_(n), dtype);
    corvane::expect_records(records, n, "np.empty's result");
    return records;
}

std::vector<int64_t> encoded_dates(nb::handle values) {
    std::vector<int64_t> out;
    nb::object iter = corvane::checked(PyObject_GetIter(values.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object value = nb::steal(raw);
        out.push_back(encode_date(value));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return out;
}

namespace {

template <typename T> void store_le(char *dst, T value) {
    unsigned char bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = (unsigned char)((uint64_t)value >> (8 * i));
    std::memcpy(dst, bytes, sizeof(T));
}

} // namespace

void fill_int_field(nb::handle records, PyObject *field, const std::vector<int64_t> &values) {
    // The field as numpy views it: its memory, stride and element type come from the buffer.
    nb::object column = item(records, field);
    corvane::ArrayView view(column, "a record field", corvane::ArrayView::writable);
    view.expect_length((Py_ssize_t)values.size(), "a record field");
    const corvane::ElementType t = view.element();
    const bool u32 = t.kind == corvane::ElementKind::unsigned_int && t.size == 4;
    if (!u32)
        view.expect_element(corvane::ElementKind::signed_int, 8, "a record date field");
    if (u32)
        for (int64_t v : values)
            if (v < 0 || v > (int64_t)UINT32_MAX) {
                PyErr_SetString(PyExc_OverflowError, "date out of range for an unsigned 32-bit field");
                throw nb::python_error();
            }
    for (size_t i = 0; i < values.size(); ++i) {
        char *to = view.writable_at((Py_ssize_t)i);
        if (u32)
            store_le<uint32_t>(to, (uint32_t)values[i]);
        else
            store_le<int64_t>(to, values[i]);
    }
}

void assign_field(nb::handle records, PyObject *field, nb::handle values) {
    if (PyObject_SetItem(records.ptr(), field, values.ptr()) != 0)
        throw nb::python_error();
}

} // namespace histsource
