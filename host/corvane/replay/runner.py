"""Replay of one trading day end to end: the simulated terminal plays the day's market
into the live bridge, the framework loop drains the bridge's events to the demo strategy,
which warms up from the historical data source, trades, and at the end the figures of the
run and a chart are written to the output folder.
"""
import datetime as _dt
import os
import shutil
import tempfile
import time
from dataclasses import dataclass, field
from types import SimpleNamespace

import numpy as np
import pandas as pd

from . import feed as _feed
from .clock import NS_PER_MINUTE, SimClock, patched_bridge_clock
from .framework import FrameworkLoop, OrderDesk
from .strategy import DemoStrategy
from .terminal import SimTerminal

DEFAULT_DAY = "2024-06-17"
DEFAULT_INSTRUMENTS = 6
END_NS = (15 * 60 + 31) * NS_PER_MINUTE      # a minute past the after-trading event
TRADABLE_TYPES = ("stock", "fund")
ACCOUNTS = {"stock": "100200300_SimTD"}
ALGO_ACCOUNT = "algo01_ATX"


class ReplayError(Exception):
    """An expected problem with the replay's input: reported in one line."""


@dataclass
class ReplayResult:
    day: _dt.date
    codes: list
    elapsed: float
    callbacks: int
    events: dict
    high_water: int
    data_calls: dict
    gateway_calls: dict
    history_queries: int
    cache_hits: int
    orders: dict
    algo: dict
    checks: dict
    fills: list
    terminal_sent: dict
    day_events: dict = field(default_factory=dict)
    chart_data: tuple = ()
    files: dict = field(default_factory=dict)

    @property
    def callbacks_per_second(self):
        return self.callbacks / self.elapsed if self.elapsed > 0 else float("inf")


# inputs ------------------------------------------------------------------------------------
def open_dataset(store=None, dataset=None):
    """The dataset the data client serves from: `dataset` when given, else the store in
    the folder `store`, else the client's default."""
    from corvane.tessara import datac
    if dataset is not None:
        datac.set_dataset(dataset)
        return dataset
    if store is not None:
        if not os.path.isdir(store):
            raise ReplayError("no data store at %s" % store)
        try:
            return datac.use_store(store)
        except Exception as exc:   # any failure to read means the store is unusable
            raise ReplayError("data store at %s is missing or corrupt (%s: %s)"
                              % (store, type(exc).__name__, str(exc).splitlines()[0] if str(exc) else ""))
    return datac.get_dataset()


def parse_day(text, dataset):
    try:
        day = pd.Timestamp(text).normalize()
    except (ValueError, TypeError):
        raise ReplayError("unknown day %r: not a date (use YYYY-MM-DD)" % (text,)) from None
    if day not in dataset.trading_dates:
        raise ReplayError("unknown day %s: not a trading day of the calendar" % day.date())
    start, end = pd.Timestamp(dataset.meta["start"]), pd.Timestamp(dataset.meta["end"])
    if not start < day <= end:
        raise ReplayError("no market data for %s: the data store covers %s to %s"
                          % (day.date(), start.date(), end.date()))
    return day


def choose_instruments(dataset, day, count, codes=None):
    """The replay's instruments with their bars of the day. Explicit `codes` must all
    trade that day; otherwise the first `count` stocks and funds that do."""
    if codes:
        chosen = []
        for code in codes:
            spec = dataset.spec(code)
            if spec is None:
                raise ReplayError("no such instrument: %s" % code)
            if spec["type"] not in TRADABLE_TYPES:
                raise ReplayError("%s is not a stock or fund (type %s); the replay trades "
                                  "stocks and funds" % (code, spec["type"]))
            try:
                chosen.append(_feed.load_instrument_day(dataset, code, day))
            except _feed.FeedError as exc:
                raise ReplayError(str(exc)) from None
        return chosen
    if count < 1:
        raise ReplayError("the number of instruments must be at least 1, got %d" % count)
    chosen = []
    for code in dataset.codes():
        spec = dataset.spec(code)
        if spec["type"] not in TRADABLE_TYPES:
            continue
        try:
            chosen.append(_feed.load_instrument_day(dataset, code, day))
        except _feed.FeedError:
            continue
        if len(chosen) == count:
            return chosen
    raise ReplayError("only %d instruments trade on %s; asked for %d"
                      % (len(chosen), day.date(), count))


def prepare_output(out_dir):
    """A fresh scratch folder inside `out_dir`; results are moved out of it only when
    the replay has completed."""
    try:
        os.makedirs(out_dir, exist_ok=True)
        return tempfile.mkdtemp(prefix=".replay-", dir=out_dir)
    except OSError as exc:
        raise ReplayError("cannot write to output folder %s: %s"
                          % (out_dir, exc.strerror or exc)) from None


