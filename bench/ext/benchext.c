/* Helpers for the live benchmarks, built on demand into build/bench-ext (never part of the
 * modules' wheel).
 *
 * record_type(name, fields): a record class whose fields are getset descriptors over a fixed
 *     array of object slots, as a natively bound struct exposes its members.
 * pack(*args, **kwargs): the cheapest outside call that keeps what it was given: the args
 *     tuple, or (args, kwargs) when keywords were passed.
 * same(obj): obj itself (a copy function for values that are never changed).
 * replay(steps, n, keep): calls each (callable, args, kwnames) of `steps` in order, n times,
 *     from C with vectorcall, keeping every new result alive in the list `keep`; `args` holds the
 *     positional values followed by the keyword values. The floor of a callback's outside
 *     calls as native code pays for them, without an interpreter loop around them. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef struct {
    PyObject_HEAD PyObject *values[1];
} Record;

static Py_ssize_t record_size(PyObject *self) {
    return (Py_TYPE(self)->tp_basicsize - offsetof(Record, values)) / (Py_ssize_t)sizeof(PyObject *);
}

static PyObject *record_get(PyObject *self, void *closure) {
    PyObject *v = ((Record *)self)->values[(intptr_t)closure];
    if (v == NULL) {
        PyErr_SetString(PyExc_AttributeError, "field not set");
        return NULL;
    }
    return Py_NewRef(v);
}

static int record_set(PyObject *self, PyObject *value, void *closure) {
    PyObject **slot = &((Record *)self)->values[(intptr_t)closure];
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
}

static int record_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "record fields are keyword arguments");
        return -1;
    }
    if (kwargs == NULL)
        return 0;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (PyObject_SetAttr(self, key, value) < 0)
            return -1;
    }
    return 0;
}

static void record_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    Py_ssize_t n = record_size(self);
    for (Py_ssize_t i = 0; i < n; i++)
        Py_CLEAR(((Record *)self)->values[i]);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyObject *record_type(PyObject *module, PyObject *args) {
    const char *name;
    PyObject *fields;
    if (!PyArg_ParseTuple(args, "sO!", &name, &PyTuple_Type, &fields))
        return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(fields);
    /* The type description handed to PyType_FromSpec, its names and its getset table must outlive
       the type: kept for the process. */
    PyGetSetDef *getset = PyMem_RawCalloc((size_t)n + 1, sizeof(PyGetSetDef));
    char *qualname = PyMem_RawMalloc(strlen(name) + 11);
    if (getset == NULL || qualname == NULL)
        return PyErr_NoMemory();
    strcpy(qualname, "benchext.");
    strcat(qualname, name);
    for (Py_ssize_t i = 0; i < n; i++) {
        const char *field = PyUnicode_AsUTF8(PyTuple_GET_ITEM(fields, i));
        if (field == NULL)
            return NULL;
        char *copy = PyMem_RawMalloc(strlen(field) + 1);
        if (copy == NULL)
            return PyErr_NoMemory();
        strcpy(copy, field);
        getset[i].name = copy;
        getset[i].get = record_get;
        getset[i].set = record_set;
        getset[i].closure = (void *)(intptr_t)i;
    }
    PyType_Slot *slots = PyMem_RawCalloc(5, sizeof(PyType_Slot));
    PyType_Spec *spec = PyMem_RawCalloc(1, sizeof(PyType_Spec));
    if (slots == NULL || spec == NULL)
        return PyErr_NoMemory();
    slots[0] = (PyType_Slot){Py_tp_getset, getset};
    slots[1] = (PyType_Slot){Py_tp_init, (void *)record_init};
    slots[2] = (PyType_Slot){Py_tp_dealloc, (void *)record_dealloc};
    slots[3] = (PyType_Slot){Py_tp_new, (void *)PyType_GenericNew};
    spec->name = qualname;
    spec->basicsize = (int)(offsetof(Record, values) + (n > 0 ? n : 1) * sizeof(PyObject *));
    spec->itemsize = 0;
    spec->flags = Py_TPFLAGS_DEFAULT;
    spec->slots = slots;
    return PyType_FromSpec(spec);
}

