"""Trading sessions: which minutes of which calendar day make up one trading day."""
import datetime

import numpy as np
import pandas as pd

# A night session runs on the evening of the previous trading day; none is held when that
# evening precedes a closure longer than a weekend.
MAX_NIGHT_GAP_DAYS = 3


def parse_sessions(trading_hours):
    """[(start_minute, end_minute, is_night)] from text such as "21:01-23:00,09:01-10:15"."""
    sessions = []
    for part in trading_hours.split(","):
        begin, end = part.split("-")
        bh, bm = (int(x) for x in begin.split(":"))
        eh, em = (int(x) for x in end.split(":"))
        sessions.append((bh * 60 + bm, eh * 60 + em, bh >= 18))
    return sessions


def has_night_session(trading_day, prev_trading_day, listed_date):
    if prev_trading_day is None or prev_trading_day < listed_date:
        return False
    return (trading_day - prev_trading_day).days <= MAX_NIGHT_GAP_DAYS


def bar_times(trading_hours, trading_day, prev_trading_day, listed_date):
    """End times of the one-minute bars of one trading day, oldest first, and the index
    where each session starts. Night bars carry the calendar date of the previous trading
    day's evening."""
    chunks, starts, count = [], [], 0
    day = pd.Timestamp(trading_day).normalize()
    for begin, end, night in parse_sessions(trading_hours):
        if night:
            if not has_night_session(day, prev_trading_day, listed_date):
                continue
            base = pd.Timestamp(prev_trading_day).normalize()
        else:
            base = day
        starts.append(count)
        minutes = np.arange(begin, end + 1, dtype=np.int64).astype("m8[m]")
        chunks.append(base.to_datetime64().astype("M8[m]") + minutes)
        count += end - begin + 1
    times = np.concatenate(chunks) if chunks else np.empty(0, dtype="M8[m]")
    return pd.DatetimeIndex(times.astype("M8[ns]")), starts


def minutes_per_day(trading_hours):
    return sum(end - begin + 1 for begin, end, _ in parse_sessions(trading_hours))


def to_date(value):
    if isinstance(value, datetime.datetime):
        return value.date()
    return value
