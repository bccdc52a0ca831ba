// Per-call-site caches of class attribute reads (enum members such as EVENT.TICK) and class-method
// calls (Environment.get_instance(), L2Order.__from_create__(...)). A site remembers the result
// for one class, keyed on the version tags of the class and of its metaclass, and only when the
// lookup was the plain one: the metaclass uses type's own attribute lookup (a metaclass
// __getattr__ alone is fine, it runs only when that lookup fails), defines no data descriptor of
// that name, and the class attribute is a plain value (no __get__) or, for calls, a classmethod
// over a Python function. Anything else, and every failed lookup, takes the generic path.
#pragma once
#include "kwnames.h"
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

#include "calls.h"
#include "interned.h"
#include "type_version.h"

namespace corvane {
namespace nb = nanobind;

namespace detail {

// True when attribute lookup on instances of `meta` (classes) is type's own.
inline bool plain_class_lookup(PyTypeObject *meta) {
    if (meta->tp_getattro == PyType_Type.tp_getattro)
        return true;
    // A metaclass that defines __getattr__ gets the slot hook, which first runs __getattribute__:
    // plain when that is still type's own.
    static PyObject *const type_getattribute = type_lookup(&PyType_Type, CORVANE_NAME(__getattribute__));
    return type_getattribute && type_lookup(meta, CORVANE_NAME(__getattribute__)) == type_getattribute;
}

// The class's own attribute `name` when reading it from the class is the plain lookup, else null.
inline PyObject *plain_class_attribute(PyTypeObject *tp, PyObject *name) {
    PyTypeObject *meta = Py_TYPE(tp);
    if (!plain_class_lookup(meta))
        return nullptr;
    PyObject *meta_attr = type_lookup(meta, name);
    if (meta_attr && Py_TYPE(meta_attr)->tp_descr_set)
        return nullptr;
    return type_lookup(tp, name);
}

// The key a site's entry is valid for.
struct ClassKey {
    PyObject *cls = nullptr;
    unsigned int version = 0, meta_version = 0;

    bool matches(PyObject *c) const {
        return c == cls && version && type_version((PyTypeObject *) c) == version &&
               type_version(Py_TYPE(c)) == meta_version;
    }

    // Valid only when both tags exist (read after the lookups that assign them).
    bool set(PyObject *c) {
        version = type_version((PyTypeObject *) c);
        meta_version = type_version(Py_TYPE(c));
        cls = (version && meta_version) ? c : nullptr;
        return cls != nullptr;
    }
};

} // namespace detail

class ClassAttrSite {
public:
    // getattr(cls, name), a new reference.
    nb::object read(nb::handle cls, PyObject *name) {
        if (key_.matches(cls.ptr()))
            return nb::borrow(value_);
        nb::object v = checked(PyObject_GetAttr(cls.ptr(), name));
        learn(cls.ptr(), name, v.ptr());
        return v;
    }

private:
    void learn(PyObject *c, PyObject *name, PyObject *v) {
        key_ = detail::ClassKey();
        PyObject *old = value_;
        value_ = nullptr;
        if (PyType_Check(c)) {
            PyObject *attr = detail::plain_class_attribute((PyTypeObject *) c, name);
            if (attr == v && !Py_TYPE(attr)->tp_descr_get && key_.set(c))
                value_ = Py_NewRef(v);
        }
        Py_XDECREF(old);
    }

    detail::ClassKey key_;
    PyObject *value_ = nullptr;
};

// A callable and, for a cached class method, the class it is called with first.
class BoundCall {
public:
    BoundCall(nb::object func, nb::object self) : func_(std::move(func)), self_(std::move(self)) {}

