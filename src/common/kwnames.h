// Keyword names for vectorcall whose count is part of the type, so every keyword call can check at
// compile time that it passes at least as many values as it names.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>

#include "interned.h"

namespace corvane {
namespace nb = nanobind;

// A tuple of N interned keyword names, made once and kept for the process.
template <std::size_t N> class KwNames {
    static_assert(N > 0, "a keyword call names at least one keyword");

public:
    explicit KwNames(const char *const (&names)[N]) {
        PyObject *t = PyTuple_New((Py_ssize_t)N);
        if (!t)
            throw nb::python_error();
        for (std::size_t i = 0; i < N; ++i)
            PyTuple_SET_ITEM(t, (Py_ssize_t)i, intern(names[i]));
        tuple_ = t;
    }
    static constexpr std::size_t size = N;
    PyObject *tuple() const { return tuple_; }

private:
    PyObject *tuple_ = nullptr;
};

} // namespace corvane

// The cached KwNames for the names given, e.g. CORVANE_KWNAMES("fields", "frequency").
#define CORVANE_KWNAMES(...)                                                                                           \
    ([]() -> const auto & {                                                                                            \
        static constexpr const char *names_[] = {__VA_ARGS__};                                                         \
        static const ::corvane::KwNames<sizeof(names_) / sizeof(names_[0])> t(names_);                                 \
        return t;                                                                                                      \
    }())
