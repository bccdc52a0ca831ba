// The one way events leave the bridge: an append to the module's event_queue that keeps the
// ring buffer's overwrite rule but never loses an undrained event silently. An append to a full
// queue is counted in the module attribute `overwritten_events` and reported through
// `system_log.warning`: at the first overwrite, then at most once per
// `overwrite_warning_interval` seconds (both attributes read at the moment of use).
#include <chrono>

#include "attr_cache.h"
#include "dict_layout.h"
#include "fast_paths.h"
#include "livefeed.h"
#include "type_version.h"

namespace livefeed {
namespace {

// Monotonic seconds of the last warning line; negative before the first one. Only touched with
// the GIL held, so no further synchronisation is needed.
double last_warning = -1.0;
// Overwrites since the last warning line, reported in the next one.
long long unreported = 0;

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// numpy_ringbuffer.RingBuffer as the module imported it, with the `__len__` and `maxlen` its
// class defines. Held only to recognise an untouched ring buffer; calls go through the module.
struct RingBufferClass {
    PyTypeObject *type = nullptr;
    PyObject *len = nullptr;
    PyObject *maxlen = nullptr;
};
RingBufferClass ring_buffer;

// An exact int attribute of a plain instance as a C integer; false when absent, not an exact
// int or out of range (the caller then takes the general path, which reports any error).
bool read_index(PyObject *obj, PyObject *name, corvane::AttrSite &site, Py_ssize_t &out) {
    nb::object v;
    try {
        v = site.read(obj, name);
    } catch (nb::python_error &) {
        return false;
    }
    if (!PyLong_CheckExact(v.ptr()))
        return false;
    out = PyLong_AsSsize_t(v.ptr());
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The version tag of the ring buffer class under which its `__len__` and `maxlen` were last
// found to be the original ones; 0 when not checked since the last change of the class.
unsigned int checked_version = 0;

// Where an instance of that class keeps the three fields in its values array, learnt with the
// version above (-1 where not known); the class then has no attribute of those names. The
// shared keys only ever grow, so the positions hold while the tag does.
struct FieldPositions {
    Py_ssize_t capacity = -1, right = -1, left = -1;
    bool known() const { return capacity >= 0 && right >= 0 && left >= 0; }
};
FieldPositions positions;

FieldPositions find_positions(PyTypeObject *tp) {
    FieldPositions p;
    if (!corvane::layout::has_inline_values(tp))
        return p;
    PyObject *names[] = {CORVANE_NAME(_capacity), CORVANE_NAME(_right_index), CORVANE_NAME(_left_index)};
    for (PyObject *name : names)
        if (corvane::type_lookup(tp, name))
            return p;
    p.capacity = corvane::layout::shared_key_index(tp, names[0]);
    p.right = corvane::layout::shared_key_index(tp, names[1]);
    p.left = corvane::layout::shared_key_index(tp, names[2]);
    return p;
}

// An exact int held at `index` of the instance's values array; false when the values are not
// there, the field is unset or the value is no exact int in range. Runs no Python code.
bool inline_index(PyObject *q, Py_ssize_t index, Py_ssize_t &out) {
    PyObject *v = nullptr;
    if (!corvane::layout::inline_value(q, index, &v) || !v || !PyLong_CheckExact(v))
        return false;
    out = PyLong_AsSsize_t(v);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The ring buffer's fullness without its Python-level `maxlen` and `__len__`: for an instance of
// the unmodified class they return `_capacity` and `_right_index - _left_index`, read here
// directly. Returns false (and sets nothing) when the queue is anything else.
bool ring_buffer_full(PyObject *q, bool &full) {
    if (!corvane::fast::on(corvane::fast::QueueFullness))
        return false;
    PyTypeObject *tp = Py_TYPE(q);
    if (tp != ring_buffer.type || tp->tp_getattro != PyObject_GenericGetAttr)
        return false;
    const unsigned int version = corvane::type_version(tp);
    if (!version || version != checked_version) {
        PyObject *len = PyDict_GetItemWithError(tp->tp_dict, CORVANE_NAME(__len__));
        PyObject *maxlen = len ? PyDict_GetItemWithError(tp->tp_dict, CORVANE_NAME(maxlen)) : nullptr;
        if (len != ring_buffer.len || maxlen != ring_buffer.maxlen) {
            PyErr_Clear();
            return false;
        }
        // The lookups above run no Python code (the class dict's keys are text); the
        // positions are learnt under the same tag.
        positions = find_positions(tp);
        checked_version = version;
    }
    Py_ssize_t capacity, left, right, size;
    // The three fields straight from the instance's values array when they are there; any
    // other instance reads them through its attribute caches.
    const FieldPositions p = positions;
    if (p.known() && inline_index(q, p.capacity, capacity) && inline_index(q, p.right, right) &&
        inline_index(q, p.left, left)) {
        if (__builtin_sub_overflow(right, left, &size) || size < 0)
            return false;
        full = size >= capacity;
        return true;
    }
    static corvane::AttrSite capacity_site, right_site, left_site;
    if (!read_index(q, CORVANE_NAME(_capacity), capacity_site, capacity) ||
        !read_index(q, CORVANE_NAME(_right_index), right_site, right) ||
        !read_index(q, CORVANE_NAME(_left_index), left_site, left) || __builtin_sub_overflow(right, left, &size) ||
        size < 0)
        return false;
    full = size >= capacity;
    return true;
}

// True when an append to `queue` will push out an event not yet drained: len(queue) has
// reached queue.maxlen. A queue without a bound (no `maxlen`, or `maxlen` None) never is full.
bool will_overwrite(nb::handle queue) {
    bool full;
    if (ring_buffer_full(queue.ptr(), full))
        return full;
    PyObject *cap = PyObject_GetAttr(queue.ptr(), CORVANE_NAME(maxlen));
    if (!cap) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    nb::object capacity = nb::steal(cap);
    if (capacity.is_none())
        return false;
    const Py_ssize_t n = PyObject_Size(queue.ptr());
    if (n < 0)
        throw nb::python_error();
    const Py_ssize_t limit = PyLong_AsSsize_t(capacity.ptr());
    if (limit == -1 && PyErr_Occurred())
        throw nb::python_error();
    return n >= limit;
}

// overwritten_events += 1, on the module attribute (a framework may reset it to 0 at will; any
// value that is not an integer restarts the count).
long long count_overwrite() {
    long long total = 1;
    PyObject *current = PyDict_GetItemWithError(globals.dict(), CORVANE_NAME(overwritten_events));
    if (current && PyLong_CheckExact(current)) {
        long long before = PyLong_AsLongLong(current);
        if (before == -1 && PyErr_Occurred())
            PyErr_Clear();
        else if (before >= 0)
            total = before + 1;
    } else if (!current && PyErr_Occurred()) {
        PyErr_Clear();
    }
    globals.set(CORVANE_NAME(overwritten_events), nb::int_(total));
    return total;
}

// The minimum number of seconds between two warning lines.
double warning_interval() {
    PyObject *v = PyDict_GetItemWithError(globals.dict(), CORVANE_NAME(overwrite_warning_interval));
    if (!v) {
        PyErr_Clear();
        return 10.0;
    }
    const double s = PyFloat_AsDouble(v);
    if (s == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return 10.0;
    }
    return s;
}

// Logs the warning when it is due: always for the first overwrite of a count (at start-up, or
// after the framework reset `overwritten_events`), then once the interval has passed. A failing logger must not turn a
// queued event into a failed callback, so its error is reported as unraisable instead of propagating.
void warn_if_due(long long total) {
    if (total == 1)
        unreported = 0;
    ++unreported;
    const double now = monotonic_seconds();
    if (total > 1 && last_warning >= 0.0 && now - last_warning < warning_interval())
        return;
    nb::object text = nb::steal(
        PyUnicode_FromFormat("event_queue is full: %lld undrained event(s) overwritten since the last warning, "
                             "%lld in all",
                             unreported, total));
    if (!text.is_valid()) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    last_warning = now;
    unreported = 0;
    PyObject *log = PyDict_GetItemWithError(globals.dict(), CORVANE_NAME(system_log));
    if (!log) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name 'system_log' is not defined");
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    PyObject *argv[] = {log, text.ptr()};
    PyObject *r = PyObject_VectorcallMethod(CORVANE_NAME(warning), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        PyErr_WriteUnraisable(log);
    Py_XDECREF(r);
}

} // namespace

void append_event(nb::handle event_queue, nb::handle event) {
    const bool full = will_overwrite(event_queue);
    CORVANE_CALL_METHOD(event_queue, append, event);
    if (full)
        warn_if_due(count_overwrite());
}

void create_queue_counters(nb::module_ &m) {
    nb::object rb = m.attr("RB");
    if (PyType_Check(rb.ptr())) {
        PyObject *d = ((PyTypeObject *)rb.ptr())->tp_dict;
        PyObject *len = PyDict_GetItemWithError(d, CORVANE_NAME(__len__));
        PyObject *maxlen = len ? PyDict_GetItemWithError(d, CORVANE_NAME(maxlen)) : nullptr;
        if (len && maxlen) {
            ring_buffer.type = (PyTypeObject *)rb.release().ptr();
            ring_buffer.len = Py_NewRef(len);
            ring_buffer.maxlen = Py_NewRef(maxlen);
        } else if (PyErr_Occurred()) {
            throw nb::python_error();
        }
    }
    m.attr("overwritten_events") = nb::int_(0);
    m.attr("overwrite_warning_interval") = nb::float_(10.0);
}

} // namespace livefeed
