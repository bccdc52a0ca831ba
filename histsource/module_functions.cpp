// The module-level helpers: order-book id check, memoised suspension series and tick size.
#include "histsource.h"

namespace histsource {

nb::object is_valid_order_book_ie(nb::handle /*market_code*/) { not_built("is_valid_order_book_ie"); }

nb::object is_suspended_series(nb::handle /*market_code*/) { not_built("is_suspended_series"); }

nb::object get_tick_size(nb::handle /*market_code*/) { not_built("get_tick_size"); }

} // namespace histsource

namespace histsource {

void add_module_functions(nb::module_ &m) {
    m.def("_is_valid_order_book_ie", &is_valid_order_book_ie, nb::arg("market_code"));
    nb::handle lru_cache = m.attr("lru_cache");
    m.attr("_is_suspended") =
        lru_cache(128)(nb::cpp_function(&is_suspended_series, nb::name("_is_suspended"), nb::arg("market_code")));
    m.attr("_get_tick_size") =
        lru_cache(256)(nb::cpp_function(&get_tick_size, nb::name("_get_tick_size"), nb::arg("market_code")));
}

} // namespace histsource
