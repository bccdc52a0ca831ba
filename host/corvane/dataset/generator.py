"""Deterministic generation of the whole dataset from one seed.

Every random draw comes from a numpy Generator seeded from (seed, a stable hash of the
instrument code[, the day]), so the output is the same on every machine and does not depend
on the order in which instruments or days are generated.
"""
import zlib

import numpy as np
import pandas as pd

from . import bars as _bars
from .calendar import exchange_trading_dates
from .universe import INSTRUMENT_COLUMNS, default_universe

DEFAULT_SEED = 20240601
DEFAULT_START = "2023-01-03"
DEFAULT_END = "2024-12-31"
TENORS = ["0S", "1M", "2M", "3M", "6M", "9M", "1Y", "2Y", "3Y", "4Y", "5Y", "6Y", "7Y", "8Y",
          "9Y", "10Y", "15Y", "20Y", "30Y", "40Y", "50Y"]
HEDGE_FLAGS = ["speculation", "hedge", "arbitrage"]

# Scripted events that tests rely on finding; the rest is random.
_ST_PERIODS = [("000002.SZ", "2024-05-06", "2024-08-30")]
_SPLITS = [("300750.SZ", "2024-05-20", 10, 15)]
_TRANSFORMATIONS = [("000022.SZ", "001872.SZ", 0.9)]
_FORCED_SUSPENSIONS = [("600000.SH", "2024-12-25", 3), ("000001.SZ", "2023-06-05", 1)]
_INDEX_300 = [("600519.SH", None, None), ("601318.SH", None, None), ("600000.SH", None, None),
              ("000001.SZ", None, None), ("000002.SZ", None, "2024-06-14"), ("300750.SZ", None, None),
              ("000022.SZ", None, "2024-03-29"), ("688111.SH", "2024-06-17", None)]
# by_money ratios are fractions of the traded value, by_volume amounts are per lot.
_FUTURES_FEES = {
    "RB": ("by_money", 0.0001, 0.0001, 0.0001, 0.07),
    "AU": ("by_volume", 10.0, 10.0, 0.0, 0.08),
    "IF": ("by_money", 0.000023, 0.000023, 0.00023, 0.12),
}


def code_key(market_code):
    return zlib.crc32(market_code.encode("utf-8"))


def rng_for(seed, market_code, *extra):
    return np.random.default_rng([seed, code_key(market_code), *extra])


def _window_dates(trading_dates, profile, start, end):
    first = max(pd.Timestamp(start), profile["listed_date"])
    last = pd.Timestamp(end)
    if not pd.isna(profile["de_listed_date"]):
        last = min(last, profile["de_listed_date"])
    return trading_dates[(trading_dates >= first) & (trading_dates <= last)]


def _trading_day_on_or_after(trading_dates, date):
    return trading_dates[trading_dates.searchsorted(pd.Timestamp(date))]


def _suspensions(profile, dates, rng, seed):
    """Random suspension runs of a stock, plus the scripted ones."""
    days = set()
    if len(dates) > 20:
        for _ in range(rng.poisson(1.2)):
            begin = int(rng.integers(5, len(dates) - 5))
            days.update(dates[begin:begin + int(rng.integers(1, 6))])
    for code, first, count in _FORCED_SUSPENSIONS:
        if code == profile["market_code"]:
            pos = dates.searchsorted(pd.Timestamp(first))
            days.update(dates[pos:pos + count])
    if not pd.isna(profile["de_listed_date"]) and len(dates):
        days.update(dates[-5:])
    return days


def _dividend_plan(profile, dates, rng):
    """One cash dividend a year: (announcement, book closure, ex-date, payable, yield)."""
    plan = []
    if len(dates) == 0:
        return plan
    for year in sorted(set(dates.year)):
        in_year = dates[dates.year == year]
        announce = in_year[(in_year.month == 4)]
        closure = in_year[(in_year.month == 6) | (in_year.month == 7)]
        if len(announce) == 0 or len(closure) < 2:
            continue
        a = announce[int(rng.integers(len(announce)))]
        k = int(rng.integers(len(closure) - 1))
        plan.append((a, closure[k], closure[k + 1], closure[k + 1], float(rng.uniform(0.01, 0.035))))
    return plan


