"""The framework's historical data source over the data client, in plain Python.

Every outside name below is a module attribute read when the code runs, so replacing one on the
module takes effect at the next call.
"""
import datetime
import operator as _operator
import weakref as _weakref
from itertools import groupby

import numpy as np
import pandas as pd

import corvane.tessara.datac as ostradatac
from lru import LRU as lru_dict
from corvane.tessara.data.trading_dates_mixin import TradingDatesMixin
from corvane.tessara.const import COMMISSION_TYPE, TRADING_CALENDAR_TYPE
from corvane.tessara.environment import Environment
from corvane.tessara.core.events import EVENT
from corvane.tessara.interface import AbstractDataSource
from corvane.tessara.model.instrument import Instrument
from corvane.tessara.utils.datetime_func import convert_dt_to_int, convert_dt_to_date_str, convert_int_to_datetime
from corvane.tessara.utils.logger import system_log
from corvane.tessara.utils.functools import lru_cache
from corvane.tessara.data.base_data_source.data_source import BaseDataSource
from corvane.tessara.data.base_data_source.storages import InstrumentStore, FuturesTradingParameters
from six import string_types

from .resample_helper import resample_bars

# The outside names: (name, module it comes from, attribute or None for the module itself or
# "*" for a name of the star import, expressions whose import-time objects a native path keys on,
# callbacks that read it). The native module carries the same table.
_outside_names = (
    ('datetime', 'datetime', None, ('datetime.timedelta',), ()),
    ('np', 'numpy', None, ('np.hstack',), ()),
    ('pd', 'pandas', None, ('pd.Timestamp',), ()),
    ('ostradatac', 'corvane.tessara.datac', None, (), ()),
    ('groupby', 'itertools', 'groupby', ('groupby',), ()),
    ('lru_dict', 'lru', 'LRU', (), ()),
    ('TradingDatesMixin', 'corvane.tessara.data.trading_dates_mixin', 'TradingDatesMixin',
     ('TradingDatesMixin.get_trading_dates', 'TradingDatesMixin.get_trading_calendar'), ()),
    ('COMMISSION_TYPE', 'corvane.tessara.const', 'COMMISSION_TYPE', (), ()),
    ('TRADING_CALENDAR_TYPE', 'corvane.tessara.const', 'TRADING_CALENDAR_TYPE', ('TRADING_CALENDAR_TYPE.EXCHANGE',), ()),
    ('Environment', 'corvane.tessara.environment', 'Environment', (), ()),
    ('EVENT', 'corvane.tessara.core.events', 'EVENT', (), ()),
    ('AbstractDataSource', 'corvane.tessara.interface', 'AbstractDataSource', (), ()),
    ('Instrument', 'corvane.tessara.model.instrument', 'Instrument', (), ()),
    ('convert_dt_to_int', 'corvane.tessara.utils.datetime_func', 'convert_dt_to_int', ('convert_dt_to_int',), ()),
    ('convert_dt_to_date_str', 'corvane.tessara.utils.datetime_func', 'convert_dt_to_date_str', (), ()),
    ('convert_int_to_datetime', 'corvane.tessara.utils.datetime_func', 'convert_int_to_datetime', ('convert_int_to_datetime',), ()),
    ('system_log', 'corvane.tessara.utils.logger', 'system_log', (), ()),
    ('lru_cache', 'corvane.tessara.utils.functools', 'lru_cache', (), ()),
    ('BaseDataSource', 'corvane.tessara.data.base_data_source.data_source', 'BaseDataSource', (), ()),
    ('InstrumentStore', 'corvane.tessara.data.base_data_source.storages', 'InstrumentStore', (), ()),
    ('FuturesTradingParameters', 'corvane.tessara.data.base_data_source.storages', 'FuturesTradingParameters', (), ()),
    ('string_types', 'six', 'string_types', (), ()),
    ('resample_bars', '.resample_helper', 'resample_bars', (), ()),
)

# The native module lists the fast paths it uses here; this plain-Python module has none.
fast_paths = ()

_ONE_MINUTE_BARS_PER_DAY = 240


