// Per-call-site caches of module-global reads. A site keeps the value it read together with a
// version of the module dict that changes with every change of that dict, so a replaced (or
// deleted) module attribute is seen on the very next read. The version is the dict's own
// ma_version_tag on 3.10 and 3.11; from 3.12 on (where that field is deprecated) a dict watcher
// counts the changes of every dict it watches. Where neither serves, every read is the generic
// dict lookup.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>

#include "calls.h"
#include "module_globals.h"

namespace corvane {
namespace nb = nanobind;

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {

struct DictWatch {
    int id = -1;
    bool failed = false;
    // Bumped before any change of any watched dict; 0 is never a valid version.
    uint64_t generation = 1;
    PyObject *dicts[8] = {};
    int count = 0;
};

inline DictWatch &dict_watch() {
    static DictWatch w;
    return w;
}

inline int on_dict_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++dict_watch().generation;
    return 0;
}

} // namespace detail
#endif

// A number that differs after any change of `dict`, or 0 when no such number is available (the
// caller then reads generically).
inline uint64_t dict_version(PyObject *dict) {
#if PY_VERSION_HEX >= 0x030C0000
    detail::DictWatch &w = detail::dict_watch();
    for (int i = 0; i < w.count; ++i)
        if (w.dicts[i] == dict)
            return w.generation;
    if (w.failed || w.count == (int) (sizeof(w.dicts) / sizeof(w.dicts[0])))
        return 0;
    if (w.id < 0 && (w.id = PyDict_AddWatcher(&detail::on_dict_change)) < 0) {
        PyErr_Clear();
        w.failed = true;
        return 0;
    }
    if (PyDict_Watch(w.id, dict) != 0) {
        PyErr_Clear();
        return 0;
    }
    // The dict is kept alive for the process, as the module state that owns it is.
    w.dicts[w.count++] = Py_NewRef(dict);
    return w.generation;
#elif PY_VERSION_HEX >= 0x030A0000
    return ((PyDictObject *) dict)->ma_version_tag;
#else
    (void) dict;
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
        // version stays, so a borrowed pointer suffices.
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
        if (m == module_ && version_ && dict_version(PyModule_GetDict(m)) == version_)
            return nb::borrow(value_);
        nb::object v = checked(PyObject_GetAttr(m, name));
        module_ = nullptr;
        version_ = 0;
        if (PyModule_CheckExact(m)) {
            PyObject *d = PyModule_GetDict(m);
            const uint64_t version = dict_version(d);
            PyObject *in_dict = PyDict_GetItemWithError(d, name);
            if (!in_dict)
                PyErr_Clear();
            if (version && in_dict == v.ptr()) {
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
