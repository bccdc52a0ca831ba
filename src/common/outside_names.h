// The outside names of a module, as one table: each row says what the module binds at import,
// where it comes from, which of its objects a native path keys on (the path serves only while the
// module still hands out the object it had at import) and, for the live bridge, which callbacks
// read it. The module binds its names from the table, remembers the import-time objects here and
// publishes the table as the read-only attribute `_outside_names`, which the deployment check,
// the benchmarks and the tests read instead of lists of their own.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "calls.h"
#include "from_import.h"
#include "interned.h"
#include "module_globals.h"

namespace corvane {
namespace nb = nanobind;

struct OutsideName {
    // The module attribute.
    const char *name;
    // The module it comes from; leading dots make it relative to this module's package, as in
    // `from ..decorators import export_as_api`.
    const char *from;
    // The attribute of `from` bound under `name` (`from <from> import <attr> as <name>`);
    // nullptr: the module `from` itself (`import <from> as <name>`); "*": one of the names that
    // `from <from> import *` binds, which the module's code reads.
    const char *attr;
    // Space-separated expressions ("np.hstack", "groupby") whose import-time objects a native path
    // keys on; "" when none does.
    const char *pristine;
    // Space-separated names of the callbacks that read it (the live bridge); "" elsewhere.
    const char *used_by;
};

// What a native path keys on: an expression's object as read at import, and the check that the
// module namespace still gives it.
class ImportTime {
public:
    ImportTime(std::string expr, std::vector<PyObject *> path, PyObject *object)
        : expr_(std::move(expr)), path_(std::move(path)), object_(object) {}

    const std::string &expr() const { return expr_; }

    // The object at import (borrowed; kept for the process).
    PyObject *object() const { return object_; }

    // The expression read now, through the module namespace, is still that object. Reading the
    // name raises NameError when the name has been deleted, as the code using it would; an
    // attribute that cannot be read now only means "no longer", and the caller's generic path
    // meets the error itself.
    bool still(const ModuleGlobals &globals) const {
        nb::object v = globals.get(path_[0]);
        for (size_t i = 1; i < path_.size(); ++i) {
            PyObject *next = PyObject_GetAttr(v.ptr(), path_[i]);
            if (!next) {
                PyErr_Clear();
                return false;
            }
            v = nb::steal(next);
        }
        return v.ptr() == object_;
    }

private:
    std::string expr_;
    std::vector<PyObject *> path_; // interned name, then attributes
    PyObject *object_;
};

class OutsideNames {
public:
    template <size_t N> explicit OutsideNames(const OutsideName (&rows)[N]) : rows_(rows), count_(N) {}

    // Binds every row as a module attribute, in table order (rows of one module next to each
    // other are one `from ... import a, b` statement), remembers the import-time objects of the
    // pristine expressions and publishes `_outside_names`.
    void bind(nb::module_ &m) {
        const std::string package = package_of(m);
        std::vector<std::string> starred;
        for (size_t i = 0; i < count_;) {
            const OutsideName &row = rows_[i];
            const std::string from = resolve(row.from, package);
            if (!row.attr) {
                setattr(m, intern(row.name), import(from.c_str()));
                ++i;
            } else if (std::strcmp(row.attr, "*") == 0) {
                bool done = false;
                for (const std::string &s : starred)
                    done = done || s == from;
                if (!done) {
                    star_import(m, from.c_str());
                    starred.push_back(from);
                }
                ++i;
            } else {
                std::vector<ImportName> names;
                size_t j = i;
                for (; j < count_ && rows_[j].attr && std::strcmp(rows_[j].attr, "*") != 0 &&
                       std::strcmp(rows_[j].from, row.from) == 0;
                     ++j)
                    names.emplace_back(rows_[j].attr, rows_[j].name);
                std::vector<nb::object> values(names.size());
                import_names(from.c_str(), names, values.data());
                for (size_t k = 0; k < names.size(); ++k)
                    setattr(m, intern(names[k].as), values[k]);
                i = j;
            }
        }
        remember(m);
        setattr(m, intern("_outside_names"), as_tuple());
    }

    // The remembered import-time object of `expr`, one of the table's pristine expressions; a
    // SystemError for any other text (a call site and the table disagree).
    const ImportTime &import_time(const char *expr) const {
        for (const ImportTime &t : kept_)
            if (t.expr() == expr)
                return t;
        PyErr_Format(PyExc_SystemError, "'%s' is no pristine expression of the outside names", expr);
        throw nb::python_error();
    }

private:
    static std::vector<std::string> words(const char *text) {
        std::vector<std::string> out;
        std::string w;
        for (const char *p = text;; ++p) {
            if (*p == ' ' || *p == '\0') {
                if (!w.empty())
                    out.push_back(w);
                w.clear();
                if (!*p)
                    return out;
            } else {
                w += *p;
            }
        }
    }

