"""Minute answers joined from several days equal numpy's hstack of the days' arrays, byte for
byte and in dtype layout, and a replaced `np.hstack` is the one that joins."""
import numpy as np
import pandas as pd
import pytest

from support_bars import assert_same_array
from support_datasource import histsource
from test_bar_history import DT, of_type, ref_minute_history  # noqa: F401


def days_of(source, ins):
    s = histsource._is_suspended(ins.market_code)
    return s.index[(s == False).values & (s.index.normalize() <= pd.Timestamp(DT).normalize())]  # noqa: E712


@pytest.mark.parametrize("count", [1000, 241, 480, 1])
@pytest.mark.parametrize("fields", [None, ["close", "orig_time"], ["volume"]])
def test_joined_answer_is_numpys_hstack(data_source, fields, count):  # noqa: F811
    # counts inside a day, on a day boundary and of a single bar: only the kept tail is copied
    ins = of_type(data_source, "stock")
    got = data_source.history_bars(ins, count, "1m", fields, DT)
    ref = ref_minute_history(data_source, ins, count, "1m", fields, days_of(data_source, ins))
    assert_same_array(got, ref)
    assert got.dtype.itemsize == ref.dtype.itemsize and got.tobytes() == ref.tobytes()


def test_replaced_hstack_joins(data_source, monkeypatch):  # noqa: F811
    ins = of_type(data_source, "stock")
    calls = []
    real = np.hstack
    monkeypatch.setattr(histsource.np, "hstack", lambda parts: calls.append(len(parts)) or real(parts))
    data_source.history_bars(ins, 600, "1m", None, DT)
    assert calls and calls[0] >= 3


@pytest.mark.parametrize("day", [0, 1, 2])
def test_a_renamed_day_dtype_is_joined_as_numpy_joins_it(data_source, day):  # noqa: F811
    # A day's cached array whose dtype fields are renamed after an earlier join (the first day's,
    # or a later one's): numpy's hstack of the days is the answer (its refusal of differing
    # field names).
    ins = of_type(data_source, "stock")
    data_source.history_bars(ins, 600, "1m", None, DT)
    data_source.history_bars(ins, 600, "1m", None, DT)
    days = days_of(data_source, ins)
    cached = [data_source._minute_bar_cache[(ins.market_code, d, "pre")] for d in days[-3:]]
    renamed = cached[day].dtype
    renamed.names = tuple(n.upper() for n in renamed.names)
    try:
        with pytest.raises(TypeError):
            np.hstack(cached)
        with pytest.raises(TypeError):
            data_source.history_bars(ins, 600, "1m", None, DT)
    finally:
        renamed.names = tuple(n.lower() for n in renamed.names)
    assert data_source.history_bars(ins, 600, "1m", None, DT).dtype.names[0] == "orig_time"


class _Unreadable:
    def __bool__(self):
        raise RuntimeError("no truth value")


class _FakeDtype:
    hasobject = isalignedstruct = isnative = _Unreadable()
    names = ("orig_time",)


class _FakeBars:
    """A cached day that is no array, with a dtype whose flags cannot be read."""
    dtype = _FakeDtype()

    def __len__(self):
        return 240


def _contents(arr):
    # numpy joins the odd day in as an object: compare element by element
    return arr.dtype, [repr(x) for x in arr]


@pytest.mark.parametrize("position", [0, 1, -1])
def test_a_cached_day_that_is_no_array_is_joined_as_numpy_joins_it(data_source, position):  # noqa: F811
    # Whatever the join refuses to copy goes to numpy.hstack with no error pending: the answer
    # is numpy's, never an error raised while checking the day's layout.
    ins = of_type(data_source, "stock")
    data_source.history_bars(ins, 600, "1m", None, DT)
    days = days_of(data_source, ins)[-3:]
    keys = [(ins.market_code, d, "pre") for d in days]
    saved = data_source._minute_bar_cache[keys[position]]
    data_source._minute_bar_cache[keys[position]] = _FakeBars()
    parts = [data_source._minute_bar_cache[k] for k in keys]
    try:
        try:
            expected = ("answer", _contents(np.hstack(parts)[-600:]))
        except Exception as e:
            expected = ("raised", type(e), str(e))
        try:
            got = data_source.history_bars(ins, 600, "1m", None, DT)
            got = ("answer", _contents(got))
        except Exception as e:
            got = ("raised", type(e), str(e))
        assert got == expected
    finally:
        data_source._minute_bar_cache[keys[position]] = saved
