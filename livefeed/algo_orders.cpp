// Algorithmic order replies and reports, tracked per parent order.
#include "livefeed.h"

namespace livefeed {

void on_algo_login(nb::handle /*self*/, nb::handle /*algo_login_res*/) { not_built("on_algo_login"); }

void on_create_algo_parent_order_res(nb::handle /*self*/, nb::handle /*create_parent_order_res*/) { not_built("on_create_algo_parent_order_res"); }

void on_cancel_algo_parent_order_res(nb::handle /*self*/, nb::handle /*cancel_parent_order_res*/) { not_built("on_cancel_algo_parent_order_res"); }

void on_control_algo_parent_order_res(nb::handle /*self*/, nb::handle /*control_parent_order_res*/) { not_built("on_control_algo_parent_order_res"); }

void on_algo_parent_order_update(nb::handle /*self*/, nb::handle /*parent_order*/) { not_built("on_algo_parent_order_update"); }

void on_algo_child_order_update(nb::handle /*self*/, nb::handle /*child_order*/) { not_built("on_algo_child_order_update"); }

void on_algo_child_order_trade(nb::handle /*self*/, nb::handle /*child_trade*/) { not_built("on_algo_child_order_trade"); }

} // namespace livefeed
