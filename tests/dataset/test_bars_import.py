"""Import of a user's day and minute bars into a store: accepted files land in the store,
each bad file is refused in one line naming file, row and column, and leaves the store as
it was."""
import hashlib
import os

import pandas as pd
import pytest

from corvane.dataset import __main__ as cli
from corvane.dataset import load

CODE = "600000.SH"
DAYS = ("2024-06-03", "2024-06-14")       # nine trading days (06-10 is a holiday)
MINUTE_DAY = "2024-06-17"


def _day_frame(store):
    bars = load(str(store)).day_bars(CODE).loc[DAYS[0]:DAYS[1]].reset_index()
    bars.insert(0, "market_code", CODE)
    bars["date"] = bars["date"].dt.strftime("%Y-%m-%d")
    return bars[["market_code", "date", "open", "high", "low", "close", "volume", "total_turnover"]]


def _minute_frame(store):
    bars = load(str(store)).minute_bars(CODE, pd.Timestamp(MINUTE_DAY)).reset_index()
    bars.insert(0, "market_code", CODE)
    bars["datetime"] = bars["datetime"].dt.strftime("%Y-%m-%d %H:%M")
    return bars[["market_code", "datetime", "open", "high", "low", "close", "volume",
                 "total_turnover"]]


def _digest(folder):
    return {name: hashlib.sha256((folder / name).read_bytes()).hexdigest()
            for name in sorted(os.listdir(folder))}


def _run(store, *files):
    argv = ["import", "--store", str(store)]
    for f in files:
        argv += ["--bars", str(f)]
    return cli.main(argv)


def test_imported_bars_are_served_by_the_store(store, tmp_path):
    day = _day_frame(store)
    day["close"] = day[["open", "high", "low"]].mean(axis=1).round(2)
    day.to_csv(tmp_path / "day.csv", index=False)
    minute = _minute_frame(store)
    minute["volume"] = minute["volume"] + 100
    minute.to_parquet(tmp_path / "minutes.parquet")

    assert _run(store, tmp_path / "day.csv", tmp_path / "minutes.parquet") == 0

    ds = load(str(store))
    got = ds.day_bars(CODE).loc[DAYS[0]:DAYS[1]]
    assert got["close"].tolist() == day["close"].tolist()
    # prev_close and the limits follow from the imported closes where the file has none
    assert got["prev_close"].iloc[1:].tolist() == day["close"].iloc[:-1].tolist()
    assert got["limit_up"].iloc[1] == round(day["close"].iloc[0] * 1.1, 2)
    assert (got["ex_factor"] == 1.0).all()
    minutes = ds.minute_bars(CODE, pd.Timestamp(MINUTE_DAY))
    assert minutes["volume"].tolist() == minute["volume"].tolist()
    # other instruments and days are still generated
    assert ds.minute_bars("600519.SH", pd.Timestamp(MINUTE_DAY)) is not None
    assert [entry["kind"] for entry in ds.meta["imported"]] == ["day", "minute"]
    assert not [n for n in os.listdir(store.parent) if n != "store" and not n.endswith((".csv", ".parquet"))]


def _drop(frame, i):
    return frame.drop(index=i).reset_index(drop=True)


def _set(frame, row, col, value):
    frame = frame.copy()
    frame[col] = frame[col].astype(object)
    frame.loc[row, col] = value
    return frame


DAY_CASES = {
    "unknown column": (lambda f: f.rename(columns={"close": "clsoe"}), "header, column 'clsoe': unknown column"),
    "missing column": (lambda f: f.drop(columns="volume"), "header, column volume: missing"),
    "not a number": (lambda f: _set(f, 2, "close", "8.1x"), "row 3, column close: '8.1x' is not a number"),
    "bad date": (lambda f: _set(f, 1, "date", "2024-13-04"), "row 2, column date: '2024-13-04' is not a date"),
    "not a trading day": (lambda f: _set(f, 4, "date", "2024-06-08"), "row 5, column date: 2024-06-08 is not a trading day"),
    "duplicate bar": (lambda f: pd.concat([f, f.iloc[[3]]], ignore_index=True),
                      "row 10, column date: duplicate bar: 600000.SH 2024-06-06 (first at row 4)"),
    "gap": (lambda f: _drop(f, 4), "row 5, column date: gap: no bar of 600000.SH on 2024-06-07"),
    "unknown instrument": (lambda f: _set(f, 0, "market_code", "999999.SH"), "row 1, column market_code: '999999.SH' is not an instrument"),
    "high below close": (lambda f: _set(f, 6, "high", 1.0), "row 7, column high: 1.0 is below"),
    "fractional volume": (lambda f: _set(f, 0, "volume", 10.5), "row 1, column volume: '10.5' is not a whole number"),
    "negative price": (lambda f: _set(f, 0, "open", -1), "row 1, column open: '-1' must be above 0"),
}

