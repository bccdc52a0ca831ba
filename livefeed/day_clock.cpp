// The trading-day clock: terminal timers that queue the day events, and the day switch.
#include "livefeed.h"

namespace livefeed {

void on_switch_day(nb::handle /*self*/) { not_built("on_switch_day"); }

void create_time_listener(nb::handle /*self*/) { not_built("create_time_listener"); }

void send_day_event(nb::handle /*self*/, nb::handle /*event_type*/, nb::handle /*dt*/) { not_built("send_day_event"); }

void send_before_trading_event(nb::handle /*self*/) { not_built("send_before_trading_event"); }

void send_after_trading_event(nb::handle /*self*/) { not_built("send_after_trading_event"); }

void send_open_auction_event(nb::handle /*self*/) { not_built("send_open_auction_event"); }

void set_timer(nb::handle /*self*/) { not_built("set_timer"); }

void set_next_day_timer(nb::handle /*self*/) { not_built("set_next_day_timer"); }

void send_next_day_event(nb::handle /*self*/) { not_built("send_next_day_event"); }

} // namespace livefeed
