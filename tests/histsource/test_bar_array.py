import datetime
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.tessara.mod.mod_quant_data.data_sources import histsource

from support_bars import assert_same_array, field_type, ref_ndarray_from_df, row_time_int

to_array = histsource.OstraDataDataSource._ndarray_from_df


def minute_times(day, n=5):
    start = pd.Timestamp(day) + pd.Timedelta(hours=9, minutes=31)
    return [start + pd.Timedelta(minutes=i) for i in range(n)]


def frame(times, two_levels, code="600000.SH"):
    n = len(times)
    data = {"open": np.linspace(1, 2, n), "volume": np.arange(n, dtype=np.int64),
            "flag": np.arange(n) % 2 == 0, "name": ["x%d" % i for i in range(n)]}
    if two_levels:
        index = pd.MultiIndex.from_arrays([[code] * n, times], names=["market_code", "orig_time"])
    else:
        index = pd.Index(times, name="orig_time")
    return pd.DataFrame(data, index=index)


DAY_DT = [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-02-29"), pd.Timestamp("1999-12-31")]
MINUTE_DT = minute_times("2024-03-04") + [pd.Timestamp("2024-03-04 23:59:59")]
SHAPES = {
    "day-int": [20240102000000, 20240229000000, 19991231000000],
    "day-date-int": [20240102, 20240229],
    "day-datetime": DAY_DT,
    "minute-int": [int(t.strftime("%Y%m%d%H%M%S")) for t in MINUTE_DT],
    "minute-datetime": MINUTE_DT,
}


@pytest.mark.parametrize("shape", sorted(SHAPES))
@pytest.mark.parametrize("two_levels", [True, False])
def test_orig_time_matches_framework_conversion_for_every_row(shape, two_levels):
    df = frame(SHAPES[shape], two_levels)
    got = to_array(df, None)
    assert list(got["orig_time"]) == [row_time_int(t) for t in SHAPES[shape]]
    assert_same_array(got, ref_ndarray_from_df(df, None))


def test_orig_time_from_a_sliced_multiindex_uses_the_rows_only():
    df = frame(MINUTE_DT, True).iloc[[4, 1]]  # levels keep unused values, codes are reordered
    assert list(to_array(df, ["orig_time"])["orig_time"]) == [row_time_int(MINUTE_DT[4]), row_time_int(MINUTE_DT[1])]


@settings(max_examples=200, deadline=None)
@given(st.datetimes(min_value=datetime.datetime(1900, 1, 1), max_value=datetime.datetime(2199, 12, 31)))
def test_native_conversion_agrees_with_framework_on_any_date_time(dt):
    df = frame([pd.Timestamp(dt)], False)
    assert to_array(df, ["orig_time"])["orig_time"][0] == row_time_int(pd.Timestamp(dt))


@pytest.mark.parametrize("fields, names", [
    (None, ("orig_time", "open", "volume", "flag", "name")),
    (["volume", "orig_time"], ("orig_time", "volume")),
    (["name", "open"], ("name", "open")),
])
def test_layout_orig_time_first_then_fields_with_column_types(fields, names):
    df = frame(MINUTE_DT, True)
    got = to_array(df, fields)
    assert got.dtype.names == names
    for name in names:
        assert got.dtype[name] == (np.dtype(np.uint64) if name == "orig_time" else field_type(df.dtypes[name]))
    assert_same_array(got, ref_ndarray_from_df(df, fields))


def test_missing_field_raises_the_frames_key_error():
    with pytest.raises(KeyError):
        to_array(frame(MINUTE_DT, True), ["close"])


def test_object_values_keep_exact_reference_counts():
    marker = object()
    df = frame(MINUTE_DT[:3], True)
    df["name"] = [marker] * 3
    before = sys.getrefcount(marker)
    arr = to_array(df, ["name"])
    assert sys.getrefcount(marker) == before + 3
    del arr
    assert sys.getrefcount(marker) == before


def test_replaced_converter_is_called_for_every_row(monkeypatch):
    seen = []

    def convert(dt):
        seen.append(dt)
        return 7

    monkeypatch.setattr(histsource, "convert_dt_to_int", convert)
    for times in (MINUTE_DT, SHAPES["day-int"]):
        seen.clear()
        got = to_array(frame(times, True), None)
        assert list(got["orig_time"]) == [7] * len(times)
        assert len(seen) == len(times)
        assert all(isinstance(t, datetime.datetime) for t in seen)


@pytest.mark.parametrize("bad", [[20241332000000], [pd.NaT]])
def test_invalid_times_fail_as_the_framework_fails(bad):
    df = frame(bad, False)
    with pytest.raises(Exception) as native:
        to_array(df, None)
    with pytest.raises(Exception) as reference:
        ref_ndarray_from_df(df, None)
    assert native.type is reference.type


@pytest.mark.parametrize("text_dtype", [object, "string", "str-default"])
@pytest.mark.parametrize("fields", [None, ["name", "open"]])
def test_text_columns_become_object_fields_of_their_strings(text_dtype, fields):
    # Text columns reach the bars as object fields holding the same str values (missing ones as
    # the column's own missing value), whatever text dtype the pandas line gives them.
    df = frame(MINUTE_DT, True)
    texts = ["a", "bb", None, "", "d\u00e9", "x" * 40]
    df["name"] = pd.Series(texts, index=df.index) if text_dtype == "str-default" else pd.Series(texts, index=df.index, dtype=text_dtype)
    got = to_array(df, fields)
    assert got.dtype["name"] == np.dtype(object)
    assert [v for v in got["name"] if isinstance(v, str)] == [t for t in texts if t is not None]
    missing = got["name"][2]
    assert missing is None or pd.isna(missing)
    assert all(type(v) is str for i, v in enumerate(got["name"]) if i != 2)
    ref = ref_ndarray_from_df(df, fields)
    assert got.dtype == ref.dtype

    def plain(values):  # missing values compare as None (pd.NA refuses to be a truth value)
        return [None if v is None or (not isinstance(v, str) and pd.isna(v)) else v for v in values]

    for name in got.dtype.names:
        assert plain(got[name]) == plain(ref[name])


def test_extension_column_types_fail_as_the_reference_does():
    df = frame(MINUTE_DT, True)
    df["cat"] = pd.Categorical(["a", "b", "a", "b", "a", "b"])
    with pytest.raises(TypeError):
        to_array(df, ["cat", "open"])
    with pytest.raises(TypeError):
        ref_ndarray_from_df(df, ["cat", "open"])


def test_empty_frame_gives_empty_array():
    df = frame(MINUTE_DT, True).iloc[:0]
    got = to_array(df, None)
    assert len(got) == 0 and got.dtype.names[0] == "orig_time"


@pytest.mark.parametrize("two_levels", [True, False])
def test_replaced_int_converter_serves_integer_times(monkeypatch, two_levels):
    # integer bar times become date-times through the module's convert_int_to_datetime
    original = histsource.convert_int_to_datetime
    monkeypatch.setattr(histsource, "convert_int_to_datetime",
                        lambda n: original(n) + datetime.timedelta(days=1))
    got = to_array(frame(SHAPES["minute-int"], two_levels), ["orig_time"])
    assert list(got["orig_time"]) == [int((t + pd.Timedelta(days=1)).strftime("%Y%m%d%H%M%S")) for t in MINUTE_DT]
    dt_got = to_array(frame(MINUTE_DT, two_levels), ["orig_time"])
    assert list(dt_got["orig_time"]) == [row_time_int(t) for t in MINUTE_DT]
