"""The live trading bridge between the terminal's strategy API and the framework.

The terminal calls the hooks of `VornStrategy` on its own threads; each converts the terminal's
record into framework records and appends framework events to `event_queue`, which the framework
drains. Ticks and bars are kept per instrument for the four history readers, and terminal timers
raise the day events (before trading 09:00, open auction 09:24, after trading 15:30, next day
00:00). Every outside name is a module attribute, read when the code runs.
"""
from operator import index as _index
from time import monotonic as _monotonic

from corvane.tessara.environment import Environment
from corvane.tessara.core.events import EVENT, Event
from corvane.tessara.model.tick import TickObject
from corvane.tessara.model.trade import Trade
from corvane.tessara.model.l2_order import L2Order
from corvane.tessara.model.l2_transaction import L2Transaction
from corvane.tessara.utils.datetime_func import convert_int_to_whole_date, convert_int_to_datetime
from corvane.tessara.utils.trade_func import (
    get_exchane_from_vorn_mdtype, get_vorn_tdtype, get_side_from_vorn_l2_order,
    get_order_type_from_vorn_l2_order, get_trade_type_from_vorn, get_l2order_type_from_vorn,
)
from corvane.tessara.utils.logger import system_log
from corvane.tessara.model.algo_parent_order import AlgoParentOrder
from corvane.tessara.model.algo_child_order import AlgoChildOrder
from corvane.tessara.model.algo_child_trade import AlgoChildTrade
from corvane.tessara.const import ORDER_STATUS, POSITION_DIRECTION, SIDE
from corvane.tessara.portfolio.account import Asset
from corvane.tessara.portfolio.position import Position
from numpy_ringbuffer import RingBuffer as RB
import numpy as np
from collections import deque
import copy
from datetime import datetime, time, timedelta
from pyvorn import strategy
from pyvorn.enums import *

# Module state, shared by every bridge and read by the framework.
vorn_params = {}
# A preallocated ring of one million object slots: appending never grows the queue.
event_queue = RB(capacity=1000000, dtype=object)
history_bar = {}
history_tick = {}
orders_dict = {}
algo_parent_orders = {}
algo_child_orders = {}
algo_child_trades = {}
algo_parent_id = []

