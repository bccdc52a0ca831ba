// Builds a Python class at import from native functions, so instances behave exactly like those of
// a class written in Python (isinstance, base-class construction, attribute assignment, MRO).
#pragma once
#include <nanobind/nanobind.h>

#include "calls.h"

namespace corvane {
namespace nb = nanobind;

class ClassBuilder {
public:
    ClassBuilder(const char *module_name, const char *qualname) {
        ns_["__module__"] = module_name;
        ns_["__qualname__"] = qualname;
        name_ = qualname;
    }

    // A method: `fn` takes the instance first; the remaining nb::arg names follow it.
    template <typename Func, typename... Extra> ClassBuilder &method(const char *name, Func &&fn, const Extra &...extra) {
        ns_[name] = nb::cpp_function(std::forward<Func>(fn), nb::name(name), nb::is_method(), extra...);
        return *this;
    }

    // A static method (no instance argument).
    template <typename Func, typename... Extra>
    ClassBuilder &static_method(const char *name, Func &&fn, const Extra &...extra) {
        nb::object f = nb::cpp_function(std::forward<Func>(fn), nb::name(name), extra...);
        ns_[name] = checked(PyStaticMethod_New(f.ptr()));
        return *this;
    }

    // A method passed through a decorator first (e.g. a memoising one), bound under `name`.
    template <typename Func, typename... Extra>
    ClassBuilder &decorated_method(const char *name, nb::handle decorator, Func &&fn, const Extra &...extra) {
        nb::object f = nb::cpp_function(std::forward<Func>(fn), nb::name(name), nb::is_method(), extra...);
        ns_[name] = decorator(f);
        return *this;
    }

    ClassBuilder &attribute(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }

    // type(qualname, bases, namespace)
    nb::object build(nb::handle bases_tuple) {
        nb::handle type_type((PyObject *) &PyType_Type);
        return type_type(nb::str(name_), bases_tuple, ns_);
    }

private:
    nb::dict ns_;
    const char *name_;
};

} // namespace corvane