MINUTE_CASES = {
    "gap": (lambda f: _drop(f, 30), "row 31, column datetime: gap: no bar of 600000.SH at 2024-06-17 10:01"),
    "outside the sessions": (lambda f: _set(f, 120, "datetime", "2024-06-17 12:00"),
                             "row 121, column datetime: 2024-06-17 12:00 is not a minute of"),
    "duplicate bar": (lambda f: pd.concat([f, f.iloc[[5]]], ignore_index=True),
                      "row 241, column datetime: duplicate bar: 600000.SH 2024-06-17 09:36 (first at row 6)"),
    "bad time": (lambda f: _set(f, 0, "datetime", "2024-06-17 9h31"), "row 1, column datetime: '2024-06-17 9h31' is not a date-time"),
    "both kinds": (lambda f: f.assign(date="2024-06-17"), "header, column datetime: a file holds day bars"),
}


@pytest.mark.parametrize("ext", ["csv", "parquet"])
@pytest.mark.parametrize("kind,case", [("day", c) for c in DAY_CASES] + [("minute", c) for c in MINUTE_CASES])
def test_bad_file_is_refused_and_the_store_is_left_as_it_was(store, tmp_path, capsys, kind, case, ext):
    make, message = (DAY_CASES if kind == "day" else MINUTE_CASES)[case]
    frame = make(_day_frame(store) if kind == "day" else _minute_frame(store))
    path = tmp_path / ("bars." + ext)
    if ext == "csv":
        frame.to_csv(path, index=False)
    else:
        frame.astype(str).to_parquet(path)     # text columns: the same checks apply
    before = _digest(store)

    assert _run(store, path) == 2

    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1
    assert err.startswith("python -m corvane.dataset import: error: %s: " % path)
    assert message in err
    assert _digest(store) == before
    assert sorted(os.listdir(tmp_path)) == sorted(["store", path.name])


@pytest.mark.parametrize("content,message", [
    (b"\x00\x01 not parquet", "cannot be read as PARQUET"),
    (None, "no such file"),
])
def test_unreadable_file(store, tmp_path, capsys, content, message):
    path = tmp_path / "bars.parquet"
    if content is not None:
        path.write_bytes(content)
    before = _digest(store)
    assert _run(store, path) == 2
    assert message in capsys.readouterr().err
    assert _digest(store) == before


def test_duplicate_across_files_writes_nothing(store, tmp_path, capsys):
    day = _day_frame(store)
    day.to_csv(tmp_path / "a.csv", index=False)
    day.iloc[[2]].to_csv(tmp_path / "b.csv", index=False)
    before = _digest(store)
    assert _run(store, tmp_path / "a.csv", tmp_path / "b.csv") == 2
    assert "b.csv: row 1, column date: duplicate bar: 600000.SH" in capsys.readouterr().err
    assert _digest(store) == before


def test_not_a_store(tmp_path, capsys):
    _day_frame_src = tmp_path / "day.csv"
    _day_frame_src.write_text("market_code,date\n")
    assert _run(tmp_path / "nowhere", _day_frame_src) == 2
    assert "not a data store" in capsys.readouterr().err


def _scaled(frame, rows, factor):
    frame = frame.copy()
    for col in ("open", "high", "low", "close"):
        frame.loc[rows, col] = (frame.loc[rows, col] * factor).round(2)
    return frame


