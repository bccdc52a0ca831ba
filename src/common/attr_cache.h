// Per-call-site caches of attribute reads. Each site remembers, for the last type it met and
// that type's version tag, how `obj.name` resolved: an entry of the instance dict, a __slots__
// member, or a native getset descriptor. While the object's type and its version tag are the
// same, the read goes straight there (for plain instances whose attributes are still in the
// values array their type's shared keys index, straight to that array, as the interpreter's own
// specialised read does); anything else (another type, a modified type, a custom
// __getattribute__ or __getattr__, a property or other Python-level descriptor, a missing dict
// entry or empty slot) takes the generic PyObject_GetAttr, so every result and every error is
// the interpreter's own.
#pragma once
#include <nanobind/nanobind.h>

#include <structmember.h>

#include "calls.h"
#include "dict_layout.h"
#include "type_version.h"

namespace corvane {
namespace nb = nanobind;

class AttrSite {
public:
    // getattr(obj, name), a new reference; throws the pending error.
    nb::object read(nb::handle obj, PyObject *name) {
        PyObject *o = obj.ptr();
        PyTypeObject *tp = Py_TYPE(o);
        if (tp == type_ && version_ && type_version(tp) == version_) {
            PyObject *v = fast(o, name);
            if (v)
                return nb::steal(v);
        }
        nb::object v = checked(PyObject_GetAttr(o, name));
        learn(o, tp, name);
        return v;
    }

private:
    enum class Kind : unsigned char { Generic, Dict, Inline, Slot, GetSet };

    // The cached way to the value, a new reference; null (no error set) to take the generic path.
    PyObject *fast(PyObject *o, PyObject *name) const {
        switch (kind_) {
        case Kind::Inline: {
            PyObject *v;
            if (layout::inline_value(o, hint_, &v))
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
            Py_ssize_t pos = hint_;
            PyObject *key, *v;
            if (PyDict_Next(*dictptr, &pos, &key, &v) && key == name)
                return Py_NewRef(v);
            return dict_entry(o, name);
        }
        case Kind::Slot: {
            PyObject *v = *(PyObject **) ((char *) o + offset_);
            return v ? Py_NewRef(v) : nullptr;
        }
        case Kind::GetSet: {
            PyObject *v = getter_(o, closure_);
            if (!v)
                throw nb::python_error();
            return v;
        }
        case Kind::Generic: return nullptr;
        }
        return nullptr;
    }

    // The instance dict's entry for `name` (new reference), or null for the generic path.
    static PyObject *dict_entry(PyObject *o, PyObject *name) {
        PyObject **dictptr = _PyObject_GetDictPtr(o);
        if (!dictptr || !*dictptr)
            return nullptr;
        PyObject *v = PyDict_GetItemWithError(*dictptr, name);
        if (!v) {
            // An error of the lookup is the generic read's error too.
            if (PyErr_Occurred())
                throw nb::python_error();
            return nullptr;
        }
        return Py_NewRef(v);
    }

