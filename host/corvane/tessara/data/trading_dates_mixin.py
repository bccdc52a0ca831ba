"""Trading-calendar arithmetic over one DatetimeIndex of trading days per calendar type."""

import pandas as pd

from corvane.tessara.const import TRADING_CALENDAR_TYPE


def _as_day(date):
    """Midnight Timestamp of a date, date-time, Timestamp or date text."""
    return pd.Timestamp(date).normalize()


class TradingDatesMixin(object):
    """Date arithmetic on trading calendars.

    `trading_calendars` maps a TRADING_CALENDAR_TYPE member to a sorted DatetimeIndex of
    trading days at midnight. Methods take an optional calendar type; without it they use
    the exchange calendar.
    """

    def __init__(self, trading_calendars):
        self.trading_calendars = trading_calendars

    def get_trading_calendar(self, trading_calendar_type=None):
        if trading_calendar_type is None:
            trading_calendar_type = TRADING_CALENDAR_TYPE.EXCHANGE
        try:
            return self.trading_calendars[trading_calendar_type]
        except KeyError:
            raise NotImplementedError("unsupported trading calendar type: {}".format(trading_calendar_type))

    def get_trading_dates(self, start_date, end_date, trading_calendar_type=None):
        """Trading days from start to end, both included, as a DatetimeIndex."""
        calendar = self.get_trading_calendar(trading_calendar_type)
        left = calendar.searchsorted(_as_day(start_date), "left")
        right = calendar.searchsorted(_as_day(end_date), "right")
        return calendar[left:right]

    def get_previous_trading_date(self, date, n=1, trading_calendar_type=None):
        """The trading day `n` trading days before the day of `date` (trading day or not)."""
        calendar = self.get_trading_calendar(trading_calendar_type)
        pos = calendar.searchsorted(_as_day(date), "left") - n
        if pos < 0 or pos >= len(calendar):
            raise IndexError("no trading day {} days before {} in the calendar".format(n, date))
        return calendar[pos]

    def get_next_trading_date(self, date, n=1, trading_calendar_type=None):
        """The trading day `n` trading days after the day of `date` (trading day or not)."""
        calendar = self.get_trading_calendar(trading_calendar_type)
        pos = calendar.searchsorted(_as_day(date), "right") + n - 1
        if pos < 0 or pos >= len(calendar):
            raise IndexError("no trading day {} days after {} in the calendar".format(n, date))
        return calendar[pos]

    def is_trading_date(self, date, trading_calendar_type=None):
        calendar = self.get_trading_calendar(trading_calendar_type)
        day = _as_day(date)
        pos = calendar.searchsorted(day, "left")
        return pos < len(calendar) and calendar[pos] == day

    def get_trading_dt(self, calendar_dt):
        """The trading day a moment belongs to: after 19:00 it is the next trading day
        (night sessions), otherwise the day itself or the next trading day."""
        if calendar_dt.hour > 19:
            return self.get_next_trading_date(calendar_dt)
        if self.is_trading_date(calendar_dt):
            return _as_day(calendar_dt)
        return self.get_next_trading_date(calendar_dt)

    def get_n_trading_dates_until(self, dt, n, trading_calendar_type=None):
        """The last `n` trading days up to and including the day of `dt`."""
        calendar = self.get_trading_calendar(trading_calendar_type)
        pos = calendar.searchsorted(_as_day(dt), "right")
        return calendar[max(0, pos - n):pos]

    def count_trading_dates(self, start_date, end_date, trading_calendar_type=None):
        return len(self.get_trading_dates(start_date, end_date, trading_calendar_type))