# The outside names: (name, module it comes from, attribute or None for the module itself or
# "*" for a name of the star import, expressions whose import-time objects a native path keys on,
# callbacks that read it). The native module carries the same table.
_outside_names = (
    ('Environment', 'corvane.tessara.environment', 'Environment', (), ('on_bar', 'on_order', 'on_order_action_error', 'on_snapshot')),
    ('EVENT', 'corvane.tessara.core.events', 'EVENT', (),
     ('on_algo_child_order_trade', 'on_algo_child_order_update', 'on_algo_login', 'on_algo_parent_order_update', 'on_bar',
      'on_cancel_algo_parent_order_res', 'on_control_algo_parent_order_res', 'on_create_algo_parent_order_res', 'on_login', 'on_order',
      'on_order_action_error', 'on_query_asset', 'on_query_position', 'on_snapshot', 'on_tick_order', 'on_tick_trade',
      'send_after_trading_event', 'send_before_trading_event', 'send_next_day_event', 'send_open_auction_event')),
    ('Event', 'corvane.tessara.core.events', 'Event', (),
     ('on_algo_child_order_trade', 'on_algo_child_order_update', 'on_algo_login', 'on_algo_parent_order_update', 'on_bar',
      'on_cancel_algo_parent_order_res', 'on_control_algo_parent_order_res', 'on_create_algo_parent_order_res', 'on_login', 'on_order',
      'on_order_action_error', 'on_query_asset', 'on_query_position', 'on_snapshot', 'on_tick_order', 'on_tick_trade',
      'send_after_trading_event', 'send_before_trading_event', 'send_day_event', 'send_next_day_event', 'send_open_auction_event')),
    ('TickObject', 'corvane.tessara.model.tick', 'TickObject', (), ('on_snapshot',)),
    ('Trade', 'corvane.tessara.model.trade', 'Trade', (), ('on_order',)),
    ('L2Order', 'corvane.tessara.model.l2_order', 'L2Order', (), ('on_tick_order',)),
    ('L2Transaction', 'corvane.tessara.model.l2_transaction', 'L2Transaction', (), ('on_tick_trade',)),
    ('convert_int_to_whole_date', 'corvane.tessara.utils.datetime_func', 'convert_int_to_whole_date', (), ('on_bar',)),
    ('convert_int_to_datetime', 'corvane.tessara.utils.datetime_func', 'convert_int_to_datetime', (),
     ('on_bar', 'on_snapshot', 'on_tick_order', 'on_tick_trade')),
    ('get_exchane_from_vorn_mdtype', 'corvane.tessara.utils.trade_func', 'get_exchane_from_vorn_mdtype', (),
     ('on_bar', 'on_snapshot', 'on_tick_order', 'on_tick_trade')),
    ('get_vorn_tdtype', 'corvane.tessara.utils.trade_func', 'get_vorn_tdtype', (), ('initialize',)),
    ('get_side_from_vorn_l2_order', 'corvane.tessara.utils.trade_func', 'get_side_from_vorn_l2_order', (), ('on_tick_order',)),
    ('get_order_type_from_vorn_l2_order', 'corvane.tessara.utils.trade_func', 'get_order_type_from_vorn_l2_order', (), ('on_tick_order',)),
    ('get_trade_type_from_vorn', 'corvane.tessara.utils.trade_func', 'get_trade_type_from_vorn', (), ('on_tick_trade',)),
    ('get_l2order_type_from_vorn', 'corvane.tessara.utils.trade_func', 'get_l2order_type_from_vorn', (), ('on_tick_order',)),
    ('system_log', 'corvane.tessara.utils.logger', 'system_log', (),
     ('initialize', 'on_login', 'on_order', 'on_query_asset', 'on_query_position', 'set_timer')),
    ('AlgoParentOrder', 'corvane.tessara.model.algo_parent_order', 'AlgoParentOrder', (), ('on_algo_parent_order_update',)),
    ('AlgoChildOrder', 'corvane.tessara.model.algo_child_order', 'AlgoChildOrder', (), ('on_algo_child_order_update',)),
    ('AlgoChildTrade', 'corvane.tessara.model.algo_child_trade', 'AlgoChildTrade', (), ('on_algo_child_order_trade',)),
    ('ORDER_STATUS', 'corvane.tessara.const', 'ORDER_STATUS', (), ('on_order',)),
    ('POSITION_DIRECTION', 'corvane.tessara.const', 'POSITION_DIRECTION', (), ('on_query_position',)),
    ('SIDE', 'corvane.tessara.const', 'SIDE', (), ('on_tick_trade',)),
    ('Asset', 'corvane.tessara.portfolio.account', 'Asset', (), ('on_query_asset',)),
    ('Position', 'corvane.tessara.portfolio.position', 'Position', (), ('on_query_position',)),
    ('RB', 'numpy_ringbuffer', 'RingBuffer', (), ()),
    ('np', 'numpy', None, (), ('initialize', 'set_timer')),
    ('deque', 'collections', 'deque', (), ('on_bar', 'on_snapshot')),
    ('copy', 'copy', None, (),
     ('on_algo_child_order_trade', 'on_algo_child_order_update', 'on_algo_parent_order_update', 'on_order', 'on_order_action_error')),
    ('datetime', 'datetime', 'datetime', (),
     ('initialize', 'send_after_trading_event', 'send_before_trading_event', 'send_next_day_event', 'send_open_auction_event',
      'set_timer')),
    ('time', 'datetime', 'time', (), ()),
    ('timedelta', 'datetime', 'timedelta', (), ('initialize', 'send_next_day_event', 'set_timer')),
    ('strategy', 'pyvorn.strategy', None, (), ()),
    ('MDType', 'pyvorn.enums', '*', (), ('initialize',)),
    ('MarketType', 'pyvorn.enums', '*', (), ('initialize',)),
    ('SubscribeDataType', 'pyvorn.enums', '*', (), ('initialize',)),
    ('AlgoType', 'pyvorn.enums', '*', (), ('initialize',)),
    ('AlgoControlType', 'pyvorn.enums', '*', (), ()),
    ('OrderStatusType', 'pyvorn.enums', '*', (), ('on_order',)),
)

