// Array forms of frames, kept beside the frames they were made from. Each store maps id(frame) to
// (weak reference to the frame, capsule holding the view); the weak reference's callback drops the
// entry when the frame dies, so a view never outlives its frame and an id is never misread.
#include "frame_views.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "array_view.h"
#include "bar_array.h"
#include "fast_paths.h"
#include "python_ops.h"
#include "type_version.h"

namespace histsource {
namespace {

using corvane::call;
using corvane::call_method;
using corvane::checked;
using corvane::getattr;
using corvane::truthy;

template <class T> struct Store {
    static const char *name;
    static PyObject *dict; // kept for the process
};
template <> const char *Store<DayFrameView>::name = "histsource.DayFrameView";
template <> PyObject *Store<DayFrameView>::dict = nullptr;
template <> const char *Store<SuspensionView>::name = "histsource.SuspensionView";
template <> PyObject *Store<SuspensionView>::dict = nullptr;

template <class T> PyObject *store_dict() {
    if (!Store<T>::dict)
        Store<T>::dict = checked(PyDict_New()).release().ptr();
    return Store<T>::dict;
}

template <class T> const T *find_view(nb::handle obj) {
    nb::object key = checked(PyLong_FromVoidPtr(obj.ptr()));
    PyObject *entry = PyDict_GetItemWithError(store_dict<T>(), key.ptr());
    if (!entry) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nullptr;
    }
    if (corvane::weak_target(PyTuple_GET_ITEM(entry, 0)).ptr() != obj.ptr())
        return nullptr;
    return static_cast<const T *>(PyCapsule_GetPointer(PyTuple_GET_ITEM(entry, 1), Store<T>::name));
}

// Drops the view kept for `obj`, if any.
template <class T> void drop_view(nb::handle obj) {
    nb::object key = checked(PyLong_FromVoidPtr(obj.ptr()));
    if (PyDict_DelItem(store_dict<T>(), key.ptr()) != 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
    }
}

template <class T> void destroy_view(PyObject *capsule) {
    delete static_cast<T *>(PyCapsule_GetPointer(capsule, Store<T>::name));
}

// Keeps `view` beside `obj`; nullptr (and nothing kept) when `obj` takes no weak references.
template <class T> const T *keep_view(nb::handle obj, std::unique_ptr<T> view) {
    PyObject *dict = store_dict<T>();
    void *id = obj.ptr();
    nb::object forget = nb::cpp_function([dict, id](nb::handle ref) {
        nb::object key = nb::steal(PyLong_FromVoidPtr(id));
        PyObject *entry = key.is_valid() ? PyDict_GetItemWithError(dict, key.ptr()) : nullptr;
        if (entry && PyTuple_GET_ITEM(entry, 0) == ref.ptr())
            PyDict_DelItem(dict, key.ptr());
        PyErr_Clear();
    });
    PyObject *ref = PyWeakref_NewRef(obj.ptr(), forget.ptr());
    if (!ref) {
        PyErr_Clear();
        return nullptr;
    }
    nb::object ref_obj = nb::steal(ref);
    T *raw_view = view.get();
    nb::object capsule = checked(PyCapsule_New(raw_view, Store<T>::name, &destroy_view<T>));
    view.release();
    nb::object key = checked(PyLong_FromVoidPtr(id));
    if (PyDict_SetItem(dict, key.ptr(), nb::make_tuple(ref_obj, capsule).ptr()) != 0)
        throw nb::python_error();
    return raw_view;
}

// True when `values` has the numpy type string `type`.
bool has_type(nb::handle values, const char *type) {
    nb::object dtype = corvane::getattr_or_absent(values, CORVANE_NAME(dtype));
    nb::object text = dtype.is_valid() ? corvane::getattr_or_absent(dtype, CORVANE_NAME(str)) : nb::object();
    return text.is_valid() && PyUnicode_Check(text.ptr()) && PyUnicode_CompareWithASCIIString(text.ptr(), type) == 0;
}

// The ticks per second of a datetime64 array's unit (s, ms, us or ns), else 0.
int64_t datetime_unit_ticks(nb::handle values) {
    for (const auto &[type, ticks] : {std::pair<const char *, int64_t>{"<M8[ns]", 1000000000LL},
                                      {"<M8[us]", 1000000LL},
                                      {"<M8[ms]", 1000LL},
                                      {"<M8[s]", 1LL}})
        if (has_type(values, type))
            return ticks;
    return 0;
}

// The int64 nanosecond values of a time-zone-free datetime64 index, read through the int64 view
// of its values (numpy exports no buffer for datetime64). pandas 1.5 holds every date-time in
// nanoseconds; later lines keep seconds or microseconds (dates parsed from text, date objects),
// which are scaled here (NaT stays NaT); false for a value beyond the nanosecond range.
bool nanosecond_values(nb::handle index, std::vector<int64_t> &out) {
    nb::object tz = corvane::getattr_or_absent(index, CORVANE_NAME(tz));
    if (tz.is_valid() && !tz.is_none())
        return false;
    nb::object values = getattr(index, CORVANE_NAME(values));
    const int64_t ticks = datetime_unit_ticks(values);
    if (!ticks)
        return false;
    const int64_t scale = 1000000000LL / ticks;
    PyObject *ints = PyObject_CallMethodOneArg(values.ptr(), CORVANE_NAME(view), CORVANE_TEXT("<i8"));
    if (!ints) {
        PyErr_Clear();
        return false;
    }
    nb::object as_ints = nb::steal(ints);
    corvane::ArrayView view;
    if (!view.try_open(as_ints) || view.element().kind != corvane::ElementKind::signed_int || view.element().size != 8)
        return false;
    out.resize((size_t)view.length());
    for (Py_ssize_t i = 0; i < view.length(); ++i) {
        int64_t v;
        std::memcpy(&v, view.at(i), 8);
        if (v != INT64_MIN && __builtin_mul_overflow(v, scale, &v))
            return false;
        out[(size_t)i] = v;
    }
    return true;
}

// Visits, in a fixed order, the objects a view is read from: the frame's (or series') block manager, its
// axes, its block tuple, each block with its array and placement, and the row index's levels,
// codes and names. Every in-place edit of a frame either writes into a block array, which the view
// reads through, or replaces one of these objects (a value of another type splits or replaces a
// block, a column added or removed or a row appended makes a new block tuple or manager, a new
// index or a renamed level makes a new axis or levels object), so comparing them by identity
// says exactly whether the view still describes the frame. `visit` returns false to stop; false
// too when the frame has no block layout (another frame type or data manager).
template <class Visit> bool walk_layout(nb::handle df, Visit &&visit) {
    nb::object mgr = corvane::getattr_if_present(df, CORVANE_NAME(_mgr));
    if (!mgr.is_valid() || !visit(mgr))
        return false;
    nb::object axes = corvane::getattr_if_present(mgr, CORVANE_NAME(axes));
    nb::object blocks = corvane::getattr_if_present(mgr, CORVANE_NAME(blocks));
    if (!axes.is_valid() || !PyList_Check(axes.ptr()) || PyList_GET_SIZE(axes.ptr()) < 1 || !blocks.is_valid() ||
        !PyTuple_Check(blocks.ptr()))
        return false;
    // A frame's axes are its columns and its rows, a series' its rows alone.
    const Py_ssize_t n_axes = PyList_GET_SIZE(axes.ptr());
    for (Py_ssize_t i = 0; i < n_axes; ++i)
        if (!visit(nb::borrow(PyList_GET_ITEM(axes.ptr(), i))))
            return false;
    nb::object index = nb::borrow(PyList_GET_ITEM(axes.ptr(), n_axes - 1));
    if (!visit(blocks))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(blocks.ptr()); ++i) {
        nb::handle block = PyTuple_GET_ITEM(blocks.ptr(), i);
        if (!visit(nb::borrow(block)) || !visit(getattr(block, CORVANE_NAME(values))) ||
            !visit(getattr(block, CORVANE_NAME(mgr_locs))))
            return false;
    }
    // A multi-level index's levels and codes can be replaced on the same index object; an index
    // whose class has no such attributes is not asked (a failed read would cost an exception).
    for (PyObject *name : {CORVANE_NAME(levels), CORVANE_NAME(codes)}) {
        if (!corvane::type_lookup(Py_TYPE(index.ptr()), name))
            continue;
        nb::object part = corvane::getattr_if_present(index, name);
        if (part.is_valid() && !visit(part))
            return false;
    }
    nb::object names = checked(PySequence_Tuple(getattr(index, CORVANE_NAME(names)).ptr()));
    for (nb::handle name : names)
        if (!visit(nb::borrow(name)))
            return false;
    return true;
}

