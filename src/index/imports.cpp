// The names the index service binds at load. The data-client modules are found relative to the
// data-client package this module belongs to.
#include <string>

#include "from_import.h"
#include "index_service.h"

namespace index_service {
namespace {

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
    using corvane::from_import;
    from_import(m, "corvane", {"gid"});
    from_import(m, "corvane.data.wkclient.commons", {"ApiRspCode"});
    from_import(m, "corvane.tessara.utils.datetime_func", {"convert_dt_to_date_str"});

    // The data-client modules, relative to the package this module belongs to.
    const std::string package = data_client_package(m);
    from_import(m, (package + ".decorators").c_str(), {"export_as_api"});
    from_import(m, (package + ".ostradatah_helper").c_str(), {"ostradatah_serialize", "list_to_csv"});
    from_import(m, (package + ".validators").c_str(),
                {"ensure_date_range", "ensure_date_or_today_int", "ensure_list_of_string", "check_items_in_container",
                 "ensure_order", "raise_for_no_panel", "ensure_date_str", "ensure_date_int", "ensure_string"});
    from_import(m, (package + ".services.calendar").c_str(),
                {"get_trading_dates", "get_previous_trading_date", "get_trading_dates_in_type"});
    from_import(m, (package + ".utils").c_str(), {"is_panel_removed", "to_datetime"});
}

} // namespace index_service
