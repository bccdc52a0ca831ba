// The bridge's module state, created once at import and shared with Python code as attributes.
#include "livefeed.h"

namespace livefeed {

void create_state(nb::module_ &m) {
    m.attr("vorn_params") = nb::dict();
    // A preallocated ring of one million object slots: appending never grows the queue.
    m.attr("event_queue") = corvane::call_kw(LF_GLOBAL(RB), CORVANE_KWNAMES("capacity", "dtype"), nb::int_(1000000),
                                             nb::handle((PyObject *)&PyBaseObject_Type));
    m.attr("history_bar") = nb::dict();
    m.attr("history_tick") = nb::dict();
    m.attr("orders_dict") = nb::dict();
    m.attr("algo_parent_orders") = nb::dict();
    m.attr("algo_child_orders") = nb::dict();
    m.attr("algo_child_trades") = nb::dict();
    m.attr("algo_parent_id") = nb::list();
}

} // namespace livefeed
