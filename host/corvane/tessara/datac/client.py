"""Reference-data and bar operations of the data client, answered from the dataset."""

import numpy as np
import pandas as pd
import six

from ._frames import bar_frame
from ._state import count, get_dataset
from .utils import to_datetime

DAY_COLUMNS = ["open", "close", "high", "low", "volume", "total_turnover", "prev_close", "limit_up", "limit_down"]
FUTURES_DAY_COLUMNS = DAY_COLUMNS + ["open_interest", "settlement", "prev_settlement"]
MINUTE_COLUMNS = ["open", "close", "high", "low", "volume", "total_turnover"]
FUTURES_MINUTE_COLUMNS = MINUTE_COLUMNS + ["open_interest", "trading_date"]
_PRICE_COLUMNS = ["open", "close", "high", "low", "prev_close", "limit_up", "limit_down", "settlement", "prev_settlement"]
_ADJUST_TYPES = ("none", "pre", "post", "pre_volume", "post_volume")
_HEDGE_FLAGS = ("speculation", "hedge", "arbitrage")


def _day(value):
    return pd.Timestamp(to_datetime(value)).normalize()


def _codes(codes):
    if isinstance(codes, six.string_types):
        return [codes]
    return list(codes)


def _profile_or_raise(ds, code):
    profile = ds.profile(code)
    if profile is None:
        raise ValueError("unknown instrument code: {!r}".format(code))
    return profile


def _data_span(ds, profile):
    """First and last day the instrument has data in the dataset."""
    first = max(profile["listed_date"], pd.Timestamp(ds.meta["start"]))
    last = pd.Timestamp(ds.meta["end"])
    if not pd.isna(profile["de_listed_date"]):
        last = min(last, profile["de_listed_date"])
    return first, last


def _none_if_empty(frame):
    return None if frame is None or frame.empty else frame


# instruments -------------------------------------------------------------------------------
class ClientInstrument(object):
    """Reference data of one instrument, as `instruments(code)` returns it."""

    def __init__(self, record):
        self.__dict__.update((k, v) for k, v in record.items() if k != "tick_size")
        self._tick_size = float(record["tick_size"])

    def tick_size(self):
        return self._tick_size

    def __repr__(self):
        return "ClientInstrument({}, {}, {})".format(self.market_code, self.symbol, self.type)


def all_instruments(type=None, date=None, market="cn"):
    """One row per instrument; `type` keeps one instrument type (or a list of types) and
    `date` the instruments listed and not yet delisted on that day."""
    count("all_instruments")
    table = get_dataset().instruments.copy()
    if type is not None:
        table = table[table["type"].isin(_codes(type))]
    if date is not None:
        day = _day(date)
        live = (table["listed_date"] <= day) & (table["de_listed_date"].isna() | (table["de_listed_date"] > day))
        table = table[live]
    return table.reset_index(drop=True)


def instruments(codes, market="cn"):
    """Reference data of one code (None if unknown) or a list of codes (unknown skipped)."""
    count("instruments")
    ds = get_dataset()
    if isinstance(codes, six.string_types):
        profile = ds.profile(codes)
        return None if profile is None else ClientInstrument(profile)
    return [ClientInstrument(ds.profile(c)) for c in codes if ds.profile(c) is not None]


# status ------------------------------------------------------------------------------------
def is_suspended(codes, start_date=None, end_date=None, market="cn"):
    """Table indexed by trading date, one boolean column per code, true on suspended days.
    Without a range it covers every day the instrument has data for. Unknown codes raise
    ValueError."""
    count("is_suspended")
    ds = get_dataset()
    codes = _codes(codes)
    profiles = [_profile_or_raise(ds, c) for c in codes]
    spans = [_data_span(ds, s) for s in profiles]
    start = _day(start_date) if start_date is not None else min(a for a, _ in spans)
    end = _day(end_date) if end_date is not None else max(b for _, b in spans)
    if start > end:
        raise ValueError("invalid date range: {} to {}".format(start.date(), end.date()))
    dates = ds.trading_dates_between(start, end)
    live = np.zeros(len(dates), dtype=bool)
    for first, last in spans:
        live |= (dates >= first) & (dates <= last)
    dates = dates[live]
    columns = {c: dates.isin(ds.suspended_days(c)) for c in codes}
    return pd.DataFrame(columns, index=pd.DatetimeIndex(dates, name="date"))


def _st_days(ds, code, dates):
    periods = ds.st_periods[ds.st_periods["market_code"] == code]
    flags = np.zeros(len(dates), dtype=bool)
    for _, p in periods.iterrows():
        flags |= (dates >= p["start_date"]) & (dates <= p["end_date"])
    return flags