    // After a successful generic read: how that read resolved, if it can be repeated directly.
    void learn(PyObject *o, PyTypeObject *tp, PyObject *name) {
        type_ = nullptr;
        version_ = 0;
        kind_ = Kind::Generic;
        if (tp->tp_getattro != PyObject_GenericGetAttr)
            return;
        PyObject *descr = type_lookup(tp, name);
        const unsigned int version = type_version(tp);
        if (!version)
            return;
        if (descr && Py_TYPE(descr) == &PyMemberDescr_Type) {
            PyMemberDescrObject *m = (PyMemberDescrObject *) descr;
            // Plain object slots only; audited reads keep the generic path and its audit event.
            if (m->d_member->type == T_OBJECT_EX && (m->d_member->flags & ~READONLY) == 0 &&
                PyType_IsSubtype(tp, PyDescr_TYPE(m))) {
                kind_ = Kind::Slot;
                offset_ = m->d_member->offset;
            }
        } else if (descr && Py_TYPE(descr) == &PyGetSetDescr_Type) {
            PyGetSetDescrObject *g = (PyGetSetDescrObject *) descr;
            if (g->d_getset->get && PyType_IsSubtype(tp, PyDescr_TYPE(g))) {
                kind_ = Kind::GetSet;
                getter_ = g->d_getset->get;
                closure_ = g->d_getset->closure;
            }
        } else if (!descr || !Py_TYPE(descr)->tp_descr_set) {
            // No data descriptor: the instance's own attributes come first, as generic lookup
            // has them. Asking an instance with inline values for its dict would create one.
            if (layout::has_inline_values(tp)) {
                const Py_ssize_t index = layout::shared_key_index(tp, name);
                if (index >= 0) {
                    kind_ = Kind::Inline;
                    hint_ = index;
                }
                type_ = tp;
                version_ = version;
                return;
            }
            PyObject **dictptr = _PyObject_GetDictPtr(o);
            if (dictptr && *dictptr && PyDict_CheckExact(*dictptr)) {
                PyObject *v = PyDict_GetItemWithError(*dictptr, name);
                if (v) {
                    kind_ = Kind::Dict;
                    hint_ = position_of(*dictptr, name);
                } else {
                    PyErr_Clear();
                }
            }
        }
        type_ = tp;
        version_ = version;
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

    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    Kind kind_ = Kind::Generic;
    Py_ssize_t hint_ = -1;
    Py_ssize_t offset_ = 0;
    getter getter_ = nullptr;
    void *closure_ = nullptr;
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
        if (tp == type_ && version_ && type_version(tp) == version_) {
            PyObject **slot = layout::inline_slot(o, index_);
            if (slot && *slot) {
                PyObject *old = *slot;
                *slot = Py_NewRef(value.ptr());
                Py_DECREF(old);
                return;
            }
        }
        if (PyObject_SetAttr(o, name, value.ptr()) != 0)
            throw nb::python_error();
        learn(tp, name);
    }

private:
    void learn(PyTypeObject *tp, PyObject *name) {
        type_ = nullptr;
        version_ = 0;
        if (tp->tp_setattro != PyObject_GenericSetAttr || !layout::has_inline_values(tp))
            return;
        PyObject *descr = type_lookup(tp, name);
        const unsigned int version = type_version(tp);
        const Py_ssize_t index = layout::shared_key_index(tp, name);
        if ((descr && Py_TYPE(descr)->tp_descr_set) || !version || index < 0)
            return;
        type_ = tp;
        version_ = version;
        index_ = index;
    }

    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    Py_ssize_t index_ = 0;
};

// obj.name(*args) for a method the object's class defines: while the type and its version tag
// are the ones learnt and the instance dict holds no such name, the class's function (or the
// native method descriptor) is called with the object first, which is what the bound method
// would do; anything else takes the generic method call.
class MethodSite {
public:
    template <typename... Args> nb::object call(nb::handle obj, PyObject *name, const Args &...args) {
        PyObject *o = obj.ptr();
        PyTypeObject *tp = Py_TYPE(o);
        if (!(tp == type_ && version_ && type_version(tp) == version_))
            learn(tp, name);
        if (func_ && !shadowed(o, name)) {
            // Held for the call: the call may change the class and drop its function.
            nb::object f = nb::borrow(func_);
            PyObject *argv[] = {nullptr, o, raw(args)...};
            return checked(PyObject_Vectorcall(f.ptr(), argv + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               nullptr));
        }
        PyObject *argv[] = {o, raw(args)...};
        return checked(PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 nullptr));
    }

private:
    // An instance attribute of the method's name would win over the class's function. An
    // instance whose attributes are still in its values array is looked at there: asking it for
    // its dict would create one.
    bool shadowed(PyObject *o, PyObject *name) const {
        if (!has_dict_)
            return false;
        if (inline_index_ != kNoInlineValues) {
            PyObject *v = nullptr;
            // Not among the keys any instance of the type has, while no key was added since.
            if (inline_index_ < 0 && layout::shared_key_count(Py_TYPE(o)) == key_count_ &&
                layout::inline_value(o, 0, &v))
                return false;
            if (inline_index_ >= 0 && layout::inline_value(o, inline_index_, &v))
                return v != nullptr;
        }
        PyObject **dictptr = _PyObject_GetDictPtr(o);
        if (!dictptr || !*dictptr)
            return false;
        PyObject *v = PyDict_GetItemWithError(*dictptr, name);
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        return v != nullptr;
    }

    // The function is borrowed: the type's dict holds it while the version tag stays.
    void learn(PyTypeObject *tp, PyObject *name) {
        type_ = nullptr;
        version_ = 0;
        func_ = nullptr;
        if (tp->tp_getattro != PyObject_GenericGetAttr)
            return;
        PyObject *descr = type_lookup(tp, name);
        const unsigned int version = type_version(tp);
        if (!descr || !version)
            return;
        const bool function = PyFunction_Check(descr);
        const bool native = Py_TYPE(descr) == &PyMethodDescr_Type && PyType_IsSubtype(tp, PyDescr_TYPE(descr));
        if (!function && !native)
            return;
        type_ = tp;
        version_ = version;
        func_ = descr;
        has_dict_ = tp->tp_dictoffset != 0
#ifdef Py_TPFLAGS_MANAGED_DICT
                    || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)
#endif
            ;
        inline_index_ = layout::has_inline_values(tp) ? layout::shared_key_index(tp, name) : kNoInlineValues;
        key_count_ = layout::shared_key_count(tp);
    }

    static constexpr Py_ssize_t kNoInlineValues = -2;

    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    PyObject *func_ = nullptr;
    bool has_dict_ = false;
    // The name's position in the type's shared keys, -1 when absent from them, or kNoInlineValues.
    Py_ssize_t inline_index_ = kNoInlineValues;
    Py_ssize_t key_count_ = -1;
};

} // namespace corvane

// obj.<ident> through a cache of its own for this place in the code.
#define CORVANE_ATTR(obj, ident)                                                     \
    ([](::nanobind::handle o_) -> ::nanobind::object {                               \
        static ::corvane::AttrSite site_;                                            \
        return site_.read(o_, CORVANE_NAME(ident));                                  \
    }(obj))

// obj.<ident> = value through a store cache of its own.
#define CORVANE_SET_ATTR(obj, ident, value)                                          \
    ([](::nanobind::handle o_, ::nanobind::handle v_) {                              \
        static ::corvane::AttrStoreSite site_;                                       \
        site_.write(o_, CORVANE_NAME(ident), v_);                                    \
    }(obj, value))

// obj.<ident>(*args) through a method cache of its own.
#define CORVANE_CALL_METHOD(obj, ident, ...)                                         \
    ([](::nanobind::handle o_, const auto &...a_) -> ::nanobind::object {            \
        static ::corvane::MethodSite site_;                                          \
        return site_.call(o_, CORVANE_NAME(ident), a_...);                           \
    }(obj, ##__VA_ARGS__))
