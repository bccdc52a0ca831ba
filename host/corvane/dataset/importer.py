"""Import of a user's own day and minute bars into a store folder.

    python -m corvane.dataset import --store DIR --bars FILE [--bars FILE ...]

A file is CSV (comma-separated, a header line, UTF-8) or Parquet, and holds either day bars
(it has a `date` column) or one-minute bars (a `datetime` column):

| Column | Day bars | Minute bars | Type and unit |
|---|---|---|---|
| market_code | required | required | text, an instrument of the store, e.g. 600000.SH |
| date | required | - | trading day, YYYY-MM-DD (Parquet: a date or timestamp) |
| datetime | - | required | bar end time, local exchange time, YYYY-MM-DD HH:MM[:00] |
| trading_date | - | optional | YYYY-MM-DD; default: the date of `datetime`, or for an evening (night-session) bar the next trading day |
| open, high, low, close | required | required | price, currency units per share (unadjusted), > 0 |
| volume | required | required | whole shares (contracts for futures), >= 0 |
| total_turnover | required | required | currency units, >= 0 |
| prev_close | optional | - | price; default: the previous day's close |
| limit_up, limit_down | optional | - | price; default: the exchange's daily limit from prev_close |
| open_interest | optional | optional | contracts (futures) |
| settlement, prev_settlement | optional | - | price (futures) |

Checks: the columns above and no others; every value of its type; a known instrument; a
trading day of the store's calendar; low <= open, close <= high; one bar per instrument and
day (minute: per instrument and bar time); no gaps: day bars cover every trading day between
an instrument's first and last day, minute bars every minute of each trading day's sessions;
dates written YYYY-MM-DD and times YYYY-MM-DD HH:MM[:SS], nothing else; at least one bar per
file; minute bars within their day bar's high and low and within the day's limits, and day
bars containing the imported minute bars of their day. The first problem is reported in one
line naming the file, the row (data rows count from 1) and the column; nothing is written
then. Otherwise the store is rebuilt in a temporary folder beside it and renamed into place,
so it is either as before or fully updated.
"""
import datetime as _dt
import os

import numpy as np
import pandas as pd

from . import store as _store
from .bars import price_limit
from .dataset import Dataset
from .dates import is_iso_day, is_iso_minute
from .schema import StoreError
from .sessions import bar_times

PRICE_COLUMNS = ["open", "high", "low", "close"]
DAY_REQUIRED = ["market_code", "date"] + PRICE_COLUMNS + ["volume", "total_turnover"]
DAY_OPTIONAL = ["prev_close", "limit_up", "limit_down", "open_interest", "settlement",
                "prev_settlement"]
MINUTE_REQUIRED = ["market_code", "datetime"] + PRICE_COLUMNS + ["volume", "total_turnover"]
MINUTE_OPTIONAL = ["trading_date", "open_interest"]
_EVENING_HOUR = 18


class BarsImportError(Exception):
    """One problem with an input file or the store, as one line of text."""


def _fail(path, row, column, message):
    where = "header" if row is None else "row %d" % row
    raise BarsImportError("%s: %s, column %s: %s" % (path, where, column, message))


# reading ---------------------------------------------------------------------------------
def read_file(path):
    """The file as a frame of its stored values (CSV: all text)."""
    ext = os.path.splitext(path)[1].lower()
    if not os.path.isfile(path):
        raise BarsImportError("%s: no such file" % path)
    if os.path.getsize(path) == 0:
        raise BarsImportError("%s: empty file (no header, no bars); nothing imported" % path)
    try:
        if ext == ".csv":
            return pd.read_csv(path, dtype=str, keep_default_na=False, skipinitialspace=True)
        if ext in (".parquet", ".pq"):
            import pyarrow.parquet as pq
            return pq.read_table(path).to_pandas()
    except Exception as exc:      # any reader failure: the file is not what it claims
        raise BarsImportError("%s: cannot be read as %s (%s)" % (
            path, ext[1:].upper(), str(exc).splitlines()[0] if str(exc) else type(exc).__name__))
    raise BarsImportError("%s: unknown file type %r (use .csv or .parquet)" % (path, ext))


def _kind(path, frame):
    cols = set(frame.columns)
    if "date" in cols and "datetime" in cols:
        _fail(path, None, "datetime", "a file holds day bars (date) or minute bars "
                                      "(datetime), not both")
    if "date" in cols:
        return "day", DAY_REQUIRED, DAY_OPTIONAL
    if "datetime" in cols:
        return "minute", MINUTE_REQUIRED, MINUTE_OPTIONAL
    _fail(path, None, "date", "missing: day bars need a date column, minute bars a datetime column")


