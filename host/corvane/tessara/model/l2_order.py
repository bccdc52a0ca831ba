"""Framework level-2 order: one order entering (or leaving) the exchange book."""
from corvane.tessara.model._record import ModelObject


class L2Order(ModelObject):
    _fields = ("biz_index", "market_code", "datetime", "side", "price",
               "quantity", "order_type", "orig_order_no", "l2_order_type")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price,
                        quantity, order_type, orig_order_no, l2_order_type):
        self = cls.__new__(cls)
        self.biz_index = biz_index
        self.market_code = market_code
        self.datetime = datetime
        self.side = side
        self.price = price
        self.quantity = quantity
        self.order_type = order_type
        self.orig_order_no = orig_order_no
        self.l2_order_type = l2_order_type
        return self
