// Builds Python classes and module functions at import from native functions, so they behave
// exactly like ones written in Python: for classes isinstance, base-class construction, attribute
// assignment and the MRO; for functions the signature, keyword handling, defaults, documentation
// and the interpreter's own argument errors.
#pragma once
#include <nanobind/nanobind.h>

#include <string>

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

// Module functions whose calling conventions are those of a Python `def`. Each is a small Python
// function made at import with the given parameter list; it passes every parameter, by position
// and in order, to the native body, a nanobind function declared like any method of a class table.
// Python itself therefore binds the arguments (messages such as "f() missing 1 required positional
// argument: 'x'"), inspect.signature reads the real parameters and __doc__ is exactly the text
// given. The shell reads the body from a namespace of its own, never from the module's.
class FunctionBuilder {
public:
    explicit FunctionBuilder(nb::handle module) : module_(nb::borrow(module)) {}

    // `parameters` is the Python parameter list ("market_code, date=None"): plain names, each with
    // an optional default whose expression holds no comma, evaluated once here. `fn` takes the
    // parameters in that order; the nb::arg annotations name them for the body's own messages.
    template <typename Func, typename... Extra>
    nb::object function(const char *name, const char *parameters, const char *doc, Func &&fn, const Extra &...extra) {
        nb::object body = nb::cpp_function(std::forward<Func>(fn), nb::name(name), extra...);
        return shell(name, parameters, doc, body);
    }

private:
    nb::object shell(const char *name, const char *parameters, const char *doc, nb::handle body) {
        // The names alone, for the call of the body: each parameter up to its '='.
        std::string names;
        std::string params(parameters);
        for (size_t start = 0; start <= params.size();) {
            size_t end = params.find(',', start);
            if (end == std::string::npos)
                end = params.size();
            std::string item = params.substr(start, end - start);
            item = item.substr(0, item.find('='));
            const size_t first = item.find_first_not_of(" "), last = item.find_last_not_of(" ");
            if (first != std::string::npos) {
                if (!names.empty())
                    names += ", ";
                names += item.substr(first, last - first + 1);
            }
            start = end + 1;
        }
        // A fresh namespace per function: the module's name (the shell's __module__), the
        // builtins and the body, read by the shell as a global of that private namespace.
        const std::string source = std::string("def ") + name + "(" + params + "):\n    return __body(" + names + ")\n";
        nb::dict ns;
        ns["__name__"] = module_.attr("__name__");
        ns["__builtins__"] = import("builtins");
        ns["__body"] = body;
        const std::string filename = "<" + std::string(nb::str(module_.attr("__name__")).c_str()) + ">";
        nb::object code = checked(Py_CompileString(source.c_str(), filename.c_str(), Py_file_input));
        checked(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
        nb::object fn = ns[name];
        fn.attr("__doc__") = nb::str(doc);
        return fn;
    }

    nb::object module_;
};

} // namespace corvane
