"""What a recording keeps of each terminal callback.

For every callback of the terminal strategy: the attributes the live bridge reads from its
record (for the algorithmic-order reports, which the framework converts whole, every
attribute of the record), each with the type of its column, and the callback's further
arguments. The layouts are declared here rather than taken from the terminal's record
classes, so that any record object with these attributes can be recorded.
"""
from collections import namedtuple

FLOAT, INT, STR, ANY = "float", "int", "str", "any"
FLOATS, INTS = "list[float]", "list[int]"


def enum(name):
    """A column of members of the terminal enum `pyvorn.enums.<name>`, kept as their values."""
    return "enum:" + name


MARKET = enum("MarketType")
SIDE = enum("SideType")
ORDER_STATUS = enum("OrderStatusType")

# name: union child of the stored row; record: the record argument's attributes (None when
# the callback takes no record); many: the record argument is a list of records; extra: the
# further positional arguments, stored as they are.
Layout = namedtuple("Layout", "name record many extra")

SNAPSHOT = (("security_id", STR), ("market_type", MARKET), ("orig_time", INT),
            ("open_price", FLOAT), ("close_price", FLOAT), ("high_price", FLOAT),
            ("low_price", FLOAT), ("total_value_trade", FLOAT), ("total_volume_trade", INT),
            ("pre_close_price", FLOAT), ("ask_volume", INTS), ("ask_price", FLOATS),
            ("bid_volume", INTS), ("bid_price", FLOATS), ("high_limited", FLOAT),
            ("last_price", FLOAT), ("low_limited", FLOAT), ("open_interest", INT),
            ("prev_settlement", FLOAT), ("iopv", FLOAT), ("trading_phase_code", STR))
BAR = (("security_id", STR), ("market_type", MARKET), ("end_time", INT), ("open", FLOAT),
       ("close", FLOAT), ("high", FLOAT), ("low", FLOAT), ("amount", FLOAT), ("volume", INT),
       ("prev_close", FLOAT))
TICK_ORDER = (("order_time", INT), ("security_id", STR), ("market_type", MARKET), ("side", INT),
              ("biz_index", INT), ("order_price", FLOAT), ("order_volume", INT),
              ("order_type", INT), ("orig_order_no", INT))
TICK_TRADE = (("trade_time", INT), ("security_id", STR), ("market_type", MARKET),
              ("bid_appl_seq_num", INT), ("offer_appl_seq_num", INT), ("biz_index", INT),
              ("trade_price", FLOAT), ("trade_volume", INT), ("value_trade", FLOAT),
              ("trade_type", INT))
LOGIN = (("client_seq_id", INT), ("fund_account_id", STR), ("error_code", INT),
         ("error_msg", ANY))
ASSET = (("fund_account_id", STR), ("available_t1", FLOAT), ("frozen_all", FLOAT),
         ("market_value", FLOAT), ("total_asset", FLOAT), ("leaves_value", FLOAT),
         ("init_leaves_value", FLOAT))
POSITION = (("security_id", STR), ("market_id", MARKET), ("init_qty", INT), ("leaves_qty", INT),
            ("available_qty", INT), ("cost_price", FLOAT), ("last_price", FLOAT),
            ("market_value", FLOAT), ("profit_loss", FLOAT))
ORDER = (("client_order_id", ANY), ("counter_order_id", ANY), ("security_id", STR),
         ("order_price", FLOAT), ("order_status", ORDER_STATUS), ("order_qty", INT),
         ("trade_qty", INT), ("total_trade_value", FLOAT), ("error_msg", ANY),
         ("last_match_qty", INT), ("frozen_trade_value", FLOAT), ("last_match_price", FLOAT),
         ("error_code", ANY))
ORDER_ERROR = (("client_order_id", ANY),)
ALGO_LOGIN = (("client_seq_id", INT), ("trader_id", STR), ("error_code", INT),
              ("error_msg", ANY))
ALGO_REPLY = (("client_seq_id", INT), ("sys_quote_id", INT), ("error_code", INT),
              ("error_msg", ANY))
