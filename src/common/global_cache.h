// Per-call-site caches of module-global reads, keyed on a version of the module dict that changes
// with every change of that dict (docs/fast-paths.md: the dict's own tag before 3.12, a dict
// watcher from 3.12 on). Where neither serves, every read is the generic dict lookup.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>

#include "calls.h"
#include "fast_paths.h"
#include "module_globals.h"

namespace corvane {
namespace nb = nanobind;

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {

// The module's one dict watcher and the dicts it watches (borrowed: a dict being freed reports
// it and leaves the list, so nothing is kept alive by watching it).
struct DictWatch {
    int id = -1;
    bool closed = false;
    // Bumped before any change of any watched dict; 0 is never a valid version.
    uint64_t generation = 1;
    PyObject *dicts[8] = {};
    int count = 0;
};

inline DictWatch &dict_watch() {
    static DictWatch w;
    return w;
}

inline int on_dict_change(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    DictWatch &w = dict_watch();
    ++w.generation;
    if (event == PyDict_EVENT_DEALLOCATED) {
        for (int i = 0; i < w.count; ++i) {
            if (w.dicts[i] == dict) {
                w.dicts[i] = w.dicts[--w.count];
                w.dicts[w.count] = nullptr;
                break;
            }
        }
    }
    return 0;
}

} // namespace detail
#endif

// Stops watching every dict and clears the watcher (module teardown); versions are 0 from then
// on, so every read is generic.
inline void release_dict_watch() {
#if PY_VERSION_HEX >= 0x030C0000
    detail::DictWatch &w = detail::dict_watch();
    w.closed = true;
    if (w.id >= 0) {
        for (int i = 0; i < w.count; ++i)
            if (PyDict_Unwatch(w.id, w.dicts[i]) != 0)
                PyErr_Clear();
        if (PyDict_ClearWatcher(w.id) != 0)
            PyErr_Clear();
    }
    w.id = -1;
    w.count = 0;
    ++w.generation;
#endif
}

// A number that differs after any change of `dict`, or 0 when no such number is available (the
// caller then reads generically).
inline uint64_t dict_version(PyObject *dict) {
    if (!fast::on(fast::ModuleGlobalReads))
        return 0;
#if PY_VERSION_HEX >= 0x030C0000
    detail::DictWatch &w = detail::dict_watch();
    for (int i = 0; i < w.count; ++i)
        if (w.dicts[i] == dict)
            return w.generation;
    if (w.closed || w.count == (int)(sizeof(w.dicts) / sizeof(w.dicts[0])))
        return 0;
    if (w.id < 0 && (w.id = PyDict_AddWatcher(&detail::on_dict_change)) < 0) {
        PyErr_Clear();
        w.closed = true;
        return 0;
    }
    if (PyDict_Watch(w.id, dict) != 0) {
        PyErr_Clear();
        return 0;
    }
    w.dicts[w.count++] = dict;
    return w.generation;
#elif PY_VERSION_HEX >= 0x030A0000
    return ((PyDictObject *)dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

class GlobalSite {
public:
    // The value bound under `name` in the module namespace now (NameError when deleted).
    nb::object get(const ModuleGlobals &globals, PyObject *name) {
        const uint64_t v = dict_version(globals.dict());
        if (v && v == version_)
            return nb::borrow(value_);
        nb::object r = globals.get(name);
        // Kept only if the lookup itself changed nothing; the dict holds the value while the
        // version stays, so a borrowed pointer suffices. Both fields are written with no Python
        // code between them.
        if (v && dict_version(globals.dict()) == v) {
            version_ = v;
            value_ = r.ptr();
        } else {
            version_ = 0;
        }
        return r;
    }

private:
    uint64_t version_ = 0;
    PyObject *value_ = nullptr;
};

// module.name for a module object (copy.deepcopy): the value is remembered with the version of
// the module's dict, and only when it was read from that dict; other objects read generically.
class ModuleAttrSite {
public:
    nb::object read(nb::handle obj, PyObject *name) {
        PyObject *m = obj.ptr();
        // The address alone may be a freed module's, now another object's: its type first.
        if (m == module_ && version_ && PyModule_CheckExact(m) && dict_version(PyModule_GetDict(m)) == version_)
            return nb::borrow(value_);
        nb::object v = checked(PyObject_GetAttr(m, name));
        module_ = nullptr;
        version_ = 0;
        if (PyModule_CheckExact(m)) {
            nb::object d = nb::borrow(PyModule_GetDict(m));
            const uint64_t version = dict_version(d.ptr());
            PyObject *in_dict = PyDict_GetItemWithError(d.ptr(), name);
            if (!in_dict)
                PyErr_Clear();
            // The lookup may run a key's __eq__: kept only when it changed nothing.
            if (version && in_dict == v.ptr() && dict_version(d.ptr()) == version) {
                module_ = m;
                version_ = version;
                value_ = in_dict;
            }
        }
        return v;
    }

private:
    PyObject *module_ = nullptr;
    uint64_t version_ = 0;
    PyObject *value_ = nullptr;
};

} // namespace corvane

// The value bound under `ident` in the namespace `globals` now (outside names and module state
// alike: NameError when deleted), through a site of its own for this place in the code. The site
// remembers the value only while the module's `module_globals` fast path is on; a module that
// does not turn it on reads the dict every time.
#define CORVANE_GLOBAL(globals, ident)                                                                                 \
    ([]() -> ::nanobind::object {                                                                                      \
        static ::corvane::GlobalSite site_;                                                                            \
        return site_.get(globals, CORVANE_NAME(ident));                                                                \
    }())
