// Level-2 intake: terminal tick orders and tick trades to framework level-2 records and events.
#include "livefeed.h"

namespace livefeed {

void on_tick_order(nb::handle /*self*/, nb::handle /*tick_order*/) { not_built("on_tick_order"); }

void on_tick_trade(nb::handle /*self*/, nb::handle /*tick_trade*/) { not_built("on_tick_trade"); }

} // namespace livefeed
