// Read access to the names a module bound at import, through the module's own namespace.
#pragma once
#include <nanobind/nanobind.h>

namespace corvane {
namespace nb = nanobind;

// Every outside name a module binds at import stays a module attribute; code reads it here at the
// moment of use, so a host or test that replaces the attribute changes what the module calls.
class ModuleGlobals {
public:
    // Keeps the module's namespace for the life of the process.
    void bind(nb::handle module) {
        PyObject *d = PyModule_GetDict(module.ptr());
        if (!d)
            throw nb::python_error();
        Py_INCREF(d);
        dict_ = d;
    }

    // The object bound under `name` now (a new reference); NameError as Python raises it when the
    // name has been deleted from the module.
    nb::object get(PyObject *name) const {
        PyObject *v = PyDict_GetItemWithError(dict_, name);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw nb::python_error();
        }
        return nb::borrow(v);
    }

    void set(PyObject *name, nb::handle value) const {
        if (PyDict_SetItem(dict_, name, value.ptr()) != 0)
            throw nb::python_error();
    }

    PyObject *dict() const { return dict_; }

private:
    PyObject *dict_ = nullptr;
};

} // namespace corvane
