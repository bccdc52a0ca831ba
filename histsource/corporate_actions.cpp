// Dividends and splits as record arrays, and share transformations.
#include "histsource.h"

namespace histsource {

nb::object get_dividend(nb::handle /*self*/, nb::handle /*instrument*/) { not_built("get_dividend"); }

nb::object get_split(nb::handle /*self*/, nb::handle /*instrument*/) { not_built("get_split"); }

nb::object get_share_transformation(nb::handle /*self*/, nb::handle /*market_code*/) { not_built("get_share_transformation"); }

} // namespace histsource
