// The outside names of the index service: what it binds at load, in this order. The data-client
// modules are found relative to the package this module belongs to.
#include "index_service.h"

namespace index_service {
namespace {

// clang-format off
const corvane::OutsideName rows[] = {
    // name, from, attribute, pristine, used by
    {"warnings", "warnings", nullptr, "", ""},
    {"datetime", "datetime", nullptr, "", ""},
    {"pd", "pandas", nullptr, "", ""},
    {"gid", "corvane", "gid", "", ""},
    {"ApiRspCode", "corvane.data.wkclient.commons", "ApiRspCode", "", ""},
    {"convert_dt_to_date_str", "corvane.tessara.utils.datetime_func", "convert_dt_to_date_str", "", ""},
    {"export_as_api", "..decorators", "export_as_api", "", ""},
    {"ostradatah_serialize", "..ostradatah_helper", "ostradatah_serialize", "", ""},
    {"list_to_csv", "..ostradatah_helper", "list_to_csv", "", ""},
    {"ensure_date_range", "..validators", "ensure_date_range", "", ""},
    {"ensure_date_or_today_int", "..validators", "ensure_date_or_today_int", "", ""},
    {"ensure_list_of_string", "..validators", "ensure_list_of_string", "", ""},
    {"check_items_in_container", "..validators", "check_items_in_container", "", ""},
    {"ensure_order", "..validators", "ensure_order", "", ""},
    {"raise_for_no_panel", "..validators", "raise_for_no_panel", "", ""},
    {"ensure_date_str", "..validators", "ensure_date_str", "", ""},
    {"ensure_date_int", "..validators", "ensure_date_int", "", ""},
    {"ensure_string", "..validators", "ensure_string", "", ""},
    {"get_trading_dates", "..services.calendar", "get_trading_dates", "", ""},
    {"get_previous_trading_date", "..services.calendar", "get_previous_trading_date", "", ""},
    {"get_trading_dates_in_type", "..services.calendar", "get_trading_dates_in_type", "", ""},
    {"is_panel_removed", "..utils", "is_panel_removed", "", ""},
    {"to_datetime", "..utils", "to_datetime", "", ""},
};
// clang-format on

} // namespace

corvane::OutsideNames outside_names(rows);

} // namespace index_service
