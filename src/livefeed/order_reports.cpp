// Order and trade reports: framework orders follow the terminal, fills become trades.
#include <optional>

#include "attr_cache.h"
#include "class_attr_cache.h"
#include "livefeed.h"
#include "record_fields.h"
#include "report_util.h"

namespace livefeed {
namespace {

using corvane::getattr;
using corvane::setattr;
using report::text_of;

// The attributes every order report is read for, in the order they are read (the keys are
// the names they have here).
constexpr corvane::Field kReportFields[] = {
    {"client_order_id", "client_order_id"},     {"security_id", "security_id"}, {"order_price", "order_price"},
    {"order_status", "order_status"},           {"order_qty", "order_qty"},     {"trade_qty", "trade_qty"},
    {"total_trade_value", "total_trade_value"}, {"error_msg", "error_msg"},     {"last_match_qty", "last_match_qty"},
};
constexpr std::size_t kReportRead = corvane::count_of(kReportFields);

// The attributes of one terminal order report, each read once.
struct OrderReport {
    explicit OrderReport(nb::handle r) : record(r) {
        static corvane::RecordReader<kReportRead> reader(kReportFields);
        reader.read(r, held);
    }
    OrderReport(const OrderReport &) = delete; // the names below refer to this object's own values
    OrderReport &operator=(const OrderReport &) = delete;

    nb::object held[kReportRead];
    nb::object &client_order_id = held[0], &security_id = held[1], &order_price = held[2], &order_status = held[3],
               &order_qty = held[4], &trade_qty = held[5], &total_trade_value = held[6], &error_msg = held[7],
               &last_match_qty = held[8];
    nb::handle record; // for the fields only some statuses read

    nb::object field(PyObject *name) const { return getattr(record, name); }
};

void log_report(const OrderReport &r) {
    report::log(CORVANE_NAME(info),
                report::concat({CORVANE_TEXT("on_order:"), text_of(r.client_order_id), CORVANE_TEXT(", symbol: "),
                                text_of(r.security_id), CORVANE_TEXT(", price:"), text_of(r.order_price),
                                CORVANE_TEXT(", status:"), text_of(r.order_status), CORVANE_TEXT(", order_qty:"),
                                text_of(r.order_qty), CORVANE_TEXT(", trade_qty:"), text_of(r.trade_qty),
                                CORVANE_TEXT(", total_trade_value: "), text_of(r.total_trade_value),
                                CORVANE_TEXT(", error_msg:"), text_of(r.error_msg), CORVANE_TEXT(", last_match_qty: "),
                                text_of(r.last_match_qty)}));
}

// The rows of the status table, in the order the report's status is tested against them.
enum class Row { Creation, PartiallyFilled, Filled, Cancelled, PendingCancel, Reject, Other };

struct StatusRow {
    const char *member;
    Row row;
};

const StatusRow kStatusRows[] = {
    {"UnSend", Row::Creation},
    {"Sended", Row::Creation},
    {"PartiallyFilled", Row::PartiallyFilled},
    {"Filled", Row::Filled},
    {"PartiallyFilledPartiallyCancelled", Row::Cancelled},
    {"Cancelled", Row::Cancelled},
    {"WaitCancelled", Row::PendingCancel},
    {"PartiallyFilledWaitCancelled", Row::PendingCancel},
    {"Reject", Row::Reject},
};

// The first row whose OrderStatusType member equals the reported status.
Row row_of(nb::handle status) {
    constexpr std::size_t rows = sizeof(kStatusRows) / sizeof(kStatusRows[0]);
    struct Names {
        PyObject *name[rows];
        Names() {
            for (std::size_t i = 0; i < rows; ++i)
                name[i] = corvane::intern(kStatusRows[i].member);
        }
    };
    static const Names names;
    static corvane::ClassAttrSite members[rows];
    nb::object status_type = LF_GLOBAL(OrderStatusType);
    for (std::size_t i = 0; i < rows; ++i)
        if (report::equals(status, members[i].read(status_type, names.name[i])))
            return kStatusRows[i].row;
    return Row::Other;
}

// Everything one known report works on: the framework order, its account, and the names read
// from the module namespace for this report.
class OrderUpdate {
public:
    OrderUpdate(const OrderReport &r, nb::handle order) : r_(r), order_(order) {
        static corvane::ClassMethodSite get_instance;
        nb::object env = get_instance.lookup(LF_GLOBAL(Environment), CORVANE_NAME(get_instance))();
        account_ = CORVANE_CALL_METHOD(env, get_account, CORVANE_ATTR(order_, market_code));
    }

