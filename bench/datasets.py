"""Data sources for the history benchmarks: one over a generated dataset served by the data
client stand-in (which counts its calls), one over a synthetic instrument table of any size."""
import contextlib
import datetime
import types

import numpy as np
import pandas as pd

import corvane.tessara.datac as datac
from corvane.dataset import generate
from corvane.tessara.core.events import EVENT, Event
from corvane.tessara.environment import Environment
from corvane.tessara.mod.mod_quant_data.data_sources import histsource

START, END = "2023-01-03", "2024-06-28"
STOCK = "000001.SZ"
_dataset = None


def dataset():
    global _dataset
    if _dataset is None:
        _dataset = generate(start=START, end=END)
    return _dataset


@contextlib.contextmanager
def data_source():
    """An OstraDataDataSource over the generated dataset, in a fresh environment; call counts
    start at zero after construction."""
    previous = datac._state._dataset
    datac.set_dataset(dataset())
    env = Environment.install()
    try:
        source = histsource.OstraDataDataSource()
        env.set_data_source(source)
        datac.reset_call_counts()
        yield source, env
    finally:
        Environment.reset()
        datac.set_dataset(previous)


def new_trading_day(env):
    env.event_bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING))


def last_trading_day():
    return pd.Timestamp(END).to_pydatetime().replace(hour=15)


def instrument_table(n):
    """n stocks (half on each exchange) plus a few of each other type, as all_instruments gives."""
    codes = ["%06d.%s" % (i // 2, "SH" if i % 2 else "SZ") for i in range(n)]
    table = pd.DataFrame({
        "market_code": codes, "symbol": ["S%d" % i for i in range(n)], "type": "stock",
        "exchange": ["XSHG" if i % 2 else "XSHE" for i in range(n)],
        "listed_date": pd.Timestamp("2000-01-04"), "de_listed_date": pd.NaT, "tick_size": 0.01,
        "round_lot": 100, "contract_multiplier": 1.0, "underlying_symbol": None,
        "trading_hours": "09:31-11:30,13:01-15:00", "total_shares": 1e9})
    return table


@contextlib.contextmanager
def sized_data_source(n):
    """An OstraDataDataSource over n synthetic instruments (the data client replaced by a
    minimal one answering construction only)."""
    table = instrument_table(n)
    dates = pd.bdate_range("2005-01-04", "2050-01-01")
    client = types.SimpleNamespace(all_instruments=lambda *a, **k: table.copy(),
                                   get_trading_dates=lambda *a, **k: list(dates.date))
    saved = histsource.ostradatac
    histsource.ostradatac = client
    Environment.install()
    try:
        source = histsource.OstraDataDataSource()
        yield source, list(table["market_code"])
    finally:
        histsource.ostradatac = saved
        Environment.reset()


# The straightforward path, step by step, for checking results -----------------------------

def _field_type(dtype):
    # a text dtype that is no numpy dtype (pandas 3's default for text) is an object field
    if not isinstance(dtype, np.dtype) and getattr(dtype, "type", None) is str:
        return np.dtype(object)
    return dtype


def ndarray_from_df_reference(df, fields):
    from corvane.tessara.utils.datetime_func import convert_dt_to_int
    if fields is None:
        fields = ["orig_time"] + list(df.columns)
    dtypes = df.dtypes
    spec = ([("orig_time", np.uint64)] if "orig_time" in fields else [])
    spec += [(f, _field_type(dtypes[f])) for f in fields if f != "orig_time"]
    out = np.empty(len(df), dtype=spec)
    for f in fields:
        if f == "orig_time":
            labels = df.index if df.index.nlevels == 1 else df.index.get_level_values("orig_time")
            out[f] = [convert_dt_to_int(t) for t in labels]
        else:
            out[f] = df[f].values
    return out


def reindex_reference(cached):
    df = cached.reset_index("market_code")
    df.index = pd.to_datetime(df.index.astype(str), format="%Y%m%d%H%M%S").normalize()
    return df


def day_bars_reference(source, instrument, bar_count, fields, dt, skip_suspended):
    """The day-bar answer computed from the cached frame the plain way (the cache must hold the
    query's frame already)."""
    cached = source._history_cache[(instrument.market_code, "pre")]
    df = reindex_reference(cached)
    if skip_suspended and instrument.type == "stock":
        suspended = histsource._is_suspended(instrument.market_code)
        active = suspended.index[(~suspended.values.astype(bool)) & (suspended.index <= pd.Timestamp(dt))]
        days = active[-(bar_count + 1):].normalize()
        if len(df) > bar_count:
            df = df.loc[[d for d in days if d in df.index]]
    if df.empty:
        return None
    fields_ = [fields] if isinstance(fields, str) else fields
    result = ndarray_from_df_reference(df, fields_)[-bar_count:]
    return result[fields] if fields is not None else result


def same_array(a, b):
    if a is None or b is None:
        return a is None and b is None
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.names is None:
        return bool(np.array_equal(a, b))
    return all(np.array_equal(a[n], b[n]) or (a[n].dtype.kind == "f" and np.allclose(a[n], b[n], equal_nan=True))
               for n in a.dtype.names)


def minute_frame(code, days):
    """The client's one-minute frame over `days` (first to last), as history_bars fetches it."""
    return datac.get_price(code, str(days[0].date()), str(days[-1].date()), frequency="1m", adjust_type="pre",
                           expect_df=True)


def one_day():
    return datetime.timedelta(days=1)
