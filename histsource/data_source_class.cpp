// Builds OstraDataDataSource at import: a Python class over the framework's calendar mixin and
// data-source interface whose methods are native functions, in the order the source lays them out.
#include "class_builder.h"
#include "histsource.h"

namespace histsource {

void add_data_source_class(nb::module_ &m) {
    using nb::arg;
    nb::object module_name = m.attr("__name__");
    corvane::ClassBuilder cls(nb::borrow<nb::str>(module_name).c_str(), "OstraDataDataSource");
    cls.method("__init__", &data_source_init)
        .method("get_trading_calendars", &get_trading_calendars)
        .method("get_instruments", &get_instruments, arg("id_or_syms") = nb::none(), arg("types") = nb::none())
        .method("is_st_stock", &is_st_stock, arg("market_code"), arg("dates"))
        .method("is_suspended", &is_suspended, arg("market_code"), arg("dates"))
        .method("_get_minute_bars_of_day", &get_minute_bars_of_day, arg("market_code"), arg("day"),
                arg("adjust_type"), arg("variety"))
        .method("_prepare_for", &prepare_for, arg("instrument"), arg("dates"), arg("adjust_type"))
        .method("get_dividend", &get_dividend, arg("instrument"))
        .method("get_yield_curve", &get_yield_curve, arg("start_date"), arg("end_date"), arg("tenor") = nb::none())
        .method("_n_trading_days_before", &n_trading_days_before, arg("dt"), arg("count"))
        // class-private: stored under its mangled name, as a Python class body would
        .method("_OstraDataDataSource__get_day_bars", &private_get_day_bars, arg("market_code"), arg("bar_count"),
                arg("dt"), arg("adjust_type"), arg("variety"), arg("skip_suspended"))
        .method("_get_day_bars", &get_day_bars, arg("instrument"), arg("bar_count"), arg("dt"), arg("adjust_type"),
                arg("skip_suspended"))
        .static_method("_ndarray_from_df", &ndarray_from_df, arg("df"), arg("fields"))
        .method("_history_day_bars", &history_day_bars, arg("instrument"), arg("bar_count"), arg("fields"), arg("dt"),
                arg("skip_suspended"), arg("adjust_type"))
        .method("history_bars", &history_bars, arg("instrument"), arg("bar_count"), arg("frequency"), arg("fields"),
                arg("dt"), arg("skip_suspended") = true, arg("include_now") = false, arg("adjust_type") = "pre",
                arg("adjust_orig") = nb::none())
        .method("get_trading_minutes_for", &get_trading_minutes_for, arg("instrument"), arg("trading_dt"))
        .method("get_bar", &get_bar, arg("instrument"), arg("dt"), arg("frequency"))
        .method("get_last_price", &get_last_price, arg("instrument"), arg("dt"))
        .method("get_commission_info", &get_commission_info, arg("instrument"))
        .decorated_method("_get_future_info", m.attr("lru_cache")(128), &get_future_info, arg("instrument"),
                          arg("hedge_type"))
        .method("current_snapshot", &current_snapshot, arg("instrument"), arg("frequency"), arg("dt"))
        .method("get_settle_price", &get_settle_price, arg("instrument"), arg("date"))
        .method("get_split", &get_split, arg("instrument"))
        .method("available_data_range", &available_data_range, arg("frequency"))
        .method("get_share_transformation", &get_share_transformation, arg("market_code"))
        .method("get_futures_trading_parameters", &get_futures_trading_parameters, arg("instrument"), arg("dt"));
    m.attr("OstraDataDataSource") =
        cls.build(nb::make_tuple(m.attr("TradingDatesMixin"), m.attr("AbstractDataSource")));
}

} // namespace histsource
