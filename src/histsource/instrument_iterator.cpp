// Lazy instrument iteration for get_instruments. The ids are routed to the instrument stores by
// their type, one store call per type group; every store, map and id is read on the first step of
// the iteration, never at the call that creates the iterator.
#include "instrument_iterator.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "histsource.h"
#include "table_util.h"

namespace histsource {
namespace {

struct InstrumentIterator {
    PyObject_HEAD PyObject *owner; // the data source
    PyObject *id_or_syms;          // until started
    PyObject *types;               // until started
    PyObject *stores;              // _instruments_stores, read when started
    PyObject *pairs;               // iterator of (type, ids) tuples, or of bare types (ids None)
    PyObject *current;             // iterator over the current store's instruments
    bool started;
    bool pairs_are_tuples;
    bool running; // inside a step: a store's code stepping this iterator again is refused
};

PyTypeObject *iterator_type = nullptr;

int it_traverse(InstrumentIterator *it, visitproc visit, void *arg) {
    Py_VISIT(it->owner);
    Py_VISIT(it->id_or_syms);
    Py_VISIT(it->types);
    Py_VISIT(it->stores);
    Py_VISIT(it->pairs);
    Py_VISIT(it->current);
    Py_VISIT(Py_TYPE(it));
    return 0;
}

int it_clear(InstrumentIterator *it) {
    Py_CLEAR(it->owner);
    Py_CLEAR(it->id_or_syms);
    Py_CLEAR(it->types);
    Py_CLEAR(it->stores);
    Py_CLEAR(it->pairs);
    Py_CLEAR(it->current);
    return 0;
}

void it_dealloc(InstrumentIterator *it) {
    PyTypeObject *tp = Py_TYPE(it);
    PyObject_GC_UnTrack(it);
    it_clear(it);
    tp->tp_free((PyObject *)it);
    Py_DECREF(tp);
}

// The (type, list of its ids) pairs, in the stores' order, for a plain dict as the type map:
// the grouping groupby would make over the sorted ids, each store handed a plain list.
nb::object pairs_routed_natively(InstrumentIterator *it, nb::handle type_map) {
    std::vector<std::pair<nb::object, nb::list>> groups; // one per store type, in the stores' order
    nb::object store_iter = corvane::checked(PyObject_GetIter(it->stores));
    nb::dict rank;
    while (PyObject *t = PyIter_Next(store_iter.ptr())) {
        nb::object type = nb::steal(t);
        if (PyDict_SetItem(rank.ptr(), type.ptr(), nb::int_(groups.size()).ptr()) != 0)
            throw nb::python_error();
        groups.emplace_back(type, nb::list());
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object id_iter = corvane::checked(PyObject_GetIter(it->id_or_syms));
    while (PyObject *raw_id = PyIter_Next(id_iter.ptr())) {
        nb::object id = nb::steal(raw_id);
        PyObject *type = PyDict_GetItemWithError(type_map.ptr(), id.ptr());
        if (!type) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue; // not listed by any store
        }
        // the map's types are normally the stores' own key objects: found by identity first
        Py_ssize_t at = -1;
        for (size_t i = 0; i < groups.size() && at < 0; ++i)
            if (groups[i].first.ptr() == type)
                at = (Py_ssize_t)i;
        if (at < 0) {
            PyObject *r = PyDict_GetItemWithError(rank.ptr(), type);
            if (!r) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                continue; // a type no store holds: skipped by the iteration
            }
            at = PyLong_AsSsize_t(r);
        }
        if (PyList_Append(groups[(size_t)at].second.ptr(), id.ptr()) != 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::list pairs;
    for (auto &g : groups)
        if (PyList_GET_SIZE(g.second.ptr()) > 0)
            pairs.append(nb::make_tuple(g.first, g.second));
    return corvane::checked(PyObject_GetIter(pairs.ptr()));
}

// The (type, group of ids) pairs for explicit ids: ids with no known type are left out, the rest
// sorted by the position of their type among the stores (stable, so each type keeps the callers'
// order) and grouped by type with the module's groupby.
nb::object pairs_for_ids(InstrumentIterator *it) {
    nb::object type_map = corvane::getattr(it->owner, CORVANE_NAME(_ins_id_or_sym_type_map));
    // Routing natively stands in for groupby only while the module's `groupby` is still the
    // function it had at import.
    if (PyDict_CheckExact(type_map.ptr()) && HS_PRISTINE("groupby"))
        return pairs_routed_natively(it, type_map);
    nb::object type_of = corvane::getattr(type_map, CORVANE_NAME(get));

    // rank of each store type, in the stores' order
    nb::dict rank;
    Py_ssize_t n_types = 0;
    nb::object store_iter = corvane::checked(PyObject_GetIter(it->stores));
    while (PyObject *t = PyIter_Next(store_iter.ptr())) {
        nb::object type = nb::steal(t);
        if (PyDict_SetItem(rank.ptr(), type.ptr(), nb::int_(n_types++).ptr()) != 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();

    std::vector<std::pair<Py_ssize_t, nb::object>> known;
    nb::object id_iter = corvane::checked(PyObject_GetIter(it->id_or_syms));
    while (PyObject *raw_id = PyIter_Next(id_iter.ptr())) {
        nb::object id = nb::steal(raw_id);
        nb::object type = corvane::call(type_of, id);
        if (type.is_none())
            continue;
        PyObject *r = PyDict_GetItemWithError(rank.ptr(), type.ptr());
        if (!r && PyErr_Occurred())
            throw nb::python_error();
        // a type no store holds sorts last; the iteration skips it
        known.emplace_back(r ? PyLong_AsSsize_t(r) : n_types, std::move(id));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    std::stable_sort(known.begin(), known.end(), [](const auto &a, const auto &b) { return a.first < b.first; });

    nb::list ordered;
    for (auto &entry : known)
        ordered.append(entry.second);
    nb::object groupby = HS_GLOBAL(groupby);
    return corvane::checked(
        PyObject_GetIter(corvane::call_kw(groupby, CORVANE_KWNAMES("key"), ordered, type_of).ptr()));
}

void start(InstrumentIterator *it) {
    it->started = true;
    it->stores = corvane::getattr(it->owner, CORVANE_NAME(_instruments_stores)).release().ptr();
    nb::object pairs;
    if (it->id_or_syms != Py_None) {
        pairs = pairs_for_ids(it);
        it->pairs_are_tuples = true;
    } else if (it->types != Py_None && truthy(it->types)) {
        pairs = corvane::checked(PyObject_GetIter(it->types));
    } else {
        // every store type, as listed when iteration starts
        nb::object keys = corvane::checked(PySequence_List(it->stores));
        pairs = corvane::checked(PyObject_GetIter(keys.ptr()));
    }
    Py_CLEAR(it->id_or_syms);
    Py_CLEAR(it->types);
    it->pairs = pairs.release().ptr();
}

// Moves on to the next pair whose type has a store; false when the pairs are used up.
bool open_next_store(InstrumentIterator *it) {
    for (;;) {
        PyObject *raw = PyIter_Next(it->pairs);
        if (!raw) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return false;
        }
        nb::object pair = nb::steal(raw);
        nb::object type, ids;
        if (it->pairs_are_tuples) {
            type = item_at(pair, 0);
            ids = item_at(pair, 1);
        } else {
            type = pair;
            ids = nb::none();
        }
        if (type.is_none())
            continue;
        int has = PySequence_Contains(it->stores, type.ptr());
        if (has < 0)
            throw nb::python_error();
        if (!has)
            continue;
        nb::object store = item(it->stores, type.ptr());
        nb::object found = corvane::call_method(store, CORVANE_NAME(get_instruments), ids);
        it->current = corvane::checked(PyObject_GetIter(found.ptr())).release().ptr();
        return true;
    }
}

PyObject *next_instrument(InstrumentIterator *it) {
    if (!it->started)
        start(it);
    if (!it->pairs)
        return nullptr;
    for (;;) {
        if (it->current) {
            if (PyObject *instrument = PyIter_Next(it->current))
                return instrument;
            if (PyErr_Occurred())
                throw nb::python_error();
            Py_CLEAR(it->current);
        }
        if (!open_next_store(it)) {
            Py_CLEAR(it->pairs);
            Py_CLEAR(it->stores);
            return nullptr;
        }
    }
}

PyObject *it_next(InstrumentIterator *it) {
    if (it->running) {
        // as for a generator: the state is in use by the step below this one
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    struct Running {
        InstrumentIterator *it;
        explicit Running(InstrumentIterator *i) : it(i) { it->running = true; }
        ~Running() { it->running = false; }
    } running(it);
    try {
        return next_instrument(it);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    // a failed iteration is over: later steps stop at once
    Py_CLEAR(it->pairs);
    Py_CLEAR(it->current);
    it->started = true;
    return nullptr;
}

} // namespace

void init_instrument_iterator_type(nb::handle module) {
    static std::string qualified =
        nb::borrow<nb::str>(module.attr("__name__")).c_str() + std::string("._InstrumentIterator");
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)it_dealloc},
        {Py_tp_traverse, (void *)it_traverse},
        {Py_tp_clear, (void *)it_clear},
        {Py_tp_iter, (void *)PyObject_SelfIter},
        {Py_tp_iternext, (void *)it_next},
        {Py_tp_doc, (void *)"Lazy iterator over the instruments get_instruments selects."},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified.c_str(), sizeof(InstrumentIterator), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    if (!iterator_type)
        iterator_type = (PyTypeObject *)corvane::checked(PyType_FromSpec(&spec)).release().ptr();
}

nb::object make_instrument_iterator(nb::handle self, nb::handle id_or_syms, nb::handle types) {
    InstrumentIterator *it = PyObject_GC_New(InstrumentIterator, iterator_type);
    if (!it)
        throw nb::python_error();
    it->owner = nb::borrow(self).release().ptr();
    it->id_or_syms = nb::borrow(id_or_syms).release().ptr();
    it->types = nb::borrow(types).release().ptr();
    it->stores = it->pairs = it->current = nullptr;
    it->started = it->pairs_are_tuples = it->running = false;
    PyObject_GC_Track(it);
    return nb::steal((PyObject *)it);
}

} // namespace histsource
