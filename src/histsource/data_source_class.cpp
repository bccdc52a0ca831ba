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
        .method("get_instruments", &get_instruments, arg("id_or_syms").none() = nb::none(),
                arg("types").none() = nb::none())
        .method("is_st_stock", &is_st_stock, arg("market_code").none(), arg("dates").none())
        .method("is_suspended", &is_suspended, arg("market_code").none(), arg("dates").none())
        .method("_get_minute_bars_of_day", &get_minute_bars_of_day, arg("market_code").none(), arg("day").none(),
                arg("adjust_type").none(), arg("variety").none())
        .method("_prepare_for", &prepare_for, arg("instrument").none(), arg("dates").none(), arg("adjust_type").none())
        .method("get_dividend", &get_dividend, arg("instrument").none())
        .method("get_yield_curve", &get_yield_curve, arg("start_date").none(), arg("end_date").none(),
                arg("tenor").none() = nb::none())
        .method("_n_trading_days_before", &n_trading_days_before, arg("dt").none(), arg("count").none())
        // class-private: stored under its mangled name, as a Python class body would
        .method("_OstraDataDataSource__get_day_bars", &private_get_day_bars, arg("market_code").none(),
                arg("bar_count").none(), arg("dt").none(), arg("adjust_type").none(), arg("variety").none(),
                arg("skip_suspended").none())
        .method("_get_day_bars", &get_day_bars, arg("instrument").none(), arg("bar_count").none(), arg("dt").none(),
                arg("adjust_type").none(), arg("skip_suspended").none())
        .static_method("_ndarray_from_df", &ndarray_from_df, arg("df").none(), arg("fields").none())
        .method("_history_day_bars", &history_day_bars, arg("instrument").none(), arg("bar_count").none(),
                arg("fields").none(), arg("dt").none(), arg("skip_suspended").none(), arg("adjust_type").none())
        .method("history_bars", &history_bars, arg("instrument").none(), arg("bar_count").none(),
                arg("frequency").none(), arg("fields").none(), arg("dt").none(), arg("skip_suspended").none() = true,
                arg("include_now").none() = false, arg("adjust_type").none() = "pre",
                arg("adjust_orig").none() = nb::none())
        .method("get_trading_minutes_for", &get_trading_minutes_for, arg("instrument").none(), arg("trading_dt").none())
        .method("get_bar", &get_bar, arg("instrument").none(), arg("dt").none(), arg("frequency").none())
        .method("get_last_price", &get_last_price, arg("instrument").none(), arg("dt").none())
        .method("get_commission_info", &get_commission_info, arg("instrument").none())
        .decorated_method("_get_future_info", m.attr("lru_cache")(128), &get_future_info, arg("instrument").none(),
                          arg("hedge_type").none())
        .method("current_snapshot", &current_snapshot, arg("instrument").none(), arg("frequency").none(),
                arg("dt").none())
        .method("get_settle_price", &get_settle_price, arg("instrument").none(), arg("date").none())
        .method("get_split", &get_split, arg("instrument").none())
        .method("available_data_range", &available_data_range, arg("frequency").none())
        .method("get_share_transformation", &get_share_transformation, arg("market_code").none())
        .method("get_futures_trading_parameters", &get_futures_trading_parameters, arg("instrument").none(),
                arg("dt").none());
    m.attr("OstraDataDataSource") =
        cls.build(nb::make_tuple(m.attr("TradingDatesMixin"), m.attr("AbstractDataSource")));
}

} // namespace histsource