    void apply(Row row) {
        switch (row) {
        case Row::Creation:
            return creation();
        case Row::PartiallyFilled:
            fill(CORVANE_NAME(PARTIALLY_FILLED));
            return;
        case Row::Filled:
            fill(CORVANE_NAME(FILLED));
            return;
        case Row::Cancelled:
            return cancellation();
        case Row::PendingCancel:
            return pending_cancel();
        case Row::Reject:
            return rejection();
        case Row::Other:
            return;
        }
    }

private:
    nb::object status(PyObject *name) {
        static corvane::NamedSites<corvane::ClassAttrSite, 16> members;
        if (!order_status_.is_valid())
            order_status_ = LF_GLOBAL(ORDER_STATUS);
        return corvane::read_class_attr(members, order_status_, name);
    }

    // The event names are read on the first event of the report, not for reports that queue none.
    const report::Outbox &outbox() {
        if (!outbox_)
            outbox_.emplace();
        return *outbox_;
    }

    // Event(EVENT.<kind>, account=..., order=deepcopy(order)): the copy shows the order as it is now.
    void post_order_event(PyObject *kind) {
        const report::Outbox &out = outbox();
        out.post(kind, CORVANE_KWNAMES("account", "order"), account_, deepcopy_(order_));
    }

    void set_frozen_cash() {
        CORVANE_CALL_METHOD(order_, set_frozen_cash, CORVANE_ATTR(r_.record, frozen_trade_value));
    }

    // UnSend / Sended: the counter's id is taken as it comes; a positive one confirms the order once.
    void creation() {
        nb::object counter_id = CORVANE_ATTR(r_.record, counter_order_id);
        setattr(order_, CORVANE_NAME(secondary_order_id), counter_id);
        set_frozen_cash();
        if (!report::positive(counter_id))
            return;
        nb::object active = status(CORVANE_NAME(ACTIVE));
        if (!report::differs(CORVANE_ATTR(order_, status), active))
            return;
        setattr(order_, CORVANE_NAME(status), active);
        post_order_event(CORVANE_NAME(ORDER_CREATION_PASS));
    }

    // A report with a new fill (last_match_qty > 0) makes a trade and brings the order's fill
    // figures up to the terminal's cumulative ones. `new_status` is the ORDER_STATUS member the
    // fill sets, or null for the cancelling rows, whose status is set after the TRADE event.
    void fill(PyObject *new_status) {
        nb::object zero = nb::int_(0);
        int has_fill = PyObject_RichCompareBool(r_.last_match_qty.ptr(), zero.ptr(), Py_GT);
        if (has_fill < 0)
            throw nb::python_error();
        if (!has_fill)
            return;
        // The keyword values are read into locals in the order listed: C++ leaves the order in which
        // call arguments are evaluated open.
        static corvane::ClassMethodSite from_create;
        corvane::BoundCall create = from_create.lookup(LF_GLOBAL(Trade), CORVANE_NAME(__from_create__));
        nb::object order_id = CORVANE_ATTR(order_, order_id);
        nb::object price = CORVANE_ATTR(r_.record, last_match_price);
        nb::object side = CORVANE_ATTR(order_, side);
        nb::object effect = CORVANE_ATTR(order_, position_effect);
        nb::object market_code = CORVANE_ATTR(order_, market_code);
        nb::object frozen_price = CORVANE_ATTR(order_, price);
        nb::object trade = create.call_kw(
            CORVANE_KWNAMES("order_id", "price", "amount", "side", "position_effect", "market_code", "frozen_price"),
            order_id, price, r_.last_match_qty, side, effect, market_code, frozen_price);
        setattr(order_, CORVANE_NAME(avg_price),
                corvane::checked(PyNumber_TrueDivide(r_.total_trade_value.ptr(), r_.trade_qty.ptr())));
        setattr(order_, CORVANE_NAME(filled_quantity), r_.trade_qty);
        setattr(order_, CORVANE_NAME(unfilled_quantity),
                corvane::checked(PyNumber_Subtract(r_.order_qty.ptr(), r_.trade_qty.ptr())));
        if (new_status)
            setattr(order_, CORVANE_NAME(status), status(new_status));
        const report::Outbox &out = outbox();
        out.post(CORVANE_NAME(TRADE), CORVANE_KWNAMES("account", "trade", "order"), account_, trade, deepcopy_(order_));
    }

