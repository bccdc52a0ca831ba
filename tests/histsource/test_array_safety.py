"""Arrays the data source writes into or reads from natively are checked first: a replaced `np`
whose `empty` hands back something else, or a frame with odd arrays, gets a clear TypeError or
ValueError (or the generic row-by-row path), never a write outside an array."""
import types

import numpy as np
import pandas as pd
import pytest

from corvane.tessara.mod.mod_quant_data.data_sources import histsource

from support_bars import row_time_int

to_array = histsource.OstraDataDataSource._ndarray_from_df
TIMES = [20240102093100, 20240102093200, 20240102093300]


def frame(times=TIMES):
    n = len(times)
    return pd.DataFrame({"close": np.linspace(1, 2, n), "name": ["x%d" % i for i in range(n)]},
                        index=pd.Index(times, name="orig_time"))


def spoiled_np(spoil, wanted):
    """numpy, except that `empty(n, dtype)` for which `wanted(dtype)` holds returns spoil(n, dtype)."""
    def empty(n, dtype, *args, **kwargs):
        if wanted(dtype):
            return spoil(n, dtype)
        return np.empty(n, dtype, *args, **kwargs)
    fake = types.SimpleNamespace(**{k: getattr(np, k) for k in dir(np) if not k.startswith("__")})
    fake.empty = empty
    return fake


def read_only(n, dtype):
    a = np.zeros(n, dtype)
    a.flags.writeable = False
    return a


# What a replaced np.empty may hand back, and the error it must meet.
BAD_RESULTS = {
    "list": (lambda n, dt: [0] * n, TypeError),
    "bytearray": (lambda n, dt: bytearray(n), (TypeError, ValueError)),
    "short": (lambda n, dt: np.zeros(n - 1, dt), ValueError),
    "empty": (lambda n, dt: np.zeros(0, dt), ValueError),
    "2-D": (lambda n, dt: np.zeros((n, 2), dt), ValueError),
    "read-only": (read_only, ValueError),
    "strided": (lambda n, dt: np.zeros(2 * n, dt)[::2], (ValueError, TypeError)),
    "float64": (lambda n, dt: np.zeros(n, np.float64), TypeError),
    "uint32": (lambda n, dt: np.zeros(n, np.uint32), TypeError),
    "big-endian": (lambda n, dt: np.zeros(n, ">u8"), TypeError),
}


# The native module writes bar times and record dates straight into the memory np.empty hands
# back, so it checks that memory first; numpy's own assignment needs no such check.
NATIVE_WRITES = pytest.mark.native_only


def is_uint64(dtype):
    return np.dtype(dtype) == np.uint64


def is_structured(dtype):
    return np.dtype(dtype).names is not None


@NATIVE_WRITES
@pytest.mark.parametrize("bad", sorted(BAD_RESULTS))
def test_bar_times_refuse_a_bad_result_of_np_empty(monkeypatch, bad):
    spoil, error = BAD_RESULTS[bad]
    monkeypatch.setattr(histsource, "np", spoiled_np(spoil, is_uint64))
    with pytest.raises(error):
        to_array(frame(), ["orig_time"])


@NATIVE_WRITES
@pytest.mark.parametrize("bad", ["list", "bytearray", "short", "empty", "float64", "uint32", "big-endian"])
def test_bar_records_refuse_a_bad_result_of_np_empty(monkeypatch, bad):
    spoil, _ = BAD_RESULTS[bad]
    monkeypatch.setattr(histsource, "np", spoiled_np(spoil, is_structured))
    with pytest.raises((TypeError, ValueError)):
        to_array(frame(), ["close", "name"])


@pytest.mark.parametrize("bad", ["2-D", "read-only"])
def test_bar_records_of_an_odd_shape_meet_numpy_assignment(monkeypatch, bad):
    # Records of the right count but another shape or access: numpy's own assignment refuses.
    spoil, _ = BAD_RESULTS[bad]
    monkeypatch.setattr(histsource, "np", spoiled_np(spoil, is_structured))
    with pytest.raises(ValueError):
        to_array(frame(), ["close", "name"])


def test_bar_records_in_strided_memory_are_filled_in_place(monkeypatch):
    made = []

    def strided(n, dtype):
        made.append(np.zeros(2 * n, dtype)[::2])
        return made[-1]
    monkeypatch.setattr(histsource, "np", spoiled_np(strided, is_structured))
    got = to_array(frame(), ["close", "name"])
    assert got is made[0]
    assert got.tolist() == list(zip(np.linspace(1, 2, 3), ["x0", "x1", "x2"]))
    assert made[0].base[1::2].tolist() == [(0.0, 0)] * 3  # the records between are untouched


class OddIndex:
    """A one-level index as a foreign frame may carry it: labels iterate as given, `values` is
    whatever array the case supplies."""
    nlevels = 1
    names = ["orig_time"]

    def __init__(self, labels, values):
        self._labels, self.values = labels, values

    def __len__(self):
        return len(self._labels)

    def __iter__(self):
        return iter(self._labels)


class OddFrame:
    def __init__(self, index):
        self.index = index
        self.columns = pd.Index([])

    def __len__(self):
        return len(self.index)


def _strided(a):
    b = np.zeros(2 * len(a), a.dtype)
    b[::2] = a
    return b[::2]


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


