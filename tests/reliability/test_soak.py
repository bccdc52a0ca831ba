"""Soak: every callback and every data-source query run many times; reference
counts of shared objects come back to where they were, and traced memory and
RSS stay flat after warm-up once the per-day state is emptied.

Short form (the suite): 29,000 callback calls (8,500 more order reports) and 1,000
history queries with corporate-action and status queries between them.
Long form, one command:

    CORVANE_SOAK_CALLS=1000000 .venv/bin/python -m pytest tests/reliability/test_soak.py -q -s

(`CORVANE_SOAK_CALLS` callback calls and 1/40 as many query rounds; with -s
the figures are printed.)
"""
import gc
import os
import sys
import tracemalloc
from datetime import datetime, timedelta

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.environment import Environment
from corvane.tessara.utils.event_drain import drain
from pyvorn import records
from pyvorn.enums import MarketType

from support_datasource import histsource
from support_reliability import CALLS, TIMERS, QuietLog, fresh_state, make_bridge, new_order

CALLS_TOTAL = int(os.environ.get("CORVANE_SOAK_CALLS", "24000"))
QUERIES_TOTAL = max(CALLS_TOTAL // 40, 300)
# Under AddressSanitizer freed blocks wait in a quarantine, so RSS tracks allocation volume,
# not live memory; traced memory and reference counts still hold.
RSS_MEANINGFUL = os.environ.get("CORVANE_SANITIZED") != "1"
N_INSTRUMENTS = 200
CODES = ["%06d" % (k + 1) for k in range(N_INSTRUMENTS)]
NAMES = sorted(CALLS)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def shared_objects():
    objs = [lf.Event, lf.EVENT, lf.TickObject, lf.Trade, lf.L2Order, lf.L2Transaction, lf.Asset,
            lf.Position, Environment.get_instance(), lf.system_log, lf.event_queue, lf.orders_dict,
            lf.history_tick, lf.history_bar, lf.algo_parent_id, lf.algo_parent_orders,
            lf.convert_int_to_datetime, lf.get_exchane_from_vorn_mdtype, lf.copy, lf.deque]
    objs += list(lf.EVENT) + list(lf.ORDER_STATUS)
    return objs


def refcounts(objs):
    # Collect first: garbage left by earlier tests may hold references to shared objects and be
    # freed in the middle of the soak, which would look like a release by the module.
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


def snapshot_of(i):
    return records.Snapshot(security_id=CODES[i % N_INSTRUMENTS], market_type=MarketType.SZSE,
                            orig_time=records.stamp_from_datetime(datetime(2026, 12, 8, 9, 30)
                                                                  + timedelta(seconds=i // N_INSTRUMENTS)),
                            last_price=10.0, bid_price=[10.0] * 10, bid_volume=[100] * 10,
                            ask_price=[10.1] * 10, ask_volume=[100] * 10)


def run_callbacks(bridge, start, count):
    for i in range(start, start + count):
        name = NAMES[i % len(NAMES)]
        if name == "on_snapshot":
            bridge.on_snapshot(snapshot_of(i))
        elif name == "on_order":
            # full lifecycles: each order gets its six reports in a row
            for step in range(6):
                coid = "S%d" % i
                if step == 0:
                    lf.orders_dict[coid] = new_order(coid)
                rep = CALLS["on_order"](step)[0]
                rep.client_order_id = coid
                bridge.on_order(rep)
        else:
            getattr(bridge, name)(*CALLS[name](i))
        if i % 50 == 0:
            getattr(bridge, TIMERS[(i // 50) % 3])()
        if i % 1000 == 999:
            drain(lf.event_queue)
            lf.get_current_tick("000001.SZ")
            lf.history_ticks("000001.SZ", 60)
            lf.history_bars("000001.SZ", 10)
        if i % 5000 == 4999:
            bridge.on_switch_day()
            lf.algo_parent_id.extend([1, 2, 3])


def end_of_day(bridge):
    drain(lf.event_queue)
    bridge.on_switch_day()
    lf.algo_parent_id.extend([1, 2, 3])


def test_soak_callbacks(monkeypatch):
    codes = ["%s.SZ" % c for c in CODES]
    Environment.install(universe=codes[:3], instruments=codes)
    try:
        fresh_state(monkeypatch, lf.RB(capacity=20000, dtype=object))
        monkeypatch.setattr(lf, "system_log", QuietLog())
        bridge = make_bridge()
        lf.algo_parent_id.extend([1, 2, 3])
        warm = max(CALLS_TOTAL // 5, 5000)
        run_callbacks(bridge, 0, warm)
        end_of_day(bridge)
        objs = shared_objects()
        counts = refcounts(objs)
        tracemalloc.start()
        traced0 = tracemalloc.get_traced_memory()[0]
        rss0 = rss_bytes()
        run_callbacks(bridge, warm, CALLS_TOTAL)
        end_of_day(bridge)
        traced1 = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        rss1 = rss_bytes()
        calls = warm + CALLS_TOTAL
        print("\nsoak callbacks: %d calls (+ %d order reports); traced %d -> %d bytes; RSS %.1f -> %.1f MB"
              % (calls, 5 * calls // len(NAMES), traced0, traced1, rss0 / 2 ** 20, rss1 / 2 ** 20))
        del objs[:0]
        assert refcounts(objs) == counts
        assert traced1 - traced0 < 256 * 1024
        assert not RSS_MEANINGFUL or rss1 - rss0 < 32 * 2 ** 20
        assert lf.overwritten_events == 0
    finally:
        Environment.reset()


def query_round(source, ins_list, k):
    ins = ins_list[k % len(ins_list)]
    day = datetime(2024, 3, 1, 15) + timedelta(days=k % 90)
    if k % 200 == 0:
        source._history_cache.clear()  # cold day-bar queries
    source.history_bars(ins, 10 + k % 30, "1d", ["close", "volume"], day, skip_suspended=bool(k % 2))
    source.history_bars(ins, 60 + k % 300, ("1m", "5m")[k % 2], "close", day)
    if k % 10 == 0:
        source.get_dividend(ins)
        source.get_split(ins)
        source.is_suspended(ins.market_code, list(source._trading_dates[40:50]))
        source.is_st_stock(ins.market_code, list(source._trading_dates[40:41]))
        source.get_share_transformation(ins.market_code)


def test_soak_queries(data_source):
    """Two passes over the same query script: the first fills the caches (their growth is
    bounded by design), the second must leave memory and reference counts where they were.
    Tracing starts before the first pass, so what the second pass frees and rebuilds (the
    day-bar cache is emptied every 200 rounds) is counted on both sides."""
    ins_list = [i for i in data_source.get_instruments() if i.type == "stock"]
    rounds = max(QUERIES_TOTAL, 200)
    tracemalloc.start()
    try:
        for k in range(rounds):
            query_round(data_source, ins_list, k)
        objs = [data_source, data_source._minute_bar_cache, histsource.ostradatac, histsource.np] + ins_list
        counts = refcounts(objs)
        traced0 = tracemalloc.get_traced_memory()[0]
        rss0 = rss_bytes()
        for k in range(rounds):
            query_round(data_source, ins_list, k)
        gc.collect()
        traced1 = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    rss1 = rss_bytes()
    print("\nsoak queries: %d rounds (%d history queries); traced %d -> %d bytes; RSS %.1f -> %.1f MB; "
          "minute cache %d" % (2 * rounds, 4 * rounds, traced0, traced1,
                               rss0 / 2 ** 20, rss1 / 2 ** 20, len(data_source._minute_bar_cache)))
    assert refcounts(objs) == counts
    assert len(data_source._minute_bar_cache) <= 512
    assert traced1 - traced0 < 256 * 1024
    assert not RSS_MEANINGFUL or rss1 - rss0 < 64 * 2 ** 20
