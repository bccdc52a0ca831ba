// Level-2 intake: terminal tick orders and tick trades to framework level-2 records and events.
// Nothing is stored; each record becomes one event.
#include "attr_cache.h"
#include "class_attr_cache.h"
#include "livefeed.h"
#include "record_intake.h"

namespace livefeed {
namespace {

// convert_int_to_datetime(record.<stamp> / 1000): the function is looked up before the field is read.
nb::object record_time(nb::handle record, PyObject *stamp_name, corvane::AttrSite &stamp_site) {
    nb::object convert = LF_GLOBAL(convert_int_to_datetime);
    nb::object seconds = stamp_seconds(stamp_site.read(record, stamp_name));
    return corvane::call(convert, seconds);
}

} // namespace

void on_tick_order(nb::handle /*self*/, nb::handle tick_order) {
    static corvane::AttrSite order_time;
    nb::object dt = record_time(tick_order, CORVANE_NAME(order_time), order_time);
    nb::object market_type;
    nb::object code = market_code_of(tick_order, LF_GLOBAL(get_exchane_from_vorn_mdtype), &market_type);
    // Each name is read into a local before the next, in the order the call lists them: C++ leaves
    // the evaluation order of call arguments open.
    nb::object side_of = LF_GLOBAL(get_side_from_vorn_l2_order);
    nb::object side_char = char_of(CORVANE_ATTR(tick_order, side));
    nb::object side = corvane::call(side_of, side_char, market_type);

    // The arguments in constructor order; the plain order type is converted before the level-2 kind.
    static corvane::ClassMethodSite from_create;
    corvane::BoundCall create = from_create.lookup(LF_GLOBAL(L2Order), CORVANE_NAME(__from_create__));
    nb::object biz_index = CORVANE_ATTR(tick_order, biz_index);
    nb::object price = CORVANE_ATTR(tick_order, order_price);
    nb::object volume = CORVANE_ATTR(tick_order, order_volume);
    nb::object type_char = char_of(CORVANE_ATTR(tick_order, order_type));
    nb::object order_type = corvane::call(LF_GLOBAL(get_order_type_from_vorn_l2_order), type_char, market_type);
    nb::object orig_order_no = CORVANE_ATTR(tick_order, orig_order_no);
    nb::object l2_kind = corvane::call(LF_GLOBAL(get_l2order_type_from_vorn), type_char, market_type);

    nb::object l2_order = create(biz_index, code, dt, side, price, volume, order_type, orig_order_no, l2_kind);
    nb::object kind = CORVANE_CLASS_ATTR(LF_GLOBAL(EVENT), L2_ORDER);
    nb::object event = corvane::call_kw(LF_GLOBAL(Event), CORVANE_KWNAMES("calendar_dt", "trading_dt", "l2_order"),
                                        kind, dt, dt, l2_order);
    append_event(LF_GLOBAL(event_queue), event);
}

void on_tick_trade(nb::handle /*self*/, nb::handle tick_trade) {
    static corvane::AttrSite trade_time;
    nb::object dt = record_time(tick_trade, CORVANE_NAME(trade_time), trade_time);
    nb::object market_type;
    nb::object code = market_code_of(tick_trade, LF_GLOBAL(get_exchane_from_vorn_mdtype), &market_type);

    // A later buy order than sell order means the buyer took the offer; equal numbers count as a sell.
    nb::object bid_no = CORVANE_ATTR(tick_trade, bid_appl_seq_num);
    nb::object offer_no = CORVANE_ATTR(tick_trade, offer_appl_seq_num);
    int buy = PyObject_RichCompareBool(bid_no.ptr(), offer_no.ptr(), Py_GT);
    if (buy < 0)
        throw nb::python_error();
    nb::object sides = LF_GLOBAL(SIDE);
    nb::object side = buy ? CORVANE_CLASS_ATTR(sides, BUY) : CORVANE_CLASS_ATTR(sides, SELL);

    static corvane::ClassMethodSite from_create;
    corvane::BoundCall create = from_create.lookup(LF_GLOBAL(L2Transaction), CORVANE_NAME(__from_create__));
    nb::object biz_index = CORVANE_ATTR(tick_trade, biz_index);
    nb::object price = CORVANE_ATTR(tick_trade, trade_price);
    nb::object volume = CORVANE_ATTR(tick_trade, trade_volume);
    nb::object value = CORVANE_ATTR(tick_trade, value_trade);
    nb::object trade_type_of = LF_GLOBAL(get_trade_type_from_vorn);
    nb::object trade_char = char_of(CORVANE_ATTR(tick_trade, trade_type));
    nb::object trade_type = corvane::call(trade_type_of, trade_char);

    nb::object l2_trade = create(biz_index, code, dt, side, price, volume, value, trade_type, bid_no, offer_no);
    nb::object kind = CORVANE_CLASS_ATTR(LF_GLOBAL(EVENT), L2_TRANSACTION);
    nb::object event = corvane::call_kw(
        LF_GLOBAL(Event), CORVANE_KWNAMES("calendar_dt", "trading_dt", "l2_transaction"), kind, dt, dt, l2_trade);
    append_event(LF_GLOBAL(event_queue), event);
}

} // namespace livefeed