# the run -----------------------------------------------------------------------------------
def _reset_bridge(bridge):
    queue = bridge.event_queue
    while len(queue):
        queue.popleft()
    for name in ("orders_dict", "history_bar", "history_tick", "algo_parent_orders",
                 "algo_child_orders", "algo_child_trades", "algo_parent_id"):
        getattr(bridge, name).clear()


def _config(data_source):
    from corvane.tessara.const import TRADING_CALENDAR_TYPE
    dates = data_source.get_trading_calendars()[TRADING_CALENDAR_TYPE.EXCHANGE]
    calendar = frozenset(dates.values.astype("datetime64[D]"))
    return SimpleNamespace(base=SimpleNamespace(
        order_way=1, accounts=dict(ACCOUNTS), algo_account=ALGO_ACCOUNT,
        trading_calendar=calendar))


class _Progress:
    """A progress bar over the simulated day (tqdm when installed)."""

    def __init__(self, enabled, day):
        self._bar = None
        self._shown = 0
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=END_NS // NS_PER_MINUTE, unit="min", leave=False,
                             desc="replay %s" % day.date(), dynamic_ncols=True)

    def update(self, now_ns, events):
        if self._bar is None:
            return
        minute = min(now_ns, END_NS) // NS_PER_MINUTE
        if minute > self._shown:
            self._bar.update(minute - self._shown)
            self._shown = minute
            self._bar.set_postfix(events=events, refresh=False)

    def close(self):
        if self._bar is not None:
            self._bar.close()


def run_replay(day=DEFAULT_DAY, instruments=DEFAULT_INSTRUMENTS, out_dir="out", store=None,
               codes=None, progress=False, dataset=None, chart=True):
    """Replay `day` and write the summary (and chart) into `out_dir`. Raises ReplayError
    for bad input; nothing is left in `out_dir` unless the replay completed."""
    dataset = open_dataset(store, dataset)
    day = parse_day(day, dataset)
    feeds = choose_instruments(dataset, day, instruments, codes)
    scratch = prepare_output(out_dir)
    try:
        result = _run(dataset, day, feeds, progress)
        from .report import write_outputs
        result.files = write_outputs(result, scratch, out_dir, chart)
        return result
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _run(dataset, day, feeds, progress):
    import corvane.gid as gid
    import corvane.tessara.utils.livefeed as bridge
    from corvane.tessara import datac
    from corvane.tessara.environment import Environment
    from corvane.tessara.mod.mod_quant_data.data_sources.histsource import OstraDataDataSource

    codes = [f.market_code for f in feeds]
    saved_env = Environment._env
    datac.reset_call_counts()
    gid.reset_call_counts()
    try:
        env = Environment.install(universe=codes)
        data_source = OstraDataDataSource()
        env.set_data_source(data_source)
        _reset_bridge(bridge)
        clock = SimClock(day.date())
        terminal = SimTerminal(clock, _config(data_source), feeds)
        loop = FrameworkLoop(bridge, env)
        terminal.after_callback = loop.drain
        desk = OrderDesk(bridge, terminal, clock)
        demo = DemoStrategy(env, data_source, bridge, desk, terminal, clock, codes,
                            lambda: sum(datac.call_counts.values()))
        bar = _Progress(progress, day)
        with patched_bridge_clock(bridge, clock):
            terminal.make_strategy(lambda: bridge.VornStrategy(terminal.config))
            started = time.perf_counter()
            terminal.start()
            scheduler = clock.scheduler
            while scheduler.next_due() is not None and scheduler.next_due() <= END_NS:
                scheduler.run_next()
                bar.update(scheduler.now_ns, loop.dispatched)
            scheduler.advance_to(END_NS)
            elapsed = time.perf_counter() - started
        bar.close()
    finally:
        Environment._env = saved_env
    parent = terminal.parents.get(demo.parent_id)
    return ReplayResult(
        day=day.date(), codes=codes, elapsed=elapsed, callbacks=terminal.callbacks,
        events={k.name: n for k, n in loop.counts.items()}, high_water=loop.high_water,
        data_calls=dict(datac.call_counts), gateway_calls=dict(gid.call_counts),
        history_queries=demo.history_queries, cache_hits=demo.cache_hits,
        orders=dict(desk.final_statuses()),
        algo={} if parent is None else {"id": parent.sys_quote_id, "status": parent.status.name,
                                        "quantity": parent.qty, "filled": parent.traded},
        checks=dict(demo.checks), fills=demo.fills, terminal_sent=dict(terminal.sent),
        day_events=dict(loop.day_events),
        chart_data=(codes[0], dataset.spec(codes[0])["symbol"], demo.chart_day_bars,
                    demo.chart_minute_bars))
