// Bar frames to bar arrays: numpy structured arrays filled column by column.
#include "histsource.h"

namespace histsource {

nb::object ndarray_from_df(nb::handle /*df*/, nb::handle /*fields*/) { not_built("ndarray_from_df"); }

} // namespace histsource
