// Terminal record fields read in one step: the fields of a record that the code reads one after
// another, with nothing in between, go through one per-record cache (docs/fast-paths.md, "record
// readers"): one check of the record's type, its version tag and the descriptor guards, then a
// direct load of every field from where each one was found. Each field also has a site of its
// own, which reads it whenever the record's cache does not hold.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>

#include "attr_cache.h"
#include "interned.h"

namespace corvane {
namespace nb = nanobind;

// One field of a record kept as a dict: its key there and the attribute of the terminal record
// its value is read from.
struct Field {
    const char *key;
    const char *attr;
};

template <std::size_t N> class RecordReader {
    static_assert(N > 0, "a record reader reads at least one field");

public:
    explicit RecordReader(const Field (&fields)[N]) {
        for (std::size_t i = 0; i < N; ++i)
            names_[i] = intern(fields[i].attr);
    }
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    // held[i] = record.<fields[i].attr>, in order; throws the first read's error, as reading
    // them one by one does (the fields before it are read, those after it are not).
    void read(nb::handle record, nb::object (&held)[N]) {
        PyObject *o = record.ptr();
        std::size_t i = fast(o, held);
        if (i == N)
            return;
        for (; i < N; ++i)
            held[i] = sites_[i].read(record, names_[i]);
        if (fast::on(fast::RecordReads))
            learn(Py_TYPE(o));
    }

private:
    using Kind = AttrSite::Kind;

    struct Entry {
        Kind kind = Kind::Generic;
        Py_ssize_t where = 0; // the values-array index or the slot offset
        getter get = nullptr;
        void *closure = nullptr;
        DescriptorGuard guard;
    };

    struct State {
        PyTypeObject *type = nullptr;
        unsigned int version = 0;
        bool guarded = false;    // some entry keys on the version of a mutable attribute type
        bool all_inline = false; // every field is in the values array
        Py_ssize_t last = 0;     // the highest values-array index of the fields, then
        Entry entries[N];
    };

    bool holds(PyTypeObject *tp) const {
        if (tp != state_.type || !state_.version || type_version(tp) != state_.version)
            return false;
        if (state_.guarded)
            for (const Entry &e : state_.entries)
                if (!e.guard.holds())
                    return false;
        return true;
    }

    // The fields read directly, from the first on; returns how many. Loads from the values array
    // or a slot run no Python code, so one check covers them; a native getter may run any, so
    // after one the state and the type are checked again (the rest read by their own sites when
    // either changed).
    std::size_t fast(PyObject *o, nb::object (&held)[N]) {
        PyTypeObject *tp = Py_TYPE(o);
        if (!holds(tp))
            return 0;
        if (state_.all_inline) {
            // One look at where the values are for all the fields; none of the loads runs code.
            PyObject **last = layout::inline_slot(o, state_.last);
            if (!last)
                return 0;
            PyObject **values = last - state_.last;
            for (std::size_t i = 0; i < N; ++i) {
                PyObject *v = values[state_.entries[i].where];
                if (!v)
                    return i;
                held[i] = nb::borrow(v);
            }
            return N;
        }
        const unsigned int generation = generation_;
        for (std::size_t i = 0; i < N; ++i) {
            const Entry &e = state_.entries[i];
            PyObject *v = nullptr;
            switch (e.kind) {
            case Kind::Inline:
                if (!layout::inline_value(o, e.where, &v) || !v)
                    return i;
                held[i] = nb::borrow(v);
                break;
            case Kind::Slot:
                v = *(PyObject **)((char *)o + e.where);
                if (!v)
                    return i;
                held[i] = nb::borrow(v);
                break;
            case Kind::GetSet:
                v = e.get(o, e.closure);
                if (!v)
                    throw nb::python_error();
                held[i] = nb::steal(v);
                if (generation_ != generation || !holds(tp))
                    return i + 1;
                break;
            default:
                return i;
            }
        }
        return N;
    }

    // After every field was read through its own site: the record's state, when every site
    // learnt a direct way for this very type under its present tag. Nothing here runs Python
    // code; the state is published whole.
    void learn(PyTypeObject *tp) {
        State s;
        const unsigned int version = type_version(tp);
        if (version) {
            s.type = tp;
            s.version = version;
            for (std::size_t i = 0; i < N; ++i) {
                const AttrSite::State &f = sites_[i].state();
                const bool direct = f.kind == Kind::Inline || f.kind == Kind::Slot || f.kind == Kind::GetSet;
                if (f.type != tp || f.version != version || !direct || !f.guard.holds()) {
                    s = State();
                    break;
                }
                Entry &e = s.entries[i];
                e.kind = f.kind;
                e.where = f.kind == Kind::Inline ? f.hint : f.offset;
                e.get = f.get;
                e.closure = f.closure;
                e.guard = f.guard;
                s.guarded = s.guarded || f.guard.type;
            }
            s.all_inline = s.type != nullptr;
            for (const Entry &e : s.entries) {
                s.all_inline = s.all_inline && e.kind == Kind::Inline;
                s.last = e.where > s.last ? e.where : s.last;
            }
        }
        state_ = s;
        ++generation_;
    }

    PyObject *names_[N];
    AttrSite sites_[N];
    State state_;
    unsigned int generation_ = 0;
};

// The number of fields of a compile-time list.
template <std::size_t N> constexpr std::size_t count_of(const Field (&)[N]) { return N; }

} // namespace corvane