// The layout of `df` as walk_layout visits it; false when it has none.
bool read_layout(nb::handle df, std::vector<nb::object> &out) {
    out.clear();
    return walk_layout(df, [&](nb::object part) {
        out.push_back(std::move(part));
        return true;
    });
}

// True when `df` still has the layout `held` was read from: the same objects, as many.
bool same_layout(nb::handle df, const std::vector<nb::object> &held) {
    size_t k = 0;
    return walk_layout(df, [&](const nb::object &part) { return k < held.size() && held[k++].ptr() == part.ptr(); }) &&
           k == held.size();
}

std::unique_ptr<DayFrameView> build_day_view(nb::handle df) {
    nb::object frame = reindex_day_frame(df);
    nb::object columns = getattr(frame, CORVANE_NAME(columns));
    if (!truthy(getattr(columns, CORVANE_NAME(is_unique))))
        return nullptr;
    auto view = std::make_unique<DayFrameView>();
    if (!nanosecond_values(getattr(frame, CORVANE_NAME(index)), view->dates))
        return nullptr;
    for (size_t i = 1; i < view->dates.size(); ++i)
        if (view->dates[i] < view->dates[i - 1])
            view->dates_sorted = false;
    // The re-indexed frame is the market code (from the index) followed by the frame's own
    // columns; those are read through the frame's positions, so the arrays share its blocks.
    const Py_ssize_t n_own = corvane::length_of(getattr(df, CORVANE_NAME(columns)));
    if (corvane::length_of(columns) != n_own + 1)
        return nullptr;
    nb::object first = checked(PySequence_GetItem(columns.ptr(), 0));
    if (!PyUnicode_Check(first.ptr()) || PyUnicode_CompareWithASCIIString(first.ptr(), "market_code") != 0)
        return nullptr;
    nb::object iloc = getattr(df, CORVANE_NAME(iloc));
    nb::object all_rows = nb::slice(nb::none(), nb::none(), nb::none());
    nb::dict dtypes, arrays;
    nb::object dtype_list = checked(PySequence_List(getattr(frame, CORVANE_NAME(dtypes)).ptr()));
    Py_ssize_t i = 0;
    for (nb::handle name : columns) {
        dtypes[name] = checked(PySequence_GetItem(dtype_list.ptr(), i));
        nb::object column = i == 0 ? checked(PyObject_GetItem(frame.ptr(), name.ptr()))
                                   : checked(PyObject_GetItem(iloc.ptr(), nb::make_tuple(all_rows, i - 1).ptr()));
        arrays[name] = getattr(column, CORVANE_NAME(values));
        ++i;
    }
    view->dtypes = dtypes;
    view->arrays = arrays;
    // A bar time the converters refuse (NaT, an invalid number) fails only the queries that ask
    // for orig_time: such a frame has no array form and goes the frame way, which converts the
    // bar times only when they are asked for.
    try {
        view->times = bar_times(getattr(frame, CORVANE_NAME(index)));
    } catch (nb::python_error &) {
        return nullptr;
    }
    view->nrows = (Py_ssize_t)view->dates.size();
    view->ncols = i;
    return view;
}

