// The outside names the data source binds at import, as module attributes.
#include "from_import.h"
#include "histsource.h"

#include <string>

namespace histsource {

void bind_imports(nb::module_ &m) {
    using corvane::from_import;
    m.attr("datetime") = corvane::import("datetime");
    m.attr("np") = corvane::import("numpy");
    m.attr("pd") = corvane::import("pandas");
    m.attr("ostradatac") = corvane::import("corvane.tessara.datac");
    from_import(m, "itertools", {"groupby"});
    from_import(m, "lru", {{"LRU", "lru_dict"}});
    from_import(m, "corvane.tessara.data.trading_dates_mixin", {"TradingDatesMixin"});
    from_import(m, "corvane.tessara.const", {"COMMISSION_TYPE", "TRADING_CALENDAR_TYPE"});
    from_import(m, "corvane.tessara.environment", {"Environment"});
    from_import(m, "corvane.tessara.core.events", {"EVENT"});
    from_import(m, "corvane.tessara.interface", {"AbstractDataSource"});
    from_import(m, "corvane.tessara.model.instrument", {"Instrument"});
    from_import(m, "corvane.tessara.utils.datetime_func",
                {"convert_dt_to_int", "convert_dt_to_date_str", "convert_int_to_datetime"});
    from_import(m, "corvane.tessara.utils.logger", {"system_log"});
    from_import(m, "corvane.tessara.utils.functools", {"lru_cache"});
    from_import(m, "corvane.tessara.data.base_data_source.data_source", {"BaseDataSource"});
    from_import(m, "corvane.tessara.data.base_data_source.storages", {"InstrumentStore", "FuturesTradingParameters"});
    from_import(m, "six", {"string_types"});
    // resample_helper is a sibling module of this one, in the same package.
    nb::object package = m.attr("__name__").attr("rpartition")(".")[0];
    const std::string helper = nb::borrow<nb::str>(package).c_str() + std::string(".resample_helper");
    from_import(m, helper.c_str(), {"resample_bars"});
}

} // namespace histsource
