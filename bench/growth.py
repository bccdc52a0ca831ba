"""Per-call cost as state grows: instruments held by the live histories and by the data source,
entries in the minute-bar cache, bars in a day's history. Each size is timed in alternation with
the others; the ratio is the cost against that of the smallest size (flat is 1)."""
import collections

import pandas as pd

import corvane.tessara.utils.livefeed as lf
from pyvorn import records

from . import datasets, live
from .harness import Row, per_call, timed

TARGET_FLAT = 1.5          # allows for timing noise; growth with the size shows far above it
SIZES = (10, 1000, 10000)


def _rows(report, case, label, fns):
    times = per_call(fns, report.settings)
    for size, t in zip(label, times):
        report.add(Row("growth", case % size, t, times[0], t / times[0], "vs smallest", TARGET_FLAT))


def live_rows(report):
    with live.cheap_world():
        snap = types_snapshot()
        bridge = live._bridge()

        def snapshot_with(n):
            hist = {"%06d.SZ" % i: collections.deque([{}], maxlen=60) for i in range(n)}

            def run(k):
                lf.history_tick = hist
                lf.event_queue = collections.deque(maxlen=1 << 20)
                cb = bridge.on_snapshot
                for _ in range(k):
                    cb(snap)
            return run
        _rows(report, "on_snapshot, %d instruments held", SIZES, [snapshot_with(n) for n in SIZES])

        bar = live._record("cheap", records.Bar, security_id="000001", end_time=live.STAMP)

        def bar_with(n):
            held = collections.deque({} for _ in range(n))

            def run(k):
                lf.history_bar = {"000001.SZ": held}
                lf.event_queue = collections.deque(maxlen=1 << 20)
                cb = bridge.on_bar

                def loop():
                    for _ in range(k):
                        cb(bar)
                spent = timed(loop)
                for _ in range(k):     # back to n bars
                    held.pop()
                return spent
            return run
        _rows(report, "on_bar, %d bars held", SIZES, [bar_with(n) for n in SIZES])

        def current_bar_with(n):
            hist = {"000001.SZ": collections.deque({} for _ in range(n))}

            def run(k):
                lf.history_bar = hist
                get = lf.get_current_bar
                for _ in range(k):
                    get("000001.SZ")
            return run
        _rows(report, "get_current_bar, %d bars held", SIZES, [current_bar_with(n) for n in SIZES])
    lf.history_tick = {}
    lf.history_bar = {}


def types_snapshot():
    return live._record("cheap", records.Snapshot, security_id="000001", orig_time=live.STAMP)


def instrument_rows(report):
    fns = []
    contexts = []
    for n in SIZES:
        ctx = datasets.sized_data_source(n)
        source, codes = ctx.__enter__()
        contexts.append(ctx)
        code = codes[len(codes) // 2]

        def run(k, source=source, ids=[code]):
            get = source.get_instruments
            for _ in range(k):
                for _i in get(ids):
                    pass
        fns.append(run)
    try:
        _rows(report, "get_instruments(1 id), %d instruments", SIZES, fns)
    finally:
        for ctx in reversed(contexts):
            ctx.__exit__(None, None, None)


def minute_cache_rows(report):
    with datasets.data_source() as (source, env):
        dt = datasets.last_trading_day()
        ins = next(source.get_instruments([datasets.STOCK]))
        source.history_bars(ins, 240, "1m", None, dt, skip_suspended=False)
        cache = source._minute_bar_cache
        own = dict(cache.items())
        fillers = [("F%05d.SZ" % i, pd.Timestamp("2024-01-02"), "pre") for i in range(512)]
        sizes = (len(own), 128, 512)

        def with_entries(n):
            def run(k):
                cache.clear()
                for key in fillers[:n - len(own)]:
                    cache[key] = None
                for key, value in own.items():   # the query's own days, most recently used
                    cache[key] = value

                def loop():
                    for _ in range(k):
                        source.history_bars(ins, 240, "1m", None, dt, skip_suspended=False)
                return timed(loop)
            return run
        _rows(report, '"1m" 240 bars, minute cache %d entries', sizes, [with_entries(n) for n in sizes])


def run(report):
    live_rows(report)
    instrument_rows(report)
    minute_cache_rows(report)
