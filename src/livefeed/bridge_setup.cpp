// Construction and start-up of the bridge: channels, order way, bar subscription, day clock.
#include "livefeed.h"
#include "python_ops.h"

namespace livefeed {
namespace {

// The class VornStrategy as built at import (held for the process, like the module itself).
PyObject *g_bridge_class = nullptr;

// The channel name of an account value "<first>_<channel>", upper-cased.
nb::object channel_name(nb::handle account_value) {
    nb::object parts = corvane::call_method(account_value, CORVANE_NAME(split), CORVANE_TEXT("_"));
    return corvane::call_method(corvane::unpack_exactly<2>(parts)[1], CORVANE_NAME(upper));
}

void set_item(nb::handle mapping, PyObject *key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key, value.ptr()) != 0)
        throw nb::python_error();
}

// base.<name>, or an empty object when reading it fails: a configuration that cannot answer
// counts as not having the value. Only ordinary errors count so; an interrupt or an exit
// raised during the read propagates.
nb::object optional_setting(nb::handle base, PyObject *name) {
    return corvane::getattr_if_present(base, name, PyExc_Exception);
}

// MDType.VnMD for exactly "VnMD", MDType.AMD for any other value or none.
nb::object market_data_type(nb::handle base) {
    nb::object md_types = LF_GLOBAL(MDType);
    nb::object md_type = optional_setting(base, CORVANE_NAME(md_type));
    bool vn = md_type.is_valid() && corvane::equals(md_type, CORVANE_TEXT("VnMD"));
    return corvane::getattr(md_types, vn ? CORVANE_NAME(VnMD) : CORVANE_NAME(AMD));
}

// One trade channel per account value, in mapping order; vorn_td ends as the last one's type.
void add_trade_channels(nb::handle base, nb::handle context, nb::handle params) {
    nb::object accounts = corvane::getattr(base, CORVANE_NAME(accounts));
    nb::object items = corvane::call_method(accounts, CORVANE_NAME(items));
    nb::object it = corvane::checked(PyObject_GetIter(items.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(item);
        nb::object name = channel_name(corvane::unpack_exactly<2>(pair)[1]);
        // get_vorn_tdtype is read at each of its two uses, after the account's value has split.
        corvane::call_method(context, CORVANE_NAME(add_td_broker), corvane::call(LF_GLOBAL(get_vorn_tdtype), name));
        set_item(params, CORVANE_TEXT("vorn_td"), corvane::call(LF_GLOBAL(get_vorn_tdtype), name));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

// The algorithmic channel, only for an algo_account whose channel part is "ATX" in any case.
void add_algo_channel(nb::handle base, nb::handle context) {
    nb::object algo_account = optional_setting(base, CORVANE_NAME(algo_account));
    if (!algo_account.is_valid() || algo_account.is_none())
        return;
    if (corvane::equals(channel_name(algo_account), CORVANE_TEXT("ATX")))
        corvane::call_method(context, CORVANE_NAME(add_algo_broker),
                             corvane::getattr(LF_GLOBAL(AlgoType), CORVANE_NAME(ATX)));
}

} // namespace

void remember_bridge_class(nb::handle cls) {
    Py_INCREF(cls.ptr());
    Py_XDECREF(g_bridge_class);
    g_bridge_class = cls.ptr();
}

void strategy_init(nb::handle self, nb::handle config) {
    // super().__init__(): the next class after VornStrategy in the instance's MRO.
    PyObject *super_args[] = {g_bridge_class, self.ptr()};
    nb::object parent = corvane::checked(PyObject_Vectorcall((PyObject *)&PySuper_Type, super_args, 2, nullptr));
    corvane::call_method(parent, CORVANE_NAME(__init__));

    corvane::setattr(self, CORVANE_NAME(logged_in), nb::handle(Py_False));
    nb::object zero = nb::int_(0);
    corvane::setattr(self, CORVANE_NAME(order_num), zero);
    corvane::setattr(self, CORVANE_NAME(bar_cnt), zero);
    corvane::setattr(self, CORVANE_NAME(current_trade_dt), zero);
    nb::object now = corvane::call_method(LF_GLOBAL(datetime), CORVANE_NAME(now));
    corvane::setattr(self, CORVANE_NAME(first_dt), corvane::call_method(now, CORVANE_NAME(date)));
    corvane::setattr(self, CORVANE_NAME(config), config);
}

void initialize(nb::handle self, nb::handle /*config: every value is read from self.config*/) {
    corvane::call_method(LF_GLOBAL(system_log), CORVANE_NAME(info), CORVANE_TEXT("VornStrategy initialize..."));
    nb::object base = corvane::getattr(corvane::getattr(self, CORVANE_NAME(config)), CORVANE_NAME(base));
    nb::object context = corvane::getattr(self, CORVANE_NAME(context));
    nb::object params = LF_GLOBAL(vorn_params);

    nb::object md = market_data_type(base);
    corvane::call_method(context, CORVANE_NAME(add_md_broker), md);
    set_item(params, CORVANE_TEXT("vorn_md"), md);

    nb::object order_way = optional_setting(base, CORVANE_NAME(order_way));
    if (order_way.is_valid())
        corvane::call_method(context, CORVANE_NAME(set_order_way), order_way);

    add_trade_channels(base, context, params);
    add_algo_channel(base, context);
    set_item(params, CORVANE_TEXT("vorn_context"), context);

    // One subscription to one-minute bars of every instrument (an empty code list).
    nb::object chosen_md = corvane::checked(PyObject_GetItem(params.ptr(), CORVANE_TEXT("vorn_md")));
    nb::object market = corvane::getattr(LF_GLOBAL(MarketType), CORVANE_NAME(SZSE));
    nb::object data_type = corvane::getattr(LF_GLOBAL(SubscribeDataType), CORVANE_NAME(Bar));
    corvane::call_method(context, CORVANE_NAME(subscribe), chosen_md, market, data_type, nb::list(),
                         CORVANE_TEXT("1m"));

    corvane::call_method(self, CORVANE_NAME(set_timer));
    corvane::call_method(self, CORVANE_NAME(set_next_day_timer));
}

void on_initialize(nb::handle /*self*/) {}

} // namespace livefeed
