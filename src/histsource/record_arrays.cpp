// Record arrays for corporate actions: numpy's Python API for allocation and type conversion, the
// buffer protocol for the integer date fields.
#include "record_arrays.h"

#include <cstring>

#include "table_util.h"

namespace histsource {

nb::object empty_records(Py_ssize_t n, std::initializer_list<std::pair<const char *, const char *>> fields) {
    nb::object np = HS_GLOBAL(np);
    nb::list spec;
    for (const auto &f : fields)
        spec.append(nb::make_tuple(f.first, f.second));
    nb::object dtype = corvane::call_method(np, CORVANE_NAME(dtype), spec);
    return corvane::call_method(np, CORVANE_NAME(empty), nb::int_(n), dtype);
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

// A writable view of the whole array's memory, released on scope exit.
class WritableView {
public:
    explicit WritableView(nb::handle array) {
        if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_WRITABLE) != 0)
            throw nb::python_error();
    }
    ~WritableView() { PyBuffer_Release(&view_); }
    WritableView(const WritableView &) = delete;
    WritableView &operator=(const WritableView &) = delete;
    char *data() const { return static_cast<char *>(view_.buf); }

private:
    Py_buffer view_{};
};

template <typename T> void store_le(char *dst, T value) {
    unsigned char bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = (unsigned char) ((uint64_t) value >> (8 * i));
    std::memcpy(dst, bytes, sizeof(T));
}

} // namespace

void fill_int_field(nb::handle records, PyObject *field, const std::vector<int64_t> &values) {
    // layout of the field: dtype.fields[name] is (field dtype, offset)
    nb::object dtype = corvane::getattr(records, CORVANE_NAME(dtype));
    nb::object info = item(corvane::getattr(dtype, CORVANE_NAME(fields)), field);
    Py_ssize_t offset = nb::cast<Py_ssize_t>(item_at(info, 1));
    Py_ssize_t width = nb::cast<Py_ssize_t>(corvane::getattr(item_at(info, 0), CORVANE_NAME(itemsize)));
    Py_ssize_t stride = nb::cast<Py_ssize_t>(corvane::getattr(dtype, CORVANE_NAME(itemsize)));
    if ((size_t) length_of(records) != values.size()) {
        PyErr_SetString(PyExc_ValueError, "record count and value count differ");
        throw nb::python_error();
    }
    if (width == 4)
        for (int64_t v : values)
            if (v < 0 || v > (int64_t) UINT32_MAX) {
                PyErr_SetString(PyExc_OverflowError, "date out of range for an unsigned 32-bit field");
                throw nb::python_error();
            }
    WritableView view(records);
    char *row = view.data() + offset;
    for (int64_t v : values) {
        if (width == 4)
            store_le<uint32_t>(row, (uint32_t) v);
        else
            store_le<int64_t>(row, v);
        row += stride;
    }
}

void assign_field(nb::handle records, PyObject *field, nb::handle values) {
    if (PyObject_SetItem(records.ptr(), field, values.ptr()) != 0)
        throw nb::python_error();
}

} // namespace histsource
