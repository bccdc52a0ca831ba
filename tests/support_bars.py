"""Pure-Python reference versions of the bar-history algorithms, and a recording wrapper around
the data client, for the bar-history tests."""
import datetime
import types

import numpy as np
import pandas as pd

from corvane.tessara.utils.datetime_func import convert_dt_to_int, convert_int_to_datetime


class RecordingClient(types.SimpleNamespace):
    """Delegates to a real data client and records every `get_price` call."""

    def __init__(self, client):
        super().__init__()
        self._client = client
        self.price_calls = []

    def get_price(self, *args, **kwargs):
        self.price_calls.append((args, kwargs))
        return self._client.get_price(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self._client, name)


def row_time_int(t):
    """orig_time of one label part as the framework defines it."""
    if isinstance(t, (int, np.integer)):
        t = convert_int_to_datetime(int(t))
    return convert_dt_to_int(t)


def field_type(dtype):
    """The bar-array field type of a column dtype: a text dtype that is no numpy dtype (pandas 3's
    default for text, or an explicit "string") is an object field; any other goes to numpy as is."""
    if not isinstance(dtype, np.dtype) and getattr(dtype, "type", None) is str:
        return np.dtype(object)
    return dtype


def ref_ndarray_from_df(df, fields):
    names = ["orig_time"] + list(df.columns) if fields is None else list(fields)
    dtypes = df.dtypes
    pairs = [("orig_time", np.uint64)] if "orig_time" in names else []
    pairs += [(n, field_type(dtypes[n])) for n in names if n != "orig_time"]
    out = np.empty(len(df), dtype=np.dtype(pairs))
    for n in names:
        if n == "orig_time":
            if df.index.nlevels == 1:
                times = list(df.index)
            else:
                times = list(df.index.get_level_values("orig_time"))
            out[n] = [row_time_int(t) for t in times]
        else:
            out[n] = df[n].values
    return out


def ref_reindex(df):
    df = df.reset_index("market_code")
    if df.index.dtype.kind in "iu":
        idx = pd.to_datetime(df.index.astype(str), format="%Y%m%d%H%M%S")
    else:
        idx = pd.to_datetime(df.index)
    df.index = idx.normalize()
    return df


def ref_history_day_bars(source, instrument, bar_count, fields, dt, skip_suspended, adjust_type, suspended=None):
    """The day path step by step, over the frame the cache holds (its fetches already made)."""
    from corvane.tessara.mod.mod_quant_data.data_sources import histsource
    days = None
    if skip_suspended and instrument.type == "stock":
        s = histsource._is_suspended(instrument.market_code) if suspended is None else suspended
        active = s.index[(s == False).values & (s.index <= pd.Timestamp(dt))]  # noqa: E712
        days = active[-(bar_count + 1):]
        if len(days) == 0:
            return None
        days = days.normalize()
    df = source._history_cache[(instrument.market_code, adjust_type)]
    if df is None or df.empty:
        return None
    df = ref_reindex(df)
    if days is not None and len(df) > bar_count:
        df = df.loc[days[days.isin(df.index)]]
    fields_ = [fields] if isinstance(fields, str) else fields
    if df.empty:
        return None
    result = ref_ndarray_from_df(df, fields_)[-bar_count:]
    return result[fields] if fields is not None else result


def assert_same_array(a, b):
    assert (a is None) == (b is None)
    if a is None:
        return
    assert a.dtype == b.dtype
    assert a.shape == b.shape
    if a.dtype.names:
        for name in a.dtype.names:
            np.testing.assert_array_equal(a[name], b[name])
    else:
        np.testing.assert_array_equal(a, b)


def fake_instrument(market_code, ins_type="stock", listed_date=datetime.datetime(2000, 1, 4)):
    return types.SimpleNamespace(market_code=market_code, type=ins_type, listed_date=listed_date)


def day_frame(code, days, int_times=True, extra=None):
    """A client-shaped day-bar frame: index (market_code, orig_time), columns close and volume."""
    days = list(days)
    times = [int(pd.Timestamp(d).strftime("%Y%m%d")) * 1000000 for d in days] if int_times \
        else [pd.Timestamp(d) for d in days]
    index = pd.MultiIndex.from_arrays([[code] * len(days), times], names=["market_code", "orig_time"])
    data = {"close": np.arange(len(days), dtype=np.float64) + 10.0,
            "volume": np.arange(len(days), dtype=np.int64) * 100}
    if extra:
        data.update(extra)
    return pd.DataFrame(data, index=index)