static PyObject *pack(PyObject *module, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *positional = PyTuple_New(nargs);
    if (positional == NULL)
        return NULL;
    for (Py_ssize_t i = 0; i < nargs; i++)
        PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
    if (kwnames == NULL || PyTuple_GET_SIZE(kwnames) == 0)
        return positional;
    PyObject *kw = PyDict_New();
    if (kw == NULL)
        goto fail;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++) {
        if (PyDict_SetItem(kw, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
            Py_DECREF(kw);
            goto fail;
        }
    }
    PyObject *pair = PyTuple_Pack(2, positional, kw);
    Py_DECREF(positional);
    Py_DECREF(kw);
    return pair;
fail:
    Py_DECREF(positional);
    return NULL;
}

static PyObject *same(PyObject *module, PyObject *obj) { return Py_NewRef(obj); }

static PyObject *replay(PyObject *module, PyObject *args) {
    PyObject *steps, *keep;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "O!nO!", &PyTuple_Type, &steps, &n, &PyList_Type, &keep))
        return NULL;
    Py_ssize_t count = PyTuple_GET_SIZE(steps);
    for (Py_ssize_t s = 0; s < count; s++) {
        PyObject *step = PyTuple_GET_ITEM(steps, s);
        if (!PyTuple_Check(step) || PyTuple_GET_SIZE(step) != 3 || !PyTuple_Check(PyTuple_GET_ITEM(step, 1)) ||
            !(PyTuple_GET_ITEM(step, 2) == Py_None || PyTuple_Check(PyTuple_GET_ITEM(step, 2)))) {
            PyErr_SetString(PyExc_TypeError, "a step is (callable, args tuple, kwnames tuple or None)");
            return NULL;
        }
        PyObject *kwnames = PyTuple_GET_ITEM(step, 2);
        Py_ssize_t nkw = kwnames == Py_None ? 0 : PyTuple_GET_SIZE(kwnames);
        if (nkw > PyTuple_GET_SIZE(PyTuple_GET_ITEM(step, 1))) {
            PyErr_SetString(PyExc_ValueError, "more keyword names than values");
            return NULL;
        }
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        for (Py_ssize_t s = 0; s < count; s++) {
            PyObject *step = PyTuple_GET_ITEM(steps, s);
            PyObject *fn = PyTuple_GET_ITEM(step, 0);
            PyObject *values = PyTuple_GET_ITEM(step, 1);
            PyObject *kwnames = PyTuple_GET_ITEM(step, 2);
            Py_ssize_t nkw = kwnames == Py_None ? 0 : PyTuple_GET_SIZE(kwnames);
            PyObject *result =
                PyObject_Vectorcall(fn, &PyTuple_GET_ITEM(values, 0), (size_t)(PyTuple_GET_SIZE(values) - nkw),
                                    kwnames == Py_None ? NULL : kwnames);
            if (result == NULL)
                return NULL;
            /* A new object would die here while the callback keeps its like (in an event, a
             * history): kept alive, so the floor pays no deallocation the callback does not. */
            int failed = Py_REFCNT(result) == 1 ? PyList_Append(keep, result) : 0;
            Py_DECREF(result);
            if (failed < 0)
                return NULL;
        }
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"record_type", record_type, METH_VARARGS, "record_type(name, fields): a record class of getset fields"},
    {"pack", (PyCFunction)(void (*)(void))pack, METH_FASTCALL | METH_KEYWORDS,
     "pack(*args, **kwargs): args, or (args, kwargs)"},
    {"same", same, METH_O, "same(obj): obj"},
    {"replay", replay, METH_VARARGS, "replay(steps, n, keep): the steps' calls, n times, from C"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "benchext", NULL, -1, methods};

PyMODINIT_FUNC PyInit_benchext(void) { return PyModule_Create(&module_def); }