def _check_columns(path, frame, required, optional, kind):
    for col in frame.columns:
        if col not in required and col not in optional:
            _fail(path, None, repr(col), "unknown column for %s bars (known: %s)"
                  % (kind, ", ".join(required + optional)))
    for col in required:
        if col not in frame.columns:
            _fail(path, None, col, "missing (%s bars need %s)" % (kind, ", ".join(required)))


# values ----------------------------------------------------------------------------------
def _first(mask):
    hits = np.flatnonzero(np.asarray(mask))
    return None if len(hits) == 0 else int(hits[0])


def _blank(series):
    if series.dtype == object:
        return series.isna() | (series.astype(str).str.strip() == "")
    return series.isna()


def _numbers(path, frame, col, required, integral=False, positive=False):
    raw = frame[col]
    blank = _blank(raw)
    values = pd.to_numeric(raw.where(~blank), errors="coerce").astype(float)
    bad = values.isna() & ~blank
    bad |= ~np.isfinite(values.fillna(0.0))
    i = _first(bad)
    if i is not None:
        _fail(path, i + 1, col, "%r is not a number" % (raw.iloc[i],))
    if required and (i := _first(blank)) is not None:
        _fail(path, i + 1, col, "empty")
    if integral and (i := _first(values.notna() & (values != np.floor(values)))) is not None:
        _fail(path, i + 1, col, "%r is not a whole number" % (raw.iloc[i],))
    limit = (values <= 0) if positive else (values < 0)
    if (i := _first(values.notna() & limit)) is not None:
        _fail(path, i + 1, col, "%r must be %s" % (raw.iloc[i], "above 0" if positive else "0 or more"))
    return values


def _times(path, frame, col, formats, what, written_as):
    """The column's date-times; a text must have the one written form `written_as` accepts
    (a predicate), so that 2024/06/12 or 2024-6-12 is refused rather than guessed at."""
    raw = frame[col]
    if pd.api.types.is_datetime64_any_dtype(raw):
        values = pd.DatetimeIndex(raw).tz_localize(None) if getattr(raw.dt, "tz", None) else pd.DatetimeIndex(raw)
        bad = values.isna()
    else:
        text = raw.astype(str).str.strip()
        values = pd.DatetimeIndex([pd.NaT] * len(raw))
        for fmt in formats:
            parsed = pd.DatetimeIndex(pd.to_datetime(text, format=fmt, errors="coerce"))
            values = values.where(~values.isna(), parsed)
        bad = values.isna() | ~text.map(written_as).to_numpy(bool)
    i = _first(bad)
    if i is not None:
        _fail(path, i + 1, col, "%r is not a %s" % (raw.iloc[i], what))
    return values


def _codes(path, frame, instruments):
    codes = frame["market_code"].astype(str).str.strip()
    known = set(instruments["market_code"])
    if (i := _first(~codes.isin(known))) is not None:
        _fail(path, i + 1, "market_code", "%r is not an instrument of the store" % (codes.iloc[i],))
    return codes


def _trading_days(path, col, days, calendar, codes=None):
    cal = pd.DatetimeIndex(calendar)
    if (i := _first(~days.normalize().isin(cal))) is not None:
        _fail(path, i + 1, col, "%s is not a trading day" % days[i].date())


def _ohlc(path, frame, values):
    o, h, low, c = (values[k] for k in PRICE_COLUMNS)
    if (i := _first(h < np.maximum(o, np.maximum(c, low)))) is not None:
        _fail(path, i + 1, "high", "%s is below the bar's open, close or low" % frame["high"].iloc[i])
    if (i := _first(low > np.minimum(o, c))) is not None:
        _fail(path, i + 1, "low", "%s is above the bar's open or close" % frame["low"].iloc[i])


def _duplicates(path, codes, keys, col, label):
    key = pd.DataFrame({"c": codes.to_numpy(), "k": keys})
    dup = key.duplicated(keep="first").to_numpy()
    if (i := _first(dup)) is not None:
        same = np.flatnonzero((key["c"] == key["c"].iloc[i]).to_numpy() & (key["k"] == key["k"].iloc[i]).to_numpy())
        _fail(path, i + 1, col, "duplicate bar: %s %s (first at row %d)"
              % (codes.iloc[i], label(keys[i]), same[0] + 1))