def _is_st_stock(code, date):
    """Whether the stock carried the special-treatment mark on `date`."""
    count("_is_st_stock")
    ds = get_dataset()
    _profile_or_raise(ds, code)
    return bool(_st_days(ds, code, pd.DatetimeIndex([_day(date)]))[0])


def is_st_stock(codes, start_date=None, end_date=None, market="cn"):
    """Table indexed by trading date, one boolean column per code."""
    count("is_st_stock")
    ds = get_dataset()
    codes = _codes(codes)
    for c in codes:
        _profile_or_raise(ds, c)
    end = _day(end_date) if end_date is not None else pd.Timestamp(ds.meta["end"])
    start = _day(start_date) if start_date is not None else end
    dates = ds.trading_dates_between(start, end)
    return pd.DataFrame({c: _st_days(ds, c, dates) for c in codes}, index=pd.DatetimeIndex(dates, name="date"))


# corporate actions -------------------------------------------------------------------------
def get_dividend(code, start_date=None, end_date=None, adjusted=True, market="cn"):
    """Cash dividends indexed by announcement date, or None. With `adjusted` the cash is
    restated in today's shares (divided by the ratios of later splits)."""
    count("get_dividend")
    ds = get_dataset()
    rows = ds.dividends[ds.dividends["market_code"].isin(_codes(code))].copy()
    if start_date is not None:
        rows = rows[rows["declaration_announcement_date"] >= _day(start_date)]
    if end_date is not None:
        rows = rows[rows["declaration_announcement_date"] <= _day(end_date)]
    if rows.empty:
        return None
    if adjusted:
        splits = ds.splits
        for i, row in rows.iterrows():
            later = splits[(splits["market_code"] == row["market_code"]) & (splits["ex_dividend_date"] > row["ex_dividend_date"])]
            ratio = float(np.prod(later["split_coefficient_to"] / later["split_coefficient_from"]))
            rows.at[i, "dividend_cash_before_tax"] = row["dividend_cash_before_tax"] / ratio
    return rows.set_index("declaration_announcement_date").sort_index()


def get_split(code, start_date=None, end_date=None, market="cn"):
    """Share splits indexed by ex-date, with the cumulative factor, or None."""
    count("get_split")
    ds = get_dataset()
    rows = ds.splits[ds.splits["market_code"].isin(_codes(code))].copy()
    if start_date is not None:
        rows = rows[rows["ex_dividend_date"] >= _day(start_date)]
    if end_date is not None:
        rows = rows[rows["ex_dividend_date"] <= _day(end_date)]
    if rows.empty:
        return None
    rows = rows.sort_values(["market_code", "ex_dividend_date"])
    ratio = rows["split_coefficient_to"] / rows["split_coefficient_from"]
    rows["cum_factor"] = ratio.groupby(rows["market_code"]).cumprod()
    return rows.set_index("ex_dividend_date")


def get_share_transformation(predecessor=None, market="cn"):
    """Conversions of a security into its successor, rows numbered from 0, or None."""
    count("get_share_transformation")
    table = get_dataset().share_transformations
    if predecessor is not None:
        table = table[table["predecessor"].isin(_codes(predecessor))]
    return _none_if_empty(table.reset_index(drop=True))


# futures and rates -------------------------------------------------------------------------
def future_commission_margin(codes=None, hedge_flag="speculation"):
    """Commission and margin terms of futures contracts for one hedge type, or None."""
    count("future_commission_margin")
    if hedge_flag not in _HEDGE_FLAGS:
        raise ValueError("hedge_flag must be one of {}, got {!r}".format(_HEDGE_FLAGS, hedge_flag))
    table = get_dataset().commission_margin
    table = table[table["hedge_flag"] == hedge_flag]
    if codes is not None:
        table = table[table["market_code"].isin(_codes(codes))]
    return _none_if_empty(table.reset_index(drop=True))


def get_yield_curve(start_date=None, end_date=None, tenor=None, market="cn"):
    """Treasury yield curves (decimal rates) indexed by date, one column per tenor; `tenor`
    keeps one tenor or a list of them. None when the range holds no curve."""
    count("get_yield_curve")
    ds = get_dataset()
    table = ds.yield_curve.set_index("date")
    end = _day(end_date) if end_date is not None else table.index[-1]
    start = _day(start_date) if start_date is not None else end
    table = table[(table.index >= start) & (table.index <= end)]
    if tenor is not None:
        table = table[_codes(tenor)]
    return _none_if_empty(table)


