// Small helpers shared by the report callbacks (account queries, order reports, algorithmic
// orders): log text built by plain concatenation, the id test, and appending framework events to
// the outbound queue.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>

#include "attr_cache.h"
#include "class_attr_cache.h"
#include "livefeed.h"
#include "python_ops.h"

namespace livefeed {
namespace report {

using corvane::contains;
using corvane::differs;
using corvane::equals;
using corvane::lookup;

// str(value), a new reference.
inline nb::object text_of(nb::handle value) { return corvane::checked(PyObject_Str(value.ptr())); }

// "".join(pieces): every piece must already be a str (literals from CORVANE_TEXT, values passed
// through text_of), so the result equals the chain of + the log line is built from.
inline nb::object concat(std::initializer_list<nb::handle> pieces) {
    nb::object parts = corvane::checked(PyTuple_New((Py_ssize_t)pieces.size()));
    Py_ssize_t i = 0;
    for (nb::handle piece : pieces) {
        Py_INCREF(piece.ptr());
        PyTuple_SET_ITEM(parts.ptr(), i++, piece.ptr());
    }
    return corvane::checked(PyUnicode_Join(CORVANE_TEXT(""), parts.ptr()));
}

// bool(value) and value > 0: the test the terminal's ids pass when they are real.
inline bool positive(nb::handle value) {
    if (!corvane::truthy(value))
        return false;
    return corvane::compares(value, nb::int_(0), Py_GT);
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
    template <std::size_t K, typename... Values>
    void post(PyObject *kind_name, const corvane::KwNames<K> &kwnames, const Values &...values) const {
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
