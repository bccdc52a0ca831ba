// Construction, instrument stores, the id-or-symbol map and the trading calendar.
#include "histsource.h"

namespace histsource {

void data_source_init(nb::handle /*self*/) { not_built("data_source_init"); }

nb::object get_trading_calendars(nb::handle /*self*/) { not_built("get_trading_calendars"); }

nb::object get_instruments(nb::handle /*self*/, nb::handle /*id_or_syms*/, nb::handle /*types*/) { not_built("get_instruments"); }

} // namespace histsource