# bars --------------------------------------------------------------------------------------
def _adjusted(frame, factors, adjust_type):
    """Prices (and with a *_volume type, volumes) restated by the day's adjust factor."""
    if adjust_type == "none" or factors is None or np.all(factors == 1.0):
        return frame
    for column in _PRICE_COLUMNS:
        if column in frame:
            frame[column] = np.round(frame[column].values * factors, 4)
    if adjust_type.endswith("_volume") and "volume" in frame:
        frame["volume"] = np.round(frame["volume"].values / factors)
    return frame


def _day_frame(ds, code, profile, start, end, adjust_type, skip_suspended):
    bars = ds.day_bars(code)
    if bars is None:
        return None
    rows = (bars.index >= start) & (bars.index <= end)
    if skip_suspended:
        rows &= ~bars.index.isin(ds.suspended_days(code))
    if not rows.any():
        return None
    columns = FUTURES_DAY_COLUMNS if profile["type"] == "Future" else DAY_COLUMNS
    frame = bars.loc[rows, columns].copy()
    factors = ds.adjust_factors(code, adjust_type.split("_")[0])[rows].values
    frame = _adjusted(frame, factors, adjust_type)
    dates = frame.index
    frame.insert(0, "orig_time", (dates.year * 10000 + dates.month * 100 + dates.day).values.astype(np.int64) * 1000000)
    frame.insert(0, "market_code", code)
    return frame.reset_index(drop=True)


def _minute_frame(ds, code, profile, start, end, adjust_type, skip_suspended):
    bars = ds.day_bars(code)
    if bars is None:
        return None
    days = bars.index[(bars.index >= start) & (bars.index <= end)]
    factors = ds.adjust_factors(code, adjust_type.split("_")[0])
    columns = FUTURES_MINUTE_COLUMNS if profile["type"] == "Future" else MINUTE_COLUMNS
    frames = []
    for day in days:
        minutes = ds.minute_bars(code, day)
        if minutes is None:
            continue
        frame = _adjusted(minutes[columns].copy(), float(factors.loc[day]), adjust_type)
        frames.append(frame)
    if not frames:
        return None
    frame = pd.concat(frames)
    frame.insert(0, "orig_time", frame.index)
    frame.insert(0, "market_code", code)
    return frame.reset_index(drop=True)


def _select_fields(frame, fields):
    """Keep the asked fields, in order; "<name>_price" is accepted for a column "<name>"."""
    keep = []
    for field in _codes(fields):
        if field in frame:
            keep.append(frame[field].rename(field))
        elif field.endswith("_price") and field[:-len("_price")] in frame:
            keep.append(frame[field[:-len("_price")]].rename(field))
        else:
            raise ValueError("unknown field: {!r}".format(field))
    return pd.concat([frame[["market_code", "orig_time"]]] + keep, axis=1)


def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="pre", skip_suspended=False, expect_df=True, market="cn", variety=None,
              time_slice=None, **kwargs):
    """Bars of one code or a list of codes from start to end (trading days, both included).

    The table has the row index (market_code, orig_time) and one column per bar field.
    Day bars ("1d") carry `orig_time` as an integer YYYYMMDD000000; one-minute bars ("1m")
    as the bar's end time (a Timestamp), futures ones also the `trading_date` they belong to,
    so bars of a night session fall in the next trading day's range. Returns None when no
    bars fall in the range.
    """
    count("get_price")
    if frequency not in ("1d", "1m"):
        raise ValueError("unsupported frequency: {!r}".format(frequency))
    if adjust_type not in _ADJUST_TYPES:
        raise ValueError("unsupported adjust_type: {!r}".format(adjust_type))
    ds = get_dataset()
    end = _day(end_date) if end_date is not None else pd.Timestamp(ds.meta["end"])
    start = _day(start_date) if start_date is not None else end
    if start > end:
        raise ValueError("invalid date range: {} to {}".format(start.date(), end.date()))
    make = _day_frame if frequency == "1d" else _minute_frame
    frames = []
    for code in _codes(order_book_ids):
        profile = ds.profile(code)
        if profile is None:
            continue
        frame = make(ds, code, profile, start, end, adjust_type, skip_suspended)
        if frame is not None:
            frames.append(frame)
    if not frames:
        return None
    frame = frames[0] if len(frames) == 1 else pd.concat(frames, ignore_index=True)
    if fields is not None:
        frame = _select_fields(frame, fields)
    frame = bar_frame(frame)
    if not expect_df and len(frames) == 1:
        frame = frame.droplevel(0)
    return frame
