// Login and account query results to framework events with Asset and Position objects.
#include "attr_cache.h"
#include "class_attr_cache.h"
#include "livefeed.h"
#include "record_fields.h"
#include "record_intake.h"
#include "report_util.h"

namespace livefeed {
namespace {

using corvane::getattr;
using report::concat;
using report::text_of;

// code != 0: the terminal's result codes mean success only when 0.
bool failed(nb::handle code) {
    nb::object zero = nb::int_(0);
    return report::differs(code, zero);
}

// Position(market_code, POSITION_DIRECTION.LONG, init_qty) with the terminal's current state set
// on it. Every position the terminal reports is a long one.
nb::object position_from(nb::handle pos, nb::handle get_exchange, nb::handle position_cls, nb::handle long_dir) {
    // security_id + "." comes first, so a code that is not text fails before the exchange lookup
    // (plain text cannot fail, and is joined with the suffix in one step).
    nb::object security_id = CORVANE_ATTR(pos, security_id);
    nb::object head;
    if (!PyUnicode_CheckExact(security_id.ptr()))
        head = corvane::checked(PyNumber_Add(security_id.ptr(), CORVANE_TEXT(".")));
    nb::object exchange = corvane::call(get_exchange, CORVANE_ATTR(pos, market_id));
    nb::object code = head.is_valid() ? corvane::checked(PyNumber_Add(head.ptr(), exchange.ptr()))
                                      : join_market_code(security_id, exchange);
    nb::object position = corvane::call(position_cls, code, long_dir, CORVANE_ATTR(pos, init_qty));

    // The state dict, keys in this order (each beside the attribute it is read from), built at
    // its final size.
    static constexpr corvane::Field fields[] = {
        {"quantity", "leaves_qty"},   {"available_qty", "available_qty"}, {"avg_price", "cost_price"},
        {"last_price", "last_price"}, {"market_value", "market_value"},   {"daily_pnl", "profit_loss"},
    };
    constexpr std::size_t n = corvane::count_of(fields);
    static const RecordLayout layout(fields);
    static corvane::RecordReader<n> reader(fields);
    nb::object held[n];
    reader.read(pos, held);
    PyObject *values[n];
    for (std::size_t i = 0; i < n; ++i)
        values[i] = held[i].ptr();
    CORVANE_CALL_METHOD(position, set_state, layout.make(values));
    return position;
}

// The positions of a successful query, in order. A position that cannot be converted is logged
// and left out, so one bad element does not cost the framework the rest of the answer.
nb::list positions_from(nb::handle results) {
    nb::object get_exchange = LF_GLOBAL(get_exchane_from_vorn_mdtype);
    nb::object position_cls = LF_GLOBAL(Position);
    nb::object long_dir = CORVANE_CLASS_ATTR(LF_GLOBAL(POSITION_DIRECTION), LONG);
    nb::list positions;
    // Iterate by index over the live list, as a for loop over it would.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results.ptr()); ++i) {
        nb::object pos = nb::borrow(PyList_GET_ITEM(results.ptr(), i));
        try {
            positions.append(position_from(pos, get_exchange, position_cls, long_dir));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            report::log(CORVANE_NAME(warning), concat({CORVANE_TEXT("on_query_position position do not add: "),
                                                       text_of(CORVANE_ATTR(pos, security_id)),
                                                       CORVANE_TEXT("  exception: "), text_of(e.value())}));
        }
    }
    return positions;
}

} // namespace

void on_login(nb::handle /*self*/, nb::handle login_res) {
    nb::object account_id = getattr(login_res, CORVANE_NAME(fund_account_id));
    nb::object error_code = getattr(login_res, CORVANE_NAME(error_code));
    report::log(CORVANE_NAME(info), concat({CORVANE_TEXT("on_login fund_account_id:"), text_of(account_id),
                                            CORVANE_TEXT(", error_code:"), text_of(error_code)}));
    report::Outbox out;
    // Read into locals: C++ leaves the order of argument evaluation open, the event lists rid first.
    nb::object rid = getattr(login_res, CORVANE_NAME(client_seq_id));
    nb::object error_msg = getattr(login_res, CORVANE_NAME(error_msg));
    out.post(CORVANE_NAME(LOGIN), CORVANE_KWNAMES("rid", "account_id", "code", "msg"), rid, account_id, error_code,
             error_msg);
}

void on_query_asset(nb::handle /*self*/, nb::handle asset_res, nb::handle request_id, nb::handle code, nb::handle msg) {
    // The record's id and remaining funds are logged even for a failed query.
    nb::object account_id = getattr(asset_res, CORVANE_NAME(fund_account_id));
    nb::object leaves_value = getattr(asset_res, CORVANE_NAME(leaves_value));
    report::log(
        CORVANE_NAME(info),
        concat({CORVANE_TEXT("on_query_asset, "), text_of(account_id), CORVANE_TEXT(", leaves_value:"),
                text_of(leaves_value), CORVANE_TEXT(" code "), text_of(code), CORVANE_TEXT("  ms "), text_of(msg)}));
    if (failed(code)) {
        report::Outbox out;
        out.post(CORVANE_NAME(QUERY_ACCOUNT), CORVANE_KWNAMES("rid", "account_id", "code", "msg"), request_id,
                 account_id, code, msg);
        return;
    }
    // The Asset's values, read in their positional order.
    nb::object asset_cls = LF_GLOBAL(Asset);
    nb::object available = getattr(asset_res, CORVANE_NAME(available_t1));
    nb::object frozen = getattr(asset_res, CORVANE_NAME(frozen_all));
    nb::object market_value = getattr(asset_res, CORVANE_NAME(market_value));
    nb::object total = getattr(asset_res, CORVANE_NAME(total_asset));
    nb::object init_leaves = getattr(asset_res, CORVANE_NAME(init_leaves_value));
    nb::object asset =
        corvane::call(asset_cls, account_id, available, frozen, market_value, total, leaves_value, init_leaves);
    report::Outbox out;
    out.post(CORVANE_NAME(QUERY_ACCOUNT), CORVANE_KWNAMES("rid", "account_id", "asset"), request_id, account_id, asset);
}

void on_query_position(nb::handle /*self*/, nb::handle query_position_res, nb::handle request_id, nb::handle code,
                       nb::handle msg) {
    report::log(CORVANE_NAME(info), concat({CORVANE_TEXT("on_query_position: code:"), text_of(code),
                                            CORVANE_TEXT(", msg:"), text_of(msg)}));
    if (failed(code)) {
        // A failed position query is answered as an account query, without an account id.
        report::Outbox out;
        out.post(CORVANE_NAME(QUERY_ACCOUNT), CORVANE_KWNAMES("rid", "code", "msg"), request_id, code, msg);
        return;
    }
    // Only a real, non-empty list is an answer; anything else gets no event.
    if (!PyList_CheckExact(query_position_res.ptr()) || PyList_GET_SIZE(query_position_res.ptr()) == 0)
        return;
    nb::list positions = positions_from(query_position_res);
    report::Outbox out;
    out.post(CORVANE_NAME(QUERY_POSITION), CORVANE_KWNAMES("rid", "positions"), request_id, positions);
}

} // namespace livefeed
