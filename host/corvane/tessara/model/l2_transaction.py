"""Framework level-2 transaction: one fill or cancellation at the exchange."""
from corvane.tessara.model._record import ModelObject


class L2Transaction(ModelObject):
    _fields = ("biz_index", "market_code", "datetime", "side", "price",
               "quantity", "value", "trade_type", "buy_order_no",
               "sell_order_no")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price,
                        quantity, value, trade_type, buy_order_no,
                        sell_order_no):
        self = cls.__new__(cls)
        self.biz_index = biz_index
        self.market_code = market_code
        self.datetime = datetime
        self.side = side
        self.price = price
        self.quantity = quantity
        self.value = value
        self.trade_type = trade_type
        self.buy_order_no = buy_order_no
        self.sell_order_no = sell_order_no
        return self