def generate_tables(seed=DEFAULT_SEED, start=DEFAULT_START, end=DEFAULT_END, universe=None,
                    progress=None):
    """All tables of a dataset, as a dict of DataFrames plus a `meta` dict. `progress(stage,
    done, total)` is told of each instrument's bars and of the other tables as they are made."""
    universe = default_universe() if universe is None else universe
    steps = len(universe) + 2
    report = progress or (lambda stage, done, total: None)
    report("generating", 0, steps)
    trading_dates = exchange_trading_dates()
    window = trading_dates[(trading_dates >= pd.Timestamp(start)) & (trading_dates <= pd.Timestamp(end))]
    successors = {succ: (pred, ratio) for pred, succ, ratio in _TRANSFORMATIONS}

    day_frames, suspension_rows, dividend_rows, split_rows = [], [], [], []
    last_close = {}
    # Predecessors first, so a successor can start at the converted price.
    order = sorted(range(len(universe)), key=lambda i: universe.iloc[i]["market_code"] in successors)
    for i in order:
        profile = universe.iloc[i]
        code = profile["market_code"]
        rng = rng_for(seed, code)
        dates = _window_dates(window, profile, start, end)
        suspended, st_days, ex_events, dividend_dates = set(), set(), {}, {}
        if profile["type"] == "stock":
            suspended = _suspensions(profile, dates, rng, seed)
            for st_code, a, b in _ST_PERIODS:
                if st_code == code:
                    st_days = set(dates[(dates >= pd.Timestamp(a)) & (dates <= pd.Timestamp(b))])
            for announce, closure, ex, pay, yld in _dividend_plan(profile, dates, rng):
                ex_events[ex] = (yld, 1.0)
                dividend_dates[ex] = (announce, closure, pay)
            for s_code, ex, frm, to in _SPLITS:
                # a split outside the window has no day bar to apply to (nor a day before it)
                if s_code == code and len(dates) and dates[0] < pd.Timestamp(ex) <= dates[-1]:
                    ex = _trading_day_on_or_after(dates, ex)
                    split_rows.append({"market_code": code, "ex_dividend_date": ex, "book_closure_date": dates[dates.searchsorted(ex) - 1],
                                       "payable_date": ex, "split_coefficient_from": float(frm), "split_coefficient_to": float(to)})
                    ex_events[ex] = (ex_events.get(ex, (0.0, 1.0))[0], to / frm)
        start_price = None
        if code in successors and successors[code][0] in last_close:
            start_price = last_close[successors[code][0]] / successors[code][1]
        out, cash_paid = _bars.generate_day_bars(profile, dates, rng, suspended, st_days, ex_events, start_price)
        for ex, cash in sorted(cash_paid.items()):
            announce, closure, pay = dividend_dates[ex]
            dividend_rows.append({"market_code": code, "declaration_announcement_date": announce,
                                  "book_closure_date": closure, "ex_dividend_date": ex, "payable_date": pay,
                                  "dividend_cash_before_tax": round(cash * 10, 4), "round_lot": 10})
        frame = pd.DataFrame(out)
        frame.insert(0, "date", dates)
        frame.insert(0, "market_code", code)
        day_frames.append(frame)
        suspension_rows.extend({"market_code": code, "date": d} for d in sorted(suspended))
        if len(dates):
            last_close[code] = out["close"][-1]
        report("generating", len(day_frames), steps)

    day_bars = pd.concat(day_frames, ignore_index=True)
    day_bars = day_bars.sort_values(["market_code", "date"], kind="stable").reset_index(drop=True)
    instruments = universe[INSTRUMENT_COLUMNS].copy()
    tables = {
        "instruments": instruments,
        "day_bars": day_bars,
        "suspensions": _with_date_columns(pd.DataFrame(suspension_rows, columns=["market_code", "date"])),
        "st_periods": pd.DataFrame([(c, pd.Timestamp(a), pd.Timestamp(b)) for c, a, b in _ST_PERIODS],
                                   columns=["market_code", "start_date", "end_date"]),
        "dividends": _with_date_columns(
            pd.DataFrame(dividend_rows, columns=["market_code", "declaration_announcement_date", "book_closure_date",
                                                 "ex_dividend_date", "payable_date", "dividend_cash_before_tax", "round_lot"])),
        "splits": _with_date_columns(
            pd.DataFrame(split_rows, columns=["market_code", "ex_dividend_date", "book_closure_date", "payable_date",
                                              "split_coefficient_from", "split_coefficient_to"])),
        "share_transformations": _share_transformations(universe),
        "commission_margin": _commission_margin(universe),
        "trading_parameters": _trading_parameters(universe, window, start, end),
        "yield_curve": _yield_curve(window, seed),
        "index_constituents": _index_constituents(universe),
    }
    report("generating", steps - 1, steps)
    tables["index_weights"] = _index_weights(tables["index_constituents"], day_bars, universe, window)
    report("generating", steps, steps)
    meta = {"seed": int(seed), "start": str(pd.Timestamp(start).date()), "end": str(pd.Timestamp(end).date()),
            "calendar_start": str(trading_dates[0].date()), "calendar_end": "2050-01-01"}
    return tables, trading_dates, meta