# the two kinds ---------------------------------------------------------------------------
def parse_day_bars(path, frame, store):
    _check_columns(path, frame, DAY_REQUIRED, DAY_OPTIONAL, "day")
    values = {}
    for col in PRICE_COLUMNS:
        values[col] = _numbers(path, frame, col, True, positive=True)
    values["volume"] = _numbers(path, frame, "volume", True, integral=True)
    values["total_turnover"] = _numbers(path, frame, "total_turnover", True)
    for col in DAY_OPTIONAL:
        if col in frame.columns:
            values[col] = _numbers(path, frame, col, False, positive=col != "open_interest")
    dates = _times(path, frame, "date", ["%Y-%m-%d"], "date (YYYY-MM-DD)", is_iso_day)
    codes = _codes(path, frame, store["instruments"])
    _trading_days(path, "date", dates, store["calendar"])
    _ohlc(path, frame, values)
    dates = dates.normalize()
    _duplicates(path, codes, dates, "date", lambda d: d.date())
    cal = pd.DatetimeIndex(store["calendar"])
    for code in pd.unique(codes):
        rows = np.flatnonzero((codes == code).to_numpy())
        order = rows[np.argsort(dates[rows], kind="stable")]
        have = dates[order]
        expected = cal[(cal >= have[0]) & (cal <= have[-1])]
        if len(expected) != len(have):
            missing = expected[~expected.isin(have)][0]
            after = order[int(have.searchsorted(missing))]
            _fail(path, after + 1, "date", "gap: no bar of %s on %s, a trading day before this "
                                            "row's %s" % (code, missing.date(), dates[after].date()))
    out = pd.DataFrame({"market_code": codes.to_numpy(), "date": dates})
    for col, v in values.items():
        out[col] = v.to_numpy()
    return out


def _trading_date_of(times, calendar):
    """The trading day of each bar end time: its date, or for an evening bar the next
    trading day after that date."""
    cal = pd.DatetimeIndex(calendar)
    day = times.normalize()
    evening = times.hour >= _EVENING_HOUR
    nxt = cal[np.minimum(cal.searchsorted(day, "right"), len(cal) - 1)]
    return pd.DatetimeIndex(np.where(evening, nxt, day))


def parse_minute_bars(path, frame, store):
    _check_columns(path, frame, MINUTE_REQUIRED, MINUTE_OPTIONAL, "minute")
    values = {col: _numbers(path, frame, col, True, positive=True) for col in PRICE_COLUMNS}
    values["volume"] = _numbers(path, frame, "volume", True, integral=True)
    values["total_turnover"] = _numbers(path, frame, "total_turnover", True)
    if "open_interest" in frame.columns:
        values["open_interest"] = _numbers(path, frame, "open_interest", False)
    times = _times(path, frame, "datetime", ["%Y-%m-%d %H:%M", "%Y-%m-%d %H:%M:%S"],
                   "date-time (YYYY-MM-DD HH:MM)", is_iso_minute)
    if (i := _first((times.second != 0) | (times.microsecond != 0))) is not None:
        _fail(path, i + 1, "datetime", "%s is not on a whole minute" % times[i])
    codes = _codes(path, frame, store["instruments"])
    if "trading_date" in frame.columns:
        tdays = _times(path, frame, "trading_date", ["%Y-%m-%d"], "date (YYYY-MM-DD)",
                       is_iso_day).normalize()
        _trading_days(path, "trading_date", tdays, store["calendar"])
    else:
        tdays = _trading_date_of(times, store["calendar"])
        _trading_days(path, "datetime", tdays, store["calendar"])
    _ohlc(path, frame, values)
    _duplicates(path, codes, times, "datetime", lambda t: t.strftime("%Y-%m-%d %H:%M"))
    profiles = store["instruments"].set_index("market_code")
    cal = pd.DatetimeIndex(store["calendar"])
    key = pd.DataFrame({"c": codes.to_numpy(), "d": tdays})
    for (code, day), idx in key.groupby(["c", "d"], sort=False).indices.items():
        profile = profiles.loc[code]
        pos = cal.searchsorted(day)
        prev = cal[pos - 1] if pos > 0 else None
        expected, _ = bar_times(profile["trading_hours"], day, prev, pd.Timestamp(profile["listed_date"]))
        have = times[idx]
        stray = ~have.isin(expected)
        if (j := _first(stray)) is not None:
            _fail(path, idx[j] + 1, "datetime", "%s is not a minute of %s's sessions on trading "
                                                "day %s" % (have[j].strftime("%Y-%m-%d %H:%M"),
                                                            code, day.date()))
        if len(have) != len(expected):
            missing = expected[~expected.isin(have)][0]
            later = idx[have > missing]
            row = (later[np.argmin(have[have > missing])] if len(later) else idx[np.argmax(have)])
            _fail(path, row + 1, "datetime", "gap: no bar of %s at %s (trading day %s)"
                  % (code, missing.strftime("%Y-%m-%d %H:%M"), day.date()))
    out = pd.DataFrame({"market_code": codes.to_numpy(), "datetime": times})
    for col in ["open", "close", "high", "low", "volume", "total_turnover", "open_interest"]:
        out[col] = values[col].to_numpy() if col in values else np.nan
    out["trading_date"] = tdays
    return out


