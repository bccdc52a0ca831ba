// Declarations shared by the live bridge's source files: the module namespace and the methods of
// VornStrategy, each defined in the file of its concern.
#pragma once
#include <nanobind/nanobind.h>

#include "calls.h"
#include "global_cache.h"
#include "interned.h"
#include "module_globals.h"
#include "outside_names.h"

namespace livefeed {
namespace nb = nanobind;

// The module's namespace; every outside name and every piece of module state is read from it.
extern corvane::ModuleGlobals globals;
// The outside names (outside_names.cpp), bound at import.
extern corvane::OutsideNames outside_names;

// The value the module binds under `ident` now (outside names and module state alike). The bridge
// turns `module_globals` on, so each place keeps the value until the namespace changes.
#define LF_GLOBAL(ident) CORVANE_GLOBAL(::livefeed::globals, ident)

// Module set-up, in import order.
void create_state(nb::module_ &m);
void add_history_accessors(nb::module_ &m);
void add_strategy_class(nb::module_ &m);

// The VornStrategy class object built at import, kept so its constructor can reach the next class
// in an instance's MRO exactly as super() does (bridge_setup.cpp).
void remember_bridge_class(nb::handle cls);

// The hand-off of every event to event_queue (event_queue.cpp): appends with the ring buffer's
// own overwrite rule, counting and reporting each overwrite of an undrained event. Takes the queue
// as the caller read it from the module namespace.
void append_event(nb::handle event_queue, nb::handle event);
// Module attributes `overwritten_events` and `overwrite_warning_interval`, made at import.
void create_queue_counters(nb::module_ &m);

// Construction and start-up (bridge_setup.cpp).
void strategy_init(nb::handle self, nb::handle config);
void initialize(nb::handle self, nb::handle config);
void on_initialize(nb::handle self);

// Market data (market_data.cpp, level2.cpp).
void on_snapshot(nb::handle self, nb::handle snapshot);
void on_tick_order(nb::handle self, nb::handle tick_order);
void on_tick_trade(nb::handle self, nb::handle tick_trade);
void on_bar(nb::handle self, nb::handle bar);

// Login and account queries (account_queries.cpp).
void on_login(nb::handle self, nb::handle login_res);
void on_query_asset(nb::handle self, nb::handle asset_res, nb::handle request_id, nb::handle code, nb::handle msg);
void on_query_position(nb::handle self, nb::handle query_position_res, nb::handle request_id, nb::handle code,
                       nb::handle msg);

// Order and trade reports (order_reports.cpp).
void on_order(nb::handle self, nb::handle order);
void on_trade(nb::handle self, nb::handle trade);
void on_order_action_error(nb::handle self, nb::handle order_action_error);

// Algorithmic orders (algo_orders.cpp).
void on_algo_login(nb::handle self, nb::handle algo_login_res);
void on_create_algo_parent_order_res(nb::handle self, nb::handle create_parent_order_res);
void on_cancel_algo_parent_order_res(nb::handle self, nb::handle cancel_parent_order_res);
void on_control_algo_parent_order_res(nb::handle self, nb::handle control_parent_order_res);
void on_algo_parent_order_update(nb::handle self, nb::handle parent_order);
void on_algo_child_order_update(nb::handle self, nb::handle child_order);
void on_algo_child_order_trade(nb::handle self, nb::handle child_trade);

// Trading-day clock (day_clock.cpp).
void on_switch_day(nb::handle self);
void create_time_listener(nb::handle self);
void send_day_event(nb::handle self, nb::handle event_type, nb::handle dt);
void send_before_trading_event(nb::handle self);
void send_after_trading_event(nb::handle self);
void send_open_auction_event(nb::handle self);
void set_timer(nb::handle self);
void set_next_day_timer(nb::handle self);
void send_next_day_event(nb::handle self);

} // namespace livefeed
