"""The column types of the dataset's tables, the same on every tested pandas line.

pandas 1.5 gives text columns the object dtype and every date nanosecond resolution. From
pandas 2 a date keeps the resolution it was parsed or stored with (seconds for a date text,
milliseconds or microseconds from Parquet), and pandas 3 gives text its own string dtype. The
data client and the gateway hand these tables (and frames cut from them) to the framework, so
the tables are brought to the older types once, when a dataset is made or loaded: what the
client returns then does not depend on the pandas line it runs on.
"""
import numpy as np
import pandas as pd
from pandas.api import types as ptypes

NANOSECONDS = np.dtype("datetime64[ns]")


def _older_type(dtype):
    """The older line's type for a column of `dtype`, or None when it already has it."""
    if isinstance(dtype, pd.StringDtype):
        return np.dtype(object)
    if ptypes.is_datetime64_dtype(dtype) and dtype != NANOSECONDS:
        return NANOSECONDS
    return None


def conform(frame):
    """`frame` with text columns as object (None where a text is missing, as an object column
    read from Parquet or built from rows holds it) and time-zone-free dates as datetime64[ns]:
    a new frame, or the same one when nothing needs changing; None stays None."""
    if frame is None:
        return None
    changes = {}
    for name, dtype in frame.dtypes.items():
        wanted = _older_type(dtype)
        if wanted is not None:
            changes[name] = wanted
    if not changes:
        return frame
    out = frame.astype(changes)
    for name, dtype in frame.dtypes.items():
        if isinstance(dtype, pd.StringDtype):
            texts = frame[name].array.to_numpy(dtype=object, na_value=None)
            out[name] = pd.Series(texts, index=out.index, dtype=object)
    return out


def conform_dates(dates):
    """A DatetimeIndex of `dates` at nanosecond resolution, its name kept."""
    index = pd.DatetimeIndex(dates)
    return index if index.dtype == NANOSECONDS else index.astype(NANOSECONDS)
