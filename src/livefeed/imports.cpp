// The outside names the bridge binds at import, in a fixed order, as module attributes.
#include "livefeed.h"

namespace livefeed {
namespace {

struct FromImport {
    const char *module;
    const char *names[8];
};

// from <module> import <names...>, in the order the bridge depends on them.
const FromImport kFromImports[] = {
    {"corvane.tessara.environment", {"Environment"}},
    {"corvane.tessara.core.events", {"EVENT", "Event"}},
    {"corvane.tessara.model.tick", {"TickObject"}},
    {"corvane.tessara.model.trade", {"Trade"}},
    {"corvane.tessara.model.l2_order", {"L2Order"}},
    {"corvane.tessara.model.l2_transaction", {"L2Transaction"}},
    {"corvane.tessara.utils.datetime_func", {"convert_int_to_whole_date", "convert_int_to_datetime"}},
    {"corvane.tessara.utils.trade_func",
     {"get_exchane_from_vorn_mdtype", "get_vorn_tdtype", "get_side_from_vorn_l2_order",
      "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn", "get_l2order_type_from_vorn"}},
    {"corvane.tessara.utils.logger", {"system_log"}},
    {"corvane.tessara.model.algo_parent_order", {"AlgoParentOrder"}},
    {"corvane.tessara.model.algo_child_order", {"AlgoChildOrder"}},
    {"corvane.tessara.model.algo_child_trade", {"AlgoChildTrade"}},
    {"corvane.tessara.const", {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"}},
    {"corvane.tessara.portfolio.account", {"Asset"}},
    {"corvane.tessara.portfolio.position", {"Position"}},
};

// The ImportError `from <module> import <name>` raises for a name the module lacks: the same
// text, with the module's name and file on the exception.
[[noreturn]] void cannot_import(nb::handle mod, const char *module, PyObject *name) {
    nb::object module_name = corvane::checked(PyUnicode_FromString(module));
    nb::object path = nb::steal(PyModule_GetFilenameObject(mod.ptr()));
    if (!path.is_valid() || !PyUnicode_Check(path.ptr())) {
        PyErr_Clear();
        path = nb::object();
    }
    nb::object message = corvane::checked(
        path.is_valid()
            ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, module_name.ptr(), path.ptr())
            : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, module_name.ptr()));
    PyErr_SetImportError(message.ptr(), module_name.ptr(), path.is_valid() ? path.ptr() : nullptr);
    throw nb::python_error();
}

// One name of a from-import: the module's attribute, else an already imported submodule of that
// name, else the ImportError of the import statement. Other errors of the read propagate.
nb::object import_from(nb::handle mod, const char *module, PyObject *name) {
    PyObject *value = PyObject_GetAttr(mod.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    nb::object full = corvane::checked(PyUnicode_FromFormat("%s.%U", module, name));
    PyObject *submodule = PyImport_GetModule(full.ptr());
    if (submodule)
        return nb::steal(submodule);
    if (PyErr_Occurred())
        throw nb::python_error();
    cannot_import(mod, module, name);
}

void from_import(nb::module_ &m, const FromImport &spec) {
    nb::object mod = corvane::import(spec.module);
    for (const char *name : spec.names) {
        if (!name)
            break;
        m.attr(name) = import_from(mod, spec.module, corvane::intern(name));
    }
}

// from pyvorn.enums import *: the names of __all__ when the module declares it, else every name
// that does not begin with an underscore.
void star_import(nb::module_ &m, const char *module) {
    nb::object mod = corvane::import(module);
    nb::object names = corvane::getattr_or_absent(mod, corvane::intern("__all__"));
    if (!names.is_valid()) {
        names = nb::list();
        for (nb::handle key : nb::borrow<nb::dict>(corvane::getattr(mod, corvane::intern("__dict__"))).keys()) {
            PyObject *k = key.ptr();
            if (PyUnicode_Check(k) && PyUnicode_GET_LENGTH(k) > 0 && PyUnicode_READ_CHAR(k, 0) != '_')
                nb::borrow<nb::list>(names).append(key);
        }
    }
    for (nb::handle name : names)
        m.attr(name) = mod.attr(name);
}

} // namespace

void bind_imports(nb::module_ &m) {
    for (const FromImport &spec : kFromImports)
        from_import(m, spec);
    m.attr("RB") = corvane::import("numpy_ringbuffer").attr("RingBuffer");
    m.attr("np") = corvane::import("numpy");
    m.attr("deque") = corvane::import("collections").attr("deque");
    m.attr("copy") = corvane::import("copy");
    nb::object dt = corvane::import("datetime");
    m.attr("datetime") = dt.attr("datetime");
    m.attr("time") = dt.attr("time");
    m.attr("timedelta") = dt.attr("timedelta");
    m.attr("strategy") = corvane::import("pyvorn.strategy");
    star_import(m, "pyvorn.enums");
}

} // namespace livefeed
