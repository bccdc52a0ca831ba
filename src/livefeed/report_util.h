// Small helpers shared by the report callbacks (account queries, order reports, algorithmic
// orders): log text built by plain concatenation, equality tests, lookups in module-state maps,
// and appending framework events to the outbound queue.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>

#include "attr_cache.h"
#include "class_attr_cache.h"
#include "livefeed.h"

namespace livefeed {
namespace report {

// str(value), a new reference.
inline nb::object text_of(nb::handle value) { return corvane::checked(PyObject_Str(value.ptr())); }

// "".join(pieces): every piece must already be a str (literals from CORVANE_TEXT, values passed
// through text_of), so the result equals the chain of + the log line is built from.
inline nb::object concat(std::initializer_list<nb::handle> pieces) {
    nb::object parts = corvane::checked(PyTuple_New((Py_ssize_t) pieces.size()));
    Py_ssize_t i = 0;
    for (nb::handle piece : pieces) {
        Py_INCREF(piece.ptr());
        PyTuple_SET_ITEM(parts.ptr(), i++, piece.ptr());
    }
    return corvane::checked(PyUnicode_Join(CORVANE_TEXT(""), parts.ptr()));
}

// a == b as Python evaluates it (no identity shortcut: equal but distinct values match too).
inline bool equals(nb::handle a, nb::handle b) {
    nb::object r = corvane::checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    int truth = PyObject_IsTrue(r.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth != 0;
}

// a != b
inline bool differs(nb::handle a, nb::handle b) {
    nb::object r = corvane::checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE));
    int truth = PyObject_IsTrue(r.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth != 0;
}

// bool(value) and value > 0: the test the terminal's ids pass when they are real.
inline bool positive(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw nb::python_error();
    if (!truth)
        return false;
    nb::object zero = nb::int_(0);
    int above = PyObject_RichCompareBool(value.ptr(), zero.ptr(), Py_GT);
    if (above < 0)
        throw nb::python_error();
    return above != 0;
}

// key in container
inline bool contains(nb::handle container, nb::handle key) {
    int present = PySequence_Contains(container.ptr(), key.ptr());
    if (present < 0)
        throw nb::python_error();
    return present != 0;
}

// mapping[key] if key in mapping, else an empty object. One hash lookup for a plain dict; any
// other mapping a host installs keeps the membership-test-then-subscript semantics.
inline nb::object lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nb::object();
        }
        return nb::borrow(v);
    }
    if (!contains(mapping, key))
        return nb::object();
    return corvane::checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// system_log.<level>(text)
inline void log(PyObject *level, nb::handle text) {
    static corvane::NamedSites<corvane::MethodSite, 8> levels;
    corvane::MethodSite *site = levels.find(level);
    nb::object logger = LF_GLOBAL(system_log);
    if (site)
        site->call(logger, level, text);
    else
        corvane::call_method(logger, level, text);
}

// The names an event needs, read from the module namespace once per callback.
class Outbox {
public:
    Outbox() : event_(LF_GLOBAL(Event)), kinds_(LF_GLOBAL(EVENT)), queue_(LF_GLOBAL(event_queue)) {}

    // EVENT.<kind>
    nb::object kind(PyObject *name) const {
        static corvane::NamedSites<corvane::ClassAttrSite> members;
        return corvane::read_class_attr(members, kinds_, name);
    }

    // event_queue.append(Event(EVENT.<kind>, **dict(zip(kwnames, values))))
    template <typename... Values> void post(PyObject *kind_name, PyObject *kwnames, const Values &...values) const {
        nb::object ev = corvane::call_kw(event_, kwnames, kind(kind_name), values...);
        append_event(queue_, ev);
    }

private:
    nb::object event_, kinds_, queue_;
};

// copy.deepcopy, read from the module namespace once per callback.
class DeepCopier {
public:
    nb::object operator()(nb::handle obj) {
        static corvane::ModuleAttrSite site;
        if (!deepcopy_.is_valid())
            deepcopy_ = site.read(LF_GLOBAL(copy), CORVANE_NAME(deepcopy));
        return corvane::call(deepcopy_, obj);
    }

private:
    nb::object deepcopy_;
};

} // namespace report
} // namespace livefeed
