"""The history paths of the data source written as plain Python, the simplest idiomatic way from
their behaviour: the same calendar mixin, caches, client calls and resampler calls as the native
module, so a same-run comparison shows what the native code itself adds or saves."""
import datetime
from itertools import groupby

import numpy as np
import pandas as pd
from lru import LRU

from corvane.tessara.const import TRADING_CALENDAR_TYPE
from corvane.tessara.data.trading_dates_mixin import TradingDatesMixin
from corvane.tessara.mod.mod_quant_data.data_sources import histsource
from corvane.tessara.mod.mod_quant_data.data_sources.resample_helper import resample_bars
from corvane.tessara.utils.datetime_func import convert_dt_to_date_str


class PlainHistory(TradingDatesMixin):
    """Minute history and instrument lookup of a data source, over that source's calendar,
    stores and type map; its own minute-bar cache."""

    def __init__(self, source):
        self._trading_dates = source._trading_dates
        TradingDatesMixin.__init__(self, {TRADING_CALENDAR_TYPE.EXCHANGE: self._trading_dates})
        self._ins_id_or_sym_type_map = source._ins_id_or_sym_type_map
        self._instruments_stores = source._instruments_stores
        self._minute_bar_cache = LRU(512)
        self._ndarray_from_df = type(source)._ndarray_from_df

    def get_instruments(self, id_or_syms=None, types=None):
        if id_or_syms is not None:
            # rank of the type among the stores: ids of one type stay together, unknown ones last
            rank = {t: i for i, t in enumerate(self._instruments_stores)}
            type_of = self._ins_id_or_sym_type_map.get
            ordered = sorted(id_or_syms, key=lambda i: rank.get(type_of(i), len(rank)))
            pairs = groupby(ordered, key=type_of)
        elif types:
            pairs = ((t, None) for t in types)
        else:
            pairs = ((t, None) for t in self._instruments_stores)
        for ins_type, ids in pairs:
            if ins_type is not None and ins_type in self._instruments_stores:
                yield from self._instruments_stores[ins_type].get_instruments(ids)

    def _get_minute_bars_of_day(self, market_code, day, adjust_type, variety):
        key = (market_code, day, adjust_type)
        if key in self._minute_bar_cache:
            return self._minute_bar_cache[key]
        text = convert_dt_to_date_str(day)
        df = histsource.ostradatac.get_price(market_code, text, text, frequency="1m", adjust_type=adjust_type,
                                             expect_df=True, variety=variety)
        bars = None
        if df is not None and not df.empty:
            df = df.reset_index().set_index(["market_code", "orig_time"]).sort_index()
            bars = self._ndarray_from_df(df, None)
        self._minute_bar_cache[key] = bars
        return bars

    def _prepare_for(self, instrument, dates, adjust_type):
        code = instrument.market_code
        missing = [d for d in dates if (code, d, adjust_type) not in self._minute_bar_cache]
        if len(missing) < 3 or len(missing) * 5 < len(dates):
            return
        if len(self.get_trading_dates(missing[0], missing[-1])) > 2 * len(missing):
            return
        df = histsource.ostradatac.get_price(code, convert_dt_to_date_str(missing[0]),
                                             convert_dt_to_date_str(missing[-1]), frequency="1m",
                                             adjust_type=adjust_type, expect_df=True, variety=instrument.type)
        if df is None or df.empty:
            return
        df = df.droplevel(0).sort_index()
        if instrument.type == "Future":
            times = pd.DatetimeIndex(df["trading_date"].values)
        elif df.index.dtype.kind in "iu":
            times = pd.to_datetime(df.index.astype(str), format="%Y%m%d%H%M%S")
        else:
            times = pd.DatetimeIndex(df.index)
        wanted = set(missing)
        for (y, m, d), group in df.groupby([times.year, times.month, times.day]):
            ts = pd.Timestamp(y, m, d)
            if ts in wanted:
                self._minute_bar_cache[(code, ts, adjust_type)] = self._ndarray_from_df(group, None)

    def history_bars(self, instrument, bar_count, frequency, fields, dt, skip_suspended=True, include_now=False,
                     adjust_type="pre", adjust_orig=None):
        resample = int(frequency[:-1])
        fields_ = [fields] if isinstance(fields, str) else fields
        if not skip_suspended or instrument.type != "stock":
            start_date = max(instrument.listed_date, dt - datetime.timedelta(days=365))
            days = self.get_trading_dates(start_date, dt)
        else:
            suspended = histsource._is_suspended(instrument.market_code)
            index = pd.to_datetime(suspended.index)
            days = index[(suspended == False).values & (index.normalize() <= pd.Timestamp(dt).normalize())]  # noqa: E712
        self._prepare_for(instrument, days[-(bar_count * resample // 240 + 1):], adjust_type)
        need, results = bar_count, []
        for i in range(len(days) - 1, -1, -1):
            bars = self._get_minute_bars_of_day(instrument.market_code, days[i], adjust_type, instrument.type)
            if bars is None:
                continue
            if resample != 1:
                bars = resample_bars(instrument, bars, fields_, resample)
            results.append(bars[fields] if fields is not None else bars)
            need -= len(bars)
            if need <= 0:
                break
        if not results:
            return None
        return np.hstack(results[::-1])[-bar_count:]
