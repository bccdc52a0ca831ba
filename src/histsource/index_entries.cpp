// Bar times of index entries and the (market_code, orig_time) order of bar frames; see index_entries.h.
#include "index_entries.h"

#include "python_ops.h"

namespace histsource {

Py_ssize_t orig_time_level(nb::handle index) {
    nb::object names = corvane::getattr_or_absent(index, CORVANE_NAME(names));
    if (!names.is_valid() || names.is_none())
        return -1;
    nb::object iter = corvane::checked(PyObject_GetIter(names.ptr()));
    Py_ssize_t i = 0;
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object name = nb::steal(raw);
        if (corvane::equals(name, CORVANE_NAME(orig_time)))
            return i;
        ++i;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return -1;
}

nb::object entry_orig_time(nb::handle entry, Py_ssize_t level) {
    if (level >= 0)
        return PyTuple_Check(entry.ptr()) ? corvane::checked(PySequence_GetItem(entry.ptr(), level))
                                          : nb::borrow(entry);
    return corvane::getattr_if_present(entry, CORVANE_NAME(orig_time));
}

nb::object required_orig_time(nb::handle index, nb::handle entry) {
    nb::object value = entry_orig_time(entry, orig_time_level(index));
    if (value.is_valid())
        return value;
    nb::object names = corvane::getattr_or_absent(index, CORVANE_NAME(names));
    PyErr_Format(PyExc_ValueError,
                 "index entry carries no orig_time: the index has no level named 'orig_time' (level names: %R) and "
                 "its entry %R of type %.200s has no orig_time attribute",
                 names.is_valid() ? names.ptr() : Py_None, entry.ptr(), Py_TYPE(entry.ptr())->tp_name);
    throw nb::python_error();
}

nb::object index_by_code_and_time(nb::handle frame) {
    using corvane::call_method;
    nb::object flat = call_method(frame, CORVANE_NAME(reset_index));
    nb::object keys = nb::make_tuple(nb::handle(CORVANE_NAME(market_code)), nb::handle(CORVANE_NAME(orig_time)));
    nb::object indexed = call_method(flat, CORVANE_NAME(set_index), nb::list(keys));
    return call_method(indexed, CORVANE_NAME(sort_index));
}

} // namespace histsource
