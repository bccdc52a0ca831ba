"""Framework trade: one fill of a framework order."""
import itertools
from datetime import datetime as _datetime

from corvane.tessara.model._record import ModelObject

_trade_ids = itertools.count(1)


class Trade(ModelObject):
    _fields = ("trade_id", "order_id", "market_code", "side",
               "position_effect", "price", "amount", "frozen_price",
               "commission", "tax", "datetime")

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect,
                        market_code, frozen_price, commission=0.0, tax=0.0,
                        trade_id=None, dt=None):
        if amount <= 0:
            raise ValueError("trade amount must be positive, got %r" % (amount,))
        self = cls.__new__(cls)
        self.trade_id = next(_trade_ids) if trade_id is None else trade_id
        self.order_id = order_id
        self.market_code = market_code
        self.side = side
        self.position_effect = position_effect
        self.price = price
        self.amount = amount
        self.frozen_price = frozen_price
        self.commission = commission
        self.tax = tax
        self.datetime = _datetime.now() if dt is None else dt
        return self

    @property
    def last_price(self):
        return self.price

    @property
    def last_quantity(self):
        return self.amount

    @property
    def transaction_cost(self):
        return self.commission + self.tax