def _is_valid_order_book_ie(market_code):
    return isinstance(market_code, string_types) and bool(market_code)


@lru_cache(128)
def _is_suspended(market_code):
    return ostradatac.is_suspended(market_code)[market_code]


@lru_cache(256)
def _get_tick_size(market_code):
    return ostradatac.instruments(market_code).tick_size()


# ---- small helpers for the client's tables ------------------------------------------------------

def _no_data(table):
    return table is None or bool(table.empty)


_ABSENT = object()


def _attr_if_present(obj, name):
    """getattr(obj, name), or _ABSENT when only AttributeError says it is missing."""
    try:
        return getattr(obj, name)
    except AttributeError:
        return _ABSENT


def _orig_time_level(index):
    """Position of the level named orig_time among the index's level names, or -1."""
    try:
        names = index.names
    except Exception:
        return -1
    if names is None:
        return -1
    for i, name in enumerate(names):
        if name == "orig_time":
            return i
    return -1


def _entry_orig_time(entry, level):
    if level >= 0:
        return entry[level] if isinstance(entry, tuple) else entry
    return _attr_if_present(entry, "orig_time")


def _required_orig_time(index, entry):
    value = _entry_orig_time(entry, _orig_time_level(index))
    if value is not _ABSENT:
        return value
    try:
        names = index.names
    except Exception:
        names = None
    raise ValueError(
        "index entry carries no orig_time: the index has no level named 'orig_time' (level names: %r) and "
        "its entry %r of type %.200s has no orig_time attribute" % (names, entry, type(entry).__name__))


def _is_integer_label(label):
    if isinstance(label, bool) or isinstance(label, float):
        return False
    if isinstance(label, int):
        return True
    return hasattr(type(label), "__index__")


def _date_part(value, name):
    """An integer part of a date-like value; None when it is NaN (pandas' NaT)."""
    part = getattr(value, name)
    if isinstance(part, float) and part != part:
        return None
    return _operator.index(part)


_INT64 = 2 ** 63


def _encode_date(value):
    """year * 10000 + month * 100 + day; 0 for a missing date (None or NaT)."""
    if value is None:
        return 0
    parts = []
    for name in ("year", "month", "day"):
        part = _date_part(value, name)
        if part is None:
            return 0
        parts.append(part)
    year, month, day = parts
    encoded = year * 10000 + month * 100 + day
    if not -_INT64 <= encoded < _INT64 or not -_INT64 <= month * 100 + day < _INT64:
        raise OverflowError("date out of range for an integer date")
    return encoded


def _commission_type(value):
    return COMMISSION_TYPE.BY_MONEY if value == "by_money" else COMMISSION_TYPE.BY_VOLUME


def _days_from_civil(y, m, d):
    y -= m <= 2
    era = (y if y >= 0 else y - 399) // 400
    yoe = y - era * 400
    doy = (153 * (m + (-3 if m > 2 else 9)) + 2) // 5 + d - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def _day_number(date):
    parts = [_date_part(date, name) for name in ("year", "month", "day")]
    if None in parts:
        raise ValueError("previous trading date is missing")
    return _days_from_civil(*parts)


# ---- bar arrays ---------------------------------------------------------------------------------

def _bar_times(index):
    """orig_time (YYYYMMDDHHMMSS) of every row: the labels of a one-level index, else the orig_time
    level (the second one when the levels are unnamed). Integer times are read as date-times first."""
    nlevels = _operator.index(index.nlevels)
    n = len(index)
    if nlevels == 1:
        labels = index
    else:
        level = _orig_time_level(index)
        labels = index.get_level_values(level if level >= 0 else 1)
    out = np.empty(n, np.uint64)
    # a one-level index of record-like entries (not named orig_time) gives each entry's orig_time
    entries = nlevels == 1 and _orig_time_level(index) < 0
    for i, label in enumerate(labels):
        if entries and not _is_integer_label(label):
            part = _attr_if_present(label, "orig_time")
            if part is not _ABSENT:
                label = part
        if _is_integer_label(label):
            label = convert_int_to_datetime(label)
        out[i] = convert_dt_to_int(label)
    return out


