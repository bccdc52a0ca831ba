// The module-level helpers: order-book id check, memoised suspension series and tick size.
#include "histsource.h"
#include "instrument_iterator.h"
#include "table_util.h"

namespace histsource {

// True only for a non-empty text code; any other value (None, numbers, empty text) is False.
nb::object is_valid_order_book_ie(nb::handle market_code) {
    nb::object text_types = HS_GLOBAL(string_types);
    int is_text = PyObject_IsInstance(market_code.ptr(), text_types.ptr());
    if (is_text < 0)
        throw nb::python_error();
    bool valid = is_text && truthy(market_code);
    return nb::bool_(valid);
}

// The instrument's whole suspension series: the code's column of the client's table.
nb::object is_suspended_series(nb::handle market_code) {
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object table = corvane::call_method(client, CORVANE_NAME(is_suspended), market_code);
    return item(table, market_code.ptr());
}

nb::object get_tick_size(nb::handle market_code) {
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object instrument = corvane::call_method(client, CORVANE_NAME(instruments), market_code);
    return corvane::call_method(instrument, CORVANE_NAME(tick_size));
}

void add_module_functions(nb::module_ &m) {
    m.def("_is_valid_order_book_ie", &is_valid_order_book_ie, nb::arg("market_code").none());
    nb::handle lru_cache = m.attr("lru_cache");
    m.attr("_is_suspended") = lru_cache(128)(
        nb::cpp_function(&is_suspended_series, nb::name("_is_suspended"), nb::arg("market_code").none()));
    m.attr("_get_tick_size") =
        lru_cache(256)(nb::cpp_function(&get_tick_size, nb::name("_get_tick_size"), nb::arg("market_code").none()));
    // get_instruments hands out iterators of this type; created before the class exists
    init_instrument_iterator_type(m);
}

} // namespace histsource
