"""Remote calls: a scripted session of history queries against the data client stand-in, which
counts every operation; each step's count must be the minimum the caching rules allow."""
import pandas as pd

import corvane.tessara.datac as datac
from corvane.tessara.mod.mod_quant_data.data_sources import histsource

from . import datasets
from .harness import Row


def _expected_suspension_fetch(code, dt, bar_count, cached_rows):
    """Whether the suspension-aware day query must fetch: the calendar span from the first chosen
    unsuspended day to the end of the suspension series exceeds the rows cached."""
    series = histsource._is_suspended(code)
    active = series.index[(~series.values.astype(bool)) & (series.index <= pd.Timestamp(dt))]
    days = active[-(bar_count + 1):].normalize()
    span = len(series) - series.index.searchsorted(days[0], side="left")
    return int(span > cached_rows)


def _expected_minute_walk(source, ins, dt, bar_count):
    """Calls a "1m" query of bar_count bars needs after a one-day query for the same day: one
    bulk call for the missing days of its prefetch window, then one single-day call for each
    walked day that the bulk reply had no bars for (or that lies before the window)."""
    ds = datasets.dataset()
    days = list(source.get_trading_dates(pd.Timestamp(dt) - pd.Timedelta(days=365), dt))
    window = days[-(bar_count // 240 + 1):]
    cached = {days[-1]} | {d for d in window if ds.minute_bars(ins.market_code, d) is not None}
    calls, need = 1, bar_count
    for day in reversed(days[1:]):
        bars = ds.minute_bars(ins.market_code, day)
        if day not in cached:
            calls += 1
        if bars is None:
            continue
        need -= len(bars)
        if need <= 0:
            break
    return calls


def run(report):
    with datasets.data_source() as (source, env):
        dt = datasets.last_trading_day()
        a = next(source.get_instruments([datasets.STOCK]))
        b = next(source.get_instruments(["600000.SH"]))
        steps = [
            ("1d 10 bars, first query", lambda: source.history_bars(a, 10, "1d", None, dt, skip_suspended=False),
             {"get_price": 1}),
            ("1d 10 bars again", lambda: source.history_bars(a, 10, "1d", None, dt, skip_suspended=False), {}),
            ("1d 5 bars (fits the cache)", lambda: source.history_bars(a, 5, "1d", None, dt, skip_suspended=False),
             {}),
            ("1d 30 bars (shortfall only)", lambda: source.history_bars(a, 30, "1d", None, dt, skip_suspended=False),
             {"get_price": 1}),
            ("1d 10 bars, second instrument",
             lambda: source.history_bars(b, 10, "1d", None, dt, skip_suspended=False), {"get_price": 1}),
            ("new trading day, 1d 10 bars",
             lambda: (datasets.new_trading_day(env),
                      source.history_bars(a, 10, "1d", None, dt, skip_suspended=False)), {"get_price": 1}),
            ("1m 240 bars (one day)", lambda: source.history_bars(a, 240, "1m", None, dt, skip_suspended=False),
             {"get_price": 1}),
            ("1m 240 bars again", lambda: source.history_bars(a, 240, "1m", None, dt, skip_suspended=False), {}),
            ("1m 2400 bars (bulk prefetch)",
             lambda: source.history_bars(a, 2400, "1m", None, dt, skip_suspended=False),
             {"get_price": _expected_minute_walk(source, a, dt, 2400)}),
            ("5m 48 bars (cached days)", lambda: source.history_bars(a, 48, "5m", None, dt, skip_suspended=False),
             {}),
            ("get_instruments, calendars", lambda: (list(source.get_instruments()), source.get_trading_calendars()),
             {}),
        ]
        cached_rows = None
        total_calls = total_min = 0
        for name, action, expected in steps:
            datac.reset_call_counts()
            action()
            got = dict(datac.call_counts)
            total_calls += sum(got.values())
            total_min += sum(expected.values())
            report.check(got == expected, "remote calls, %s: %r, minimum %r" % (name, got, expected))
            report.add(Row("remote", name, None, None, sum(got.values()), "calls (min %d)" % sum(expected.values()),
                           sum(expected.values())))
        # Suspension-aware: one suspension query for the life of the memo, day bars from the cache
        # unless the unsuspended days reach further back than it holds.
        cached_rows = len(source._history_cache[(a.market_code, "pre")])
        clear_memo = getattr(histsource._is_suspended, "cache_clear", None)
        if clear_memo:
            clear_memo()
        datac.reset_call_counts()
        source.history_bars(a, 10, "1d", None, dt, skip_suspended=True)
        got = dict(datac.call_counts)
        need = _expected_suspension_fetch(a.market_code, dt, 10, cached_rows)
        expected = {"is_suspended": 1} if clear_memo else {}
        if need:
            expected["get_price"] = 1
        report.check(got == expected,
                     "remote calls, 1d 10 bars skip_suspended: %r, minimum %r" % (got, expected))
        report.add(Row("remote", "1d 10 bars skip_suspended", None, None, sum(got.values()),
                       "calls (min %d)" % sum(expected.values()), sum(expected.values())))
        datac.reset_call_counts()
        source.history_bars(a, 10, "1d", None, dt, skip_suspended=True)
        got = dict(datac.call_counts)
        report.check(got == {}, "remote calls, 1d 10 bars skip_suspended again: %r, minimum {}" % got)
        report.add(Row("remote", "1d 10 bars skip_suspended again", None, None, sum(got.values()), "calls (min 0)", 0))