def _field_type(dtype):
    """The bar array's field type for a column dtype. A text dtype that is no numpy dtype (the
    string dtype pandas 3 gives text columns) becomes an object field holding the strings, as an
    object column of text does; numpy could not take it as a field type. Any other dtype is
    numpy's to accept or refuse."""
    if isinstance(dtype, np.dtype):
        return dtype
    try:
        scalar_type = dtype.type
    except Exception:  # a dtype that cannot say its scalar type is left to numpy
        return dtype
    if scalar_type is str:
        return np.dtype(object)
    return dtype


def _bar_array(df, fields):
    """The bar array of a frame: orig_time (uint64) first when asked for, then the other fields
    with their column types; every column when `fields` is None."""
    names = list(fields) if fields is not None else ["orig_time", *df.columns]
    dtypes, values = {}, {}
    for name in names:
        if name == "orig_time" or name in dtypes:
            continue
        column = df[name]
        try:
            dtype = column.dtype
        except Exception:  # a name shared by several columns: the frame's own lookup decides
            dtype = df.dtypes[name]
        dtypes[name] = dtype
        values[name] = column.values
    pairs = [(name, _field_type(dtypes[name])) for name in names if not name == "orig_time"]
    if any(name == "orig_time" for name in names):
        pairs.insert(0, ("orig_time", np.uint64))
    result = np.empty(len(df), np.dtype(pairs))
    for name in names:
        if name == "orig_time":
            result["orig_time"] = _bar_times(df.index)
        else:
            result[name] = values[name]
    return result


def _index_by_code_and_time(frame):
    """The client's reply indexed by (market_code, orig_time) and sorted, as a new frame: the
    client's own frame is left as it was handed over."""
    return frame.reset_index().set_index(["market_code", "orig_time"]).sort_index()


def _as_dates(values):
    """Date-times of bar times: integers YYYYMMDDHHMMSS read with that format."""
    if values.dtype.kind in ("i", "u"):
        return pd.to_datetime(values.astype(str), format="%Y%m%d%H%M%S")
    return pd.to_datetime(values)


def _reindex_day_frame(df):
    """The market_code level as the first column, the index the bar dates at midnight."""
    frame = df.reset_index("market_code")
    frame.index = _as_dates(frame.index).normalize()
    return frame


