"""Futures operations of the data client."""
import pandas as pd
import six

from ._state import count, get_dataset
from .utils import to_datetime

_FIELDS = ["long_margin_ratio", "short_margin_ratio", "commission_type", "open_commission",
           "close_commission", "close_commission_today"]


def get_trading_parameters(order_book_ids, start_date=None, end_date=None, fields=None, market="cn"):
    """Daily margin and commission parameters of futures contracts, indexed by
    (market_code, trading_date), or None when the range holds none."""
    count("futures.get_trading_parameters")
    table = get_dataset().trading_parameters
    codes = [order_book_ids] if isinstance(order_book_ids, six.string_types) else list(order_book_ids)
    table = table[table["market_code"].isin(codes)]
    if start_date is not None:
        table = table[table["trading_date"] >= pd.Timestamp(to_datetime(start_date)).normalize()]
    if end_date is not None:
        table = table[table["trading_date"] <= pd.Timestamp(to_datetime(end_date)).normalize()]
    if table.empty:
        return None
    columns = _FIELDS if fields is None else ([fields] if isinstance(fields, six.string_types) else list(fields))
    return table.set_index(["market_code", "trading_date"])[columns]
