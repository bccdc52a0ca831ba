"""A cached day-bar frame edited in place: every later query answers from the edited frame, as the
step-by-step path over that frame does, whatever the kind of edit and whichever way it is read."""
import warnings

import numpy as np
import pandas as pd
import pytest

from support_bars import assert_same_array, day_frame, fake_instrument, ref_history_day_bars
from support_datasource import histsource
from test_day_bars import DT, trading_days

CODE = "X.SH"
QUERIES = [(3, None, False), (5, "close", False), (4, ["volume", "orig_time"], False), (20, None, True),
           (2, "close", True)]


def _next_time(frame):
    return int(frame.index.get_level_values("orig_time")[-1]) + 1000000


def _append_row(frame):
    frame.loc[(CODE, _next_time(frame)), :] = [99.5, 7]


def _shift_index(frame):
    times = [t - 1000000 for t in frame.index.get_level_values("orig_time")]
    frame.index = pd.MultiIndex.from_arrays([frame.index.get_level_values(0), times], names=frame.index.names)


def _set_cell_of_another_type(target, label, value):
    """A cell set to a value its column cannot hold: the column changes type where pandas still
    allows it (with a deprecation warning from pandas 2); where it refuses, a frame's column is
    cast first and a series is left as it is."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            target.loc[label] = value
    except TypeError:
        if isinstance(target, pd.DataFrame):
            target[label[1]] = target[label[1]].astype(object)
            target.loc[label] = value


def _in_place(method, **kwargs):
    """f.<method>(..., inplace=True): pandas 3.1 deprecates the keyword but still honours it, and
    code written for earlier pandas still edits frames this way."""
    def edit(frame):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            warnings.simplefilter("ignore", FutureWarning)
            getattr(frame, method)(**{k: (v(frame) if callable(v) else v) for k, v in kwargs.items()},
                                   inplace=True)
    return edit


EDITS = {
    "value through loc": lambda f: f.loc.__setitem__((f.index[-1], "close"), 12345.0),
    "value through iloc": lambda f: f.iloc.__setitem__((-2, 0), -1.5),
    "whole column, same type": lambda f: f.loc.__setitem__((slice(None), "volume"), np.arange(len(f)) * 7),
    "whole column replaced": lambda f: f.__setitem__("close", f["close"] * 2),
    "row through iloc": lambda f: f.iloc.__setitem__(-1, [1.25, 3]),
    "value of another type": lambda f: _set_cell_of_another_type(f, (f.index[-1], "volume"), 0.5),
    "text into a number column": lambda f: _set_cell_of_another_type(f, (f.index[0], "close"), "n/a"),
    "column added": lambda f: f.__setitem__("open", f["close"] - 1.0),
    "column inserted first": lambda f: f.insert(0, "high", f["close"] + 1.0),
    "column removed": lambda f: f.__delitem__("volume"),
    "column renamed": _in_place("rename", columns={"close": "last"}),
    "row appended through loc": _append_row,
    "row dropped": _in_place("drop", index=lambda f: f.index[-1]),
    "index replaced": _shift_index,
    "index sorted backwards": _in_place("sort_index", ascending=False),
    "values updated from another frame": lambda f: f.update(pd.DataFrame({"close": [0.0]}, index=f.index[-1:])),
}


@pytest.fixture
def cached(data_source, scripted_client, monkeypatch):
    """An instrument whose day bars are cached (queried once, so any array form is built)."""
    days = trading_days(data_source, "2024-05-02", DT)
    scripted_client.answer("get_price", lambda *a, **k: day_frame(CODE, days))
    suspended = pd.Series(False, index=pd.DatetimeIndex(days))
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: suspended)
    ins = fake_instrument(CODE)
    for count, fields, skip in QUERIES:
        data_source.history_bars(ins, count, "1d", fields, DT, skip_suspended=skip)
    return ins, suspended


def _answers(source, ins, suspended, queries):
    out = []
    for count, fields, skip in queries:
        try:
            got = source.history_bars(ins, count, "1d", fields, DT, skip_suspended=skip)
        except KeyError as exc:
            got = ("KeyError", exc.args)
        try:
            ref = ref_history_day_bars(source, ins, count, fields, DT, skip, "pre", suspended=suspended)
        except KeyError as exc:
            ref = ("KeyError", exc.args)
        out.append((got, ref))
    return out


def _assert_answers(pairs):
    for got, ref in pairs:
        if isinstance(ref, tuple) or isinstance(got, tuple):
            assert got == ref
        else:
            assert_same_array(got, ref)


@pytest.mark.parametrize("edit", list(EDITS.values()), ids=list(EDITS))
@pytest.mark.parametrize("through", ["cache", "get_day_bars"])
def test_later_queries_see_an_in_place_edit(data_source, cached, edit, through):
    ins, suspended = cached
    if through == "cache":
        frame = data_source._history_cache[(CODE, "pre")]
    else:
        frame = data_source._get_day_bars(ins, 1, DT, "pre", False)
        assert frame is data_source._history_cache[(CODE, "pre")]
    edit(frame)
    # twice: the first query after the edit, then one answered from whatever it left behind
    for _ in range(2):
        _assert_answers(_answers(data_source, ins, suspended, QUERIES))


def test_the_reported_edit_is_seen(data_source, cached):
    ins, _ = cached
    frame = data_source._history_cache[(CODE, "pre")]
    frame.loc[frame.index[-1], "close"] = 12345.0
    assert data_source.history_bars(ins, 4, "1d", "close", DT, skip_suspended=False)[-1] == 12345.0


@pytest.mark.parametrize("names, error", [(["code", "orig_time"], KeyError), (["market_code", "t"], None)])
def test_renamed_index_levels_answer_as_the_frame_does(data_source, cached, names, error):
    ins, suspended = cached
    frame = data_source._history_cache[(CODE, "pre")]
    frame.index.names = names
    for count, fields, skip in QUERIES[:3]:
        if error:
            with pytest.raises(error):
                data_source.history_bars(ins, count, "1d", fields, DT, skip_suspended=skip)
        else:
            got = data_source.history_bars(ins, count, "1d", fields, DT, skip_suspended=skip)
            assert got is not None and len(got) == count


def test_successive_edits_are_each_seen(data_source, cached):
    ins, _ = cached
    frame = data_source._history_cache[(CODE, "pre")]
    for k in range(4):
        frame.loc[frame.index[-1], "close"] = float(k)
        assert data_source.history_bars(ins, 1, "1d", "close", DT, skip_suspended=False)[-1] == float(k)
        frame["volume"] = frame["volume"] + 1
        assert data_source.history_bars(ins, 1, "1d", "volume", DT, skip_suspended=False)[-1] == \
            frame["volume"].iloc[-1]


def _append_day(s):
    s.loc[s.index[-1] + pd.Timedelta(days=1)] = False


SERIES_EDITS = {
    "flag set through iloc": lambda s: s.iloc.__setitem__(-2, True),
    "flags set over a slice": lambda s: s.iloc.__setitem__(slice(-6, -3), True),
    "flag cleared again": lambda s: (s.iloc.__setitem__(-2, True), s.iloc.__setitem__(-2, False)),
    "flag of another type": lambda s: _set_cell_of_another_type(s, s.index[-3], np.nan),
    "day appended": _append_day,
    "index replaced": lambda s: setattr(s, "index", s.index - pd.Timedelta(days=1)),
}


@pytest.mark.parametrize("edit", list(SERIES_EDITS.values()), ids=list(SERIES_EDITS))
def test_day_queries_see_an_in_place_edit_of_the_suspension_series(data_source, cached, edit):
    ins, suspended = cached
    edit(suspended)
    for _ in range(2):
        _assert_answers(_answers(data_source, ins, suspended, [q for q in QUERIES if q[2]]))


def test_the_minute_path_sees_a_flag_set_in_place(data_source):
    # The memoised series of a real stock, edited in place: its last unsuspended day is skipped.
    ins = next(i for i in data_source.get_instruments() if i.type == "stock")
    s = histsource._is_suspended(ins.market_code)
    dt = s.index[(s == False).values][-1].to_pydatetime()  # noqa: E712
    before = data_source.history_bars(ins, 1, "1m", "close", dt.replace(hour=15))
    s.loc[pd.Timestamp(dt)] = True
    after = data_source.history_bars(ins, 1, "1m", "close", dt.replace(hour=15))
    orig = data_source.history_bars(ins, 1, "1m", "orig_time", dt.replace(hour=15))
    assert before is not None and after is not None
    assert orig[-1] // 1000000 < int(pd.Timestamp(dt).strftime("%Y%m%d"))