def _with_date_columns(frame):
    """`frame`, and when it has no rows (a window without dividends, splits or suspensions)
    its columns typed as a stored table must have them: `date` and `*_date` dates, the
    others but `market_code` numbers."""
    if len(frame):
        return frame
    return frame.astype({c: "datetime64[ns]" if c == "date" or c.endswith("_date") else "float64"
                         for c in frame.columns if c != "market_code"})


def _share_transformations(universe):
    rows = []
    for pred, succ, ratio in _TRANSFORMATIONS:
        p = universe[universe["market_code"] == pred].iloc[0]
        s = universe[universe["market_code"] == succ].iloc[0]
        rows.append({"predecessor": pred, "successor": succ, "effective_date": s["listed_date"],
                     "share_conversion_ratio": ratio, "predecessor_delisted": True, "discretionary_execution": False,
                     "predecessor_delisted_date": p["de_listed_date"], "event": "code_change"})
    return pd.DataFrame(rows, columns=["predecessor", "successor", "effective_date", "share_conversion_ratio",
                                       "predecessor_delisted", "discretionary_execution", "predecessor_delisted_date", "event"])


def _commission_margin(universe):
    rows = []
    for _, profile in universe[universe["type"] == "Future"].iterrows():
        kind, open_r, close_r, today_r, margin = _FUTURES_FEES[profile["underlying_symbol"]]
        for flag in HEDGE_FLAGS:
            m = margin - 0.01 if flag == "hedge" else margin
            rows.append({"market_code": profile["market_code"], "hedge_flag": flag, "commission_type": kind,
                         "open_commission_ratio": open_r, "close_commission_ratio": close_r,
                         "close_commission_today_ratio": today_r, "long_margin_ratio": m, "short_margin_ratio": m})
    return pd.DataFrame(rows, columns=["market_code", "hedge_flag", "commission_type", "open_commission_ratio",
                                       "close_commission_ratio", "close_commission_today_ratio",
                                       "long_margin_ratio", "short_margin_ratio"])


def _trading_parameters(universe, window, start, end):
    """Daily futures parameters; margins are raised by two points on the last two trading
    days before a closure longer than a weekend."""
    gaps = np.append((window[1:] - window[:-1]).days, 1)
    long_break = gaps > 3
    before_break = long_break | np.append(long_break[1:], False)
    rows = []
    for _, profile in universe[universe["type"] == "Future"].iterrows():
        kind, open_r, close_r, today_r, margin = _FUTURES_FEES[profile["underlying_symbol"]]
        dates = _window_dates(window, profile, start, end)
        raised = before_break[window.searchsorted(dates)]
        m = np.where(raised, margin + 0.02, margin)
        rows.append(pd.DataFrame({"market_code": profile["market_code"], "trading_date": dates,
                                  "long_margin_ratio": m, "short_margin_ratio": m, "commission_type": kind,
                                  "open_commission": open_r, "close_commission": close_r,
                                  "close_commission_today": today_r}))
    return pd.concat(rows, ignore_index=True)


def _tenor_years(tenor):
    if tenor == "0S":
        return 0.0
    return float(tenor[:-1]) / (12.0 if tenor.endswith("M") else 1.0)


