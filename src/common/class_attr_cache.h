// Per-call-site caches of class attribute reads (enum members such as EVENT.TICK) and class-method
// calls (Environment.get_instance(), L2Order.__from_create__(...)); their keys, what invalidates
// them and how re-entry is handled are set out in docs/fast-paths.md.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

#include "calls.h"
#include "descriptor_rule.h"
#include "fast_paths.h"
#include "interned.h"
#include "kwnames.h"
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

// The key a site's entry is valid for: the class, its tag, its metaclass's tag, and the guard on
// the cached attribute's type (see descriptor_rule.h).
struct ClassKey {
    PyObject *cls = nullptr;
    unsigned int version = 0, meta_version = 0;
    DescriptorGuard guard;

    // `c` is compared by address first; its fields are read only once it is known to be a type
    // (a freed class's address may since hold any object).
    bool matches(PyObject *c) const {
        return c == cls && version && PyType_Check(c) && type_version((PyTypeObject *)c) == version &&
               type_version(Py_TYPE(c)) == meta_version && guard.holds();
    }
};

// The key for reading `name` from class `c` when that read is the plain lookup and its result is
// `attr` (held by the caller), with no metaclass attribute of that name that could take part;
// an empty key otherwise. Runs the lookups (which may run Python code) before reading the tags.
inline ClassKey plain_class_key(PyObject *c, PyObject *name, nb::object &attr) {
    ClassKey key;
    if (!PyType_Check(c))
        return key;
    PyTypeObject *tp = (PyTypeObject *)c;
    PyTypeObject *meta = Py_TYPE(tp);
    if (!plain_class_lookup(meta))
        return key;
    // A metaclass attribute of the name would be a descriptor of some kind, or could become one:
    // such reads are left to the generic path.
    if (type_lookup(meta, name))
        return key;
    attr = nb::borrow(type_lookup(tp, name));
    if (!attr.is_valid() || !key.guard.set(attr.ptr()))
        return ClassKey();
    key.version = type_version(tp);
    key.meta_version = type_version(meta);
    if (key.version && key.meta_version && key.guard.holds())
        key.cls = c;
    return key;
}

} // namespace detail

class ClassAttrSite {
public:
    ClassAttrSite() = default;
    ClassAttrSite(const ClassAttrSite &) = delete;
    ClassAttrSite &operator=(const ClassAttrSite &) = delete;

    // getattr(cls, name), a new reference.
    nb::object read(nb::handle cls, PyObject *name) {
        if (key_.matches(cls.ptr()))
            return nb::borrow(value_);
        nb::object v = checked(PyObject_GetAttr(cls.ptr(), name));
        if (fast::on(fast::ClassAttributes))
            learn(cls.ptr(), name, v);
        return v;
    }

private:
    // Cached: a plain value of the class (no __get__), under a key whose guard notices its type
    // gaining one. The new key and value are published together; the value replaced is released
    // last, when its __del__ can only meet a consistent site.
    void learn(PyObject *c, PyObject *name, const nb::object &v) {
        nb::object attr;
        detail::ClassKey key = detail::plain_class_key(c, name, attr);
        if (!(key.cls && attr.ptr() == v.ptr() && !Py_TYPE(v.ptr())->tp_descr_get))
            key = detail::ClassKey();
        PyObject *old = value_;
        key_ = key;
        value_ = key.cls ? Py_NewRef(v.ptr()) : nullptr;
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
        return checked(
            PyObject_Vectorcall(func_.ptr(), argv + 2, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // Keyword values last, in the order of the kwnames tuple.
    template <std::size_t K, typename... Args> nb::object call_kw(const KwNames<K> &names, const Args &...args) const {
        static_assert(sizeof...(Args) >= K, "fewer values than keyword names");
        constexpr size_t positional = sizeof...(Args) - K;
        PyObject *kwnames = names.tuple();
        PyObject *argv[] = {nullptr, self_.ptr(), raw(args)...};
        if (self_.is_valid())
            return checked(
                PyObject_Vectorcall(func_.ptr(), argv + 1, (positional + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        return checked(
            PyObject_Vectorcall(func_.ptr(), argv + 2, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

private:
    nb::object func_;
    nb::object self_; // the class, for a cached class method; empty otherwise
};

// cls.name for a class method, ready to call: the classmethod's function with the class put
// first, as the bound method that cls.name gives calls it; for a static method its function
// itself, which is what cls.name gives; otherwise getattr(cls, name) itself. The lookup happens
// here, before the caller evaluates the arguments, as in Python.
class ClassMethodSite {
public:
    ClassMethodSite() = default;
    ClassMethodSite(const ClassMethodSite &) = delete;
    ClassMethodSite &operator=(const ClassMethodSite &) = delete;

    BoundCall lookup(nb::handle cls, PyObject *name) {
        PyObject *c = cls.ptr();
        // The function, the class and the kind are taken together, from one state of the site.
        if (key_.matches(c))
            return BoundCall(nb::borrow(func_), is_static_ ? nb::object() : nb::borrow(c));
        if (fast::on(fast::ClassMethods)) {
            bool is_static = false;
            nb::object func = learn(c, name, is_static);
            if (func.is_valid())
                return BoundCall(std::move(func), is_static ? nb::object() : nb::borrow(c));
        }
        return BoundCall(getattr(cls, name), nb::object());
    }

private:
    // Looks the name up without reading it through the class, so nothing runs twice; learns
    // nothing (generic call) unless it is a classmethod or a staticmethod (exact types, whose
    // __get__ is fixed) over a Python function. Returns the function for this call (held here,
    // whatever the release of the old one runs), or nothing; `is_static` tells which kind.
    nb::object learn(PyObject *c, PyObject *name, bool &is_static) {
        nb::object attr, func;
        detail::ClassKey key = detail::plain_class_key(c, name, attr);
        const bool method_kind =
            key.cls && (Py_TYPE(attr.ptr()) == &PyClassMethod_Type || Py_TYPE(attr.ptr()) == &PyStaticMethod_Type);
        is_static = method_kind && Py_TYPE(attr.ptr()) == &PyStaticMethod_Type;
        if (method_kind) {
            PyObject *f = PyObject_GetAttr(attr.ptr(), CORVANE_NAME(__func__));
            if (!f)
                PyErr_Clear();
            func = nb::steal(f);
            // The attribute read above is a Python call; the key must still hold after it.
            if (!(func.is_valid() && PyFunction_Check(func.ptr()) && key.matches(c)))
                func = nb::object();
        }
        if (!func.is_valid())
            key = detail::ClassKey();
        PyObject *old = func_;
        key_ = key;
        func_ = func.is_valid() ? Py_NewRef(func.ptr()) : nullptr;
        is_static_ = func.is_valid() && is_static;
        Py_XDECREF(old);
        return func;
    }

    detail::ClassKey key_;
    PyObject *func_ = nullptr;
    bool is_static_ = false; // func_ is called as it is, without the class
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
#define CORVANE_CLASS_ATTR(cls, ident)                                                                                 \
    ([](::nanobind::handle c_) -> ::nanobind::object {                                                                 \
        static ::corvane::ClassAttrSite site_;                                                                         \
        return site_.read(c_, CORVANE_NAME(ident));                                                                    \
    }(cls))
