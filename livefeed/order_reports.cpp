// Order and trade reports: framework orders follow the terminal, fills become trades.
#include "livefeed.h"

namespace livefeed {

void on_order(nb::handle /*self*/, nb::handle /*order*/) { not_built("on_order"); }

void on_trade(nb::handle /*self*/, nb::handle /*trade*/) { not_built("on_trade"); }

void on_order_action_error(nb::handle /*self*/, nb::handle /*order_action_error*/) { not_built("on_order_action_error"); }

} // namespace livefeed
