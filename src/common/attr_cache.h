// Per-call-site caches of attribute reads, stores and method calls on instances. What each one
// keys on, what invalidates it, and how Python code that runs inside a lookup is handled are set
// out in docs/fast-paths.md; in short, a site's state is one value published whole after all of a
// learning step's lookups, and the hit path copies it before anything can run Python code.
#pragma once
#include <nanobind/nanobind.h>

#include <structmember.h>

#include "calls.h"
#include "descriptor_rule.h"
#include "dict_layout.h"
#include "fast_paths.h"
#include "type_version.h"

namespace corvane {
namespace nb = nanobind;

class AttrSite {
public:
    AttrSite() = default;
    AttrSite(const AttrSite &) = delete;
    AttrSite &operator=(const AttrSite &) = delete;

    // getattr(obj, name), a new reference; throws the pending error.
    nb::object read(nb::handle obj, PyObject *name) {
        PyObject *o = obj.ptr();
        PyTypeObject *tp = Py_TYPE(o);
        if (tp == state_.type) {
            // A copy: Python code run by the read below (a dict lookup, a getter) may relearn.
            const State s = state_;
            if (s.version && type_version(tp) == s.version && s.guard.holds()) {
                PyObject *v = fast(s, o, name);
                if (v)
                    return nb::steal(v);
            }
        }
        nb::object v = checked(PyObject_GetAttr(o, name));
        if (fast::on(fast::AttributeReads))
            learn(o, tp, name);
        return v;
    }

    enum class Kind : unsigned char { Generic, Dict, Inline, Slot, GetSet };

    struct State {
        PyTypeObject *type = nullptr;
        unsigned int version = 0;
        DescriptorGuard guard;
        Kind kind = Kind::Generic;
        Py_ssize_t hint = -1;
        Py_ssize_t offset = 0;
        getter get = nullptr;
        void *closure = nullptr;
    };

    // What the site learnt last (for readers that combine the sites of several fields).
    const State &state() const { return state_; }

private:
    // The cached way to the value, a new reference; null (no error set) to take the generic path.
    static PyObject *fast(const State &s, PyObject *o, PyObject *name) {
        switch (s.kind) {
        case Kind::Inline: {
            PyObject *v;
            if (layout::inline_value(o, s.hint, &v))
                return v ? Py_NewRef(v) : nullptr;
            // The attributes have moved to a dict of the instance's own (which exists now, so
            // asking for its address creates nothing).
            return dict_entry(o, name);
        }
        case Kind::Dict: {
            PyObject **dictptr = _PyObject_GetDictPtr(o);
            if (!dictptr || !*dictptr)
                return nullptr;
            // The entry at the position learnt, when it still holds this very key: records of
            // one class fill their dicts in one order, so this is one step of iteration.
            Py_ssize_t pos = s.hint;
            PyObject *key, *v;
            if (PyDict_Next(*dictptr, &pos, &key, &v) && key == name)
                return Py_NewRef(v);
            return dict_entry(o, name);
        }
        case Kind::Slot: {
            PyObject *v = *(PyObject **)((char *)o + s.offset);
            return v ? Py_NewRef(v) : nullptr;
        }
        case Kind::GetSet: {
            PyObject *v = s.get(o, s.closure);
            if (!v)
                throw nb::python_error();
            return v;
        }
        case Kind::Generic:
            return nullptr;
        }
        return nullptr;
    }

    // The instance dict's entry for `name` (new reference), or null for the generic path.
    static PyObject *dict_entry(PyObject *o, PyObject *name) {
        PyObject **dictptr = _PyObject_GetDictPtr(o);
        if (!dictptr || !*dictptr)
            return nullptr;
        // Held across the lookup, which may run a key's __eq__ that drops the instance's dict.
        nb::object dict = nb::borrow(*dictptr);
        PyObject *v = PyDict_GetItemWithError(dict.ptr(), name);
        if (!v) {
            // An error of the lookup is the generic read's error too.
            if (PyErr_Occurred())
                throw nb::python_error();
            return nullptr;
        }
        return Py_NewRef(v);
    }