# The native module lists the fast paths it uses here; this plain-Python module has none.
fast_paths = ()

# Undrained events pushed out of a full event_queue, and the least number of seconds between two
# warnings about it (the framework may reset or change either).
overwritten_events = 0
overwrite_warning_interval = 10.0

# When the last overflow warning was logged (negative before the first) and the overwrites since.
_last_warning = -1.0
_unreported = 0

_NANOSECONDS = 1000000000


# ---- the hand-off of events -------------------------------------------------------------------

def _will_overwrite(queue):
    """True when appending to `queue` pushes out an event not yet drained; a queue without a
    bound (no `maxlen`, or None) never is full."""
    try:
        capacity = queue.maxlen
    except AttributeError:
        return False
    if capacity is None:
        return False
    size = len(queue)
    return size >= _index(capacity)


def _count_overwrite():
    """overwritten_events + 1; a value that is not a plain non-negative int restarts the count."""
    global overwritten_events
    before = globals().get("overwritten_events")
    total = before + 1 if type(before) is int and 0 <= before < 2 ** 63 - 1 else 1
    overwritten_events = total
    return total


def _warning_interval():
    value = globals().get("overwrite_warning_interval", 10.0)
    if isinstance(value, float):
        return value
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        return 10.0
    try:
        return float(value)
    except Exception:
        return 10.0


class _Unraisable:
    """Hands an error that must not propagate to sys.unraisablehook: raised from __del__, which
    the interpreter reports as unraisable, as it does for native code."""

    def __init__(self, exc):
        self.exc = exc

    def __del__(self):
        exc, self.exc = self.exc, None
        raise exc


def _report_unraisable(exc, obj):
    _Unraisable(exc)


def _warn_if_due(total):
    """Logs the overflow warning at the first overwrite of a count, then at most once per
    interval. A failing logger must not fail the callback whose event was queued, so its error
    is reported as unraisable."""
    global _last_warning, _unreported
    if total == 1:
        _unreported = 0
    _unreported += 1
    now = _monotonic()
    if total > 1 and _last_warning >= 0.0 and now - _last_warning < _warning_interval():
        return
    text = ("event_queue is full: %d undrained event(s) overwritten since the last warning, %d in all"
            % (_unreported, total))
    _last_warning = now
    _unreported = 0
    try:
        log = system_log
    except NameError as exc:
        _report_unraisable(exc, None)
        return
    try:
        log.warning(text)
    except BaseException as exc:
        _report_unraisable(exc, log)


def _queue(queue, event):
    """queue.append(event), with the ring buffer's own overwrite rule; an overwrite of an
    undrained event is counted and reported, never silent."""
    full = _will_overwrite(queue)
    queue.append(event)
    if full:
        _warn_if_due(_count_overwrite())


# ---- history readers --------------------------------------------------------------------------

def get_current_tick(market_code):
    """The newest tick record of the instrument, or None when it has none."""
    if market_code not in history_tick:
        return None
    return history_tick[market_code][-1]


def get_current_bar(market_code):
    """The newest bar record of the instrument, or None when it has none."""
    if market_code not in history_bar:
        return None
    return history_bar[market_code][-1]


def history_ticks(market_code, count):
    """The last `count` tick records (all of them for 0), as a new list; None without history."""
    if market_code not in history_tick:
        return None
    return list(history_tick[market_code])[count * -1:]


def history_bars(market_code, count):
    """The last `count` bar records (all of them for 0), as a new list; None without history."""
    if market_code not in history_bar:
        return None
    return list(history_bar[market_code])[count * -1:]


# ---- helpers of the callbacks -----------------------------------------------------------------

