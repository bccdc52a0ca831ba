"""Conversions between date-times and the framework's integer and text forms.

Integer forms: YYYYMMDD for dates, YYYYMMDDHHMMSS for date-times. A date-time
integer may come as a float whose fraction holds the part of a second (the
terminal's millisecond stamps divided by 1000 give such values); the fraction
is kept to the millisecond, as far as the float resolves it (about 4 ms at
this size).
"""
import datetime as _dt
import math
import numbers

import numpy as np
import pandas as pd

_DATE_INT_LIMIT = 100000000          # integers below this are YYYYMMDD
_DATETIME_INT_LIMIT = 100000000000000  # integers below this are YYYYMMDDHHMMSS


def _as_datetime(dt):
    """A datetime.datetime for any of the host's date or date-time forms."""
    if isinstance(dt, _dt.datetime):      # includes pandas.Timestamp
        return dt
    if isinstance(dt, _dt.date):
        return _dt.datetime(dt.year, dt.month, dt.day)
    if isinstance(dt, np.datetime64):
        return pd.Timestamp(dt).to_pydatetime()
    if isinstance(dt, str):
        return pd.Timestamp(dt).to_pydatetime()
    raise TypeError("not a date or date-time: %r" % (dt,))


def convert_dt_to_int(dt):
    """YYYYMMDDHHMMSS integer of a date-time (a date counts as midnight)."""
    d = _as_datetime(dt)
    return (((d.year * 100 + d.month) * 100 + d.day) * 1000000
            + d.hour * 10000 + d.minute * 100 + d.second)


def convert_date_to_int(dt):
    """YYYYMMDD integer of a date or date-time."""
    d = _as_datetime(dt)
    return (d.year * 100 + d.month) * 100 + d.day


def convert_dt_to_date_str(dt):
    """The date of `dt` as "YYYY-MM-DD", the form the data client accepts."""
    return _as_datetime(dt).strftime("%Y-%m-%d")


def _split_number(n):
    """(whole part, milliseconds) of an integer or float date-time number.

    Milliseconds may come out as 1000 when the fraction rounds up; the
    caller carries that into the seconds."""
    if isinstance(n, bool) or not isinstance(n, numbers.Real):
        raise TypeError("expected an integer date-time, got %r" % (n,))
    if isinstance(n, numbers.Integral):
        return int(n), 0
    f = float(n)
    if not math.isfinite(f) or f < 0:
        raise ValueError("invalid date-time number: %r" % (n,))
    whole = int(f)
    return whole, int(round((f - whole) * 1000))


def _from_whole(whole, millis=0):
    """Date-time of YYYYMMDD or YYYYMMDDHHMMSS digits plus milliseconds.

    A seconds field of 60 is accepted as the start of the next minute: a
    terminal stamp of HH:MM:59.999 divided by 1000 rounds up to it as a
    float, and truncating that float keeps the 60."""
    if whole < 0:
        raise ValueError("invalid date-time number: %r" % (whole,))
    if whole < _DATE_INT_LIMIT:
        return _dt.datetime(whole // 10000, whole // 100 % 100, whole % 100)
    if whole >= _DATETIME_INT_LIMIT:
        raise ValueError("not a YYYYMMDDHHMMSS number: %r" % (whole,))
    date, time = divmod(whole, 1000000)
    second = time % 100
    extra = 0
    if second == 60:
        second, extra = 59, 1
    base = _dt.datetime(date // 10000, date // 100 % 100, date % 100,
                        time // 10000, time // 100 % 100, second)
    if extra or millis:
        base += _dt.timedelta(seconds=extra, milliseconds=millis)
    return base


def convert_int_to_datetime(n):
    """Date-time of a YYYYMMDDHHMMSS (or YYYYMMDD) number.

    A float keeps its fraction of a second, rounded to the millisecond.
    """
    return _from_whole(*_split_number(n))


def convert_int_to_whole_date(n):
    """Date-time of a YYYYMMDDHHMMSS (or YYYYMMDD) number in whole seconds:
    any fraction of a second is dropped."""
    return _from_whole(_split_number(n)[0])


def convert_int_to_date(n):
    """Midnight of the date of a YYYYMMDD or YYYYMMDDHHMMSS number."""
    d = _from_whole(_split_number(n)[0])
    return _dt.datetime(d.year, d.month, d.day)
