"""Records the terminal hands to strategy callbacks.

Time stamps: every terminal time stamp (`orig_time`, `end_time`,
`order_time`, `trade_time`) is an integer of the form YYYYMMDDHHMMSSmmm:
local date and time followed by three digits of milliseconds, for example
20261208093000500 for 2026-12-08 09:30:00.500. Dividing it by 1000 gives
the framework's YYYYMMDDHHMMSS number with the milliseconds as fraction.
A float that large resolves only about 4 ms, so whole seconds round-trip
exactly and milliseconds to within 4 ms. `stamp_from_datetime` and
`datetime_from_stamp` convert.

Codes: `market_type` and `market_id` are `MarketType` members; order
statuses are `OrderStatusType` members. Level-2 `side`, `order_type` and
`trade_type` are integer character codes in the exchange's own letters
(SZSE: side "1" buy / "2" sell, order type "1" market / "2" limit /
"U" best own side; SSE: side "B" / "S", order type "A" add / "D" delete;
trade type "F" fill / "4" cancel).
"""
from dataclasses import dataclass, field
from datetime import datetime as _datetime
from typing import Any, List

from pyvorn.enums import AlgoControlType, AlgoStatusType, AlgoType, MarketType, OrderStatusType, SideType


def stamp_from_datetime(dt):
    """Terminal time stamp (YYYYMMDDHHMMSSmmm) of a date-time."""
    return ((((((dt.year * 100 + dt.month) * 100 + dt.day) * 100 + dt.hour)
              * 100 + dt.minute) * 100 + dt.second) * 1000
            + dt.microsecond // 1000)


def datetime_from_stamp(stamp):
    """Date-time of a terminal time stamp (exact, from the integer)."""
    rest, millis = divmod(int(stamp), 1000)
    date, time = divmod(rest, 1000000)
    return _datetime(date // 10000, date // 100 % 100, date % 100,
                     time // 10000, time // 100 % 100, time % 100,
                     millis * 1000)


_record = dataclass(kw_only=True)


# Market data ----------------------------------------------------------------

@_record
class Snapshot:
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    orig_time: int = 0
    trading_phase_code: str = ""
    pre_close_price: float = 0.0
    open_price: float = 0.0
    high_price: float = 0.0
    low_price: float = 0.0
    last_price: float = 0.0
    close_price: float = 0.0
    high_limited: float = 0.0
    low_limited: float = 0.0
    total_volume_trade: int = 0
    total_value_trade: float = 0.0
    open_interest: int = 0
    prev_settlement: float = 0.0
    iopv: float = 0.0
    bid_price: List[float] = field(default_factory=list)
    bid_volume: List[int] = field(default_factory=list)
    ask_price: List[float] = field(default_factory=list)
    ask_volume: List[int] = field(default_factory=list)


@_record
class Bar:
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    period: str = "1m"
    start_time: int = 0
    end_time: int = 0
    open: float = 0.0
    close: float = 0.0
    high: float = 0.0
    low: float = 0.0
    volume: int = 0
    amount: float = 0.0
    prev_close: float = 0.0


@_record
class TickOrder:
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    order_time: int = 0
    channel_no: int = 0
    biz_index: int = 0
    orig_order_no: int = 0
    side: int = ord("1")
    order_type: int = ord("2")
    order_price: float = 0.0
    order_volume: int = 0


@_record
class TickTrade:
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    trade_time: int = 0
    channel_no: int = 0
    biz_index: int = 0
    bid_appl_seq_num: int = 0
    offer_appl_seq_num: int = 0
    trade_price: float = 0.0
    trade_volume: int = 0
    value_trade: float = 0.0
    trade_type: int = ord("F")


# Login and account queries -----------------------------------------------------

@_record
class LoginRes:
    client_seq_id: int = 0
    fund_account_id: str = ""
    error_code: int = 0
    error_msg: str = ""


@_record
class QueryAssetRes:
    fund_account_id: str = ""
    available_t1: float = 0.0
    frozen_all: float = 0.0
    market_value: float = 0.0
    total_asset: float = 0.0
    leaves_value: float = 0.0
    init_leaves_value: float = 0.0


@_record
class QueryPositionRes:
    """One position; a position query reports a list of these."""
    security_id: str = ""
    market_id: MarketType = MarketType.SZSE
    init_qty: int = 0
    leaves_qty: int = 0
    available_qty: int = 0
    cost_price: float = 0.0
    last_price: float = 0.0
    market_value: float = 0.0
    profit_loss: float = 0.0


# Orders and trades ---------------------------------------------------------------

@_record
class OrderReport:
    client_order_id: Any = 0
    counter_order_id: Any = 0
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    side: SideType = SideType.Buy
    order_price: float = 0.0
    order_qty: int = 0
    order_status: OrderStatusType = OrderStatusType.UnSend
    trade_qty: int = 0
    total_trade_value: float = 0.0
    last_match_qty: int = 0
    last_match_price: float = 0.0
    frozen_trade_value: float = 0.0
    error_code: int = 0
    error_msg: str = ""


@_record
class TradeReport:
    client_order_id: Any = 0
    counter_order_id: Any = 0
    exec_id: str = ""
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    side: SideType = SideType.Buy
    last_match_price: float = 0.0
    last_match_qty: int = 0
    trade_time: int = 0


@_record
class OrderActionError:
    client_order_id: Any = 0
    error_code: int = 0
    error_msg: str = ""


# Algorithmic orders ---------------------------------------------------------------

@_record
class AlgoLoginRes:
    client_seq_id: int = 0
    trader_id: str = ""
    error_code: int = 0
    error_msg: str = ""


@_record
class CreateParentOrderRes:
    client_seq_id: int = 0
    sys_quote_id: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class CancelParentOrderRes:
    client_seq_id: int = 0
    sys_quote_id: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class ControlParentOrderRes:
    client_seq_id: int = 0
    sys_quote_id: int = 0
    control_type: AlgoControlType = AlgoControlType.Pause
    error_code: int = 0
    error_msg: str = ""


@_record
class ParentOrder:
    sys_quote_id: int = 0
    client_seq_id: int = 0
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    side: SideType = SideType.Buy
    algo_type: AlgoType = AlgoType.ATX
    order_qty: int = 0
    trade_qty: int = 0
    trade_value: float = 0.0
    status: AlgoStatusType = AlgoStatusType.Created
    start_time: int = 0
    end_time: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class ChildOrder:
    """`sys_quote_id` is the id of the parent order."""
    sys_quote_id: int = 0
    client_order_id: Any = 0
    counter_order_id: Any = 0
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    side: SideType = SideType.Buy
    order_price: float = 0.0
    order_qty: int = 0
    trade_qty: int = 0
    total_trade_value: float = 0.0
    order_status: OrderStatusType = OrderStatusType.UnSend
    error_code: int = 0
    error_msg: str = ""


@_record
class ChildTrade:
    """`sys_quote_id` is the id of the parent order."""
    sys_quote_id: int = 0
    client_order_id: Any = 0
    exec_id: str = ""
    security_id: str = ""
    market_type: MarketType = MarketType.SZSE
    side: SideType = SideType.Buy
    trade_price: float = 0.0
    trade_qty: int = 0
    trade_time: int = 0
