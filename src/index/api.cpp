// index_components and index_weights: one gateway call for one day each. They are plain
// built-in functions with the exact documentation texts and the signature
// (market_code, date=None), both parameters given by position or by name.
#include <string>

#include "index_service.h"
#include "python_ops.h"

namespace index_service {
namespace {

// The day string for the gateway: today in ISO form without a date, else date.strftime.
nb::object day_string(nb::handle date) {
    if (date.is_none()) {
        nb::object date_class = corvane::getattr(IX_GLOBAL(datetime), CORVANE_NAME(date));
        nb::object today = corvane::call_method(date_class, CORVANE_NAME(today));
        return corvane::call_method(today, CORVANE_NAME(isoformat));
    }
    return corvane::call_method(date, CORVANE_NAME(strftime), CORVANE_TEXT("%Y-%m-%d"));
}

nb::object table_or_none(nb::handle reply) {
    // data, code, msg = reply
    nb::object data = corvane::unpack_exactly<3>(reply)[0];
    return corvane::truthy(corvane::getattr(data, CORVANE_NAME(empty))) ? nb::none() : data;
}

nb::object index_components(nb::handle market_code, nb::handle date) {
    nb::object d = day_string(date);
    nb::object codes = nb::list();
    if (PyList_Append(codes.ptr(), market_code.ptr()) != 0)
        throw nb::python_error();
    nb::object reply = corvane::call_method_kw(IX_GLOBAL(gid), CORVANE_NAME(index_con_his),
                                               CORVANE_KWNAMES("start_time", "end_time"), codes, d, d);
    return table_or_none(reply);
}

nb::object index_weights(nb::handle market_code, nb::handle date) {
    nb::object d = day_string(date);
    nb::object reply = corvane::call_method_kw(IX_GLOBAL(gid), CORVANE_NAME(get_index_weight_stk),
                                               CORVANE_KWNAMES("start_time", "end_time"), market_code, d, d);
    return table_or_none(reply);
}

using Body = nb::object (*)(nb::handle, nb::handle);

// Binds (market_code, date=None) from a vectorcall, with the messages Python gives for a
// function of that signature.
bool bind_arguments(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *bound[2]) {
    static const char *const params[2] = {"market_code", "date"};
    bound[0] = bound[1] = nullptr;
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes from 1 to 2 positional arguments but %zd were given", fname, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int p = 0; p < 2; ++p)
            if (PyUnicode_CompareWithASCIIString(key, params[p]) == 0)
                slot = p;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, params[slot]);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    if (!bound[0]) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'market_code'", fname);
        return false;
    }
    if (!bound[1])
        bound[1] = Py_None;
    return true;
}

template <Body body> PyObject *entry(const char *fname, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *bound[2];
    if (!bind_arguments(fname, args, PyVectorcall_NARGS(nargsf), kwnames, bound))
        return nullptr;
    try {
        return body(bound[0], bound[1]).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject *components_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return entry<index_components>("index_components", args, (size_t)nargs, kwnames);
}

PyObject *weights_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return entry<index_weights>("index_weights", args, (size_t)nargs, kwnames);
}

// The text before "--" is the signature introspection reads; __doc__ is the text after it.
PyMethodDef kComponents = {"index_components", (PyCFunction)(void (*)(void))components_entry,
                           METH_FASTCALL | METH_KEYWORDS,
                           "index_components(market_code, date=None)\n--\n\n"
                           "获取指数成股份\n\n"
                           "    :param market_code: 指数代码\n"
                           "    :param date:  日期\n"
                           "    :return: 指数成股份的market_code list or None\n"
                           "    "};

PyMethodDef kWeights = {"index_weights", (PyCFunction)(void (*)(void))weights_entry, METH_FASTCALL | METH_KEYWORDS,
                        "index_weights(market_code, date=None)\n--\n\n"
                        "获取指数成股份权重\n\n"
                        "    :param market_code: 指数代码\n"
                        "    :param date:  日期\n"
                        "    :return: 指数成股份的market_code list or None\n"
                        "    "};

void publish(nb::module_ &m, PyMethodDef *def) {
    nb::object module_name = m.attr("__name__");
    nb::object fn = corvane::checked(PyCFunction_NewEx(def, nullptr, module_name.ptr()));
    nb::object exported = corvane::call(m.attr("export_as_api"), fn);
    m.attr(def->ml_name) = exported;
}

} // namespace

void add_api_functions(nb::module_ &m) {
    publish(m, &kComponents);
    publish(m, &kWeights);
}

} // namespace index_service