// True when the series' flags (read through the array the view was built from, which the layout
// check has found still in place) are those the view was built from: a flag set in place keeps
// every object of the layout.
bool same_flags(const SuspensionView &v) {
    corvane::ArrayView flags;
    if (!flags.try_open(v.values) || flags.length() != (Py_ssize_t)v.flags.size() || flags.element().size != 1)
        return false;
    if (flags.contiguous())
        return v.flags.empty() || std::memcmp(flags.at(0), v.flags.data(), v.flags.size()) == 0;
    for (Py_ssize_t i = 0; i < flags.length(); ++i)
        if ((*flags.at(i) ? 1 : 0) != v.flags[(size_t)i])
            return false;
    return true;
}

std::unique_ptr<SuspensionView> build_suspension_view(nb::handle series) {
    nb::object values = getattr(series, CORVANE_NAME(values));
    corvane::ArrayView flags;
    if (!has_type(values, "|b1") || !flags.try_open(values) || flags.element().kind != corvane::ElementKind::boolean ||
        flags.element().size != 1)
        return nullptr;
    auto view = std::make_unique<SuspensionView>();
    if (!nanosecond_values(getattr(series, CORVANE_NAME(index)), view->index))
        return nullptr;
    const Py_ssize_t n = flags.length();
    if ((size_t)n != view->index.size())
        return nullptr;
    view->values = values;
    view->flags.resize((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        view->flags[(size_t)i] = *flags.at(i) ? 1 : 0;
        if (i > 0 && view->index[(size_t)i] < view->index[(size_t)i - 1])
            return nullptr;
        if (!*flags.at(i))
            view->active.push_back(view->index[(size_t)i]);
    }
    return view;
}

} // namespace