def _earliest_bar_day(frame):
    """Midnight of the day of the first bar of a cached day frame."""
    index = frame.index
    label = index[0]
    level = _orig_time_level(index)
    if level >= 0:
        time = _entry_orig_time(label, level)
    elif isinstance(label, tuple):
        time = label[-1]
    else:
        time = _attr_if_present(label, "orig_time")
    if time is _ABSENT:
        time = label
    if not isinstance(time, (bool, float)) and hasattr(type(time), "__index__"):
        date = _normalised_int_date(time)
        return pd.Timestamp(date // 10000, date // 100 % 100, date % 100)
    return pd.Timestamp(time).normalize()


def _days_in_month(y, m):
    if m == 2 and ((y % 4 == 0 and y % 100 != 0) or y % 400 == 0):
        return 29
    return (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)[m - 1]


def _normalised_int_date(time):
    """YYYYMMDD of an integer bar time YYYYMMDD or YYYYMMDDHHMMSS."""
    v = _operator.index(time)
    date, clock = v, 0
    valid = 0 <= v < 2 ** 63
    if valid and v >= 100000000:
        valid = v < 100000000000000
        date, clock = divmod(v, 1000000)
    if valid:
        y, m, d = date // 10000, date // 100 % 100, date % 100
        valid = (y >= 1 and 1 <= m <= 12 and 1 <= d <= _days_in_month(y, m)
                 and clock // 10000 <= 23 and clock // 100 % 100 <= 59 and clock % 100 <= 59)
    if not valid:
        raise ValueError("bar time is not YYYYMMDDHHMMSS: %s" % (time,))
    return date


def _split_times(frame, future):
    """Date-times a bulk minute frame is split by: the trading day for futures, else the bar time."""
    source = frame["trading_date"].values if future else frame.index
    if source.dtype.kind in ("i", "u"):
        return pd.to_datetime(source.astype(str), format="%Y%m%d%H%M%S")
    return pd.DatetimeIndex(pd.to_datetime(source))


def _nanosecond_calendar(index):
    """The trading calendar at nanoseconds. From pandas 2 on, Timestamps of dates are held in
    seconds or microseconds; the calendar is kept at nanoseconds, as pandas 1.5 makes it, so it
    compares, prints and is read the same on every line. Time-zone-aware dates are left as they
    come."""
    if str(index.dtype) in ("datetime64[s]", "datetime64[ms]", "datetime64[us]"):
        return index.astype("datetime64[ns]")
    return index


def _status_values(table):
    """The values of a status table as the caller gets them. Under copy-on-write (pandas 3)
    `.values` is a read-only view of the client's frame, where older lines hand out a writable
    array: a read-only one is copied, so the answer is writable on every line and never reaches
    back into the client's frame."""
    values = table.values
    try:
        writeable = values.flags.writeable
    except Exception:  # no numpy flags: the values are handed out as they are
        return values
    return values if writeable else values.copy()


# ---- the data source ----------------------------------------------------------------------------

class OstraDataDataSource(TradingDatesMixin, AbstractDataSource):

    def __init__(self):
        from corvane.tessara.utils.login import init_gid
        init_gid()
        instruments = []
        for record in ostradatac.all_instruments().to_dict(orient="records"):
            if record is None:
                continue
            try:
                code = record["market_code"]
            except KeyError:
                continue
            if _is_valid_order_book_ie(code):
                instruments.append(Instrument(record))
        self._ins_id_or_sym_type_map = {}
        self._instruments_stores = {}
        for ins_type in BaseDataSource.DEFAULT_INS_TYPES:
            store = InstrumentStore(instruments, ins_type)
            for entry in store.all_id_and_syms:
                self._ins_id_or_sym_type_map[entry] = ins_type
            self._instruments_stores[ins_type] = store
        dates = ostradatac.get_trading_dates("2005-01-04", "2050-01-01")
        self._trading_dates = _nanosecond_calendar(pd.DatetimeIndex([pd.Timestamp(d) for d in dates]))
        TradingDatesMixin.__init__(self, {TRADING_CALENDAR_TYPE.EXCHANGE: self._trading_dates})
        self._history_cache = {}
        self._minute_bar_cache = lru_dict(512)

        # Day bars are fetched afresh every trading day. The listener holds the source weakly: the
        # event bus outlives a data source the framework drops, which must be freed with its caches.
        owner = _weakref.ref(self)

        def clear_day_bar_cache(event):
            source = owner()
            if source is not None:
                source._history_cache.clear()

        Environment.get_instance().event_bus.add_listener(EVENT.PRE_BEFORE_TRADING, clear_day_bar_cache)

    def get_trading_calendars(self):
        return self.trading_calendars

    def get_instruments(self, id_or_syms=None, types=None):
        stores = self._instruments_stores
        if id_or_syms is not None:
            type_of = self._ins_id_or_sym_type_map.get
            rank = {t: i for i, t in enumerate(stores)}
            known = [i for i in id_or_syms if type_of(i) is not None]
            # stable: each type keeps the caller's order; a type no store holds sorts last
            known.sort(key=lambda i: rank.get(type_of(i), len(rank)))
            pairs = groupby(known, key=type_of)
        elif types:
            pairs = ((t, None) for t in types)
        else:
            pairs = ((t, None) for t in list(stores))
        for ins_type, ids in pairs:
            if ins_type is not None and ins_type in stores:
                # a plain list: a store may read its ids more than once
                yield from stores[ins_type].get_instruments(None if ids is None else list(ids))

    def is_st_stock(self, market_code, dates):
        n = len(dates)
        if n == 0:
            return []
        if n == 1:
            return [ostradatac._is_st_stock(market_code, dates[0])]
        table = ostradatac.is_st_stock(market_code, dates[0], dates[-1])
        if _no_data(table):
            return [False] * n
        return _status_values(table)

    def is_suspended(self, market_code, dates):
        stock = Environment.get_instance().get_instrument(market_code).type == "stock"
        n = len(dates)
        if not stock or n == 0:
            return [False] * n
        try:
            table = ostradatac.is_suspended(market_code, str(dates[0]), str(dates[-1]))
        except ValueError:
            return [False] * n
        if _no_data(table):
            return [False] * n
        return _status_values(table[market_code])

    def _get_minute_bars_of_day(self, market_code, day, adjust_type, variety):
        key = (market_code, day, adjust_type)
        cache = self._minute_bar_cache
        if key in cache:
            return cache[key]
        reply = ostradatac.get_price(market_code, convert_dt_to_date_str(day), convert_dt_to_date_str(day),
                                     frequency="1m", adjust_type=adjust_type, expect_df=True, variety=variety)
        bars = None
        if not _no_data(reply):
            bars = _bar_array(_index_by_code_and_time(reply), None)
        cache[key] = bars
        return bars

    def _prepare_for(self, instrument, dates, adjust_type):
        code = instrument.market_code
        cache = self._minute_bar_cache
        missing, total = [], 0
        for day in dates:
            total += 1
            if (code, day, adjust_type) not in cache:
                missing.append(day)
        if len(missing) < 3 or 5 * len(missing) < total:
            return
        first, last = missing[0], missing[-1]
        if len(self.get_trading_dates(first, last)) > 2 * len(missing):
            return  # too scattered for one range call to pay
        variety = instrument.type
        reply = ostradatac.get_price(code, convert_dt_to_date_str(first), convert_dt_to_date_str(last),
                                     frequency="1m", adjust_type=adjust_type, expect_df=True, variety=variety)
        if _no_data(reply):
            return  # the days are fetched one by one when walked
        # bars in time order within each day, as the single-day fetch sorts them
        frame = reply.droplevel(0).sort_index()
        times = _split_times(frame, bool(variety == "Future"))
        for ymd, group in frame.groupby([times.year, times.month, times.day]):
            ts = pd.Timestamp(*ymd)
            if ts in missing:
                cache[(code, ts, adjust_type)] = _bar_array(group, None)

    def get_dividend(self, instrument):
        table = ostradatac.get_dividend(instrument.market_code, adjusted=False)
        if _no_data(table):
            return None
        table = table[table.index <= datetime.datetime.now()]
        records = np.empty(len(table), np.dtype([
            ("announcement_date", "<u4"), ("book_closure_date", "<u4"), ("ex_dividend_date", "<u4"),
            ("payable_date", "<u4"), ("dividend_cash_before_tax", "<f8"), ("round_lot", "<u4")]))
        _fill_u4_dates(records, "announcement_date", table.index)
        for column in ("book_closure_date", "ex_dividend_date", "payable_date"):
            _fill_u4_dates(records, column, table[column])
        for column in ("dividend_cash_before_tax", "round_lot"):
            records[column] = table[column].values
        return records

    def get_yield_curve(self, start_date, end_date, tenor=None):
        return ostradatac.get_yield_curve(start_date, end_date, tenor)

    def _n_trading_days_before(self, dt, count):
        ts = pd.Timestamp(dt)
        dates = self._trading_dates
        pos = dates.searchsorted(ts, side="right") - count
        if pos < 0:
            pos = 0
        return dates[pos]

    def __get_day_bars(self, market_code, bar_count, dt, adjust_type, variety, skip_suspended):
        start_dt = self._n_trading_days_before(dt, bar_count + 1)
        reply = ostradatac.get_price(market_code, convert_dt_to_date_str(start_dt), convert_dt_to_date_str(dt),
                                     frequency="1d", adjust_type=adjust_type, expect_df=True, variety=variety,
                                     skip_suspended=skip_suspended)
        if _no_data(reply):
            return reply
        return _index_by_code_and_time(reply)

    def _get_day_bars(self, instrument, bar_count, dt, adjust_type, skip_suspended):
        code = instrument.market_code
        key = (code, adjust_type)
        cache = self._history_cache
        try:
            h = cache[key]
            if h is None:  # a first fetch without data means no data, not a frame to measure
                return h
            length = len(h)
            if length >= bar_count or h.empty:
                return h
            end_dt = self.get_previous_trading_date(_earliest_bar_day(h))
            if end_dt <= instrument.listed_date:
                return h
            r = self.__get_day_bars(instrument.market_code, bar_count - length, end_dt, adjust_type,
                                    instrument.type, skip_suspended)
            if _no_data(r):  # nothing older to be had: the cached frame answers
                return h
            joined = pd.concat((r, h))
            cache[key] = joined
            return joined
        except KeyError:
            pass
        fresh = self.__get_day_bars(code, bar_count, dt, adjust_type, instrument.type, skip_suspended)
        cache[key] = fresh
        return fresh

    _ndarray_from_df = staticmethod(_bar_array)

    def _history_day_bars(self, instrument, bar_count, fields, dt, skip_suspended, adjust_type):
        count = _operator.index(bar_count)
        choose = bool(skip_suspended) and bool(instrument.type == "stock")
        wanted = bar_count
        if choose:
            suspended = _is_suspended(instrument.market_code)
            ts = pd.Timestamp(dt)
            index = pd.to_datetime(suspended.index)
            mask = (suspended == False).values & (index <= ts)  # noqa: E712 (element-wise)
            days = index[mask][-(count + 1):]
            if len(days) == 0:
                return None
            days = days.normalize()
            wanted = int(len(suspended) - index.searchsorted(days[0], side="left"))
        df = self._get_day_bars(instrument, wanted, dt, adjust_type, skip_suspended)
        # an empty cached frame means no data; it may lack the index levels re-indexing needs
        if df is None or df.empty:
            return None
        frame = _reindex_day_frame(df)
        if choose and len(frame) > count:
            # days the frame lacks are skipped
            frame = frame.loc[days[days.isin(frame.index)]]
        if frame.empty:
            return None
        names = None if fields is None else list([fields] if isinstance(fields, str) else fields)
        result = _bar_array(frame, names)[-count:]
        return result if fields is None else result[fields]

    def history_bars(self, instrument, bar_count, frequency, fields, dt, skip_suspended=True, include_now=False,
                     adjust_type="pre", adjust_orig=None):
        if frequency == "1d":
            return self._history_day_bars(instrument, bar_count, fields, dt, skip_suspended, adjust_type)
        if frequency == "1w":
            raise NotImplementedError
        resample = int(frequency[:len(frequency) - 1])
        fields_ = [fields] if isinstance(fields, str) else fields
        if not skip_suspended or not instrument.type == "stock":
            listed = instrument.listed_date
            year_before = dt - datetime.timedelta(days=365)
            start = year_before if year_before > listed else listed
            days = self.get_trading_dates(start, dt)
        else:
            # unsuspended days up to and including the day of dt
            suspended = _is_suspended(instrument.market_code)
            day = pd.Timestamp(dt).normalize()
            index = pd.to_datetime(suspended.index)
            mask = (suspended == False).values & (index.normalize() <= day)  # noqa: E712
            days = index[mask]
        count = _operator.index(bar_count)
        n_days = count * resample // _ONE_MINUTE_BARS_PER_DAY + 1
        self._prepare_for(instrument, days[-n_days:], adjust_type)

        code, variety = instrument.market_code, instrument.type
        results, need = [], count
        # newest day first, down to the first candidate day: a stock queried on its listing day has
        # exactly one candidate day, and its bars are the answer
        for day in reversed(days):
            bars = self._get_minute_bars_of_day(code, day, adjust_type, variety)
            if bars is None:
                continue
            if resample != 1:
                bars = resample_bars(instrument, bars, fields_, resample)
            results.append(bars if fields is None else bars[fields])
            need -= len(bars)
            if need <= 0:
                break
        if not results:
            return None
        results.reverse()
        return np.hstack(results)[-count:]

    def get_trading_minutes_for(self, instrument, trading_dt):
        raise NotImplementedError

    def get_bar(self, instrument, dt, frequency):
        raise NotImplementedError

    def get_last_price(self, instrument, dt):
        raise NotImplementedError

    def get_commission_info(self, instrument):
        return self._get_future_info(instrument, "speculation")

    @lru_cache(128)
    def _get_future_info(self, instrument, hedge_type):
        table = ostradatac.future_commission_margin(instrument.market_code, hedge_flag=hedge_type)
        if _no_data(table):
            return None
        row = table.iloc[0]
        return {
            "close_commission_ratio": row["close_commission_ratio"],
            "close_commission_today_ratio": row["close_commission_today_ratio"],
            "open_commission_ratio": row["open_commission_ratio"],
            "commission_type": _commission_type(row["commission_type"]),
            "short_margin_ratio": row["short_margin_ratio"],
            "long_margin_ratio": row["long_margin_ratio"],
        }

    def current_snapshot(self, instrument, frequency, dt):
        raise NotImplementedError

    def get_settle_price(self, instrument, date):
        raise NotImplementedError

    def get_split(self, instrument):
        table = ostradatac.get_split(instrument.market_code)
        if _no_data(table):
            return None
        records = np.empty(len(table), np.dtype([("ex_date", "<i8"), ("split_factor", "<f8")]))
        ex_dates = []
        for value in table.index:
            encoded = _encode_date(value) * 1000000  # YYYYMMDDHHMMSS at midnight
            if not -_INT64 <= encoded < _INT64:
                raise OverflowError("ex-date out of range for a 64-bit date-time")
            ex_dates.append(encoded)
        records["ex_date"] = ex_dates
        records["split_factor"] = table["split_coefficient_to"].values / table["split_coefficient_from"].values
        return records

    def available_data_range(self, frequency):
        # Windows end today and start 7, 37, 67, ... days before the previous trading day, until
        # one has bars. They stop at 2005-01-04, where the data begin: a client with no bars of the
        # index even then gets a clear error rather than an endless search.
        first_day = datetime.date(2005, 1, 4)
        week, month = datetime.timedelta(days=7), datetime.timedelta(days=30)
        start = self.get_previous_trading_date(datetime.date.today()) - week
        floor_day, start_day = _day_number(first_day), _day_number(start)
        while True:
            last_window = start_day <= floor_day
            if last_window:
                start = first_day
            result = ostradatac.get_price("000001.SH", convert_dt_to_date_str(start),
                                          convert_dt_to_date_str(datetime.date.today()), fields="close_price",
                                          frequency=frequency, adjust_type="none", expect_df=True, variety="index")
            if not _no_data(result):  # an empty table has no newest bar either
                return first_day, _last_bar_date(result)
            if last_window:
                break
            start = start - month
            start_day -= 30
        raise RuntimeError("available_data_range: the data client has no %s bars of 000001.SH since 2005-01-04"
                           % (frequency,))

    def get_share_transformation(self, market_code):
        # a deployment's data client may lack the operation: that is no data, noted at debug level
        try:
            table = ostradatac.get_share_transformation(market_code)
        except AttributeError:
            system_log.debug("ostradatac no api get_share_transformation for get " + str(market_code))
            return None
        if _no_data(table):
            return None
        return table.loc[0, "successor"], table.loc[0, "share_conversion_ratio"]

    def get_futures_trading_parameters(self, instrument, dt):
        row = ostradatac.futures.get_trading_parameters(instrument.market_code, dt, dt).iloc[0]
        return FuturesTradingParameters(
            close_commission_ratio=row["close_commission"],
            close_commission_today_ratio=row["close_commission_today"],
            commission_type=_commission_type(row["commission_type"]),
            open_commission_ratio=row["open_commission"],
            long_margin_ratio=row["long_margin_ratio"],
            short_margin_ratio=row["short_margin_ratio"],
        )


def _fill_u4_dates(records, field, values):
    encoded = [_encode_date(v) for v in values]
    if any(v < 0 or v > 0xFFFFFFFF for v in encoded):
        raise OverflowError("date out of range for an unsigned 32-bit field")
    records[field] = encoded


def _last_bar_date(table):
    """The date of the newest bar: the orig_time of the last index entry, an integer
    YYYYMMDDHHMMSS or a date-time."""
    index = table.index
    last = _required_orig_time(index, index[-1])
    if hasattr(type(last), "__index__") and not isinstance(last, float):
        return convert_int_to_datetime(last).date()
    return pd.Timestamp(last).date()