    // After a successful generic read: how that read resolved, if it can be repeated directly.
    // Every lookup runs first (any of them may run Python code that re-enters this site); the
    // new state is built in a local and published in one assignment at the end.
    void learn(PyObject *o, PyTypeObject *tp, PyObject *name) {
        State s;
        if (tp->tp_getattro != PyObject_GenericGetAttr) {
            state_ = s;
            return;
        }
        nb::object type_ref = nb::borrow((PyObject *)tp);
        nb::object descr = nb::borrow(type_lookup(tp, name));
        const unsigned int version = type_version(tp);
        if (!version || !s.guard.set(descr.ptr())) {
            state_ = State();
            return;
        }
        PyObject *d = descr.ptr();
        if (d && Py_TYPE(d) == &PyMemberDescr_Type) {
            PyMemberDescrObject *m = (PyMemberDescrObject *)d;
            // Plain object slots only; audited reads keep the generic path and its audit event.
            if (m->d_member->type == T_OBJECT_EX && (m->d_member->flags & ~READONLY) == 0 &&
                PyType_IsSubtype(tp, PyDescr_TYPE(m))) {
                s.kind = Kind::Slot;
                s.offset = m->d_member->offset;
            }
        } else if (d && Py_TYPE(d) == &PyGetSetDescr_Type) {
            PyGetSetDescrObject *g = (PyGetSetDescrObject *)d;
            if (g->d_getset->get && PyType_IsSubtype(tp, PyDescr_TYPE(g))) {
                s.kind = Kind::GetSet;
                s.get = g->d_getset->get;
                s.closure = g->d_getset->closure;
            }
        } else if (!d || !Py_TYPE(d)->tp_descr_set) {
            // No data descriptor: the instance's own attributes come first, as generic lookup
            // has them. Asking an instance with inline values for its dict would create one.
            if (layout::has_inline_values(tp)) {
                const Py_ssize_t index = layout::shared_key_index(tp, name);
                if (index >= 0) {
                    s.kind = Kind::Inline;
                    s.hint = index;
                }
            } else if (!learn_dict_entry(o, name, s)) {
                return;
            }
        }
        s.type = tp;
        s.version = version;
        state_ = s;
    }

    // The Dict kind, when the instance's own dict holds the name. The lookup may run Python code;
    // false (the site left as that code left it, or generic) when the class changed meanwhile.
    bool learn_dict_entry(PyObject *o, PyObject *name, State &s) {
        PyObject **dictptr = _PyObject_GetDictPtr(o);
        if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr))
            return true;
        nb::object dict = nb::borrow(*dictptr);
        const unsigned int before = type_version(Py_TYPE(o));
        PyObject *v = PyDict_GetItemWithError(dict.ptr(), name);
        if (!v)
            PyErr_Clear();
        if (type_version(Py_TYPE(o)) != before || !s.guard.holds()) {
            state_ = State();
            return false;
        }
        if (v) {
            s.kind = Kind::Dict;
            s.hint = position_of(dict.ptr(), name);
        }
        return true;
    }

    // The iteration position just before the entry whose key is `name` itself, or -1 (a
    // position PyDict_Next refuses) when no key is that very object.
    static Py_ssize_t position_of(PyObject *dict, PyObject *name) {
        Py_ssize_t pos = 0, before = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (key == name)
                return before;
            before = pos;
        }
        return -1;
    }

    State state_;
};

// obj.name = value for a plain instance whose attributes are in its values array: while the type
// and its version tag are the ones learnt (generic __setattr__, no data descriptor of that name)
// and the attribute is already set, the value is replaced in its slot, as the interpreter's own
// specialised store does. Anything else (including a first store) is the generic setattr.
class AttrStoreSite {
public:
    void write(nb::handle obj, PyObject *name, nb::handle value) {
        PyObject *o = obj.ptr();
        PyTypeObject *tp = Py_TYPE(o);
        if (tp == state_.type && state_.version && type_version(tp) == state_.version && state_.guard.holds()) {
            PyObject **slot = layout::inline_slot(o, state_.index);
            if (slot && *slot) {
                PyObject *old = *slot;
                *slot = Py_NewRef(value.ptr());
                // Last: the old value's __del__ may run any code, this site included.
                Py_DECREF(old);
                return;
            }
        }
        if (PyObject_SetAttr(o, name, value.ptr()) != 0)
            throw nb::python_error();
        if (fast::on(fast::AttributeStores))
            learn(tp, name);
    }

private:
    struct State {
        PyTypeObject *type = nullptr;
        unsigned int version = 0;
        DescriptorGuard guard;
        Py_ssize_t index = 0;
    };

    void learn(PyTypeObject *tp, PyObject *name) {
        State s;
        if (tp->tp_setattro != PyObject_GenericSetAttr || !layout::has_inline_values(tp)) {
            state_ = s;
            return;
        }
        nb::object type_ref = nb::borrow((PyObject *)tp);
        nb::object descr = nb::borrow(type_lookup(tp, name));
        const unsigned int version = type_version(tp);
        const bool guarded = s.guard.set(descr.ptr());
        const Py_ssize_t index = layout::shared_key_index(tp, name);
        if (!guarded || (descr.is_valid() && Py_TYPE(descr.ptr())->tp_descr_set) || !version || index < 0 ||
            type_version(tp) != version) {
            state_ = State();
            return;
        }
        s.type = tp;
        s.version = version;
        s.index = index;
        state_ = s;
    }

    State state_;
};

// obj.name(*args) for a method the object's class defines: while the type and its version tag
// are the ones learnt and the instance dict holds no such name, the class's function (or the
// native method descriptor) is called with the object first, which is what the bound method
// would do; anything else takes the generic method call.
class MethodSite {
public:
    MethodSite() = default;
    MethodSite(const MethodSite &) = delete;
    MethodSite &operator=(const MethodSite &) = delete;

