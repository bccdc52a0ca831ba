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
        // Stands in for the class while it is being built, so each function reports the
        // __module__ and __qualname__ ("Class.method") a Python method would.
        scope_ = import("types").attr("SimpleNamespace")();
        scope_.attr("__module__") = module_name;
        scope_.attr("__qualname__") = qualname;
    }

    // A method: `fn` takes the instance first; the remaining nb::arg names follow it. The function
    // is wrapped as an instance method, so attribute access gives Python's own bound-method
    // objects (equal when they bind the same function to the same instance).
    template <typename Func, typename... Extra>
    ClassBuilder &method(const char *name, Func &&fn, const Extra &...extra) {
        nb::object f = nb::cpp_function(std::forward<Func>(fn), nb::name(name), nb::scope(scope_),
                                        nb::arg("self").none(), extra...);
        ns_[name] = checked(PyInstanceMethod_New(f.ptr()));
        return *this;
    }

    // A static method (no instance argument).
    template <typename Func, typename... Extra>
    ClassBuilder &static_method(const char *name, Func &&fn, const Extra &...extra) {
        nb::object f = nb::cpp_function(std::forward<Func>(fn), nb::name(name), nb::scope(scope_), extra...);
        ns_[name] = checked(PyStaticMethod_New(f.ptr()));
        return *this;
    }

    // A method passed through a decorator first (e.g. a memoising one), bound under `name`.
    template <typename Func, typename... Extra>
    ClassBuilder &decorated_method(const char *name, nb::handle decorator, Func &&fn, const Extra &...extra) {
        nb::object f = nb::cpp_function(std::forward<Func>(fn), nb::name(name), nb::scope(scope_),
                                        nb::arg("self").none(), extra...);
        ns_[name] = decorator(f);
        return *this;
    }

    ClassBuilder &attribute(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }

    // type(qualname, bases, namespace)
    nb::object build(nb::handle bases_tuple) {
        nb::handle type_type((PyObject *)&PyType_Type);
        return type_type(nb::str(name_), bases_tuple, ns_);
    }

private:
    nb::dict ns_;
    nb::object scope_;
    const char *name_;
};

} // namespace corvane