@pytest.mark.parametrize("make, message", [
    # minute bars at 12x the price: above the day bar's high (and the limit)
    (lambda f: _scaled(f, f.index, 12), "row 1, column high: "),
    (lambda f: _scaled(f, [7], 1.2), "row 8, column high: "),
    (lambda f: _scaled(f, [9], 0.8), "row 10, column low: "),
])
def test_minute_bars_outside_their_day_bar_are_refused(store, tmp_path, capsys, make, message):
    path = tmp_path / "minutes.csv"
    make(_minute_frame(store)).to_csv(path, index=False)
    before = _digest(store)
    assert _run(store, path) == 2
    err = capsys.readouterr().err
    assert message in err and ("day bar's" in err or "limit" in err) and err.count("\n") == 1
    assert _digest(store) == before


def test_minute_bars_outside_the_limits_are_refused(store, tmp_path, capsys):
    """A day bar imported with it that allows the price, but limits that do not."""
    minute = _scaled(_minute_frame(store), [3], 1.15)
    day = load(str(store)).day_bars(CODE).loc[[MINUTE_DAY]].reset_index()
    day.insert(0, "market_code", CODE)
    day["date"] = day["date"].dt.strftime("%Y-%m-%d")
    day["high"] = max(day["high"].iloc[0], minute["high"].max())
    day = day[["market_code", "date", "open", "high", "low", "close", "volume", "total_turnover",
               "limit_up", "limit_down"]]
    day.to_csv(tmp_path / "day.csv", index=False)
    minute.to_csv(tmp_path / "minutes.csv", index=False)
    assert _run(store, tmp_path / "day.csv", tmp_path / "minutes.csv") == 2
    err = capsys.readouterr().err
    assert "minutes.csv: row 4, column high: " in err and "above the day's upper limit" in err


def test_day_bar_not_containing_imported_minutes_is_refused(store, tmp_path, capsys):
    _minute_frame(store).to_csv(tmp_path / "minutes.csv", index=False)
    assert _run(store, tmp_path / "minutes.csv") == 0
    day = load(str(store)).day_bars(CODE).loc[[MINUTE_DAY]].reset_index()
    day.insert(0, "market_code", CODE)
    day["date"] = day["date"].dt.strftime("%Y-%m-%d")
    day["high"] = day[["open", "close"]].max(axis=1)      # below the minutes' high
    day[["market_code", "date", "open", "high", "low", "close", "volume",
         "total_turnover"]].to_csv(tmp_path / "day.csv", index=False)
    before = _digest(store)
    assert _run(store, tmp_path / "day.csv") == 2
    err = capsys.readouterr().err
    assert "day.csv: row 1, column high: " in err and "imported minute bars" in err
    assert _digest(store) == before


@pytest.mark.parametrize("kind, col, value", [
    ("day", "date", "2024/06/04"), ("day", "date", "2024-6-4"), ("day", "date", "20240604"),
    ("day", "date", "04/06/2024"), ("day", "date", " 2024-06-04x"),
    ("minute", "datetime", "2024/06/17 09:31"), ("minute", "datetime", "2024-06-17T09:31"),
    ("minute", "datetime", "2024-6-17 09:31"),
])
def test_dates_only_in_the_documented_form(store, tmp_path, capsys, kind, col, value):
    frame = _set(_day_frame(store) if kind == "day" else _minute_frame(store), 0, col, value)
    frame.to_csv(tmp_path / "bars.csv", index=False)
    assert _run(store, tmp_path / "bars.csv") == 2
    err = capsys.readouterr().err
    assert "row 1, column %s: %r is not a date" % (col, value.strip()) in err


@pytest.mark.parametrize("content", ["market_code,date,open,high,low,close,volume,total_turnover\n",
                                     "market_code,datetime,open,high,low,close,volume,total_turnover\n",
                                     ""])
def test_a_file_without_bars_is_refused_in_one_line(store, tmp_path, capsys, content):
    path = tmp_path / "empty.csv"
    path.write_text(content)
    before = _digest(store)
    assert _run(store, path) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "empty.csv: " in err and "nothing imported" in err
    assert _digest(store) == before
