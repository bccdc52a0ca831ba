"""Small helpers shared by the client's services."""
import datetime

import numpy as np
import pandas as pd


def is_panel_removed():
    """The pandas in use has no Panel type (removed in 0.25), so multi-field answers for
    several codes come as frames with a two-level index."""
    return not hasattr(pd, "Panel")


def to_datetime(value):
    """A datetime.datetime from a date, date-time, Timestamp, text, or integer YYYYMMDD /
    YYYYMMDDHHMMSS."""
    if isinstance(value, (int, np.integer)):
        text = str(int(value))
        return datetime.datetime.strptime(text, "%Y%m%d%H%M%S" if len(text) == 14 else "%Y%m%d")
    if isinstance(value, datetime.datetime):
        return value if not isinstance(value, pd.Timestamp) else value.to_pydatetime()
    if isinstance(value, datetime.date):
        return datetime.datetime(value.year, value.month, value.day)
    return pd.Timestamp(value).to_pydatetime()
