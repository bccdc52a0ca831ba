// Bar history at day and N-minute frequencies, with the minute-bar cache and its bulk prefetch.
#include "histsource.h"

namespace histsource {

nb::object get_minute_bars_of_day(nb::handle /*self*/, nb::handle /*market_code*/, nb::handle /*day*/, nb::handle /*adjust_type*/, nb::handle /*variety*/) { not_built("get_minute_bars_of_day"); }

nb::object prepare_for(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*dates*/, nb::handle /*adjust_type*/) { not_built("prepare_for"); }

nb::object history_bars(nb::handle /*self*/, nb::handle /*instrument*/, nb::handle /*bar_count*/, nb::handle /*frequency*/, nb::handle /*fields*/, nb::handle /*dt*/, nb::handle /*skip_suspended*/, nb::handle /*include_now*/, nb::handle /*adjust_type*/, nb::handle /*adjust_orig*/) { not_built("history_bars"); }

} // namespace histsource
