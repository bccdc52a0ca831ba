"""Framework order, as the order-submission side creates and registers it.

The live bridge changes status, quantities, average price, the counter's
order id and the frozen cash in place; events carry deep copies.
"""
import itertools
from datetime import datetime as _datetime

from corvane.tessara.const import FINAL_ORDER_STATUSES, ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE
from corvane.tessara.model._record import ModelObject

_order_ids = itertools.count(1)


class Order(ModelObject):
    _fields = ("order_id", "secondary_order_id", "market_code", "side",
               "position_effect", "type", "price", "quantity",
               "filled_quantity", "unfilled_quantity", "avg_price", "status",
               "message", "frozen_cash", "datetime")

    def __init__(self, market_code, quantity, side, price=None,
                 position_effect=None, order_type=None, order_id=None,
                 dt=None):
        if not isinstance(side, SIDE):
            raise TypeError("side must be a SIDE member, got %r" % (side,))
        if quantity <= 0:
            raise ValueError("order quantity must be positive, got %r" % (quantity,))
        self.order_id = next(_order_ids) if order_id is None else order_id
        self.secondary_order_id = None
        self.market_code = market_code
        self.side = side
        if position_effect is None:
            position_effect = (POSITION_EFFECT.OPEN if side is SIDE.BUY
                               else POSITION_EFFECT.CLOSE)
        self.position_effect = position_effect
        if order_type is None:
            order_type = ORDER_TYPE.MARKET if price is None else ORDER_TYPE.LIMIT
        self.type = order_type
        self.price = price
        self.quantity = quantity
        self.filled_quantity = 0
        self.unfilled_quantity = quantity
        self.avg_price = 0.0
        self.status = ORDER_STATUS.PENDING_NEW
        self.message = ""
        self.frozen_cash = 0.0
        self.datetime = _datetime.now() if dt is None else dt

    @classmethod
    def __from_create__(cls, market_code, quantity, side, price=None,
                        position_effect=None, order_type=None):
        return cls(market_code, quantity, side, price, position_effect,
                   order_type)

    def is_final(self):
        return self.status in FINAL_ORDER_STATUSES

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reject_reason):
        """Reject the order with the reason; an order already final stays."""
        if not self.is_final():
            self.message = reject_reason
            self.status = ORDER_STATUS.REJECTED

    def mark_cancelled(self, reason=""):
        if not self.is_final():
            self.message = reason
            self.status = ORDER_STATUS.CANCELLED
