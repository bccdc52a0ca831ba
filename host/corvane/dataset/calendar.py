"""Exchange trading calendar: weekdays less the public holidays the holiday table knows."""
import datetime

import numpy as np
import pandas as pd

CALENDAR_START = datetime.date(2005, 1, 4)
CALENDAR_END = datetime.date(2050, 1, 1)


def _known_holidays():
    """Official holidays and the years the holiday table covers (first, last)."""
    from chinese_calendar import constants
    holidays = set(constants.holidays)
    years = [d.year for d in holidays]
    return holidays, min(years), max(years)


def exchange_trading_dates(start=CALENDAR_START, end=CALENDAR_END):
    """Trading days in [start, end] as a DatetimeIndex at midnight.

    The exchanges close on weekends and public holidays; the make-up working Saturdays
    and Sundays of the civil calendar are not trading days. For years the holiday table
    does not cover, every weekday is taken as a trading day.
    """
    days = pd.date_range(pd.Timestamp(start), pd.Timestamp(end), freq="D")
    weekday = days.day_of_week < 5
    holidays, first_year, last_year = _known_holidays()
    covered = (days.year >= first_year) & (days.year <= last_year)
    is_holiday = np.fromiter((d.date() in holidays for d in days), dtype=bool, count=len(days))
    keep = weekday & ~(covered & is_holiday)
    return pd.DatetimeIndex(days[keep], name="trading_date")
