"""The dataset's tables have the same column types and values on every pandas line: text as
object columns (None where missing), dates at nanoseconds, index weights summed in one order."""
import numpy as np
import pandas as pd
import pytest

from corvane.dataset import column_types
from corvane.dataset.generator import _row_sums


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_dates_of_any_resolution_come_out_at_nanoseconds(unit):
    days = np.array(["2024-03-04", "NaT", "1999-12-31"], dtype="datetime64[D]").astype(f"datetime64[{unit}]")
    frame = pd.DataFrame({"date": days, "close": [1.0, 2.0, 3.0]})
    before = frame["date"].dtype  # pandas 1.5 makes any unit nanoseconds itself
    out = column_types.conform(frame)
    assert out["date"].dtype == np.dtype("datetime64[ns]")
    assert list(out["date"]) == list(pd.DatetimeIndex(days.astype("datetime64[ns]")))
    assert out["close"].dtype == np.float64
    # a frame that already has the types is handed back as it is, and the input is never changed
    assert (out is frame) == (before == np.dtype("datetime64[ns]"))
    assert frame["date"].dtype == before


@pytest.mark.parametrize("dtype", ["string", "str-default", object])
def test_text_columns_become_object_with_none_for_missing(dtype):
    texts = ["600000.SH", None, "", "沪深300"]
    series = pd.Series(texts) if dtype == "str-default" else pd.Series(texts, dtype=dtype)
    out = column_types.conform(pd.DataFrame({"market_code": series, "n": [1, 2, 3, 4]}))
    assert out["market_code"].dtype == object
    assert list(out["market_code"]) == texts
    assert out["n"].dtype == np.int64


def test_time_zone_aware_dates_and_none_are_left_alone():
    aware = pd.DataFrame({"t": pd.date_range("2024-01-01", periods=2, tz="Asia/Shanghai")})
    assert column_types.conform(aware) is aware
    assert column_types.conform(None) is None


@pytest.mark.parametrize("unit", ["s", "us", "ns"])
def test_calendar_at_nanoseconds_keeps_its_name(unit):
    days = pd.DatetimeIndex(np.array(["2024-01-02", "2024-01-03"], dtype=f"datetime64[{unit}]"), name="trading_date")
    out = column_types.conform_dates(days)
    assert out.dtype == np.dtype("datetime64[ns]") and out.name == "trading_date"
    assert list(out) == list(days)


@pytest.mark.parametrize("row, expected", [
    # eight running sums joined pairwise, then the ninth: the small terms survive (a left-to-right
    # sum loses each 1 against 1e16 and gives 0)
    ([1e16, 1, 1, 1, 1, 1, 1, 1, -1e16], 6.0),
    # under eight members: one by one, left to right
    ([1e16, 1, 1, 1, -1e16], 0.0),
    ([0.1] * 10, ((0.1 + 0.1) + (0.1 + 0.1)) + ((0.1 + 0.1) + (0.1 + 0.1)) + 0.1 + 0.1),
    ([], 0.0),
])
def test_index_weight_totals_are_added_in_one_fixed_order(row, expected):
    table = np.array([row, row], dtype=float).reshape(2, len(row))
    assert list(_row_sums(table)) == [expected, expected]
