// `from <module> import <name>` as the import statement runs it: the import system loads the module
// (and any listed submodules of a package), each name is read from it, and a missing name raises
// the interpreter's own ImportError with the statement's text, module name and path.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

#include "calls.h"
#include "interned.h"

namespace corvane {
namespace nb = nanobind;

namespace detail {

[[noreturn]] inline void cannot_import(nb::handle mod, nb::handle module_name, PyObject *name) {
    nb::object path = nb::steal(PyModule_GetFilenameObject(mod.ptr()));
    if (!path.is_valid() || !PyUnicode_Check(path.ptr())) {
        PyErr_Clear();
        path = nb::object();
    }
    nb::object message = checked(
        path.is_valid()
            ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, module_name.ptr(), path.ptr())
            : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, module_name.ptr()));
    PyErr_SetImportError(message.ptr(), module_name.ptr(), path.is_valid() ? path.ptr() : nullptr);
    throw nb::python_error();
}

// The module's attribute, else an already imported submodule of that name, else the statement's
// ImportError. Other errors of the read propagate.
inline nb::object import_from(nb::handle mod, nb::handle module_name, PyObject *name) {
    if (nb::object value = getattr_if_present(mod, name); value.is_valid())
        return value;
    nb::object full = checked(PyUnicode_FromFormat("%U.%U", module_name.ptr(), name));
    if (PyObject *submodule = PyImport_GetModule(full.ptr()))
        return nb::steal(submodule);
    if (PyErr_Occurred())
        throw nb::python_error();
    cannot_import(mod, module_name, name);
}

// __import__(name, None, None, fromlist, 0), through the builtin the statement itself calls, so a
// host's import hook sees the same call.
inline nb::object import_module(nb::handle module_name, nb::handle fromlist) {
    nb::object hook = builtin(CORVANE_NAME(__import__), PyExc_ImportError, "__import__ not found");
    nb::object level = checked(PyLong_FromLong(0));
    return call(hook, module_name, Py_None, Py_None, fromlist, level);
}

} // namespace detail

// One name to import and the module attribute it is bound to (its own name when `as` is null).
struct ImportName {
    const char *name;
    const char *as = nullptr;
    ImportName(const char *n, const char *a = nullptr) : name(n), as(a) {}
};

// from <module> import <names>: the module (loaded with the names as its fromlist) and the objects
// in `out`, in order. `names` is any sequence of ImportName.
template <typename Names> nb::object import_names(const char *module, const Names &names, nb::object *out) {
    nb::object module_name = checked(PyUnicode_FromString(module));
    nb::object fromlist = checked(PyList_New(0));
    for (const ImportName &n : names)
        if (PyList_Append(fromlist.ptr(), intern(n.name)) != 0)
            throw nb::python_error();
    nb::object mod = detail::import_module(module_name, fromlist);
    for (const ImportName &n : names)
        *out++ = detail::import_from(mod, module_name, intern(n.name));
    return mod;
}

inline nb::object import_names(const char *module, std::initializer_list<ImportName> names, nb::object *out) {
    return import_names<std::initializer_list<ImportName>>(module, names, out);
}

// from <module> import <one name>
inline nb::object from_import(const char *module, const char *name) {
    nb::object value;
    import_names(module, {ImportName(name)}, &value);
    return value;
}

// from <module> import <names>, each bound as an attribute of `target` (a module being set up).
inline void from_import(nb::handle target, const char *module, std::initializer_list<ImportName> names) {
    std::vector<nb::object> values(names.size());
    import_names(module, names, values.data());
    size_t i = 0;
    for (const ImportName &n : names)
        setattr(target, intern(n.as ? n.as : n.name), values[i++]);
}

} // namespace corvane
