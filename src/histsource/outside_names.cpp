// The outside names of the data source: what it binds at import, in this order, and the objects
// its native paths serve for only while the module still hands them out (checked through
// HS_PRISTINE and HS_IMPORT_TIME).
#include "histsource.h"

namespace histsource {
namespace {

// clang-format off
const corvane::OutsideName rows[] = {
    // name, from, attribute, pristine, used by
    {"datetime", "datetime", nullptr, "datetime.timedelta", ""},
    {"np", "numpy", nullptr, "np.hstack", ""},
    {"pd", "pandas", nullptr, "pd.Timestamp", ""},
    {"ostradatac", "corvane.tessara.datac", nullptr, "", ""},
    {"groupby", "itertools", "groupby", "groupby", ""},
    {"lru_dict", "lru", "LRU", "", ""},
    {"TradingDatesMixin", "corvane.tessara.data.trading_dates_mixin", "TradingDatesMixin",
     "TradingDatesMixin.get_trading_dates TradingDatesMixin.get_trading_calendar", ""},
    {"COMMISSION_TYPE", "corvane.tessara.const", "COMMISSION_TYPE", "", ""},
    {"TRADING_CALENDAR_TYPE", "corvane.tessara.const", "TRADING_CALENDAR_TYPE", "TRADING_CALENDAR_TYPE.EXCHANGE", ""},
    {"Environment", "corvane.tessara.environment", "Environment", "", ""},
    {"EVENT", "corvane.tessara.core.events", "EVENT", "", ""},
    {"AbstractDataSource", "corvane.tessara.interface", "AbstractDataSource", "", ""},
    {"Instrument", "corvane.tessara.model.instrument", "Instrument", "", ""},
    {"convert_dt_to_int", "corvane.tessara.utils.datetime_func", "convert_dt_to_int", "convert_dt_to_int", ""},
    {"convert_dt_to_date_str", "corvane.tessara.utils.datetime_func", "convert_dt_to_date_str", "", ""},
    {"convert_int_to_datetime", "corvane.tessara.utils.datetime_func", "convert_int_to_datetime", "convert_int_to_datetime", ""},
    {"system_log", "corvane.tessara.utils.logger", "system_log", "", ""},
    {"lru_cache", "corvane.tessara.utils.functools", "lru_cache", "", ""},
    {"BaseDataSource", "corvane.tessara.data.base_data_source.data_source", "BaseDataSource", "", ""},
    {"InstrumentStore", "corvane.tessara.data.base_data_source.storages", "InstrumentStore", "", ""},
    {"FuturesTradingParameters", "corvane.tessara.data.base_data_source.storages", "FuturesTradingParameters", "", ""},
    {"string_types", "six", "string_types", "", ""},
    {"resample_bars", ".resample_helper", "resample_bars", "", ""},
};
// clang-format on

} // namespace

corvane::OutsideNames outside_names(rows);

} // namespace histsource
