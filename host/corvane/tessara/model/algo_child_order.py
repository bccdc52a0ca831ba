"""Framework child order of an algorithmic parent order."""
from corvane.tessara.model._algo import AlgoModel, FilledOrderMixin


class AlgoChildOrder(FilledOrderMixin, AlgoModel):
    _vorn_fields = (
        ("parent_order_id", "sys_quote_id"),
        ("order_id", "client_order_id"),
        ("secondary_order_id", "counter_order_id"),
        ("security_id", "security_id"),
        ("market_type", "market_type"),
        ("side", "side"),
        ("price", "order_price"),
        ("quantity", "order_qty"),
        ("filled_quantity", "trade_qty"),
        ("filled_value", "total_trade_value"),
        ("status", "order_status"),
        ("error_code", "error_code"),
        ("error_msg", "error_msg"),
    )
    _fields = tuple(n for n, _ in _vorn_fields) + ("update_count",)