ODD_VALUES = {
    "int64": lambda a: a,
    "strided": _strided,
    "read-only": _read_only,
    "big-endian": lambda a: a.astype(">i8"),
    "int32 of the dates": lambda a: (a // 1000000).astype(np.int32),
    "uint64": lambda a: a.astype(np.uint64),
    "float64": lambda a: a.astype(np.float64),
    "object": lambda a: a.astype(object),
    "2-D": lambda a: np.stack([a, a], axis=1),
    "short": lambda a: a[:-1],
    "list": lambda a: list(a),
    "datetime64[ns] strided": lambda a: _strided(pd.to_datetime(a.astype(str), format="%Y%m%d%H%M%S").values),
    "datetime64[s]": lambda a: pd.to_datetime(a.astype(str), format="%Y%m%d%H%M%S").values.astype("M8[s]"),
}


@pytest.mark.parametrize("case", sorted(ODD_VALUES))
def test_bar_times_from_odd_index_arrays_match_the_row_conversion(case):
    # The native conversion reads `values` only when they are a one-dimensional array of the
    # index's length; otherwise the labels go through the framework's converters one by one.
    labels = np.array(TIMES, dtype=np.int64)
    values = ODD_VALUES[case](labels)
    if case == "int32 of the dates":
        labels = labels // 1000000
    got = to_array(OddFrame(OddIndex(list(labels), values)), ["orig_time"])
    assert list(got["orig_time"]) == [row_time_int(int(t)) for t in labels]


class OddMultiIndex:
    """A two-level index whose codes are whatever array the case supplies."""
    nlevels = 2
    names = ["market_code", "orig_time"]

    def __init__(self, times, codes):
        self.levels = [pd.Index(["600000.SH"]), pd.Index(times)]
        self.codes = [np.zeros(len(times), np.int8), codes]
        self._times = times

    def __len__(self):
        return len(self._times)

    def get_level_values(self, level):
        return pd.Index(self._times)


@pytest.mark.parametrize("codes", [
    lambda n: np.arange(n, dtype=np.int8),
    lambda n: _strided(np.arange(n, dtype=np.int16)),
    lambda n: np.arange(n, dtype=np.int64)[::-1][::-1],
    lambda n: np.arange(n - 1, dtype=np.int8),            # short
    lambda n: np.array([0, 1, 99][:n], dtype=np.int8),    # a code beyond the levels
    lambda n: np.array([0, -1, 2][:n], dtype=np.int8),    # a missing-value code
    lambda n: np.arange(n, dtype=np.float64),             # not integers
    lambda n: np.stack([np.arange(n)] * 2, axis=1),       # 2-D
], ids=["int8", "strided int16", "int64", "short", "beyond", "negative", "float", "2-D"])
def test_bar_times_from_odd_level_codes_match_the_row_conversion(codes):
    got = to_array(OddFrame(OddMultiIndex(TIMES, codes(len(TIMES)))), ["orig_time"])
    assert list(got["orig_time"]) == [row_time_int(t) for t in TIMES]


DIVIDENDS = pd.DataFrame(
    [(pd.Timestamp("2024-06-20"), pd.Timestamp("2024-06-21"), pd.Timestamp("2024-06-21"), 2.5, 10)],
    columns=["book_closure_date", "ex_dividend_date", "payable_date", "dividend_cash_before_tax", "round_lot"],
    index=pd.DatetimeIndex(["2024-05-30"], name="declaration_announcement_date"))


@NATIVE_WRITES
@pytest.mark.parametrize("bad", ["list", "short", "read-only", "float64", "uint32"])
def test_dividend_records_refuse_a_bad_result_of_np_empty(scripted_client, monkeypatch, bad):
    spoil, _ = BAD_RESULTS[bad]
    scripted_client.answer("get_dividend", DIVIDENDS)
    monkeypatch.setattr(histsource, "np", spoiled_np(spoil, is_structured))
    with pytest.raises((TypeError, ValueError)):
        histsource.OstraDataDataSource.get_dividend(types.SimpleNamespace(),
                                                    types.SimpleNamespace(market_code="600000.SH"))


@NATIVE_WRITES
def test_dividend_records_with_a_wrong_field_type_are_refused(scripted_client, monkeypatch):
    # announcement_date as float: the integer date field is not written as raw bytes.
    def wrong(n, dtype):
        fields = [(name, "<f8" if name == "announcement_date" else dtype.fields[name][0]) for name in dtype.names]
        return np.zeros(n, fields)
    scripted_client.answer("get_dividend", DIVIDENDS)
    monkeypatch.setattr(histsource, "np", spoiled_np(wrong, is_structured))
    with pytest.raises(TypeError, match="record date field"):
        histsource.OstraDataDataSource.get_dividend(types.SimpleNamespace(),
                                                    types.SimpleNamespace(market_code="600000.SH"))


def test_bar_times_of_a_flat_index_of_record_entries_read_each_entrys_orig_time():
    rec = types.SimpleNamespace
    df = pd.DataFrame({"close": [1.0, 2.0]}, index=pd.Index([rec(orig_time=t) for t in TIMES[:2]], dtype=object))
    assert list(to_array(df, ["orig_time"])["orig_time"]) == TIMES[:2]
