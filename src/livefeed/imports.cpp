// The outside names the bridge binds at import, in a fixed order, as module attributes.
#include "from_import.h"
#include "livefeed.h"

namespace livefeed {
namespace {

// from pyvorn.enums import *: the names of __all__ when the module declares it, else every name
// that does not begin with an underscore.
void star_import(nb::module_ &m, const char *module) {
    nb::object mod = corvane::import(module);
    nb::object names = corvane::getattr_or_absent(mod, corvane::intern("__all__"));
    if (!names.is_valid()) {
        names = nb::list();
        for (nb::handle key : nb::borrow<nb::dict>(corvane::getattr(mod, corvane::intern("__dict__"))).keys()) {
            PyObject *k = key.ptr();
            if (PyUnicode_Check(k) && PyUnicode_GET_LENGTH(k) > 0 && PyUnicode_READ_CHAR(k, 0) != '_')
                nb::borrow<nb::list>(names).append(key);
        }
    }
    for (nb::handle name : names)
        m.attr(name) = mod.attr(name);
}

} // namespace

void bind_imports(nb::module_ &m) {
    using corvane::from_import;
    // in the order the bridge depends on them
    from_import(m, "corvane.tessara.environment", {"Environment"});
    from_import(m, "corvane.tessara.core.events", {"EVENT", "Event"});
    from_import(m, "corvane.tessara.model.tick", {"TickObject"});
    from_import(m, "corvane.tessara.model.trade", {"Trade"});
    from_import(m, "corvane.tessara.model.l2_order", {"L2Order"});
    from_import(m, "corvane.tessara.model.l2_transaction", {"L2Transaction"});
    from_import(m, "corvane.tessara.utils.datetime_func", {"convert_int_to_whole_date", "convert_int_to_datetime"});
    from_import(m, "corvane.tessara.utils.trade_func",
                {"get_exchane_from_vorn_mdtype", "get_vorn_tdtype", "get_side_from_vorn_l2_order",
                 "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn", "get_l2order_type_from_vorn"});
    from_import(m, "corvane.tessara.utils.logger", {"system_log"});
    from_import(m, "corvane.tessara.model.algo_parent_order", {"AlgoParentOrder"});
    from_import(m, "corvane.tessara.model.algo_child_order", {"AlgoChildOrder"});
    from_import(m, "corvane.tessara.model.algo_child_trade", {"AlgoChildTrade"});
    from_import(m, "corvane.tessara.const", {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"});
    from_import(m, "corvane.tessara.portfolio.account", {"Asset"});
    from_import(m, "corvane.tessara.portfolio.position", {"Position"});
    m.attr("RB") = corvane::import("numpy_ringbuffer").attr("RingBuffer");
    m.attr("np") = corvane::import("numpy");
    m.attr("deque") = corvane::import("collections").attr("deque");
    m.attr("copy") = corvane::import("copy");
    nb::object dt = corvane::import("datetime");
    m.attr("datetime") = dt.attr("datetime");
    m.attr("time") = dt.attr("time");
    m.attr("timedelta") = dt.attr("timedelta");
    m.attr("strategy") = corvane::import("pyvorn.strategy");
    star_import(m, "pyvorn.enums");
}

} // namespace livefeed