def _yield_curve(window, seed):
    """Nelson-Siegel curves whose level, slope and curvature drift slowly from day to day."""
    rng = np.random.default_rng([seed, code_key("yield_curve")])
    n = len(window)
    level = 0.03 + np.cumsum(rng.normal(0, 0.0002, n))
    slope = -0.012 + np.cumsum(rng.normal(0, 0.0002, n))
    curve = 0.004 + np.cumsum(rng.normal(0, 0.0002, n))
    lam = 2.0
    frame = pd.DataFrame(index=pd.DatetimeIndex(window, name="date"))
    for tenor in TENORS:
        t = _tenor_years(tenor)
        if t == 0:
            load1, load2 = 1.0, 0.0
        else:
            x = t / lam
            load1 = (1 - np.exp(-x)) / x
            load2 = load1 - np.exp(-x)
        frame[tenor] = np.round(level + slope * load1 + curve * load2, 6)
    return frame.reset_index()


def _index_constituents(universe):
    rows = []
    stocks = universe[universe["type"] == "stock"]
    for _, s in stocks[stocks["exchange"] == "XSHG"].iterrows():
        rows.append(("000001.SH", s["market_code"], s["listed_date"], s["de_listed_date"]))
    listed = dict(zip(universe["market_code"], universe["listed_date"]))
    for code, first, last in _INDEX_300:
        begin = pd.Timestamp(first) if first else max(listed[code], pd.Timestamp("2005-04-08"))
        rows.append(("000300.SH", code, begin, pd.Timestamp(last) if last else pd.NaT))
    return pd.DataFrame(rows, columns=["index_code", "market_code", "in_date", "out_date"])


def _pairwise_sum(columns):
    """The element-wise sum of equally long float arrays, added in one fixed order: one by one
    below eight, else in eight running sums joined pairwise and the rest added after them, halves
    of more than 128 summed apart. It is the order numpy 1.26 sums a row of up to 128 numbers in;
    later numpy releases add a row in another order, which rounds some totals differently, so
    the order is spelt out here to give the same weights on every numpy release."""
    n = len(columns)
    if n < 8:
        total = np.zeros_like(columns[0])
        for column in columns:
            total = total + column
        return total
    if n <= 128:
        sums = list(columns[:8])
        i = 8
        while i < n - n % 8:
            sums = [sums[j] + columns[i + j] for j in range(8)]
            i += 8
        total = ((sums[0] + sums[1]) + (sums[2] + sums[3])) + ((sums[4] + sums[5]) + (sums[6] + sums[7]))
        for column in columns[i:]:
            total = total + column
        return total
    half = n // 2 - (n // 2) % 8
    return _pairwise_sum(columns[:half]) + _pairwise_sum(columns[half:])


def _row_sums(table):
    """The sum of each row of a 2-D float array (see _pairwise_sum); zeros when it has no column."""
    if table.shape[1] == 0:
        return np.zeros(table.shape[0])
    return _pairwise_sum([table[:, j] for j in range(table.shape[1])])


def _index_weights(constituents, day_bars, universe, window):
    """Weight of each constituent on each trading day: its share of the members' market value
    at that day's close, in percent."""
    shares = dict(zip(universe["market_code"], universe["total_shares"]))
    closes = day_bars.pivot(index="date", columns="market_code", values="close").reindex(window)
    frames = []
    for index_code, members in constituents.groupby("index_code", sort=True):
        values = {}
        for _, m in members.iterrows():
            if m["market_code"] not in closes:
                continue
            series = closes[m["market_code"]] * shares[m["market_code"]]
            live = (series.index >= m["in_date"]) & (pd.isna(m["out_date"]) | (series.index <= m["out_date"]))
            values[m["market_code"]] = series.where(live)
        cap = pd.DataFrame(values)
        total = pd.Series(_row_sums(cap.fillna(0.0).to_numpy()), index=cap.index)
        weights = cap.div(total, axis=0) * 100.0
        # One row per (day, member) with a weight, days outer and members inner: the rows that
        # DataFrame.stack gave when it still dropped missing values (it keeps them from pandas 3).
        table = weights.to_numpy()
        days, members = np.nonzero(~np.isnan(table))
        long = pd.DataFrame({"trade_date": weights.index[days], "market_code": weights.columns[members],
                             "weight": table[days, members]})
        long.insert(0, "index_code", index_code)
        frames.append(long)
    return pd.concat(frames, ignore_index=True)
