// One initialisation per process. The modules keep their namespace, their built classes and their
// caches in process-wide statics; running the set-up again (the module removed from sys.modules
// and imported anew) would rebind those statics under objects of the first module still in use
// (its class would queue into the second module's queue, and its super() would name a class the
// instance is not of). A second initialisation is therefore refused with an ImportError that says
// so; sub-interpreters are refused by the module definition itself (no multi-interpreter support
// declared), and the modules need the GIL (no free-threading support declared).
#pragma once
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>

namespace corvane {
namespace nb = nanobind;

class ProcessOnce {
public:
    // Throws (ImportError at import) when the module already completed an initialisation.
    void check(nb::handle module) const {
        if (!done_)
            return;
        nb::object name = nb::borrow(module).attr("__name__");
        throw std::runtime_error(std::string(nb::borrow<nb::str>(name).c_str()) +
                                 " is already initialised in this process and cannot be initialised again; "
                                 "keep using the first module object");
    }

    // After a complete initialisation; a failed one may be retried.
    void mark() { done_ = true; }

private:
    bool done_ = false;
};

// Runs `fn` when the module's namespace is torn down at interpreter exit (or earlier, should the
// module object and its namespace be freed): a private attribute whose capsule calls it.
inline void on_teardown(nb::module_ &m, void (*fn)()) {
    PyObject *cap = PyCapsule_New(reinterpret_cast<void *>(fn), "corvane.teardown", [](PyObject *c) {
        auto f = reinterpret_cast<void (*)()>(PyCapsule_GetPointer(c, "corvane.teardown"));
        if (f)
            f();
        else
            PyErr_Clear();
    });
    if (!cap)
        throw nb::python_error();
    m.attr("_teardown") = nb::steal(cap);
}

} // namespace corvane
