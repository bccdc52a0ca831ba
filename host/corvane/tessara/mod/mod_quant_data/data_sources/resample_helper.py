"""Resampling one trading day's one-minute bar array to bars of N minutes."""
import numpy as np

# How each bar field aggregates over the minutes of a longer bar; fields not listed take
# the value of the last minute (closing values, times, codes, open interest).
_FIRST = frozenset(("open", "open_price"))
_MAX = frozenset(("high", "high_price", "limit_up"))
_MIN = frozenset(("low", "low_price", "limit_down"))
_SUM = frozenset(("volume", "total_turnover", "turnover", "num_trades"))


def _minute_numbers(orig_time):
    """Minutes since 1970 of YYYYMMDDHHMMSS integers, to find gaps between sessions."""
    t = orig_time.astype(np.int64)
    date, clock = np.divmod(t, 1000000)
    year, rest = np.divmod(date, 10000)
    month, day = np.divmod(rest, 100)
    days = ((year - 1970).astype("M8[Y]").astype("M8[M]") + (month - 1).astype("m8[M]")).astype("M8[D]")
    days = (days + (day - 1).astype("m8[D]")).astype(np.int64)
    return days * 1440 + (clock // 10000) * 60 + (clock // 100) % 100


def _bar_groups(bars, resample):
    """Start position of each resampled bar: every `resample` minutes within a trading
    session, a session ending the run early (its last bar may hold fewer minutes)."""
    n = len(bars)
    if n == 0:
        return np.empty(0, dtype=np.intp)
    if "orig_time" in (bars.dtype.names or ()):
        minutes = _minute_numbers(bars["orig_time"])
        new_session = np.flatnonzero(np.diff(minutes) != 1) + 1
    else:
        new_session = np.empty(0, dtype=np.intp)
    session_starts = np.concatenate(([0], new_session))
    session_ends = np.concatenate((new_session, [n]))
    return np.concatenate([np.arange(a, b, resample) for a, b in zip(session_starts, session_ends)])


def resample_bars(instrument, bars, fields, resample):
    """Bars of `resample` minutes made from one day's one-minute bar array `bars`.

    The result has every field of `bars` (so at least `fields`), oldest first, each bar
    stamped with the time of its last minute. Bars never straddle a break between trading
    sessions; a session whose length is not a multiple of `resample` ends with a shorter
    bar. `instrument` is accepted for the caller's convenience and not needed here.
    """
    if resample <= 0:
        raise ValueError("resample must be a positive number of minutes, got {}".format(resample))
    if fields is not None:
        missing = [f for f in ([fields] if isinstance(fields, str) else fields) if f not in bars.dtype.names]
        if missing:
            raise KeyError("bar fields not available: {}".format(", ".join(missing)))
    starts = _bar_groups(bars, resample)
    if resample == 1 or len(starts) == len(bars):
        return bars.copy()
    ends = np.append(starts[1:], len(bars)) - 1
    result = np.empty(len(starts), dtype=bars.dtype)
    for name in bars.dtype.names:
        column = bars[name]
        if name in _FIRST:
            result[name] = column[starts]
        elif name in _MAX:
            result[name] = np.maximum.reduceat(column, starts)
        elif name in _MIN:
            result[name] = np.minimum.reduceat(column, starts)
        elif name in _SUM:
            result[name] = np.add.reduceat(column, starts)
        else:
            result[name] = column[ends]
    return result
