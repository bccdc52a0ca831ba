"""Framework algorithmic parent order (split by the terminal into child orders)."""
from corvane.tessara.model._algo import AlgoModel, FilledOrderMixin


class AlgoParentOrder(FilledOrderMixin, AlgoModel):
    _vorn_fields = (
        ("parent_order_id", "sys_quote_id"),
        ("req_id", "client_seq_id"),
        ("security_id", "security_id"),
        ("market_type", "market_type"),
        ("side", "side"),
        ("algo_type", "algo_type"),
        ("quantity", "order_qty"),
        ("filled_quantity", "trade_qty"),
        ("filled_value", "trade_value"),
        ("status", "status"),
        ("start_time", "start_time"),
        ("end_time", "end_time"),
        ("error_code", "error_code"),
        ("error_msg", "error_msg"),
    )
    _fields = tuple(n for n, _ in _vorn_fields) + ("update_count",)

    @property
    def unfilled_quantity(self):
        return (self.quantity or 0) - (self.filled_quantity or 0)