    void cancellation() {
        fill(nullptr);
        setattr(order_, CORVANE_NAME(status), status(CORVANE_NAME(CANCELLED)));
        post_order_event(CORVANE_NAME(ORDER_CANCELLATION_PASS));
    }

    void pending_cancel() {
        fill(nullptr);
        nb::object zero = nb::int_(0);
        int filled = PyObject_RichCompareBool(CORVANE_ATTR(order_, filled_quantity).ptr(), zero.ptr(), Py_GT);
        if (filled < 0)
            throw nb::python_error();
        if (filled)
            setattr(order_, CORVANE_NAME(status), status(CORVANE_NAME(PARTIALLY_FILLED)));
        post_order_event(CORVANE_NAME(ORDER_PENDING_CANCEL));
    }

    // The reason joins the text forms of code and message, so a message that is not text still
    // marks the order rejected instead of failing the report.
    void rejection() {
        nb::object reason =
            report::concat({text_of(r_.field(CORVANE_NAME(error_code))), CORVANE_TEXT("_"), text_of(r_.error_msg)});
        corvane::call_method(order_, CORVANE_NAME(mark_rejected), reason);
        set_frozen_cash();
        post_order_event(CORVANE_NAME(ORDER_UNSOLICITED_UPDATE));
    }

    const OrderReport &r_;
    nb::handle order_;
    nb::object account_;
    nb::object order_status_;
    report::DeepCopier deepcopy_;
    std::optional<report::Outbox> outbox_;
};

} // namespace

void on_order(nb::handle /*self*/, nb::handle order) {
    OrderReport r(order);
    log_report(r);
    nb::object fw_order = report::lookup(LF_GLOBAL(orders_dict), r.client_order_id);
    if (!fw_order.is_valid())
        return;
    OrderUpdate update(r, fw_order);
    update.apply(row_of(r.order_status));
}

void on_trade(nb::handle /*self*/, nb::handle /*trade*/) {
    // Fills are taken from the fill fields of the order reports; the separate trade report adds
    // nothing the framework needs.
}

void on_order_action_error(nb::handle /*self*/, nb::handle order_action_error) {
    nb::object fw_order =
        report::lookup(LF_GLOBAL(orders_dict), getattr(order_action_error, CORVANE_NAME(client_order_id)));
    if (!fw_order.is_valid())
        return;
    nb::object env = corvane::call_method(LF_GLOBAL(Environment), CORVANE_NAME(get_instance));
    nb::object account =
        corvane::call_method(env, CORVANE_NAME(get_account), getattr(fw_order, CORVANE_NAME(market_code)));
    report::DeepCopier deepcopy;
    report::Outbox out;
    out.post(CORVANE_NAME(ORDER_CANCELLATION_REJECT), CORVANE_KWNAMES("account", "order"), account, deepcopy(fw_order));
}

} // namespace livefeed
