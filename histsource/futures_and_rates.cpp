// Futures commission and trading parameters, the yield curve and the available data range.
#include "histsource.h"

namespace histsource {

nb::object get_yield_curve(nb::handle /*self*/, nb::handle /*start_date*/, nb::handle /*end_date*/, nb::handle /*tenor*/) { not_built("get_yield_curve"); }

nb::object get_commission_info(nb::handle /*self*/, nb::handle /*instrument*/) { not_built("get_commission_info"); }

nb::object get_future_info(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*hedge_type*/) { not_built("get_future_info"); }

nb::object available_data_range(nb::handle /*self*/, nb::handle /*frequency*/) { not_built("available_data_range"); }

nb::object get_futures_trading_parameters(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*dt*/) { not_built("get_futures_trading_parameters"); }

} // namespace histsource
