// Joining the days' bar arrays of a minute query: numpy.hstack, done as one allocation and a
// byte copy per day when every part is a plain C-contiguous array of one dtype without objects
// (numpy's own concatenation of structured arrays copies field by field).
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "array_view.h"
#include "histsource.h"

namespace histsource {

namespace {

// A C-contiguous one-dimensional array of `itemsize`-byte elements, held open through the
// checked buffer view; false (no error pending) for anything else. The layout is known from the
// dtype, so the buffer is asked for bytes only.
bool contiguous_rows(nb::handle arr, Py_ssize_t itemsize, corvane::ArrayView &view,
                     corvane::ArrayView::Access access = corvane::ArrayView::read_only) {
    return view.try_open(arr, access, true) && view.itemsize() == itemsize && view.contiguous();
}

bool equal(PyObject *a, PyObject *b) {
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// True for a structured dtype in numpy's canonical layout: native scalar fields packed in the
// order of their names, no padding, not an aligned struct. Joining equal dtypes of this layout
// keeps it, so copying bytes gives numpy's own result.
bool packed_layout(nb::handle dtype) {
    using corvane::getattr;
    if (PyObject_IsTrue(getattr(dtype, CORVANE_NAME(isalignedstruct)).ptr()) != 0)
        return false;
    nb::object names = getattr(dtype, CORVANE_NAME(names));
    nb::object fields = getattr(dtype, CORVANE_NAME(fields));
    if (!PyTuple_Check(names.ptr()))
        return false;
    long long offset = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.ptr()); ++i) {
        // dtype.fields is a read-only mapping proxy.
        nb::object entry = nb::steal(PyObject_GetItem(fields.ptr(), PyTuple_GET_ITEM(names.ptr(), i)));
        PyObject *field = entry.ptr();
        if (!field || !PyTuple_Check(field) || PyTuple_GET_SIZE(field) < 2) {
            PyErr_Clear();
            return false;
        }
        nb::handle fdtype = PyTuple_GET_ITEM(field, 0);
        if (PyLong_AsLongLong(PyTuple_GET_ITEM(field, 1)) != offset ||
            !getattr(fdtype, CORVANE_NAME(names)).is_none() ||
            PyObject_IsTrue(getattr(fdtype, CORVANE_NAME(isnative)).ptr()) != 1 ||
            PyObject_Length(getattr(fdtype, CORVANE_NAME(shape)).ptr()) != 0) {
            PyErr_Clear();
            return false;
        }
        offset += PyLong_AsLongLong(getattr(fdtype, CORVANE_NAME(itemsize)).ptr());
    }
    const long long itemsize = PyLong_AsLongLong(getattr(dtype, CORVANE_NAME(itemsize)).ptr());
    if (PyErr_Occurred())
        throw nb::python_error();
    return offset == itemsize;
}

// The layout check of the last dtype joined: the days of one instrument share an equal dtype,
// so it is made once for them (an equal dtype with the same alignment flag has the same layout).
struct LayoutVerdict {
    nb::object dtype;
    nb::object aligned;
    bool copyable = false;
};

bool copyable_layout(nb::handle dtype) {
    static LayoutVerdict *last = new LayoutVerdict(); // kept for the process
    nb::object aligned = corvane::getattr(dtype, CORVANE_NAME(isalignedstruct));
    if (last->dtype.is_valid() && (last->dtype.ptr() == dtype.ptr() ||
                                   (aligned.ptr() == last->aligned.ptr() && equal(dtype.ptr(), last->dtype.ptr()))))
        return last->copyable;
    const bool ok =
        PyObject_IsTrue(corvane::getattr(dtype, CORVANE_NAME(hasobject)).ptr()) == 0 && packed_layout(dtype);
    last->dtype = nb::borrow(dtype);
    last->aligned = aligned;
    last->copyable = ok;
    return ok;
}

// Dtype objects found equal to one dtype (the first part's of a recent join), each with the names
// tuple it had then. The days of an instrument come with equal but distinct dtype objects, and
// comparing two structured dtypes (field by field) costs more than copying a day of bars. numpy
// lets a structured dtype's names be reassigned, which replaces that tuple, so an entry counts
// only while its dtype still holds the tuple it was found with.
class EqualDtypes {
public:
    bool operator()(nb::handle part, nb::handle first) {
        if (part.ptr() == first.ptr())
            return true;
        nb::object first_names = corvane::getattr(first, CORVANE_NAME(names));
        if (first.ptr() != first_.ptr() || first_names.ptr() != first_names_.ptr()) {
            first_ = nb::borrow(first);
            first_names_ = first_names;
            known_.clear();
        }
        nb::object names = corvane::getattr(part, CORVANE_NAME(names));
        for (const auto &k : known_)
            if (k.first.ptr() == part.ptr() && k.second.ptr() == names.ptr())
                return true;
        if (!equal(part.ptr(), first.ptr()))
            return false;
        if (known_.size() < 64)
            known_.emplace_back(nb::borrow(part), names);
        return true;
    }

private:
    nb::object first_, first_names_;
    std::vector<std::pair<nb::object, nb::object>> known_;
};

// The last `keep` rows of the joined array (all of them for keep < 0) when every part
// qualifies; an empty object otherwise.
nb::object join_by_copy(nb::handle np, nb::handle parts, Py_ssize_t keep) {
    const Py_ssize_t count = PyList_GET_SIZE(parts.ptr());
    nb::object ndarray = corvane::getattr(np, CORVANE_NAME(ndarray));
    nb::object dtype = corvane::getattr(nb::handle(PyList_GET_ITEM(parts.ptr(), 0)), CORVANE_NAME(dtype));
    if (!copyable_layout(dtype))
        return nb::object();
    const Py_ssize_t itemsize = PyLong_AsSsize_t(corvane::getattr(dtype, CORVANE_NAME(itemsize)).ptr());
    if (itemsize < 0)
        throw nb::python_error();
    std::vector<corvane::ArrayView> rows((size_t)count);
    std::vector<nb::object> held((size_t)count);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        held[(size_t)i] = nb::borrow(PyList_GET_ITEM(parts.ptr(), i));
        nb::handle part = held[(size_t)i];
        static EqualDtypes *equal_dtypes = new EqualDtypes(); // kept for the process
        if ((PyObject *)Py_TYPE(part.ptr()) != ndarray.ptr() ||
            (i > 0 && !(*equal_dtypes)(corvane::getattr(part, CORVANE_NAME(dtype)), dtype)) ||
            !contiguous_rows(part, itemsize, rows[(size_t)i]))
            return nb::object();
        total += rows[(size_t)i].length();
    }
    const Py_ssize_t n_out = keep >= 0 && keep < total ? keep : total;
    nb::object out = corvane::call_method(np, CORVANE_NAME(empty), nb::int_(n_out), dtype);
    corvane::ArrayView dst;
    if (!contiguous_rows(out, itemsize, dst, corvane::ArrayView::writable) || dst.length() != n_out)
        return nb::object();
    Py_ssize_t skip = total - n_out, at = 0; // rows before the kept tail are not copied
    for (const corvane::ArrayView &p : rows) {
        const Py_ssize_t from = std::min(skip, p.length());
        skip -= from;
        if (p.length() > from)
            std::memcpy(dst.writable_at(at), p.at(from), (size_t)((p.length() - from) * itemsize));
        at += p.length() - from;
    }
    return out;
}

} // namespace

nb::object join_bar_arrays(nb::handle np, nb::handle parts, Py_ssize_t keep) {
    // The byte copy stands in for numpy.hstack only while the module's `np` still hands out the
    // function it had at import, so a replaced `np` or `np.hstack` is the one called.
    nb::object hstack = corvane::getattr(np, CORVANE_NAME(hstack));
    if (hstack.ptr() == HS_IMPORT_TIME("np.hstack").object() && PyList_CheckExact(parts.ptr()) &&
        PyList_GET_SIZE(parts.ptr()) > 0) {
        nb::object joined = join_by_copy(np, parts, keep);
        if (joined.is_valid())
            return joined;
    }
    return corvane::call(hstack, parts);
}

} // namespace histsource
