// A checked view of a one-dimensional array's memory through the buffer protocol. The view holds
// the exporter's buffer (and so the exporter) until it is destroyed; every property native code
// relies on before touching the memory (dimensions, length, item size, element type, writability)
// is checked here, with a TypeError or ValueError that says what was found.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>

#include "element_type.h"

namespace corvane {
namespace nb = nanobind;

class ArrayView {
public:
    enum Access { read_only, writable };

    ArrayView() = default;
    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;
    ArrayView(ArrayView &&other) noexcept : view_(other.view_), open_(other.open_) { other.open_ = false; }
    ArrayView &operator=(ArrayView &&other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            open_ = other.open_;
            other.open_ = false;
        }
        return *this;
    }
    ~ArrayView() { release(); }

    // The view `what` names (e.g. "np.empty's result"): TypeError when `obj` exports no buffer,
    // ValueError when it is not one-dimensional or, for `writable`, when it is read-only.
    ArrayView(nb::handle obj, const char *what, Access access = read_only) {
        if (!acquire(obj)) {
            PyErr_Clear();
            fail(PyExc_TypeError, "%s must be an array exporting its memory, not %.200s", what,
                 Py_TYPE(obj.ptr())->tp_name);
        }
        check_shape(what, access);
    }

    // A view for an optional native path: false, with no error pending, when `obj` exports no
    // buffer or is not a one-dimensional array of the access asked for; the caller then takes the
    // generic path.
    // With `bytes_only` the exporter is not asked for the element format (numpy builds a format
    // string for a structured dtype at every export, which costs more than copying a day of
    // bars); element() and format() then report plain bytes, and only the item size is known.
    bool try_open(nb::handle obj, Access access = read_only, bool bytes_only = false) {
        release();
        if (!acquire(obj, bytes_only ? PyBUF_STRIDES : PyBUF_RECORDS_RO)) {
            PyErr_Clear();
            return false;
        }
        if (view_.ndim != 1 || !view_.shape || (access == writable && view_.readonly)) {
            release();
            return false;
        }
        return true;
    }

    Py_ssize_t length() const { return view_.shape[0]; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    Py_ssize_t stride() const { return view_.strides ? view_.strides[0] : view_.itemsize; }
    bool contiguous() const { return length() <= 1 || stride() == itemsize(); }
    ElementType element() const { return parse_element_type(view_.format, view_.itemsize); }
    const char *format() const { return view_.format ? view_.format : "B"; }

    // Element i's bytes; the caller has checked i against length().
    const char *at(Py_ssize_t i) const { return static_cast<const char *>(view_.buf) + i * stride(); }
    char *writable_at(Py_ssize_t i) const { return static_cast<char *>(view_.buf) + i * stride(); }

    // ValueError unless the view holds exactly n elements.
    void expect_length(Py_ssize_t n, const char *what) const {
        if (length() != n)
            fail(PyExc_ValueError, "%s holds %zd elements, expected %zd", what, length(), n);
    }

    // TypeError unless the elements are of `kind` and `size` bytes.
    void expect_element(ElementKind kind, Py_ssize_t size, const char *what) const {
        const ElementType t = element();
        if (t.kind != kind || t.size != size)
            fail(PyExc_TypeError, "%s has elements of format '%s' (%zd bytes), expected %s of %zd bytes", what,
                 format(), itemsize(), kind_name(kind), size);
    }

    // ValueError unless the elements lie next to each other.
    void expect_contiguous(const char *what) const {
        if (!contiguous())
            fail(PyExc_ValueError, "%s is not contiguous (stride %zd, item size %zd)", what, stride(), itemsize());
    }

    // ValueError unless the first element sits at a multiple of `alignment`, as typed stores need.
    void expect_aligned(std::size_t alignment, const char *what) const {
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignment != 0)
            fail(PyExc_ValueError, "%s is not aligned for %zu-byte elements", what, alignment);
    }

private:
    bool acquire(nb::handle obj, int flags = PyBUF_RECORDS_RO) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0)
            return false;
        open_ = true;
        return true;
    }

    // Called from the constructor, whose failure runs no destructor: the buffer goes first.
    void check_shape(const char *what, Access access) {
        const int ndim = view_.ndim;
        if (ndim != 1 || !view_.shape) {
            release();
            fail(PyExc_ValueError, "%s must be one-dimensional, not %d-dimensional", what, ndim);
        }
        if (access == writable && view_.readonly) {
            release();
            fail(PyExc_ValueError, "%s is read-only", what);
        }
    }

    void release() {
        if (open_)
            PyBuffer_Release(&view_);
        open_ = false;
    }

    template <typename... A> [[noreturn]] static void fail(PyObject *type, const char *fmt, A... args) {
        PyErr_Format(type, fmt, args...);
        throw nb::python_error();
    }

    Py_buffer view_{};
    bool open_ = false;
};

// TypeError unless `array` is a structured numpy array (its dtype has field names), ValueError
// unless it holds n records: what np.empty must hand back for records filled field by field.
inline void expect_records(nb::handle array, Py_ssize_t n, const char *what) {
    PyObject *dtype = PyObject_GetAttrString(array.ptr(), "dtype");
    PyObject *names = dtype ? PyObject_GetAttrString(dtype, "names") : nullptr;
    const bool structured = names && names != Py_None;
    Py_XDECREF(dtype);
    Py_XDECREF(names);
    PyErr_Clear();
    if (!structured) {
        PyErr_Format(PyExc_TypeError, "%s must be a structured numpy array, not %.200s", what,
                     Py_TYPE(array.ptr())->tp_name);
        throw nb::python_error();
    }
    const Py_ssize_t length = PyObject_Length(array.ptr());
    if (length < 0)
        throw nb::python_error();
    if (length != n) {
        PyErr_Format(PyExc_ValueError, "%s holds %zd records, expected %zd", what, length, n);
        throw nb::python_error();
    }
}

} // namespace corvane