# the store -------------------------------------------------------------------------------
def _read_store(path):
    """The store's dataset, read with all of the store's checks, and the parts the checks of
    the files use."""
    if not os.path.isfile(os.path.join(path, _store.META_FILE)):
        raise BarsImportError("%s: not a data store (no %s); make one with python -m "
                           "corvane.dataset %s" % (path, _store.META_FILE, path))
    try:
        dataset = Dataset.load(path)
    except Exception as exc:       # any failure to read: the store is unusable
        raise BarsImportError("%s: data store is missing or corrupt (%s: %s)"
                           % (path, type(exc).__name__, str(exc).splitlines()[0] if str(exc) else ""))
    return {"dataset": dataset, "instruments": dataset.tables["instruments"],
            "day_bars": dataset.tables["day_bars"], "calendar": dataset.trading_dates,
            "meta": dataset.meta}


def _merge_day_bars(old, new, instruments):
    keys = pd.MultiIndex.from_frame(new[["market_code", "date"]])
    old_keys = pd.MultiIndex.from_frame(old[["market_code", "date"]])
    kept = old[~old_keys.isin(keys)]
    factors = old.set_index(["market_code", "date"])["ex_factor"].reindex(keys).fillna(1.0)
    new = new.copy()
    new["ex_factor"] = factors.to_numpy()
    for col in old.columns:
        if col not in new.columns:
            new[col] = np.nan
    merged = pd.concat([kept, new[old.columns]], ignore_index=True)
    merged = merged.sort_values(["market_code", "date"], kind="stable").reset_index(drop=True)
    profiles = instruments.set_index("market_code")
    imported = merged.set_index(["market_code", "date"]).index.isin(keys)
    prev = merged.groupby("market_code")["close"].shift(1)
    fill = imported & merged["prev_close"].isna().to_numpy()
    merged.loc[fill, "prev_close"] = prev[fill].fillna(merged["open"][fill])
    for col, sign in (("limit_up", 1), ("limit_down", -1)):
        need = imported & merged[col].isna().to_numpy()
        for i in np.flatnonzero(need):
            code = merged.at[i, "market_code"]
            profile = profiles.loc[code]
            tick = float(profile["tick_size"])
            limit = price_limit(profile["type"], code, False)
            merged.at[i, col] = round(round(merged.at[i, "prev_close"] * (1 + sign * limit) / tick) * tick, 6)
    return merged


def _merge_minutes(old, new):
    if old is None:
        return new.sort_values(["market_code", "datetime"], kind="stable").reset_index(drop=True)
    keys = pd.MultiIndex.from_frame(new[["market_code", "trading_date"]])
    old_keys = pd.MultiIndex.from_frame(old[["market_code", "trading_date"]])
    merged = pd.concat([old[~old_keys.isin(keys)], new], ignore_index=True)
    return merged.sort_values(["market_code", "datetime"], kind="stable").reset_index(drop=True)


def import_bars(store_path, files):
    """Validate every file, then write their bars into the store. Returns a list of
    (file, kind, rows, codes, first, last). Raises BarsImportError with one line of text."""
    store = _read_store(store_path)
    parsed = []
    for path in files:
        frame = read_file(path)
        kind, _, _ = _kind(path, frame)
        if len(frame) == 0:
            raise BarsImportError("%s: no bars (the file holds no data rows); nothing imported"
                                  % path)
        if kind == "day":
            parsed.append((path, kind, parse_day_bars(path, frame, store)))
        else:
            parsed.append((path, kind, parse_minute_bars(path, frame, store)))
    _check_across(parsed)
    return _write_store(store_path, store, parsed)


def _check_across(parsed):
    """One bar per instrument and time over all files together."""
    seen = {}
    for path, kind, frame in parsed:
        col = "date" if kind == "day" else "datetime"
        for i, key in enumerate(zip(frame["market_code"], frame[col])):
            other = seen.get((kind,) + key)
            if other is not None:
                _fail(path, i + 1, col, "duplicate bar: %s %s is also in %s, row %d"
                      % (key[0], key[1], other[0], other[1]))
        for i, key in enumerate(zip(frame["market_code"], frame[col])):
            seen[(kind,) + key] = (path, i + 1)


