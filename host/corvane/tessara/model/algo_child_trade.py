"""Framework fill of a child order of an algorithmic parent order."""
from corvane.tessara.model._algo import AlgoModel


class AlgoChildTrade(AlgoModel):
    _vorn_fields = (
        ("parent_order_id", "sys_quote_id"),
        ("order_id", "client_order_id"),
        ("trade_id", "exec_id"),
        ("security_id", "security_id"),
        ("market_type", "market_type"),
        ("side", "side"),
        ("price", "trade_price"),
        ("quantity", "trade_qty"),
        ("trade_time", "trade_time"),
    )
    _fields = tuple(n for n, _ in _vorn_fields) + ("update_count",
                                                     "total_quantity")

    @classmethod
    def from_vorn(cls, record, previous):
        """Also keeps `total_quantity`, the quantity filled by all the trades
        reported for the same parent order so far."""
        self = super().from_vorn(record, previous)
        before = 0 if previous is None else previous.total_quantity
        self.total_quantity = before + (self.quantity or 0)
        return self