    template <typename... Args> nb::object call(nb::handle obj, PyObject *name, const Args &...args) {
        PyObject *o = obj.ptr();
        PyTypeObject *tp = Py_TYPE(o);
        if (!(tp == state_.type && state_.version && type_version(tp) == state_.version) && fast::on(fast::MethodCalls))
            learn(tp, name);
        // A copy checked again: releasing what learning replaced may have run code.
        const State s = state_;
        if (tp == s.type && s.func && type_version(tp) == s.version) {
            // A strong reference before the shadowing check, which may run Python code that
            // drops the function from the class (the interpreter, too, calls what it found).
            nb::object f = nb::borrow(s.func);
            if (!shadowed(s, o, name)) {
                PyObject *argv[] = {nullptr, o, raw(args)...};
                return checked(PyObject_Vectorcall(f.ptr(), argv + 1,
                                                   (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            }
        }
        PyObject *argv[] = {o, raw(args)...};
        return checked(
            PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    struct State {
        PyTypeObject *type = nullptr;
        unsigned int version = 0;
        PyObject *func = nullptr; // a strong reference owned by the site
        bool has_dict = false;
        // The name's position in the type's shared keys, -1 when absent from them, or kNoInlineValues.
        Py_ssize_t inline_index = -2;
        Py_ssize_t key_count = -1;
    };
    static constexpr Py_ssize_t kNoInlineValues = -2;

    // An instance attribute of the method's name would win over the class's function. An
    // instance whose attributes are still in its values array is looked at there: asking it for
    // its dict would create one.
    static bool shadowed(const State &s, PyObject *o, PyObject *name) {
        if (!s.has_dict)
            return false;
        if (s.inline_index != kNoInlineValues) {
            PyObject *v = nullptr;
            // Not among the keys any instance of the type has, while no key was added since.
            if (s.inline_index < 0 && layout::shared_key_count(Py_TYPE(o)) == s.key_count &&
                layout::inline_value(o, 0, &v))
                return false;
            if (s.inline_index >= 0 && layout::inline_value(o, s.inline_index, &v))
                return v != nullptr;
        }
        PyObject **dictptr = _PyObject_GetDictPtr(o);
        if (!dictptr || !*dictptr)
            return false;
        nb::object dict = nb::borrow(*dictptr);
        PyObject *v = PyDict_GetItemWithError(dict.ptr(), name);
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        return v != nullptr;
    }

    // Cached: a Python function or a native method descriptor of the class (both of immutable
    // types). The site owns a reference to it; the one it replaces is released after publishing.
    void learn(PyTypeObject *tp, PyObject *name) {
        State s;
        nb::object descr;
        if (tp->tp_getattro == PyObject_GenericGetAttr) {
            nb::object type_ref = nb::borrow((PyObject *)tp);
            descr = nb::borrow(type_lookup(tp, name));
            const unsigned int version = type_version(tp);
            PyObject *d = descr.ptr();
            const bool function = d && PyFunction_Check(d);
            const bool native = d && Py_TYPE(d) == &PyMethodDescr_Type && PyType_IsSubtype(tp, PyDescr_TYPE(d));
            if (version && (function || native)) {
                s.type = tp;
                s.version = version;
                s.func = d;
                s.has_dict = tp->tp_dictoffset != 0
#ifdef Py_TPFLAGS_MANAGED_DICT
                             || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)
#endif
                    ;
                s.inline_index = layout::has_inline_values(tp) ? layout::shared_key_index(tp, name) : kNoInlineValues;
                s.key_count = layout::shared_key_count(tp);
            }
        }
        PyObject *old = state_.func;
        if (s.func)
            s.func = descr.release().ptr();
        state_ = s;
        Py_XDECREF(old);
    }

    State state_;
};

} // namespace corvane

// obj.<ident> through a cache of its own for this place in the code.
#define CORVANE_ATTR(obj, ident)                                                                                       \
    ([](::nanobind::handle o_) -> ::nanobind::object {                                                                 \
        static ::corvane::AttrSite site_;                                                                              \
        return site_.read(o_, CORVANE_NAME(ident));                                                                    \
    }(obj))

// obj.<ident> = value through a store cache of its own.
#define CORVANE_SET_ATTR(obj, ident, value)                                                                            \
    ([](::nanobind::handle o_, ::nanobind::handle v_) {                                                                \
        static ::corvane::AttrStoreSite site_;                                                                         \
        site_.write(o_, CORVANE_NAME(ident), v_);                                                                      \
    }(obj, value))

// obj.<ident>(*args) through a method cache of its own.
#define CORVANE_CALL_METHOD(obj, ident, ...)                                                                           \
    ([](::nanobind::handle o_, const auto &...a_) -> ::nanobind::object {                                              \
        static ::corvane::MethodSite site_;                                                                            \
        return site_.call(o_, CORVANE_NAME(ident), a_...);                                                             \
    }(obj, ##__VA_ARGS__))
