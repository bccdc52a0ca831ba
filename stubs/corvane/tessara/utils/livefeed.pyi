from typing import Any

import numpy_ringbuffer
import pyvorn.strategy

from corvane.tessara.const import (
    ORDER_STATUS as ORDER_STATUS,
    POSITION_DIRECTION as POSITION_DIRECTION,
    SIDE as SIDE
)
from corvane.tessara.core.events import (
    EVENT as EVENT,
    Event as Event
)
from corvane.tessara.environment import Environment as Environment
from corvane.tessara.model.algo_child_order import (
    AlgoChildOrder as AlgoChildOrder
)
from corvane.tessara.model.algo_child_trade import (
    AlgoChildTrade as AlgoChildTrade
)
from corvane.tessara.model.algo_parent_order import (
    AlgoParentOrder as AlgoParentOrder
)
from corvane.tessara.model.l2_order import L2Order as L2Order
from corvane.tessara.model.l2_transaction import (
    L2Transaction as L2Transaction
)
from corvane.tessara.model.tick import TickObject as TickObject
from corvane.tessara.model.trade import Trade as Trade
from corvane.tessara.portfolio.account import Asset as Asset
from corvane.tessara.portfolio.position import Position as Position
from corvane.tessara.utils.datetime_func import (
    convert_int_to_datetime as convert_int_to_datetime,
    convert_int_to_whole_date as convert_int_to_whole_date
)
from corvane.tessara.utils.trade_func import (
    get_exchane_from_vorn_mdtype as get_exchane_from_vorn_mdtype,
    get_l2order_type_from_vorn as get_l2order_type_from_vorn,
    get_order_type_from_vorn_l2_order as get_order_type_from_vorn_l2_order,
    get_side_from_vorn_l2_order as get_side_from_vorn_l2_order,
    get_trade_type_from_vorn as get_trade_type_from_vorn,
    get_vorn_tdtype as get_vorn_tdtype
)


system_log: Any

_outside_names: tuple[tuple[str, str, str | None, tuple[str, ...], tuple[str, ...]], ...]

fast_paths: tuple[str, ...]

vorn_params: dict = {}

event_queue: numpy_ringbuffer.RingBuffer = ...

history_bar: dict = {}

history_tick: dict = {}

orders_dict: dict = {}

algo_parent_orders: dict = {}

algo_child_orders: dict = {}

algo_child_trades: dict = {}

algo_parent_id: list = []

overwritten_events: int = 0

overwrite_warning_interval: float = 10.0

def get_current_tick(market_code: str) -> dict[str, Any] | None: ...

def get_current_bar(market_code: str) -> dict[str, Any] | None: ...

def history_ticks(market_code: str, count: int) -> list[dict[str, Any]] | None: ...

def history_bars(market_code: str, count: int) -> list[dict[str, Any]] | None: ...

class VornStrategy(pyvorn.strategy.VornStrategy):
    def __init__(self, config: object | None) -> None: ...

    def initialize(self, config: object | None) -> None: ...

    def on_initialize(self) -> None: ...

    def on_switch_day(self) -> None: ...

    def on_snapshot(self, snapshot: object | None) -> None: ...

    def on_tick_order(self, tick_order: object | None) -> None: ...

    def on_tick_trade(self, tick_trade: object | None) -> None: ...

    def on_bar(self, bar: object | None) -> None: ...

    def on_login(self, login_res: object | None) -> None: ...

    def on_query_asset(self, asset_res: object | None, request_id: object | None, code: object | None, msg: object | None) -> None: ...

    def on_query_position(self, query_position_res: object | None, request_id: object | None, code: object | None, msg: object | None) -> None: ...

    def on_order(self, order: object | None) -> None: ...

    def on_trade(self, trade: object | None) -> None: ...

    def on_order_action_error(self, order_action_error: object | None) -> None: ...

    def on_algo_login(self, algo_login_res: object | None) -> None: ...

    def on_create_algo_parent_order_res(self, create_parent_order_res: object | None) -> None: ...

    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res: object | None) -> None: ...

    def on_control_algo_parent_order_res(self, control_parent_order_res: object | None) -> None: ...

    def on_algo_parent_order_update(self, parent_order: object | None) -> None: ...

    def on_algo_child_order_update(self, child_order: object | None) -> None: ...

    def on_algo_child_order_trade(self, child_trade: object | None) -> None: ...

    def create_time_listener(self) -> None: ...

    def send_day_event(self, event_type: object | None, dt: object | None) -> None: ...

    def send_before_trading_event(self) -> None: ...

    def send_after_trading_event(self) -> None: ...

    def send_open_auction_event(self) -> None: ...

    def set_timer(self) -> None: ...

    def set_next_day_timer(self) -> None: ...

    def send_next_day_event(self) -> None: ...
