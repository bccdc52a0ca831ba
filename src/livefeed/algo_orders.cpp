// Algorithmic order replies and reports, tracked per parent order.
#include "attr_cache.h"
#include "class_attr_cache.h"
#include "from_import.h"
#include "livefeed.h"
#include "report_util.h"

namespace livefeed {
namespace {

using corvane::getattr;

// Event(EVENT.<kind>, parent_order_id=..., code=..., msg=...) for the cancel and control replies.
// The fields are read into locals in the order listed: C++ leaves the order in which call
// arguments are evaluated open.
void post_parent_reply(PyObject *kind, nb::handle reply) {
    report::Outbox out;
    nb::object parent_id = getattr(reply, CORVANE_NAME(sys_quote_id));
    nb::object code = getattr(reply, CORVANE_NAME(error_code));
    nb::object msg = getattr(reply, CORVANE_NAME(error_msg));
    out.post(kind, CORVANE_KWNAMES("parent_order_id", "code", "msg"), parent_id, code, msg);
}

// from pyvorn.enums import AlgoControlType, at the moment of the call.
nb::object import_control_types() { return corvane::from_import("pyvorn.enums", "AlgoControlType"); }

// The reply's control type: `control_type` when the record carries it, else `algo_control_type`.
nb::object control_type_of(nb::handle reply) {
    nb::object control = corvane::getattr_if_present(reply, CORVANE_NAME(control_type));
    return control.is_valid() ? control : getattr(reply, CORVANE_NAME(algo_control_type));
}

// One state report of a known parent order: convert it with the previous object of the same
// parent, keep the new object under the parent's id, and queue a deep copy of it.
// `map_name`, `cls_name`, `kind` and `kwnames` name the module map, the framework class, the EVENT
// member and the event keyword of the report's kind. The record's id is read afresh at each step.
// The read caches of one report kind: its record's id, and its class's converter.
struct StateReportSites {
    corvane::AttrSite id[4];
    corvane::ClassMethodSite from_vorn;
};

void take_state_report(nb::handle record, PyObject *map_name, PyObject *cls_name, PyObject *kind,
                       const corvane::KwNames<1> &kwnames, StateReportSites &sites) {
    // Only parents whose creation was confirmed with a positive id are followed.
    if (!report::contains(LF_GLOBAL(algo_parent_id), sites.id[0].read(record, CORVANE_NAME(sys_quote_id))))
        return;
    nb::object map = globals.get(map_name);
    nb::object previous = nb::none();
    if (report::contains(map, sites.id[1].read(record, CORVANE_NAME(sys_quote_id))))
        previous = CORVANE_CALL_METHOD(map, get, sites.id[2].read(record, CORVANE_NAME(sys_quote_id)));
    nb::object latest = sites.from_vorn.lookup(globals.get(cls_name), CORVANE_NAME(from_vorn))(record, previous);
    // The map holds the object itself; the framework's thread only ever sees copies.
    if (PyObject_SetItem(map.ptr(), sites.id[3].read(record, CORVANE_NAME(sys_quote_id)).ptr(), latest.ptr()) != 0)
        throw nb::python_error();
    report::DeepCopier deepcopy;
    nb::object copy = deepcopy(latest);
    report::Outbox out;
    out.post(kind, kwnames, copy);
}

} // namespace

void on_algo_login(nb::handle /*self*/, nb::handle algo_login_res) {
    report::Outbox out;
    nb::object req_id = getattr(algo_login_res, CORVANE_NAME(client_seq_id));
    nb::object account = getattr(algo_login_res, CORVANE_NAME(trader_id));
    nb::object code = getattr(algo_login_res, CORVANE_NAME(error_code));
    nb::object msg = getattr(algo_login_res, CORVANE_NAME(error_msg));
    out.post(CORVANE_NAME(ALGO_LOGIN), CORVANE_KWNAMES("req_id", "algo_account", "code", "msg"), req_id, account, code,
             msg);
}

void on_create_algo_parent_order_res(nb::handle /*self*/, nb::handle create_parent_order_res) {
    nb::handle res = create_parent_order_res;
    nb::object parent_id;
    {
        report::Outbox out;
        nb::object req_id = getattr(res, CORVANE_NAME(client_seq_id));
        parent_id = getattr(res, CORVANE_NAME(sys_quote_id));
        nb::object code = getattr(res, CORVANE_NAME(error_code));
        nb::object msg = getattr(res, CORVANE_NAME(error_msg));
        out.post(CORVANE_NAME(PARENT_ORDER_CREATE), CORVANE_KWNAMES("req_id", "parent_order_id", "code", "msg"), req_id,
                 parent_id, code, msg);
    }
    // The reply is forwarded whatever its outcome; only a positive id makes the parent known.
    if (report::positive(parent_id))
        corvane::call_method(LF_GLOBAL(algo_parent_id), CORVANE_NAME(append), parent_id);
}

void on_cancel_algo_parent_order_res(nb::handle /*self*/, nb::handle cancel_parent_order_res) {
    post_parent_reply(CORVANE_NAME(PARENT_ORDER_CANCEL), cancel_parent_order_res);
}

void on_control_algo_parent_order_res(nb::handle /*self*/, nb::handle control_parent_order_res) {
    // Imported at each reply, so a replaced enums module takes effect.
    nb::object control_types = import_control_types();
    // One control-type value per reply, tested against Pause and then Resume.
    nb::object control = control_type_of(control_parent_order_res);
    if (report::equals(control, getattr(control_types, CORVANE_NAME(Pause))))
        post_parent_reply(CORVANE_NAME(PARENT_ORDER_PAUSE), control_parent_order_res);
    else if (report::equals(control, getattr(control_types, CORVANE_NAME(Resume))))
        post_parent_reply(CORVANE_NAME(PARENT_ORDER_RESUME), control_parent_order_res);
}

void on_algo_parent_order_update(nb::handle /*self*/, nb::handle parent_order) {
    static StateReportSites sites;
    take_state_report(parent_order, CORVANE_NAME(algo_parent_orders), CORVANE_NAME(AlgoParentOrder),
                      CORVANE_NAME(PARENT_ORDER_UPDATE), CORVANE_KWNAMES("algo_parent_order"), sites);
}

void on_algo_child_order_update(nb::handle /*self*/, nb::handle child_order) {
    static StateReportSites sites;
    take_state_report(child_order, CORVANE_NAME(algo_child_orders), CORVANE_NAME(AlgoChildOrder),
                      CORVANE_NAME(CHILD_ORDER_UPDATE), CORVANE_KWNAMES("algo_child_order"), sites);
}

void on_algo_child_order_trade(nb::handle /*self*/, nb::handle child_trade) {
    static StateReportSites sites;
    take_state_report(child_trade, CORVANE_NAME(algo_child_trades), CORVANE_NAME(AlgoChildTrade),
                      CORVANE_NAME(CHILD_ORDER_TRADE), CORVANE_KWNAMES("algo_child_trade"), sites);
}

} // namespace livefeed
