// Day bars from the data client, with the per-instrument day-bar cache.
#include "histsource.h"

namespace histsource {

nb::object n_trading_days_before(nb::handle /*self*/, nb::handle /*dt*/, nb::handle /*count*/) { not_built("n_trading_days_before"); }

nb::object private_get_day_bars(nb::handle /*self*/, nb::handle /*market_code*/, nb::handle /*bar_count*/, nb::handle /*dt*/, nb::handle /*adjust_type*/, nb::handle /*variety*/, nb::handle /*skip_suspended*/) { not_built("private_get_day_bars"); }

nb::object get_day_bars(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*bar_count*/, nb::handle /*dt*/, nb::handle /*adjust_type*/, nb::handle /*skip_suspended*/) { not_built("get_day_bars"); }

nb::object history_day_bars(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*bar_count*/, nb::handle /*fields*/, nb::handle /*dt*/, nb::handle /*skip_suspended*/, nb::handle /*adjust_type*/) { not_built("history_day_bars"); }

} // namespace histsource
