"""Differential fuzzing of the data source: the native module and its plain-Python twin run the same
generated sequences of queries (day and minute bar history, status queries, corporate actions,
futures parameters, frame conversions and day-cache clearings) over identical data clients whose
answers are spoiled the same way (missing columns, NaN and NaT, unsorted and duplicated index
entries, both orig_time encodings, empty and missing tables). After every step the two must agree
on the answer (arrays by dtype and values, NaN-aware), the exception raised (type and message), the
calls made to the data client and the contents of both bar caches. A failing example is shrunk and
names the first step at which they differ.

CORVANE_LONG=1 runs 1000 sequences instead of 100 (about ten minutes), the long mode.
"""
import datetime
import importlib.util
import math
import os
import sys
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import corvane.tessara.datac as datac
from corvane.tessara.core.events import EVENT, Event
from corvane.tessara.environment import Environment

import implementations
from test_fuzz_datasource import OPS, frame_of, mutate

EXAMPLES = 1000 if os.environ.get("CORVANE_LONG") else 100
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                           HealthCheck.data_too_large])

HISTSOURCE = implementations.MODULES["histsource"]
SPOILED = {"get_price", "get_dividend", "get_split", "is_suspended", "is_st_stock", "_is_st_stock",
           "get_share_transformation", "future_commission_margin"}
CODES = ["000001.SZ", "600000.SH", "510300.SH", "RB2410.SHF", "000300.SH"]
START = datetime.datetime(2024, 1, 2, 15)