    // The package a relative `from` starts at: the module's name without its last part.
    static std::string package_of(nb::module_ &m) {
        nb::object name = getattr(m, intern("__name__"));
        const char *text = PyUnicode_Check(name.ptr()) ? PyUnicode_AsUTF8(name.ptr()) : nullptr;
        if (!text)
            throw nb::python_error();
        const std::string full = text;
        const size_t dot = full.rfind('.');
        return dot == std::string::npos ? std::string() : full.substr(0, dot);
    }

    // `from` made absolute: each leading dot past the first goes up one package.
    static std::string resolve(const char *from, const std::string &package) {
        size_t level = 0;
        while (from[level] == '.')
            ++level;
        if (!level)
            return from;
        std::string base = package;
        for (size_t up = 1; up < level && !base.empty(); ++up) {
            const size_t dot = base.rfind('.');
            base = dot == std::string::npos ? std::string() : base.substr(0, dot);
        }
        if (base.empty()) {
            PyErr_SetString(PyExc_ImportError, "attempted relative import beyond top-level package");
            throw nb::python_error();
        }
        return from[level] ? base + "." + (from + level) : base;
    }

    // from <module> import *: the names of __all__ when the module declares it, else every name
    // that does not begin with an underscore.
    static void star_import(nb::module_ &m, const char *module) {
        nb::object mod = import(module);
        nb::object names = getattr_or_absent(mod, intern("__all__"));
        if (!names.is_valid()) {
            names = nb::list();
            for (nb::handle key : nb::borrow<nb::dict>(getattr(mod, intern("__dict__"))).keys()) {
                PyObject *k = key.ptr();
                if (PyUnicode_Check(k) && PyUnicode_GET_LENGTH(k) > 0 && PyUnicode_READ_CHAR(k, 0) != '_')
                    nb::borrow<nb::list>(names).append(key);
            }
        }
        for (nb::handle name : names)
            m.attr(name) = mod.attr(name);
    }

    // Reads each pristine expression through the freshly bound module; kept for the process.
    void remember(nb::module_ &m) {
        for (size_t i = 0; i < count_; ++i) {
            for (const std::string &expr : words(rows_[i].pristine)) {
                std::vector<std::string> parts;
                std::string part;
                for (char c : expr + ".") {
                    if (c == '.') {
                        parts.push_back(part);
                        part.clear();
                    } else {
                        part += c;
                    }
                }
                if (parts[0] != rows_[i].name) {
                    PyErr_Format(PyExc_SystemError, "pristine expression '%s' does not start with its name '%s'",
                                 expr.c_str(), rows_[i].name);
                    throw nb::python_error();
                }
                std::vector<PyObject *> path;
                nb::object v = m;
                for (const std::string &p : parts) {
                    path.push_back(intern(p.c_str()));
                    v = getattr(v, path.back());
                }
                kept_.emplace_back(expr, std::move(path), v.release().ptr());
            }
        }
    }

    static nb::tuple strings(const char *text) {
        nb::list out;
        for (const std::string &w : words(text))
            out.append(nb::str(w.c_str()));
        return nb::tuple(out);
    }

    // ((name, from, attr or None, pristine expressions, callbacks), ...)
    nb::tuple as_tuple() const {
        nb::list rows;
        for (size_t i = 0; i < count_; ++i) {
            const OutsideName &r = rows_[i];
            nb::object attr = r.attr ? nb::object(nb::str(r.attr)) : nb::none();
            rows.append(
                nb::make_tuple(nb::str(r.name), nb::str(r.from), attr, strings(r.pristine), strings(r.used_by)));
        }
        return nb::tuple(rows);
    }

    const OutsideName *rows_;
    size_t count_;
    std::vector<ImportTime> kept_; // filled once at import, never changed after
};

} // namespace corvane

// The import-time object of one of the pristine expressions of the outside names `table`
// (outside_names.h), found once for this place in the code.
#define CORVANE_IMPORT_TIME(table, expr)                                                                               \
    ([]() -> const ::corvane::ImportTime & {                                                                           \
        static const ::corvane::ImportTime &t_ = (table).import_time(expr);                                            \
        return t_;                                                                                                     \
    }())
