"""The day's fills and orders as the framework saw them, as tables for the output folder."""
import re

import pandas as pd

from corvane.tessara.core.events import EVENT
from corvane.tessara.utils.trade_func import get_exchane_from_vorn_mdtype

from .prices import decimals

FILL_COLUMNS = ["time", "market_code", "side", "price", "quantity", "order_id", "kind"]
ORDER_COLUMNS = ["order_id", "market_code", "side", "type", "price", "quantity",
                 "filled_quantity", "avg_price", "status", "message", "created"]


_CODE_PREFIX = re.compile(r"^-?\d+_")


def reason_text(message):
    """The terminal's reason for a rejection as a reader wants it: the bridge files it as
    "<error code>_<text>"; the code means nothing to the reader, the text says it all."""
    return _CODE_PREFIX.sub("", message or "", count=1)


class Blotter:
    """Records every fill: of an order (`kind` "order", `order_id` the client order id) and
    of an algorithmic child order (`kind` "algo", `order_id` the parent's id)."""

    def __init__(self, bus, desk, clock, tick_of=None):
        self.desk = desk
        self.clock = clock
        self.tick_of = tick_of              # market code -> tick size, for the tables' prices
        self.fills = []                     # dicts with the keys of FILL_COLUMNS
        bus.add_listener(EVENT.TRADE, self.on_trade)
        bus.add_listener(EVENT.CHILD_ORDER_TRADE, self.on_child_trade)

    def on_trade(self, event):
        trade = event.trade
        self.fills.append({
            "time": self.clock.now(), "market_code": trade.market_code, "side": trade.side.name,
            "price": float(trade.price), "quantity": int(trade.amount),
            "order_id": self.desk.client_id_of(trade.order_id), "kind": "order"})

    def on_child_trade(self, event):
        trade = event.algo_child_trade
        code = trade.security_id + "." + get_exchane_from_vorn_mdtype(trade.market_type)
        self.fills.append({
            "time": self.clock.now(), "market_code": code, "side": trade.side.name.upper(),
            "price": float(trade.price), "quantity": int(trade.quantity),
            "order_id": trade.parent_order_id, "kind": "algo"})

    def _places(self, code):
        return decimals(self.tick_of(code)) if self.tick_of is not None else 6

    def fill_table(self):
        rows = [dict(f, price=round(f["price"], self._places(f["market_code"]))) for f in self.fills]
        return pd.DataFrame(rows, columns=FILL_COLUMNS)

    def order_table(self):
        # an average of fills may lie between ticks: two more places than the tick's
        rows = [{"order_id": cid, "market_code": o.market_code, "side": o.side.name,
                 "type": o.type.name,
                 "price": None if o.price is None else round(o.price, self._places(o.market_code)),
                 "quantity": int(o.quantity), "filled_quantity": int(o.filled_quantity),
                 "avg_price": round(float(o.avg_price), self._places(o.market_code) + 2),
                 "status": o.status.name, "message": reason_text(o.message),
                 "created": o.datetime}
                for cid, o in self.desk.orders.items()]
        return pd.DataFrame(rows, columns=ORDER_COLUMNS)
