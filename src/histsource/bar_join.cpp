// Joining the days' bar arrays of a minute query: numpy.hstack, done as one allocation and a
// byte copy per day when every part is a plain C-contiguous array of one dtype without objects
// (numpy's own concatenation of structured arrays copies field by field).
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "array_view.h"
#include "fast_paths.h"
#include "histsource.h"
#include "python_ops.h"

namespace histsource {

namespace {

// A C-contiguous one-dimensional array of `itemsize`-byte elements, held open through the
// checked buffer view; false (no error pending) for anything else. The layout is known from the
// dtype, so the buffer is asked for bytes only.
bool contiguous_rows(nb::handle arr, Py_ssize_t itemsize, corvane::ArrayView &view,
                     corvane::ArrayView::Access access = corvane::ArrayView::read_only) {
    return view.try_open(arr, access, true) && view.itemsize() == itemsize && view.contiguous();
}

// True for a structured dtype in numpy's canonical layout: native scalar fields packed in the
// order of their names, no padding, not an aligned struct. Joining equal dtypes of this layout
// keeps it, so copying bytes gives numpy's own result. A failed read throws (see copyable_layout).
bool packed_layout(nb::handle dtype) {
    using corvane::getattr;
    using corvane::int64_of;
    using corvane::truthy;
    if (truthy(getattr(dtype, CORVANE_NAME(isalignedstruct))))
        return false;
    nb::object names = getattr(dtype, CORVANE_NAME(names));
    nb::object fields = getattr(dtype, CORVANE_NAME(fields));
    if (!PyTuple_Check(names.ptr()))
        return false;
    int64_t offset = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.ptr()); ++i) {
        // dtype.fields is a read-only mapping proxy; each entry is (dtype, offset[, title]).
        nb::object field = corvane::checked(PyObject_GetItem(fields.ptr(), PyTuple_GET_ITEM(names.ptr(), i)));
        if (!PyTuple_Check(field.ptr()) || PyTuple_GET_SIZE(field.ptr()) < 2)
            return false;
        nb::handle fdtype = PyTuple_GET_ITEM(field.ptr(), 0);
        if (int64_of(PyTuple_GET_ITEM(field.ptr(), 1)) != offset || !getattr(fdtype, CORVANE_NAME(names)).is_none() ||
            !truthy(getattr(fdtype, CORVANE_NAME(isnative))) ||
            corvane::length_of(getattr(fdtype, CORVANE_NAME(shape))) != 0)
            return false;
        offset += int64_of(getattr(fdtype, CORVANE_NAME(itemsize)));
    }
    return offset == int64_of(getattr(dtype, CORVANE_NAME(itemsize)));
}

// True when bytes of arrays of this dtype can be joined by copying: no object fields and
// numpy's canonical packed layout. A probe: an error in reading the dtype means "no" (the
// error is dropped, numpy.hstack then does the join its own way).
bool copyable_layout(nb::handle dtype) {
    try {
        return !corvane::truthy(corvane::getattr(dtype, CORVANE_NAME(hasobject))) && packed_layout(dtype);
    } catch (nb::python_error &) {
        return false;
    }
}

// What the last join learnt about its dtypes, for the next: the days of an instrument come with
// equal but distinct dtype objects, and checking a structured dtype's layout or comparing two of
// them (numpy compares field by field) costs more than copying a day of bars. Keyed on the first
// part's dtype and the names tuple it held then: numpy lets a structured dtype's names be
// reassigned, which replaces that tuple, so every entry counts only while its dtype still holds
// the tuple it was checked with. Kept for the process (never released at exit).
struct LastJoin {
    nb::object first, first_names;
    bool copyable = false;
    std::vector<std::pair<nb::object, nb::object>> equal_to_first; // (dtype, its names), at most 64
};

LastJoin &last_join() {
    static LastJoin *last = new LastJoin();
    return *last;
}

// Whether arrays of dtype `first` can be joined by copying bytes, from the last join when it
// began with the same dtype.
bool first_copyable(LastJoin &last, nb::handle first) {
    nb::object names = corvane::getattr(first, CORVANE_NAME(names));
    if (last.first.ptr() != first.ptr() || last.first_names.ptr() != names.ptr()) {
        const bool copyable = copyable_layout(first);
        last.first = nb::borrow(first);
        last.first_names = names;
        last.copyable = copyable;
        last.equal_to_first.clear();
    }
    return last.copyable;
}

// part == first for the dtype of a later part (`first` is the one first_copyable just checked).
bool equal_to_first(LastJoin &last, nb::handle part, nb::handle first) {
    if (part.ptr() == first.ptr())
        return true;
    nb::object names = corvane::getattr(part, CORVANE_NAME(names));
    for (const auto &known : last.equal_to_first)
        if (known.first.ptr() == part.ptr() && known.second.ptr() == names.ptr())
            return true;
    if (!corvane::same_or_equal(part.ptr(), first.ptr()))
        return false;
    if (last.equal_to_first.size() < 64)
        last.equal_to_first.emplace_back(nb::borrow(part), names);
    return true;
}

// The last `keep` rows of the joined array (all of them for keep < 0) when every part
// qualifies; an empty object otherwise.
nb::object join_by_copy(nb::handle np, nb::handle parts, Py_ssize_t keep) {
    const Py_ssize_t count = PyList_GET_SIZE(parts.ptr());
    nb::object ndarray = corvane::getattr(np, CORVANE_NAME(ndarray));
    nb::handle first = PyList_GET_ITEM(parts.ptr(), 0);
    if ((PyObject *)Py_TYPE(first.ptr()) != ndarray.ptr())
        return nb::object();
    nb::object dtype = corvane::getattr(first, CORVANE_NAME(dtype));
    LastJoin &last = last_join();
    if (!first_copyable(last, dtype))
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
        if ((PyObject *)Py_TYPE(part.ptr()) != ndarray.ptr() ||
            (i > 0 && !equal_to_first(last, corvane::getattr(part, CORVANE_NAME(dtype)), dtype)) ||
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
    if (corvane::fast::on(corvane::fast::ByteJoin) && hstack.ptr() == HS_IMPORT_TIME("np.hstack").object() &&
        PyList_CheckExact(parts.ptr()) && PyList_GET_SIZE(parts.ptr()) > 0) {
        nb::object joined = join_by_copy(np, parts, keep);
        if (joined.is_valid())
            return joined;
    }
    return corvane::call(hstack, parts);
}

} // namespace histsource