def load_twin_beside(real_name):
    """twin/histsource.py as a module of its own beside the native one, in the same package."""
    package, _, leaf = real_name.rpartition(".")
    spec = importlib.util.spec_from_file_location(package + "._twin_" + leaf,
                                                  implementations.TWIN_DIR / (leaf + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class RecordingClient:
    """The dataset's data client; answers of the spoiled operations go through `mutate` with the
    current step's mutations, and every call is recorded as (name, args, kwargs)."""

    def __init__(self):
        self.ops = ([], 0)
        self.calls = []

    def __getattr__(self, name):
        real = getattr(datac, name)
        if not callable(real) or isinstance(real, types.ModuleType):
            return real

        def operation(*args, **kwargs):
            self.calls.append((name, canon(args), canon(kwargs)))
            answer = real(*args, **kwargs)
            return mutate(answer, *self.ops) if name in SPOILED and isinstance(answer, pd.DataFrame) else answer
        return operation


def canon(value):
    """A comparable form of a value: NaN and NaT compare equal to themselves, arrays carry their
    dtype, frames their index, columns and column types."""
    if value is None or isinstance(value, (bool, str, bytes)):
        return value
    if value is pd.NaT:
        return "<NaT>"
    if isinstance(value, (float, np.floating)):
        return "<NaN>" if math.isnan(value) else float(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, np.ndarray):
        # without objects, the bytes say it all (and compare fast); objects by their values
        data = canon(value.tolist()) if value.dtype.hasobject else np.ascontiguousarray(value).tobytes()
        return "ndarray", str(value.dtype), value.shape, data
    if isinstance(value, pd.DataFrame):
        return ("frame", canon(list(value.index)), list(value.index.names), canon(list(value.columns)),
                [str(t) for t in value.dtypes], canon(value.values.tolist()))
    if isinstance(value, (pd.Series, pd.Index)):
        return (type(value).__name__, str(value.dtype), canon(list(value)))
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [canon(v) for v in value]
    if isinstance(value, dict):
        return "dict", [(canon(k), canon(v)) for k, v in value.items()]
    if isinstance(value, (datetime.date, datetime.datetime, datetime.timedelta, np.datetime64)):
        return repr(value)
    if hasattr(value, "__dict__"):
        return type(value).__name__, canon(vars(value))
    return repr(value)


class Side:
    """One implementation with its own client and data source."""

    def __init__(self, module, monkeypatch, env):
        self.module = module
        self.client = RecordingClient()
        monkeypatch.setattr(module, "ostradatac", self.client)
        self.source = module.OstraDataDataSource()
        if env.data_source is None:
            env.set_data_source(self.source)
        self.instruments = {code: next(iter(self.source.get_instruments([code]))) for code in CODES}

    def reset(self):
        self.source._history_cache.clear()
        self.source._minute_bar_cache.clear()
        self.module._is_suspended.cache_clear()
        type(self.source)._get_future_info.cache_clear()
        self.client.calls.clear()

    def state(self):
        return (canon(sorted(self.source._history_cache.items(), key=repr)),
                canon(list(self.source._minute_bar_cache.items())))

    def run(self, step, ops):
        self.client.ops = ops
        self.client.calls.clear()
        try:
            outcome = ("answer", canon(perform(self, step)))
        except SystemError:
            raise  # an error the module set no exception for: a fault on either side
        except Exception as e:
            outcome = ("raised", type(e).__name__, str(e))
        return outcome, self.client.calls[:], self.state()


def perform(side, step):
    kind, code = step[0], step[1]
    source, ins = side.source, side.instruments[code]
    if kind == "history":
        _, _, count, freq, fields, day, skip, adjust, form = step
        return source.history_bars(ins, count, freq, fields, DT_FORMS[form](START + datetime.timedelta(days=day)),
                                   skip_suspended=skip, adjust_type=adjust)
    if kind == "status":
        _, _, query, first, n = step
        return getattr(source, query)(code, list(source._trading_dates[first:first + n]))
    if kind == "commission":
        return source._get_future_info(ins, "speculation")
    if kind == "parameters":
        return source.get_futures_trading_parameters(ins, START)
    if kind == "get_share_transformation":
        return source.get_share_transformation(code)
    if kind == "ndarray":
        _, _, rows, fields, two_levels = step
        return type(source)._ndarray_from_df(frame_of(rows, two_levels), fields)
    return getattr(source, kind)(ins)



# The end of a query as a caller may hand it.
DT_FORMS = {
    "datetime": lambda dt: dt,
    "morning": lambda dt: dt.replace(hour=9, minute=31),
    "timestamp": pd.Timestamp,
    "date": lambda dt: dt.date(),
}

codes = st.sampled_from(CODES)
FIELDS = [None, "close", "volume", [], ["close"], ["orig_time"], ["orig_time", "close", "volume"],
          ["volume", "orig_time"], ["nope"]]
history = st.tuples(st.just("history"), codes, st.sampled_from([-1, 0, 1, 3, 30, 250, 600, 2400]),
                    st.sampled_from(["1d", "1m", "5m", "15m"]), st.sampled_from(FIELDS), st.integers(0, 175),
                    st.booleans(), st.sampled_from(["pre", "none"]), st.sampled_from(sorted(DT_FORMS)))
status = st.tuples(st.just("status"), codes, st.sampled_from(["is_suspended", "is_st_stock"]),
                   st.integers(4750, 4900), st.integers(0, 30))
simple = st.tuples(st.sampled_from(["get_dividend", "get_split", "get_share_transformation", "commission",
                                    "parameters"]), codes)
cell_times = st.one_of(st.integers(-2 ** 64, 2 ** 64), st.sampled_from([20240102093100, 20240229, 20241399000000]),
                       st.none(), st.text(max_size=3), st.floats(), st.datetimes())
ndarray = st.tuples(st.just("ndarray"), st.just(CODES[0]),
                    st.lists(st.tuples(cell_times, st.one_of(st.floats(), st.none(), st.text(max_size=3),
                                                            st.integers())), max_size=5),
                    st.sampled_from([None, ["orig_time"], ["v"], ["orig_time", "v"], ["missing"]]), st.booleans())
clear = st.just(("clear_day_cache", CODES[0]))
steps = st.lists(st.tuples(st.one_of(history, history, status, simple, ndarray, clear),
                           st.tuples(st.lists(st.sampled_from(OPS), max_size=3), st.integers(0, 2 ** 32 - 1))),
                 min_size=1, max_size=12)


@pytest.fixture
def sides(datasource_env, monkeypatch):
    native = sys.modules.get(HISTSOURCE)
    if native is None or implementations.twin_loaded("histsource"):
        pytest.skip("compares the native module with the twin; here the twin stands in for the native")
    twin = load_twin_beside(HISTSOURCE)
    pair = Side(native, monkeypatch, datasource_env), Side(twin, monkeypatch, datasource_env)
    yield pair
    for side in pair:
        side.reset()
    native._get_tick_size.cache_clear()


STEPS_RUN = [0]


CLEAN = ([], 0)


@SETTINGS
@given(sequence=steps)
# Always run: a bulk minute prefetch, then warm and longer queries from its cache; day bars
# answered from a cache holding exactly as many, then lengthened backwards across a day-cache
# clearing, on the suspension-aware path; futures by their trading day, on frames with date-time
# bar times.
@example(sequence=[(("history", "600000.SH", 600, "1m", None, 100, False, "pre", "datetime"), CLEAN),
                   (("history", "600000.SH", 240, "5m", "close", 100, False, "pre", "morning"), CLEAN),
                   (("history", "600000.SH", 2400, "1m", ["orig_time", "close"], 101, False, "pre", "datetime"),
                    CLEAN)])
@example(sequence=[(("history", "000001.SZ", 10, "1d", None, 150, False, "pre", "timestamp"), CLEAN),
                   (("history", "000001.SZ", 11, "1d", None, 150, False, "pre", "timestamp"), CLEAN),
                   (("history", "000001.SZ", 30, "1d", "close", 150, True, "pre", "datetime"), CLEAN),
                   (("clear_day_cache", "000001.SZ"), CLEAN),
                   (("history", "000001.SZ", 250, "1d", ["volume", "orig_time"], 170, True, "pre", "date"),
                    (["shuffle", "duplicate"], 7))])
@example(sequence=[(("history", "RB2410.SHF", 900, "1m", None, 120, True, "pre", "datetime"),
                    (["datetime_times"], 3)),
                   (("history", "RB2410.SHF", 30, "1d", None, 120, True, "none", "datetime"), CLEAN)])
def test_native_and_twin_agree_step_by_step(sides, sequence):
    for side in sides:
        side.reset()
    for number, (step, ops) in enumerate(sequence, 1):
        if step[0] == "clear_day_cache":
            Environment.get_instance().event_bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING))
            results = [side.state() for side in sides]
        else:
            results = [side.run(step, ops) for side in sides]
        STEPS_RUN[0] += 1
        native, twin = results
        if native != twin:
            pytest.fail("step %d of %d differs: %r with mutations %r\n%s" % (
                number, len(sequence), step, ops, first_difference(native, twin)), pytrace=False)


def first_difference(native, twin, path="outcome, calls, caches"):
    """Where two canonical forms first differ, with both sides' values there (shortened)."""
    if isinstance(native, (list, tuple)) and isinstance(twin, (list, tuple)) and len(native) == len(twin):
        for i, (a, b) in enumerate(zip(native, twin)):
            if a != b:
                return first_difference(a, b, "%s[%d]" % (path, i))
    return "at %s:\n  native: %.600r\n  twin:   %.600r" % (path, native, twin)