def _read_or_absent(obj, name):
    """(True, obj.<name>), or (False, None) when reading it fails in any way."""
    try:
        return True, getattr(obj, name)
    except Exception:
        return False, None


def _channel_name(account_value):
    """The upper-cased channel part of an account value "<first>_<channel>"."""
    _, channel = account_value.split("_")
    return channel.upper()


def _append_to_history(history, market_code, record, new_deque):
    # A new deque holds the record before it is stored, so no reader ever meets an empty one.
    if market_code in history:
        history[market_code].append(record)
        return
    records = new_deque()
    records.append(record)
    history[market_code] = records


def _positive(value):
    """The test a terminal id passes when it is real."""
    return bool(value) and bool(value > 0)


def _delay_ns(later, earlier):
    return int((later - earlier).total_seconds() * _NANOSECONDS)


def _at_time(moment, hour, minute):
    return moment.replace(hour=hour, minute=minute, second=0, microsecond=0)


def _tomorrow_at(hour):
    return _at_time(datetime.now(), hour, 0) + timedelta(days=1)


def _arm_next_day(bridge):
    midnight = _tomorrow_at(0)
    delay = _delay_ns(midnight, datetime.now())
    bridge.context.add_timer_interval(delay, bridge.send_next_day_event)


def _arm_for_today(context, now, hour, minute, late, callback):
    """A timer for hour:minute today when `now` is earlier; else the `late` delay (or none)."""
    target = _at_time(now, hour, minute)
    if now < target:
        context.add_timer_interval(_delay_ns(target, now), callback)
    elif late is not None:
        context.add_timer_interval(late, callback)


def _position_from(pos, get_exchange, position_cls, long_direction):
    """A long Position for one reported position, with the terminal's current state set on it."""
    head = pos.security_id + "."
    market_code = head + get_exchange(pos.market_id)
    position = position_cls(market_code, long_direction, pos.init_qty)
    state = {
        "quantity": pos.leaves_qty,
        "available_qty": pos.available_qty,
        "avg_price": pos.cost_price,
        "last_price": pos.last_price,
        "market_value": pos.market_value,
        "daily_pnl": pos.profit_loss,
    }
    position.set_state(state)
    return position


class _OrderUpdate:
    """One order report applied to its framework order."""

    def __init__(self, report, fields, fw_order):
        self.report = report
        self.fields = fields
        self.order = fw_order
        self.account = Environment.get_instance().get_account(fw_order.market_code)

    def post(self, kind_name, **fields):
        _queue(event_queue, Event(getattr(EVENT, kind_name), account=self.account, **fields))

    def post_order(self, kind_name):
        # The copy is made before the event's kind is read.
        order_copy = copy.deepcopy(self.order)
        self.post(kind_name, order=order_copy)

    def set_frozen_cash(self):
        frozen = self.report.frozen_trade_value
        self.order.set_frozen_cash(frozen)

    def creation(self):
        counter_order_id = self.report.counter_order_id
        self.order.secondary_order_id = counter_order_id
        self.set_frozen_cash()
        if not _positive(counter_order_id):
            return
        active = ORDER_STATUS.ACTIVE
        if not self.order.status != active:
            return
        self.order.status = active
        self.post_order("ORDER_CREATION_PASS")

    def fill(self, new_status):
        """A report with a new fill makes a trade and brings the order's fill figures up to the
        terminal's cumulative ones; `new_status` names the status the fill sets (None for the
        cancelling rows, which set theirs after the TRADE event)."""
        f = self.fields
        if not f["last_match_qty"] > 0:
            return
        create = Trade.__from_create__
        order_id = self.order.order_id
        price = self.report.last_match_price
        side = self.order.side
        position_effect = self.order.position_effect
        market_code = self.order.market_code
        frozen_price = self.order.price
        trade = create(order_id=order_id, price=price, amount=f["last_match_qty"], side=side,
                       position_effect=position_effect, market_code=market_code, frozen_price=frozen_price)
        self.order.avg_price = f["total_trade_value"] / f["trade_qty"]
        self.order.filled_quantity = f["trade_qty"]
        self.order.unfilled_quantity = f["order_qty"] - f["trade_qty"]
        if new_status is not None:
            self.order.status = getattr(ORDER_STATUS, new_status)
        order_copy = copy.deepcopy(self.order)
        self.post("TRADE", trade=trade, order=order_copy)

    def cancellation(self):
        self.fill(None)
        self.order.status = ORDER_STATUS.CANCELLED
        self.post_order("ORDER_CANCELLATION_PASS")

    def pending_cancel(self):
        self.fill(None)
        if self.order.filled_quantity > 0:
            self.order.status = ORDER_STATUS.PARTIALLY_FILLED
        self.post_order("ORDER_PENDING_CANCEL")

    def rejection(self):
        # The text forms of code and message, so a message that is not text still marks the
        # order rejected instead of failing the report.
        reason = str(self.report.error_code) + "_" + str(self.fields["error_msg"])
        self.order.mark_rejected(reason)
        self.set_frozen_cash()
        self.post_order("ORDER_UNSOLICITED_UPDATE")