nb::object reindex_day_frame(nb::handle df) {
    nb::object frame = call_method(df, CORVANE_NAME(reset_index), nb::handle(CORVANE_NAME(market_code)));
    nb::object index = getattr(frame, CORVANE_NAME(index));
    nb::object pd = HS_GLOBAL(pd);
    nb::object kind = getattr(getattr(index, CORVANE_NAME(dtype)), CORVANE_NAME(kind));
    nb::object dates;
    if (PyUnicode_CompareWithASCIIString(kind.ptr(), "i") == 0 ||
        PyUnicode_CompareWithASCIIString(kind.ptr(), "u") == 0) {
        nb::object text = call_method(index, CORVANE_NAME(astype), nb::handle((PyObject *)&PyUnicode_Type));
        dates = corvane::call_kw(getattr(pd, CORVANE_NAME(to_datetime)), CORVANE_KWNAMES("format"), text,
                                 nb::handle(CORVANE_TEXT("%Y%m%d%H%M%S")));
    } else {
        dates = call(getattr(pd, CORVANE_NAME(to_datetime)), index);
    }
    corvane::setattr(frame, CORVANE_NAME(index), call_method(dates, CORVANE_NAME(normalize)));
    return frame;
}

const DayFrameView *day_frame_view(nb::handle df) {
    if (!corvane::fast::on(corvane::fast::FrameViews))
        return nullptr;
    const DayFrameView *kept = find_view<DayFrameView>(df);
    if (kept && same_layout(df, kept->layout))
        return kept;
    if (kept)
        drop_view<DayFrameView>(df);
    std::vector<nb::object> before;
    if (!read_layout(df, before))
        return nullptr;
    std::unique_ptr<DayFrameView> view = build_day_view(df);
    // Reading the frame leaves its layout as it was; should it not, the view is not kept.
    if (!view || !same_layout(df, before))
        return nullptr;
    view->layout = std::move(before);
    return keep_view(df, std::move(view));
}

const SuspensionView *suspension_view(nb::handle series) {
    if (!corvane::fast::on(corvane::fast::FrameViews))
        return nullptr;
    const SuspensionView *kept = find_view<SuspensionView>(series);
    if (kept && same_layout(series, kept->layout) && same_flags(*kept))
        return kept;
    if (kept)
        drop_view<SuspensionView>(series);
    std::vector<nb::object> before;
    if (!read_layout(series, before))
        return nullptr;
    std::unique_ptr<SuspensionView> view = build_suspension_view(series);
    if (!view || !same_layout(series, before))
        return nullptr;
    view->layout = std::move(before);
    return keep_view(series, std::move(view));
}

nb::object datetime_index(const std::vector<int64_t> &ns) {
    nb::object np = HS_GLOBAL(np);
    const Py_ssize_t n = (Py_ssize_t)ns.size();
    nb::object arr = call_method(np, CORVANE_NAME(empty), nb::int_(n), nb::handle(CORVANE_TEXT("<i8")));
    {
        corvane::ArrayView view(arr, "np.empty's result", corvane::ArrayView::writable);
        view.expect_length(n, "np.empty's result");
        view.expect_element(corvane::ElementKind::signed_int, 8, "np.empty's result");
        for (Py_ssize_t i = 0; i < n; ++i)
            std::memcpy(view.writable_at(i), &ns[(size_t)i], 8);
    }
    nb::object dates = call_method(arr, CORVANE_NAME(view), nb::handle(CORVANE_TEXT("M8[ns]")));
    return call(getattr(HS_GLOBAL(pd), CORVANE_NAME(DatetimeIndex)), dates);
}

} // namespace histsource
