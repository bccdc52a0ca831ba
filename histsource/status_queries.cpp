// Suspension and special-treatment status, and the live-price queries this source refuses.
#include "histsource.h"

namespace histsource {

nb::object is_st_stock(nb::handle /*self*/, nb::handle /*market_code*/, nb::handle /*dates*/) { not_built("is_st_stock"); }

nb::object is_suspended(nb::handle /*self*/, nb::handle /*market_code*/, nb::handle /*dates*/) { not_built("is_suspended"); }

nb::object get_trading_minutes_for(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*trading_dt*/) { not_built("get_trading_minutes_for"); }

nb::object get_bar(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*dt*/, nb::handle /*frequency*/) { not_built("get_bar"); }

nb::object get_last_price(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*dt*/) { not_built("get_last_price"); }

nb::object current_snapshot(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*frequency*/, nb::handle /*dt*/) { not_built("current_snapshot"); }

nb::object get_settle_price(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*date*/) { not_built("get_settle_price"); }

} // namespace histsource