# The status rows in the order the reported status is tested against them.
_STATUS_ROWS = (
    ("UnSend", "creation"),
    ("Sended", "creation"),
    ("PartiallyFilled", "partially_filled"),
    ("Filled", "filled"),
    ("PartiallyFilledPartiallyCancelled", "cancellation"),
    ("Cancelled", "cancellation"),
    ("WaitCancelled", "pending_cancel"),
    ("PartiallyFilledWaitCancelled", "pending_cancel"),
    ("Reject", "rejection"),
)

_ORDER_FIELDS = ("client_order_id", "security_id", "order_price", "order_status", "order_qty", "trade_qty",
                 "total_trade_value", "error_msg", "last_match_qty")


def _take_state_report(record, map_name, cls_name, kind_name, keyword):
    """One state report of a known parent order: converted with the previous object of the same
    parent, kept under the parent's id, and queued as a deep copy. The id is read afresh at each
    step."""
    if record.sys_quote_id not in algo_parent_id:
        return
    reports = globals()[map_name]
    existing = None
    if record.sys_quote_id in reports:
        existing = reports.get(record.sys_quote_id)
    latest = globals()[cls_name].from_vorn(record, existing)
    # The map holds the object itself; the framework's thread only ever sees copies.
    reports[record.sys_quote_id] = latest
    latest_copy = copy.deepcopy(latest)
    _queue(event_queue, Event(getattr(EVENT, kind_name), **{keyword: latest_copy}))


def _post_parent_reply(kind_name, reply):
    parent_order_id = reply.sys_quote_id
    code = reply.error_code
    msg = reply.error_msg
    _queue(event_queue, Event(getattr(EVENT, kind_name), parent_order_id=parent_order_id, code=code, msg=msg))


# ---- the bridge -------------------------------------------------------------------------------