def _write_store(store_path, store, parsed):
    dataset = store["dataset"]
    day_bars = store["day_bars"]
    minutes = dataset.imported_minute_bars
    summary = []
    for path, kind, frame in parsed:
        if kind == "day":
            day_bars = _merge_day_bars(day_bars, frame, store["instruments"])
            col = "date"
        else:
            minutes = _merge_minutes(minutes, frame)
            col = "datetime"
        fmt = "%Y-%m-%d" if kind == "day" else "%Y-%m-%d %H:%M"
        summary.append((path, kind, len(frame), sorted(set(frame["market_code"])),
                        frame[col].min().strftime(fmt), frame[col].max().strftime(fmt)))
    check_consistency(parsed, day_bars, minutes)
    meta = dict(store["meta"])
    meta["imported"] = list(meta.get("imported", ())) + [
        {"file": os.path.basename(p), "kind": k, "rows": n, "codes": c, "first": a, "last": b,
         "at": _dt.datetime.now().isoformat(timespec="seconds")} for p, k, n, c, a, b in summary]
    tables = dict(dataset.tables, day_bars=day_bars)
    updated = Dataset(tables, dataset.trading_dates, meta, minute_bars=dataset.stored_minute_bars,
                      imported_minute_bars=minutes)
    try:
        _store.replace(updated, store_path, purpose="import")
    except StoreError as exc:
        raise BarsImportError("%s: the imported bars would leave a store that cannot be read "
                              "(%s); it is left as it was" % (store_path, exc)) from None
    except OSError as exc:
        raise BarsImportError("%s: cannot write the store (%s); it is left as it was"
                              % (store_path, exc.strerror or exc)) from None
    return summary


# day and minute bars together ------------------------------------------------------------
_EPS = 1e-9


def check_consistency(parsed, day_bars, minutes):
    """Imported minute bars lie within their day bar's high and low and within the day's
    limits; imported day bars contain the imported minute bars of their day. `day_bars` and
    `minutes` are the store's tables with this import merged in. A minute bar is blamed
    first: a day bar is blamed only for minute bars imported before."""
    days = day_bars.set_index(["market_code", "date"])
    for path, kind, frame in parsed:
        if kind == "minute":
            _minutes_within_days(path, frame, days)
    if minutes is None:
        return
    for path, kind, frame in parsed:
        if kind == "day":
            _days_contain_minutes(path, frame, minutes)


def _minutes_within_days(path, frame, days):
    keys = pd.MultiIndex.from_arrays([frame["market_code"], frame["trading_date"]])
    day = days.reindex(keys)
    checks = (
        ("high", frame["high"].to_numpy() > day["high"].to_numpy() + _EPS, "above the day bar's high", "high"),
        ("low", frame["low"].to_numpy() < day["low"].to_numpy() - _EPS, "below the day bar's low", "low"),
        ("high", frame["high"].to_numpy() > day["limit_up"].to_numpy() + _EPS, "above the day's upper limit", "limit_up"),
        ("low", frame["low"].to_numpy() < day["limit_down"].to_numpy() - _EPS, "below the day's lower limit", "limit_down"),
    )
    for col, bad, what, ref in checks:
        if (i := _first(bad)) is not None:
            _fail(path, i + 1, col, "%s is %s %s (%s, trading day %s)" % (
                _num(frame[col].iloc[i]), what, _num(day[ref].iloc[i]), frame["market_code"].iloc[i],
                pd.Timestamp(frame["trading_date"].iloc[i]).date()))


def _days_contain_minutes(path, frame, minutes):
    span = minutes.groupby(["market_code", "trading_date"]).agg(high=("high", "max"), low=("low", "min"))
    keys = pd.MultiIndex.from_arrays([frame["market_code"], frame["date"]])
    have = span.reindex(keys)
    for col, bad, what in (
            ("high", frame["high"].to_numpy() < have["high"].to_numpy() - _EPS, "below the high"),
            ("low", frame["low"].to_numpy() > have["low"].to_numpy() + _EPS, "above the low")):
        if (i := _first(bad)) is not None:
            _fail(path, i + 1, col, "%s is %s %s of the day's imported minute bars (%s, %s)" % (
                _num(frame[col].iloc[i]), what, _num(have[col].iloc[i]), frame["market_code"].iloc[i],
                pd.Timestamp(frame["date"].iloc[i]).date()))


def _num(value):
    return str(round(float(value), 6))