ALGO_CANCEL = (("sys_quote_id", INT), ("error_code", INT), ("error_msg", ANY))
# Which attribute carries the control type is the terminal's choice; both are kept.
ALGO_CONTROL = (("control_type", enum("AlgoControlType")),
                ("algo_control_type", enum("AlgoControlType")), ("sys_quote_id", INT),
                ("error_code", INT), ("error_msg", ANY))
PARENT = (("sys_quote_id", INT), ("client_seq_id", INT), ("security_id", STR),
          ("market_type", MARKET), ("side", SIDE), ("algo_type", enum("AlgoType")),
          ("order_qty", INT), ("trade_qty", INT), ("trade_value", FLOAT),
          ("status", enum("AlgoStatusType")), ("start_time", INT), ("end_time", INT),
          ("error_code", INT), ("error_msg", ANY))
CHILD = (("sys_quote_id", INT), ("client_order_id", ANY), ("counter_order_id", ANY),
         ("security_id", STR), ("market_type", MARKET), ("side", SIDE), ("order_price", FLOAT),
         ("order_qty", INT), ("trade_qty", INT), ("total_trade_value", FLOAT),
         ("order_status", ORDER_STATUS), ("error_code", INT), ("error_msg", ANY))
CHILD_TRADE = (("sys_quote_id", INT), ("client_order_id", ANY), ("exec_id", ANY),
               ("security_id", STR), ("market_type", MARKET), ("side", SIDE),
               ("trade_price", FLOAT), ("trade_qty", INT), ("trade_time", INT))
QUERY_ARGS = (("request_id", ANY), ("code", ANY), ("msg", ANY))
TIMER = (("method", STR),)

# A call without a record (start-up, day switch) and a timer firing.
CALL = Layout("call", None, False, ())
TIMER_LAYOUT = Layout("timer", TIMER, False, ())
TIMER_CALLBACK = "timer"

CALLBACKS = {
    "initialize": CALL,
    "on_initialize": CALL,
    "on_switch_day": CALL,
    "on_snapshot": Layout("snapshot", SNAPSHOT, False, ()),
    "on_bar": Layout("bar", BAR, False, ()),
    "on_tick_order": Layout("tick_order", TICK_ORDER, False, ()),
    "on_tick_trade": Layout("tick_trade", TICK_TRADE, False, ()),
    "on_login": Layout("login", LOGIN, False, ()),
    "on_query_asset": Layout("asset", ASSET, False, QUERY_ARGS),
    "on_query_position": Layout("positions", POSITION, True, QUERY_ARGS),
    "on_order": Layout("order", ORDER, False, ()),
    # The bridge reads nothing of a separate trade report; its arrival is what counts.
    "on_trade": Layout("trade", (), False, ()),
    "on_order_action_error": Layout("order_error", ORDER_ERROR, False, ()),
    "on_algo_login": Layout("algo_login", ALGO_LOGIN, False, ()),
    "on_create_algo_parent_order_res": Layout("algo_create", ALGO_REPLY, False, ()),
    "on_cancel_algo_parent_order_res": Layout("algo_cancel", ALGO_CANCEL, False, ()),
    "on_control_algo_parent_order_res": Layout("algo_control", ALGO_CONTROL, False, ()),
    "on_algo_parent_order_update": Layout("parent_order", PARENT, False, ()),
    "on_algo_child_order_update": Layout("child_order", CHILD, False, ()),
    "on_algo_child_order_trade": Layout("child_trade", CHILD_TRADE, False, ()),
}

# Stored rows name their callback by its position in this list, and their layout by its
# position in LAYOUTS; both lists only ever grow at the end.
CALLBACK_NAMES = list(CALLBACKS) + [TIMER_CALLBACK]
LAYOUTS = []
for _layout in list(CALLBACKS.values()) + [TIMER_LAYOUT]:
    if _layout not in LAYOUTS:
        LAYOUTS.append(_layout)
LAYOUT_OF = [LAYOUTS.index(CALLBACKS.get(name, TIMER_LAYOUT)) for name in CALLBACK_NAMES]


def columns(layout):
    """(name, type) of every stored column of a layout: the record's attributes (a single
    list column for a list of records), then the further arguments."""
    cols = []
    if layout.record is not None and layout.many:
        cols.append(("records", ("list", layout.record)))
    elif layout.record is not None:
        cols.extend(layout.record)
    return cols + list(layout.extra)
