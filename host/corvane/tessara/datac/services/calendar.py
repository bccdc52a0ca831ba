"""Exchange trading calendar operations."""
import datetime

import pandas as pd

from .._state import count, get_dataset
from ..utils import to_datetime


def _day(value):
    return pd.Timestamp(to_datetime(value)).normalize()


def get_trading_dates(start_date, end_date, market="cn"):
    """Trading days from start to end (both included) as datetime.date values."""
    count("get_trading_dates")
    dates = get_dataset().trading_dates_between(_day(start_date), _day(end_date))
    return list(dates.date)


def get_previous_trading_date(date, n=1, market="cn"):
    """The trading day `n` trading days before `date` (a trading day or not)."""
    count("get_previous_trading_date")
    if n < 1:
        raise ValueError("n must be at least 1, got {}".format(n))
    dates = get_dataset().trading_dates
    pos = dates.searchsorted(_day(date), "left") - n
    if pos < 0:
        raise ValueError("no trading day {} days before {}".format(n, date))
    return dates[pos].date()


def get_next_trading_date(date, n=1, market="cn"):
    count("get_next_trading_date")
    if n < 1:
        raise ValueError("n must be at least 1, got {}".format(n))
    dates = get_dataset().trading_dates
    pos = dates.searchsorted(_day(date), "right") + n - 1
    if pos >= len(dates):
        raise ValueError("no trading day {} days after {}".format(n, date))
    return dates[pos].date()


def get_trading_dates_in_type(start_date, end_date, expect_type="datetime", fmt=None, market="cn"):
    """Trading days as "int" (YYYYMMDD), "str" (`fmt`, default %Y-%m-%d), "date" or
    "datetime" values."""
    days = get_trading_dates(start_date, end_date, market)
    if expect_type == "int":
        return [d.year * 10000 + d.month * 100 + d.day for d in days]
    if expect_type == "str":
        return [d.strftime(fmt or "%Y-%m-%d") for d in days]
    if expect_type == "date":
        return days
    if expect_type == "datetime":
        return [datetime.datetime(d.year, d.month, d.day) for d in days]
    raise ValueError("unknown expect_type {!r}".format(expect_type))