class VornStrategy(strategy.VornStrategy):
    """The terminal's strategy whose hooks feed the framework."""

    def __init__(self, config):
        super().__init__()
        self.logged_in = False
        self.order_num = 0
        self.bar_cnt = 0
        self.current_trade_dt = 0
        self.first_dt = datetime.now().date()
        self.config = config

    def initialize(self, config):
        # Every value is read from self.config; the argument is the terminal's.
        system_log.info("VornStrategy initialize...")
        base = self.config.base
        context = self.context

        # MDType.VnMD for exactly "VnMD"; any other value, or no readable md_type, is AMD.
        md_types = MDType
        present, md_type = _read_or_absent(base, "md_type")
        md = md_types.VnMD if present and md_type == "VnMD" else md_types.AMD
        context.add_md_broker(md)
        vorn_params["vorn_md"] = md

        present, order_way = _read_or_absent(base, "order_way")
        if present:
            context.set_order_way(order_way)

        # One trade channel per account; vorn_td ends as the last one's type.
        for _, account in base.accounts.items():
            name = _channel_name(account)
            context.add_td_broker(get_vorn_tdtype(name))
            vorn_params["vorn_td"] = get_vorn_tdtype(name)

        present, algo_account = _read_or_absent(base, "algo_account")
        if present and algo_account is not None and _channel_name(algo_account) == "ATX":
            context.add_algo_broker(AlgoType.ATX)
        vorn_params["vorn_context"] = context

        # One subscription to one-minute bars of every instrument (an empty code list).
        context.subscribe(vorn_params["vorn_md"], MarketType.SZSE, SubscribeDataType.Bar, [], "1m")

        self.set_timer()
        self.set_next_day_timer()

    def on_initialize(self):
        pass

    def on_switch_day(self):
        # vorn_params, event_queue and the bar count stay as they are.
        orders_dict.clear()
        history_bar.clear()
        history_tick.clear()
        algo_parent_orders.clear()
        algo_child_orders.clear()
        algo_child_trades.clear()
        algo_parent_id.clear()

    def on_snapshot(self, snapshot):
        convert = convert_int_to_datetime
        dt = convert(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_vorn_mdtype(snapshot.market_type)
        # Every read happens before anything is stored, so a failing record changes nothing.
        tick = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        _append_to_history(history_tick, market_code, tick, lambda: deque(maxlen=60))
        # The tick object carries the very record held in the history.
        instrument = Environment.get_instance().data_proxy.instruments(market_code)
        _queue(event_queue, Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=TickObject(instrument, tick)))

    def on_tick_order(self, tick_order):
        convert = convert_int_to_datetime
        dt = convert(tick_order.order_time / 1000)
        head = tick_order.security_id + "."
        market_type = tick_order.market_type
        market_code = head + get_exchane_from_vorn_mdtype(market_type)
        side = get_side_from_vorn_l2_order(chr(tick_order.side), market_type)
        # The values in constructor order; the plain order type is converted before the
        # level-2 kind, both from one read of the record's type.
        create = L2Order.__from_create__
        biz_index = tick_order.biz_index
        price = tick_order.order_price
        volume = tick_order.order_volume
        type_char = chr(tick_order.order_type)
        order_type = get_order_type_from_vorn_l2_order(type_char, market_type)
        orig_order_no = tick_order.orig_order_no
        l2_kind = get_l2order_type_from_vorn(type_char, market_type)
        l2_order = create(biz_index, market_code, dt, side, price, volume, order_type, orig_order_no, l2_kind)
        _queue(event_queue, Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        convert = convert_int_to_datetime
        dt = convert(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_vorn_mdtype(tick_trade.market_type)
        # A later buy order than sell order means the buyer took the offer; equal numbers
        # count as a sell.
        bid_no = tick_trade.bid_appl_seq_num
        offer_no = tick_trade.offer_appl_seq_num
        side = SIDE.BUY if bid_no > offer_no else SIDE.SELL
        create = L2Transaction.__from_create__
        biz_index = tick_trade.biz_index
        price = tick_trade.trade_price
        volume = tick_trade.trade_volume
        value = tick_trade.value_trade
        trade_type = get_trade_type_from_vorn(chr(tick_trade.trade_type))
        l2_trade = create(biz_index, market_code, dt, side, price, volume, value, trade_type, bid_no, offer_no)
        _queue(event_queue, Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=l2_trade))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_vorn_mdtype(bar.market_type)
        convert = convert_int_to_datetime
        t = bar.end_time / 1000
        record = {
            "market_code": market_code,
            "orig_time": convert(t),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        _append_to_history(history_bar, market_code, record, deque)

        # bar_cnt counts the bars of one bar time and restarts at 1 for a new time; one BAR
        # event per bar time, once as many bars arrived as the universe (read afresh) holds.
        current = self.current_trade_dt
        self.bar_cnt = self.bar_cnt + 1 if current == 0 or current == t else 1
        self.current_trade_dt = t
        # Both attributes are read back rather than taken from the locals: a data descriptor may
        # keep another value than the one stored. The count is read before the universe, as the
        # left operand of the comparison is.
        if not self.bar_cnt == len(Environment.get_instance().get_universe()):
            return
        calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
        _queue(event_queue, Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
        self.bar_cnt = 0

    def on_login(self, login_res):
        account_id = login_res.fund_account_id
        error_code = login_res.error_code
        system_log.info("on_login fund_account_id:" + str(account_id) + ", error_code:" + str(error_code))
        rid = login_res.client_seq_id
        error_msg = login_res.error_msg
        _queue(event_queue, Event(EVENT.LOGIN, rid=rid, account_id=account_id, code=error_code, msg=error_msg))

    def on_query_asset(self, asset_res, request_id, code, msg):
        # The record's id and remaining funds are logged even for a failed query.
        account_id = asset_res.fund_account_id
        leaves_value = asset_res.leaves_value
        system_log.info("on_query_asset, " + str(account_id) + ", leaves_value:" + str(leaves_value)
                        + " code " + str(code) + "  ms " + str(msg))
        if code != 0:
            _queue(event_queue, Event(EVENT.QUERY_ACCOUNT, rid=request_id, account_id=account_id, code=code,
                                      msg=msg))
            return
        asset = Asset(account_id, asset_res.available_t1, asset_res.frozen_all, asset_res.market_value,
                      asset_res.total_asset, leaves_value, asset_res.init_leaves_value)
        _queue(event_queue, Event(EVENT.QUERY_ACCOUNT, rid=request_id, account_id=account_id, asset=asset))

    def on_query_position(self, query_position_res, request_id, code, msg):
        system_log.info("on_query_position: code:" + str(code) + ", msg:" + str(msg))
        if code != 0:
            # A failed position query is answered as an account query, without an account id.
            _queue(event_queue, Event(EVENT.QUERY_ACCOUNT, rid=request_id, code=code, msg=msg))
            return
        # Only a real, non-empty list is an answer; anything else gets no event.
        if type(query_position_res) is not list or len(query_position_res) == 0:
            return
        get_exchange = get_exchane_from_vorn_mdtype
        position_cls = Position
        long_direction = POSITION_DIRECTION.LONG
        positions = []
        for pos in query_position_res:
            # A position that cannot be converted is logged and left out, so one bad element
            # does not cost the framework the rest of the answer.
            try:
                positions.append(_position_from(pos, get_exchange, position_cls, long_direction))
            except Exception as exc:
                system_log.warning("on_query_position position do not add: " + str(pos.security_id)
                                   + "  exception: " + str(exc))
        _queue(event_queue, Event(EVENT.QUERY_POSITION, rid=request_id, positions=positions))

    def on_order(self, order):
        fields = {name: getattr(order, name) for name in _ORDER_FIELDS}
        system_log.info(
            "on_order:" + str(fields["client_order_id"]) + ", symbol: " + str(fields["security_id"])
            + ", price:" + str(fields["order_price"]) + ", status:" + str(fields["order_status"])
            + ", order_qty:" + str(fields["order_qty"]) + ", trade_qty:" + str(fields["trade_qty"])
            + ", total_trade_value: " + str(fields["total_trade_value"]) + ", error_msg:" + str(fields["error_msg"])
            + ", last_match_qty: " + str(fields["last_match_qty"]))
        if fields["client_order_id"] not in orders_dict:
            return
        update = _OrderUpdate(order, fields, orders_dict[fields["client_order_id"]])
        status = fields["order_status"]
        for member, row in _STATUS_ROWS:
            if status == getattr(OrderStatusType, member):
                break
        else:
            return
        if row == "partially_filled":
            update.fill("PARTIALLY_FILLED")
        elif row == "filled":
            update.fill("FILLED")
        else:
            getattr(update, row)()

    def on_trade(self, trade):
        # Fills are taken from the order reports; the separate trade report adds nothing.
        pass

    def on_order_action_error(self, order_action_error):
        client_order_id = order_action_error.client_order_id
        if client_order_id not in orders_dict:
            return
        fw_order = orders_dict[client_order_id]
        account = Environment.get_instance().get_account(fw_order.market_code)
        order_copy = copy.deepcopy(fw_order)
        _queue(event_queue, Event(EVENT.ORDER_CANCELLATION_REJECT, account=account, order=order_copy))

    def on_algo_login(self, algo_login_res):
        req_id = algo_login_res.client_seq_id
        algo_account = algo_login_res.trader_id
        code = algo_login_res.error_code
        msg = algo_login_res.error_msg
        _queue(event_queue, Event(EVENT.ALGO_LOGIN, req_id=req_id, algo_account=algo_account, code=code, msg=msg))

    def on_create_algo_parent_order_res(self, create_parent_order_res):
        res = create_parent_order_res
        req_id = res.client_seq_id
        parent_id = res.sys_quote_id
        code = res.error_code
        msg = res.error_msg
        _queue(event_queue, Event(EVENT.PARENT_ORDER_CREATE, req_id=req_id, parent_order_id=parent_id, code=code,
                                  msg=msg))
        # The reply is forwarded whatever its outcome; only a positive id makes the parent known.
        if _positive(parent_id):
            algo_parent_id.append(parent_id)

    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res):
        _post_parent_reply("PARENT_ORDER_CANCEL", cancel_parent_order_res)

    def on_control_algo_parent_order_res(self, control_parent_order_res):
        # Imported at each reply, so a replaced enums module takes effect.
        from pyvorn.enums import AlgoControlType
        try:
            control = control_parent_order_res.control_type
        except AttributeError:
            control = control_parent_order_res.algo_control_type
        if control == AlgoControlType.Pause:
            _post_parent_reply("PARENT_ORDER_PAUSE", control_parent_order_res)
        elif control == AlgoControlType.Resume:
            _post_parent_reply("PARENT_ORDER_RESUME", control_parent_order_res)

    def on_algo_parent_order_update(self, parent_order):
        _take_state_report(parent_order, "algo_parent_orders", "AlgoParentOrder", "PARENT_ORDER_UPDATE",
                           "algo_parent_order")

    def on_algo_child_order_update(self, child_order):
        _take_state_report(child_order, "algo_child_orders", "AlgoChildOrder", "CHILD_ORDER_UPDATE",
                           "algo_child_order")

    def on_algo_child_order_trade(self, child_trade):
        _take_state_report(child_trade, "algo_child_trades", "AlgoChildTrade", "CHILD_ORDER_TRADE",
                           "algo_child_trade")

    def create_time_listener(self):
        current_date = np.datetime64("today", "D")
        calendar = self.config.base.trading_calendar
        if current_date not in calendar:
            # Only logged: the day's timers are armed all the same.
            system_log.info(str(current_date) + " not trade day... " + str(calendar))
        now = datetime.now()
        context = self.context
        _arm_for_today(context, now, 9, 0, 3 * _NANOSECONDS, self.send_before_trading_event)
        _arm_for_today(context, now, 9, 24, None, self.send_open_auction_event)
        _arm_for_today(context, now, 15, 30, 20 * _NANOSECONDS, self.send_after_trading_event)

    def send_day_event(self, event_type, dt):
        _queue(event_queue, Event(event_type, calendar_dt=dt, trading_dt=dt))

    def send_before_trading_event(self):
        self.send_day_event(EVENT.BEFORE_TRADING, datetime.now())

    def send_after_trading_event(self):
        self.send_day_event(EVENT.AFTER_TRADING, datetime.now())
        orders_dict.clear()

    def send_open_auction_event(self):
        self.send_day_event(EVENT.OPEN_AUCTION, datetime.now())

    def set_timer(self):
        # Today's day timers now, and this again at 08:00 tomorrow.
        self.create_time_listener()
        tomorrow_8am = _tomorrow_at(8)
        delay = _delay_ns(tomorrow_8am, datetime.now())
        self.context.add_timer_interval(delay, self.set_timer)

    def set_next_day_timer(self):
        _arm_next_day(self)

    def send_next_day_event(self):
        self.send_day_event(EVENT.NEXT_DAY_START, datetime.now())
        _arm_next_day(self)
