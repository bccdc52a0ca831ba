"""Data-gateway client: index constituents and weights, answered from the dataset the data
client serves. Each call returns (table, response code, message)."""
import collections

import pandas as pd
import six

from corvane.data.wkclient.commons import ApiRspCode

call_counts = collections.Counter()

_CONSTITUENT_COLUMNS = ["index_code", "market_code", "in_date", "out_date"]
_WEIGHT_COLUMNS = ["index_code", "market_code", "trade_date", "weight"]


def reset_call_counts():
    call_counts.clear()


def _dataset():
    from corvane.tessara.datac import get_dataset
    return get_dataset()


def _day(value):
    return pd.Timestamp(value).normalize()


def _range(start_time, end_time):
    start, end = _day(start_time), _day(end_time)
    if start > end:
        raise ValueError("start_time {} is after end_time {}".format(start_time, end_time))
    return start, end


def _reply(table):
    if table.empty:
        return table.reset_index(drop=True), ApiRspCode.NO_DATA, "no data"
    return table.reset_index(drop=True), ApiRspCode.SUCCESS, "success"


def index_con_his(index_codes, start_time, end_time):
    """Constituent memberships of the indexes that overlap [start_time, end_time]: one row
    per member with the day it joined (`in_date`) and left (`out_date`, NaT while a member).
    A one-day range gives the constituents on that day."""
    call_counts["index_con_his"] += 1
    if isinstance(index_codes, six.string_types):
        raise TypeError("index_codes must be a list of index codes")
    start, end = _range(start_time, end_time)
    table = _dataset().index_constituents
    rows = table["index_code"].isin(list(index_codes)) & (table["in_date"] <= end)
    rows &= table["out_date"].isna() | (table["out_date"] >= start)
    return _reply(table.loc[rows, _CONSTITUENT_COLUMNS])


def get_index_weight_stk(index_code, start_time, end_time):
    """Constituent weights (percent of the index, summing to 100 per day) of one index on
    each trading day in [start_time, end_time]."""
    call_counts["get_index_weight_stk"] += 1
    if not isinstance(index_code, six.string_types):
        raise TypeError("index_code must be one index code")
    start, end = _range(start_time, end_time)
    table = _dataset().index_weights
    rows = (table["index_code"] == index_code) & (table["trade_date"] >= start) & (table["trade_date"] <= end)
    return _reply(table.loc[rows, _WEIGHT_COLUMNS])