    template <typename... Args> nb::object operator()(const Args &...args) const {
        PyObject *argv[] = {nullptr, self_.ptr(), raw(args)...};
        if (self_.is_valid())
            return checked(PyObject_Vectorcall(func_.ptr(), argv + 1,
                                               (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return checked(PyObject_Vectorcall(func_.ptr(), argv + 2, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
    }

    // Keyword values last, in the order of the kwnames tuple.
    template <std::size_t K, typename... Args>
    nb::object call_kw(const KwNames<K> &names, const Args &...args) const {
        static_assert(sizeof...(Args) >= K, "fewer values than keyword names");
        constexpr size_t positional = sizeof...(Args) - K;
        PyObject *kwnames = names.tuple();
        PyObject *argv[] = {nullptr, self_.ptr(), raw(args)...};
        if (self_.is_valid())
            return checked(PyObject_Vectorcall(func_.ptr(), argv + 1, (positional + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               kwnames));
        return checked(PyObject_Vectorcall(func_.ptr(), argv + 2, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

private:
    nb::object func_;
    nb::object self_; // the class, for a cached class method; empty otherwise
};

// cls.name for a class method, ready to call: the classmethod's function with the class put
// first, as the bound method that cls.name gives calls it; otherwise getattr(cls, name) itself.
// The lookup happens here, before the caller evaluates the arguments, as in Python.
class ClassMethodSite {
public:
    BoundCall lookup(nb::handle cls, PyObject *name) {
        PyObject *c = cls.ptr();
        if (!key_.matches(c))
            learn(c, name);
        if (key_.cls)
            return BoundCall(nb::borrow(func_), nb::borrow(c));
        return BoundCall(getattr(cls, name), nb::object());
    }

private:
    // Looks the name up without reading it through the class, so nothing runs twice; learns
    // nothing (generic call) unless it is a classmethod over a Python function.
    void learn(PyObject *c, PyObject *name) {
        key_ = detail::ClassKey();
        PyObject *old = func_;
        func_ = nullptr;
        if (PyType_Check(c)) {
            PyObject *attr = detail::plain_class_attribute((PyTypeObject *) c, name);
            if (attr && Py_TYPE(attr) == &PyClassMethod_Type) {
                PyObject *f = PyObject_GetAttr(attr, CORVANE_NAME(__func__));
                if (f && PyFunction_Check(f) && key_.set(c))
                    func_ = f;
                else if (f)
                    Py_DECREF(f);
                else
                    PyErr_Clear();
            }
        }
        Py_XDECREF(old);
    }

    detail::ClassKey key_;
    PyObject *func_ = nullptr;
};

// One site per attribute name, for code that reads names chosen at run time (the EVENT member
// of each event kind): open addressing on the interned name's address.
template <typename Site, size_t N = 64> class NamedSites {
    static_assert((N & (N - 1)) == 0, "N must be a power of two");

public:
    // The site of `name`, or null when the table is full (the caller then reads generically).
    Site *find(PyObject *name) {
        size_t i = (reinterpret_cast<uintptr_t>(name) >> 4) & (N - 1);
        for (size_t probes = 0; probes < N; ++probes, i = (i + 1) & (N - 1)) {
            if (names_[i] == name)
                return &sites_[i];
            if (!names_[i]) {
                names_[i] = Py_NewRef(name);
                return &sites_[i];
            }
        }
        return nullptr;
    }

private:
    PyObject *names_[N] = {};
    Site sites_[N];
};

// getattr(cls, name) for a name chosen at run time, each name with its own class-attribute cache.
template <size_t N> nb::object read_class_attr(NamedSites<ClassAttrSite, N> &sites, nb::handle cls, PyObject *name) {
    ClassAttrSite *site = sites.find(name);
    return site ? site->read(cls, name) : getattr(cls, name);
}

} // namespace corvane

// cls.<ident> (a class attribute such as an enum member) through a cache of its own.
#define CORVANE_CLASS_ATTR(cls, ident)                                               \
    ([](::nanobind::handle c_) -> ::nanobind::object {                               \
        static ::corvane::ClassAttrSite site_;                                       \
        return site_.read(c_, CORVANE_NAME(ident));                                  \
    }(cls))
