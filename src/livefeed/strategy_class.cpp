// Builds VornStrategy at import: a Python subclass of the terminal's strategy class whose methods
// are native functions, defined in the order the bridge lays them out.
#include "class_builder.h"
#include "livefeed.h"

namespace livefeed {

void add_strategy_class(nb::module_ &m) {
    // Every parameter takes any object, None included, as a Python method does.
    auto arg = [](const char *name) { return nb::arg(name).none(); };
    nb::object module_name = m.attr("__name__");
    corvane::ClassBuilder cls(nb::borrow<nb::str>(module_name).c_str(), "VornStrategy");
    cls.method("__init__", &strategy_init, arg("config").none())
        .method("initialize", &initialize, arg("config").none())
        .method("on_initialize", &on_initialize)
        .method("on_switch_day", &on_switch_day)
        .method("on_snapshot", &on_snapshot, arg("snapshot").none())
        .method("on_tick_order", &on_tick_order, arg("tick_order").none())
        .method("on_tick_trade", &on_tick_trade, arg("tick_trade").none())
        .method("on_bar", &on_bar, arg("bar").none())
        .method("on_login", &on_login, arg("login_res").none())
        .method("on_query_asset", &on_query_asset, arg("asset_res").none(), arg("request_id").none(),
                arg("code").none(), arg("msg").none())
        .method("on_query_position", &on_query_position, arg("query_position_res").none(), arg("request_id").none(),
                arg("code").none(), arg("msg").none())
        .method("on_order", &on_order, arg("order").none())
        .method("on_trade", &on_trade, arg("trade").none())
        .method("on_order_action_error", &on_order_action_error, arg("order_action_error").none())
        .method("on_algo_login", &on_algo_login, arg("algo_login_res").none())
        .method("on_create_algo_parent_order_res", &on_create_algo_parent_order_res,
                arg("create_parent_order_res").none())
        .method("on_cancel_algo_parent_order_res", &on_cancel_algo_parent_order_res,
                arg("cancel_parent_order_res").none())
        .method("on_control_algo_parent_order_res", &on_control_algo_parent_order_res,
                arg("control_parent_order_res").none())
        .method("on_algo_parent_order_update", &on_algo_parent_order_update, arg("parent_order").none())
        .method("on_algo_child_order_update", &on_algo_child_order_update, arg("child_order").none())
        .method("on_algo_child_order_trade", &on_algo_child_order_trade, arg("child_trade").none())
        .method("create_time_listener", &create_time_listener)
        .method("send_day_event", &send_day_event, arg("event_type").none(), arg("dt").none())
        .method("send_before_trading_event", &send_before_trading_event)
        .method("send_after_trading_event", &send_after_trading_event)
        .method("send_open_auction_event", &send_open_auction_event)
        .method("set_timer", &set_timer)
        .method("set_next_day_timer", &set_next_day_timer)
        .method("send_next_day_event", &send_next_day_event);
    nb::object base = m.attr("strategy").attr("VornStrategy");
    nb::object built = cls.build(nb::make_tuple(base));
    remember_bridge_class(built);
    m.attr("VornStrategy") = built;
}

} // namespace livefeed
