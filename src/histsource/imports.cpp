// The outside names the data source binds at import, as module attributes.
#include "histsource.h"

#include <string>

namespace histsource {
namespace {

struct FromImport {
    const char *module;
    const char *names[4];
    const char *bound_as[4]; // nullptr: bound under its own name
};

const FromImport kFromImports[] = {
    {"itertools", {"groupby"}, {}},
    {"lru", {"LRU"}, {"lru_dict"}},
    {"corvane.tessara.data.trading_dates_mixin", {"TradingDatesMixin"}, {}},
    {"corvane.tessara.const", {"COMMISSION_TYPE", "TRADING_CALENDAR_TYPE"}, {}},
    {"corvane.tessara.environment", {"Environment"}, {}},
    {"corvane.tessara.core.events", {"EVENT"}, {}},
    {"corvane.tessara.interface", {"AbstractDataSource"}, {}},
    {"corvane.tessara.model.instrument", {"Instrument"}, {}},
    {"corvane.tessara.utils.datetime_func", {"convert_dt_to_int", "convert_dt_to_date_str", "convert_int_to_datetime"}, {}},
    {"corvane.tessara.utils.logger", {"system_log"}, {}},
    {"corvane.tessara.utils.functools", {"lru_cache"}, {}},
    {"corvane.tessara.data.base_data_source.data_source", {"BaseDataSource"}, {}},
    {"corvane.tessara.data.base_data_source.storages", {"InstrumentStore", "FuturesTradingParameters"}, {}},
    {"six", {"string_types"}, {}},
};

void from_import(nb::module_ &m, const FromImport &spec) {
    nb::object mod = corvane::import(spec.module);
    for (int i = 0; i < 4 && spec.names[i]; ++i) {
        const char *as = spec.bound_as[i] ? spec.bound_as[i] : spec.names[i];
        m.attr(as) = corvane::getattr(mod, corvane::intern(spec.names[i]));
    }
}

} // namespace

void bind_imports(nb::module_ &m) {
    m.attr("datetime") = corvane::import("datetime");
    m.attr("np") = corvane::import("numpy");
    m.attr("pd") = corvane::import("pandas");
    m.attr("ostradatac") = corvane::import("corvane.tessara.datac");
    for (const FromImport &spec : kFromImports)
        from_import(m, spec);
    // resample_helper is a sibling module of this one, in the same package.
    nb::object package = m.attr("__name__").attr("rpartition")(".")[0];
    nb::object helper = corvane::import((nb::borrow<nb::str>(package).c_str() + std::string(".resample_helper")).c_str());
    m.attr("resample_bars") = helper.attr("resample_bars");
}

} // namespace histsource
