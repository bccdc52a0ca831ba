"""Generated bad frames for the data-source queries: missing columns, NaN and
NaT, unsorted and duplicated index entries, empty frames, odd index shapes
and time types. Every query either answers or raises an ordinary exception,
and the caches stay consistent.

CORVANE_LONG=1 raises the number of examples per query family from 100 to 2000.
"""
import datetime
import os
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane.tessara.datac as datac

from support_datasource import histsource

EXAMPLES = 2000 if os.environ.get("CORVANE_LONG") else 100
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])

OPS = ["drop_column", "nan_cells", "nat_times", "shuffle", "duplicate", "empty", "none",
       "single_level", "text_times", "negative_times", "float_times", "object_column",
       "datetime_times", "bad_dates"]


def mutate(df, ops, seed):
    """Apply the mutations `ops` to a copy of `df` (None stays None)."""
    rng = np.random.default_rng(seed)
    if df is None:
        return None
    df = df.copy()
    for op in ops:
        if df is None:
            return None
        n = len(df)
        if op == "drop_column" and len(df.columns):
            df = df.drop(columns=[df.columns[rng.integers(len(df.columns))]])
        elif op == "nan_cells" and n and len(df.columns):
            col = df.columns[rng.integers(len(df.columns))]
            rows = rng.integers(n, size=max(1, n // 3))
            df[col] = df[col].astype(object) if df[col].dtype.kind not in "fO" else df[col]
            df.iloc[rows, df.columns.get_loc(col)] = np.nan
        elif op == "shuffle" and n:
            df = df.iloc[rng.permutation(n)]
        elif op == "duplicate" and n:
            df = pd.concat([df, df.iloc[rng.integers(n, size=max(1, n // 2))]])
        elif op == "empty":
            df = df.iloc[:0]
        elif op == "none":
            return None
        elif op == "single_level" and isinstance(df.index, pd.MultiIndex):
            df = df.droplevel(0)
        elif op == "object_column":
            df["extra"] = [("x", None, 1.5, -(2 ** 70))[k % 4] for k in range(n)]
        elif op in ("nat_times", "text_times", "negative_times", "float_times", "datetime_times",
                    "bad_dates"):
            df = _retime(df, op, rng)
    return df


def _retime(df, op, rng):
    idx = df.index
    level = idx.nlevels - 1
    times = list(idx.get_level_values(level))
    n = len(times)
    if not n:
        return df
    k = int(rng.integers(n))
    if op == "nat_times":
        times[k] = pd.NaT
    elif op == "text_times":
        times = [str(t) for t in times]
    elif op == "negative_times":
        times[k] = -20240301000000
    elif op == "float_times":
        times = [float(t) if isinstance(t, (int, np.integer)) else np.nan for t in times]
    elif op == "datetime_times":
        times = [pd.Timestamp(str(t)) if isinstance(t, (int, np.integer)) and t > 0 else t for t in times]
    elif op == "bad_dates":
        times[k] = 20241399000000
    if idx.nlevels == 2:
        new = pd.MultiIndex.from_arrays([idx.get_level_values(0), times], names=idx.names)
    else:
        new = pd.Index(times, name=idx.name)
    out = df.copy()
    out.index = new
    return out


mutations = st.tuples(st.lists(st.sampled_from(OPS), max_size=3), st.integers(0, 2 ** 32 - 1))


class MutatingClient:
    """The real data client, except that the answers of the named operations
    go through `mutate` with the current example's mutations."""

    def __init__(self, names):
        self._names = set(names)
        self.ops = ([], 0)

    def __getattr__(self, name):
        real = getattr(datac, name)
        if name not in self._names:
            return real

        def operation(*args, **kwargs):
            return mutate(real(*args, **kwargs), *self.ops)
        return operation


def check_caches(source):
    for key, value in source._history_cache.items():
        assert isinstance(key, tuple) and len(key) == 2
        assert value is None or isinstance(value, pd.DataFrame)
    assert len(source._minute_bar_cache) <= 512
    for key, value in source._minute_bar_cache.items():
        assert isinstance(key, tuple) and len(key) == 3
        assert value is None or (isinstance(value, np.ndarray) and value.dtype.names[0] == "orig_time")


@pytest.fixture
def fuzz_source(data_source, monkeypatch):
    client = MutatingClient(["get_price", "get_dividend", "get_split", "is_suspended", "is_st_stock",
                             "get_share_transformation", "future_commission_margin"])
    monkeypatch.setattr(histsource, "ostradatac", client)
    # The module-level memos would keep the mutated answers for every later test.
    histsource._is_suspended.cache_clear()
    yield data_source, client
    histsource._is_suspended.cache_clear()
    histsource._get_tick_size.cache_clear()


def instrument(source, code):
    return next(iter(source.get_instruments([code])))


CODES = ["000001.SZ", "600000.SH", "510300.SH", "RB2410.SHF", "000300.SH"]


@SETTINGS
@given(mut=mutations, code=st.sampled_from(CODES), count=st.sampled_from([1, 3, 30, 250]),
       freq=st.sampled_from(["1d", "1m", "5m", "1d"]),
       fields=st.sampled_from([None, "close", ["close"], ["orig_time", "close", "volume"], ["nope"]]),
       day=st.integers(0, 170), skip=st.booleans(), clear=st.booleans())
def test_history_bars_with_bad_frames(fuzz_source, mut, code, count, freq, fields, day, skip, clear):
    source, client = fuzz_source
    client.ops = mut
    if clear:
        source._history_cache.clear()
        source._minute_bar_cache.clear()
    dt = datetime.datetime(2024, 1, 2, 15) + datetime.timedelta(days=day)
    try:
        result = source.history_bars(instrument(source, code), count, freq, fields, dt, skip_suspended=skip)
    except SystemError:
        raise  # an error the module set no exception for: a fault, not a refusal
    except Exception:
        result = None
    if result is not None:
        assert isinstance(result, np.ndarray) and len(result) <= count
    check_caches(source)


@SETTINGS
@given(mut=mutations, code=st.sampled_from(CODES), n=st.integers(1, 40), start=st.integers(0, 100))
def test_status_queries_with_bad_tables(fuzz_source, mut, code, n, start):
    source, client = fuzz_source
    client.ops = mut
    dates = list(source._trading_dates[start:start + n])
    for query in (source.is_suspended, source.is_st_stock):
        try:
            answer = query(code, dates)
        except SystemError:
            raise
        except Exception:
            continue
        # a list of one answer per date (or the single-day answer), else the client table's values
        if isinstance(answer, list):
            assert len(answer) == (1 if len(dates) == 1 else len(dates)), (query.__name__, answer)
        else:
            assert isinstance(answer, np.ndarray), (query.__name__, answer)


DIVIDEND_FIELDS = ("announcement_date", "book_closure_date", "ex_dividend_date", "payable_date",
                   "dividend_cash_before_tax", "round_lot")
COMMISSION_KEYS = {"close_commission_ratio", "close_commission_today_ratio", "open_commission_ratio",
                   "commission_type", "short_margin_ratio", "long_margin_ratio"}


def _records_with(fields):
    return lambda answer: isinstance(answer, np.ndarray) and answer.dtype.names == fields


@SETTINGS
@given(mut=mutations, code=st.sampled_from(CODES))
def test_corporate_actions_and_futures_with_bad_tables(fuzz_source, mut, code):
    """Each query answers None or its well-formed value, or raises an ordinary exception."""
    source, client = fuzz_source
    client.ops = mut
    ins = instrument(source, code)
    future_info = getattr(source._get_future_info, "__wrapped__", None)
    checks = [
        (lambda: source.get_dividend(ins), _records_with(DIVIDEND_FIELDS)),
        (lambda: source.get_split(ins), _records_with(("ex_date", "split_factor"))),
        (lambda: source.get_share_transformation(code), lambda a: isinstance(a, tuple) and len(a) == 2),
        (lambda: future_info(source, ins, "speculation") if future_info else source.get_commission_info(ins),
         lambda a: isinstance(a, dict) and set(a) == COMMISSION_KEYS),
    ]
    for query, well_formed in checks:
        try:
            answer = query()
        except SystemError:
            raise
        except Exception:
            continue
        assert answer is None or well_formed(answer), answer


@SETTINGS
@given(rows=st.lists(st.tuples(st.one_of(st.integers(-2 ** 64, 2 ** 64), st.none(), st.text(max_size=3),
                                         st.floats(), st.datetimes()),
                               st.one_of(st.floats(), st.none(), st.text(max_size=3), st.integers())),
                     max_size=6),
       fields=st.sampled_from([None, ["orig_time"], ["v"], ["orig_time", "v"], ["missing"]]),
       two_levels=st.booleans())
def test_ndarray_from_arbitrary_frames(data_source, rows, fields, two_levels):
    df = frame_of(rows, two_levels)
    try:
        out = histsource.OstraDataDataSource._ndarray_from_df(df, fields)
    except SystemError:
        raise
    except Exception:
        return
    assert len(out) == len(df)


def frame_of(rows, two_levels):
    """A one-column frame over (bar time, value) rows, indexed by orig_time alone or under a
    market_code level."""
    times = [r[0] for r in rows]
    df = pd.DataFrame({"v": [r[1] for r in rows]})
    if two_levels:
        # pandas may warn while it infers the level's type from text and date-times: not the module's affair
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            df.index = pd.MultiIndex.from_arrays([["X"] * len(rows), times], names=["market_code", "orig_time"])
    else:
        df.index = pd.Index(times, dtype=object, name="orig_time")
    return df
