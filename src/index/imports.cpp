// The names the index service binds at load. The data-client modules are found relative to the
// data-client package this module belongs to.
#include <string>
#include <vector>

#include "index_service.h"

namespace index_service {
namespace {

struct FromImport {
    const char *module; // relative to the data-client package when it starts with '.'
    std::vector<const char *> names;
};

// `from <module> import <names>`: the import system loads the listed submodules of a package
// as the statement would, then each name is read from the module.
void from_import(nb::module_ &m, const std::string &module, const std::vector<const char *> &names) {
    nb::list fromlist;
    for (const char *n : names)
        fromlist.append(nb::str(n));
    nb::object name = nb::str(module.c_str());
    nb::object loaded = corvane::checked(PyImport_ImportModuleLevelObject(
        name.ptr(), ::index_service::globals.dict(), nullptr, fromlist.ptr(), 0));
    for (const char *n : names)
        m.attr(n) = corvane::getattr(loaded, corvane::intern(n));
}

// corvane.tessara.datac for corvane.tessara.datac.services.index
std::string data_client_package(nb::module_ &m) {
    std::string name = nb::borrow<nb::str>(m.attr("__name__")).c_str();
    for (int up = 0; up < 2; ++up) {
        size_t dot = name.rfind('.');
        if (dot == std::string::npos) {
            PyErr_Format(PyExc_ImportError, "the index service must load inside the data-client package, not as %s",
                         name.c_str());
            throw nb::python_error();
        }
        name.resize(dot);
    }
    return name;
}

} // namespace

void bind_imports(nb::module_ &m) {
    m.attr("warnings") = corvane::import("warnings");
    m.attr("datetime") = corvane::import("datetime");
    m.attr("pd") = corvane::import("pandas");
    from_import(m, "corvane", {"gid"});
    from_import(m, "corvane.data.wkclient.commons", {"ApiRspCode"});
    from_import(m, "corvane.tessara.utils.datetime_func", {"convert_dt_to_date_str"});

    const std::string package = data_client_package(m);
    const FromImport relative[] = {
        {".decorators", {"export_as_api"}},
        {".ostradatah_helper", {"ostradatah_serialize", "list_to_csv"}},
        {".validators",
         {"ensure_date_range", "ensure_date_or_today_int", "ensure_list_of_string", "check_items_in_container",
          "ensure_order", "raise_for_no_panel", "ensure_date_str", "ensure_date_int", "ensure_string"}},
        {".services.calendar", {"get_trading_dates", "get_previous_trading_date", "get_trading_dates_in_type"}},
        {".utils", {"is_panel_removed", "to_datetime"}},
    };
    for (const FromImport &spec : relative)
        from_import(m, package + spec.module, spec.names);
}

} // namespace index_service
