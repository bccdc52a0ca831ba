"""Replay of one trading day end to end: the simulated terminal plays the day's market
into the live bridge, the framework loop drains the bridge's events to a strategy (the
demo, or the user's), which warms up from the historical data source and trades; at the
end the figures of the run, the fills and orders, and the charts go to the output folder.

`drive` is the core: it plays any time-ordered feed of terminal callbacks through the
terminal on the simulated clock. The callbacks come from a `Source`: the data store's bars
(`StoreSource`) or a recorded terminal session (`RecordingSource`); `replay_source` runs one,
`run_replay` picks it from its options.
"""
import contextlib
import datetime as _dt
import os
import time
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Optional, Protocol

import pandas as pd

from corvane import harness
from corvane.tessara.core.events import EVENT

from . import feed as _feed
from .blotter import Blotter
from .clock import NS_PER_MINUTE, SimClock, patched_bridge_clock
from .context import ReplayContext, StrategyError, attach, located
from .events import EventLog
from .framework import AccountQueries, FrameworkLoop, OrderDesk
from .loader import StrategyLoadError, load_strategy_class
from .output import OutputError, OutputFolder
from .strategy import DemoStrategy
from .terminal import SimTerminal

DEFAULT_DAY = "2024-06-17"
DEFAULT_INSTRUMENTS = 6
END_NS = (15 * 60 + 31) * NS_PER_MINUTE      # a minute past the after-trading event
TRADABLE_TYPES = ("stock", "fund")
ACCOUNTS = {"stock": "100200300_SimTD"}
ALGO_ACCOUNT = "algo01_ATX"
CHART_DAYS = 40


class ReplayError(Exception):
    """An expected problem with the replay's input: reported in one line."""


@dataclass
class ReplayResult:
    day: _dt.date
    codes: list
    strategy: str
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
    fast: bool = False
    day_events: dict = field(default_factory=dict)
    fill_table: object = None
    order_table: object = None
    charts: list = field(default_factory=list)   # ChartData per instrument
    files: dict = field(default_factory=dict)
    source: str = ""                              # the recording replayed, if one was
    event_lines: list = field(default_factory=list)   # the event stream (events.jsonl)
    callback_errors: int = 0                      # recorded callbacks that raised again
    store: str = None                             # the data store folder replayed (None: in memory)
    store_info: dict = field(default_factory=dict)    # its seed, window and import history

    @property
    def callbacks_per_second(self):
        return self.callbacks / self.elapsed if self.elapsed > 0 else float("inf")


@dataclass
class ChartData:
    code: str
    symbol: str
    day_bars: object        # unadjusted day bars up to the replayed day (DataFrame)
    minute_bars: list       # the bridge's one-minute bars of the day (dicts)


# inputs ------------------------------------------------------------------------------------
def default_store():
    """The store every entry point replays unless told otherwise: $CORVANE_DATASET, else
    data/store under the current folder."""
    from corvane.dataset.provision import DEFAULT_STORE
    return harness.default_store_path() or DEFAULT_STORE


def open_dataset(store=None, dataset=None, announce=None, progress=False):
    """The dataset the data client serves from: `dataset` when given, else the store in
    the folder `store`, else the default store (generated on first use; `announce` is
    told so, and with `progress` a bar follows the generation in a terminal)."""
    if dataset is not None:
        return harness.use_dataset(dataset)
    if store is None:
        store = default_store()
        _provide_default(store, announce, progress)
    if not os.path.isdir(store):
        raise ReplayError("no data store at %s" % store)
    try:
        return harness.use_store(store)
    except Exception as exc:   # any failure to read means the store is unusable
        text = str(exc).splitlines()[0] if str(exc) else ""
        raise ReplayError("data store at %s is missing or corrupt (%s: %s)"
                          % (store, type(exc).__name__, text)) from None


def _provide_default(store, announce, progress=False):
    from corvane.dataset.provision import ensure_store
    try:
        ensure_store(store, announce, progress)
    except OSError as exc:
        raise ReplayError("cannot generate the data store in %s: %s"
                          % (store, exc.strerror or exc)) from None


def store_description(store, dataset):
    """(store folder or None, its origin and import history) for the header and
    summary.json: which data a run replayed."""
    meta = dataset.meta
    path = None if store is None else os.path.abspath(store)
    imports = [dict(entry) for entry in meta.get("imported", ())]
    return path, {"seed": meta.get("seed"), "start": str(meta.get("start")),
                  "end": str(meta.get("end")), "imported": imports}


def parse_day(text, dataset):
    """The trading day `text` names; only YYYY-MM-DD is read (a date object is taken as it
    is), so that 06/07/2024 is refused rather than read as some other day."""
    day = pd.Timestamp(_day_of(text)).normalize()
    if day not in dataset.trading_dates:
        raise ReplayError("unknown day %s: not a trading day of the calendar" % day.date())
    start, end = pd.Timestamp(dataset.meta["start"]), pd.Timestamp(dataset.meta["end"])
    if not start <= day <= end:
        raise ReplayError("no market data for %s: the data store covers %s to %s"
                          % (day.date(), start.date(), end.date()))
    return day


def _day_of(text):
    """The date `text` names (a date object is taken as it is); ReplayError unless it is
    written YYYY-MM-DD."""
    from corvane.dataset.dates import DAY_FORM, parse_iso_day
    if isinstance(text, _dt.date):
        return text
    try:
        return parse_iso_day(text)
    except ValueError:
        raise ReplayError("unknown day %r: not a date in the form %s" % (text, DAY_FORM)) from None


def choose_instruments(dataset, day, count, codes=None):
    """The replay's instruments with their bars of the day. Explicit `codes` must all
    trade that day; otherwise the first `count` stocks and funds that do."""
    if codes:
        chosen = []
        for code in dict.fromkeys(codes):
            profile = dataset.profile(code)
            if profile is None:
                raise ReplayError("no such instrument: %s" % code)
            if profile["type"] not in TRADABLE_TYPES:
                raise ReplayError("%s is not a stock or fund (type %s); the replay trades "
                                  "stocks and funds" % (code, profile["type"]))
            try:
                chosen.append(_feed.load_instrument_day(dataset, code, day))
            except _feed.FeedError as exc:
                raise ReplayError(str(exc)) from None
        return chosen
    if count < 1:
        raise ReplayError("the number of instruments must be at least 1, got %d" % count)
    chosen = []
    for code in dataset.codes():
        if dataset.profile(code)["type"] not in TRADABLE_TYPES:
            continue
        try:
            chosen.append(_feed.load_instrument_day(dataset, code, day))
        except _feed.FeedError:
            continue
        if len(chosen) == count:
            return chosen
    raise ReplayError("only %d instruments trade on %s; asked for %d"
                      % (len(chosen), day.date(), count))


def strategy_factory(target=None):
    """(label, class) of the strategy: the demo, or the user's "module:Class"."""
    if target is None:
        return "demo", DemoStrategy
    try:
        return target, load_strategy_class(target)
    except StrategyLoadError as exc:
        raise ReplayError(str(exc)) from None


def prepare_output(out_dir):
    """The output folder of a run (an `OutputFolder` to enter): checked and locked on entry,
    results written into its scratch folder and put in place only when the run completes."""
    return OutputFolder(out_dir)


# the run -----------------------------------------------------------------------------------
def _config(data_source):
    from corvane.tessara.const import TRADING_CALENDAR_TYPE
    dates = data_source.get_trading_calendars()[TRADING_CALENDAR_TYPE.EXCHANGE]
    calendar = frozenset(dates.values.astype("datetime64[D]"))
    return SimpleNamespace(base=SimpleNamespace(
        order_way=1, accounts=dict(ACCOUNTS), algo_account=ALGO_ACCOUNT,
        trading_calendar=calendar))


def drive(terminal, feed, end_ns=END_NS, on_step=None):
    """Play `feed` (FeedItems in time order) into the terminal's strategy on the terminal's
    simulated clock, with the strategy's timers and the terminal's answers in between, up
    to `end_ns` after midnight. `on_step(now_ns)` is called after each timer slot. Returns
    the wall-clock seconds taken."""
    started = time.perf_counter()
    terminal.start(feed)
    scheduler = terminal.clock.scheduler
    while scheduler.next_due() is not None and scheduler.next_due() <= end_ns:
        scheduler.run_next()
        if on_step is not None:
            on_step(scheduler.now_ns)
    scheduler.advance_to(end_ns)
    return time.perf_counter() - started


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


# the two sources of a day's terminal callbacks -----------------------------------------------
class Source(Protocol):
    """Where the terminal callbacks of the replayed day come from. The runner asks it, in
    this order, for the day, the instruments, and the terminal that plays the day's callbacks;
    `name` names it in the summary (empty for the data store's own market)."""

    name: str
    record: Optional[str]       # the folder the bridge records its callbacks into, or None

    def day(self):
        """The day to replay: a date, or text the runner reads as YYYY-MM-DD."""

    def instruments(self, dataset, day):
        """The replay's instruments on `day` (per instrument a code, or its bars of the day);
        ReplayError when they cannot be replayed."""

    def terminal(self, clock, data_source, log, instruments, fast):
        """(terminal, feed, end_ns): the terminal that plays the day into the bridge, the feed
        `drive` starts it with, and the time after midnight the day ends."""


class StoreSource:
    """The day's market made from the data store's bars by the simulated terminal: the
    first `count` stocks and funds trading that day, or the given `codes`; `record` (a folder)
    records the bridge's callbacks as a live deployment would."""

    name = ""

    def __init__(self, day=None, count=DEFAULT_INSTRUMENTS, codes=None, record=None):
        self._day, self._count, self._codes = day, count, codes
        self._record_to = record
        self.record = None

    def day(self):
        return DEFAULT_DAY if self._day is None else self._day

    def instruments(self, dataset, day):
        feeds = choose_instruments(dataset, day, self._count, self._codes)
        self.record = _record_folder(self._record_to, day)
        return feeds

    def terminal(self, clock, data_source, log, instruments, fast):
        terminal = SimTerminal(clock, _config(data_source), instruments)
        return terminal, _feed.market_feed(instruments, level2=not fast), END_NS


class RecordingSource:
    """The callbacks of a recorded terminal session (the folder `path`), on their recorded
    times: its day (`day` chooses when it holds several), its instruments or `codes`.
    `salvage` keeps the complete batches of a recording cut off mid-write."""

    record = None

    def __init__(self, path, day=None, codes=None, salvage=False, record=None):
        self.name = os.path.abspath(path)
        self.recording = _open_recording(path, day, salvage)
        self._codes, self._record_to = codes, record

    def day(self):
        return self.recording.day

    def instruments(self, dataset, day):
        codes = _recorded_instruments(dataset, self.recording, self._codes)
        if self._record_to is not None:
            raise ReplayError("--record records a replay of the data store, not of a recording")
        return codes

    def terminal(self, clock, data_source, log, instruments, fast):
        from .playback import RecordedTerminal, recorded_config
        recording = self.recording
        terminal = RecordedTerminal(clock, recorded_config(recording.config), recording,
                                    log=log, codes=instruments)
        end_ns = max(END_NS, max(c.arrival_ns for c in recording.calls) % (86_400 * 10 ** 9))
        return terminal, None, end_ns


def run_replay(day=None, instruments=DEFAULT_INSTRUMENTS, out_dir="out", store=None,
               codes=None, progress=False, dataset=None, chart=True, strategy=None, fast=False,
               record=None, recording=None, salvage=False, checkpoint=None, announce=None):
    """Replay `day` and write the summary, fills, orders, the event stream (and charts)
    into `out_dir`; `day` defaults to DEFAULT_DAY. `strategy` is "module:Class" (default: the demo); `fast` leaves out the
    level-2 records and the charts. `record` (a folder) records the terminal's callbacks
    as a live deployment would. `recording` (a folder) replays a recording instead of the
    data store: its day (`day` chooses when it holds several), its instruments (or `codes`), its callbacks; `salvage` keeps the complete
    batches of a recording cut off mid-write. Raises ReplayError for bad input,
    StrategyError when the strategy fails; nothing is left in `out_dir` unless the replay
    completed. `checkpoint()` is called after each timer slot and before the results are
    moved into place; what it raises ends the run. Without `store` and `dataset` the default
    store is replayed (generated on first use, which `announce(line)` is told)."""
    if day is not None:
        _day_of(day)                # the form first, also where a recording chooses by it
    label, strategy_class = strategy_factory(strategy)
    if recording is not None:
        source = RecordingSource(recording, day, codes, salvage, record)
    else:
        source = StoreSource(day, instruments, codes, record)
    return replay_source(source, out_dir=out_dir, store=store, dataset=dataset,
                         strategy=(label, strategy_class), progress=progress, chart=chart,
                         fast=fast, checkpoint=checkpoint, announce=announce)


def replay_source(source, out_dir="out", store=None, dataset=None, strategy=None,
                  progress=False, chart=True, fast=False, checkpoint=None, announce=None):
    """Replay the day of `source` (a `Source`) against the data store: the options are those
    of `run_replay`, `strategy` a (label, class) pair (default: the demo)."""
    checkpoint = checkpoint or (lambda: None)
    label, strategy_class = strategy or strategy_factory(None)
    dataset_given = dataset is not None
    if store is None and not dataset_given:
        store = default_store()
        _provide_default(store, announce, progress)
    dataset = open_dataset(store, dataset)
    store_path, store_info = store_description(None if dataset_given else store, dataset)
    day = parse_day(source.day(), dataset)
    feeds = source.instruments(dataset, day)
    chart = chart and not fast
    with _locked_output(out_dir) as output:
        result = _run(source, dataset, day, feeds, label, strategy_class, progress, fast, chart,
                      checkpoint=checkpoint)
        result.source = source.name
        result.store, result.store_info = store_path, store_info
        from .report import write_outputs
        result.files = write_outputs(result, output.scratch, out_dir, chart,
                                     before_move=checkpoint, publish=output.publish,
                                     progress=progress)
        return result


@contextlib.contextmanager
def _locked_output(out_dir):
    """The entered output folder; its refusals are the replay's bad input."""
    folder = prepare_output(out_dir)
    try:
        folder.__enter__()
    except OutputError as exc:
        raise ReplayError(str(exc)) from None
    try:
        yield folder
    finally:
        folder.__exit__(None, None, None)


def _run(source, dataset, day, feeds, label, strategy_class, progress, fast, chart,
         checkpoint=lambda: None):
    import corvane.tessara.utils.livefeed as bridge
    from corvane.tessara.mod.mod_quant_data.data_sources.histsource import OstraDataDataSource

    codes = [f if isinstance(f, str) else f.market_code for f in feeds]
    harness.reset_call_counts()
    harness.forget_data_source_memos()
    with harness.environment_restored():
        env, data_source = harness.install_environment(codes, OstraDataDataSource)
        harness.reset_bridge(bridge)
        clock = SimClock(day.date())
        log = EventLog(clock)
        log.attach(env.event_bus)
        terminal, feed, end_ns = source.terminal(clock, data_source, log, feeds, fast)
        loop = FrameworkLoop(bridge, env)
        terminal.after_callback = loop.drain
        desk = OrderDesk(bridge, terminal, clock)
        ctx = ReplayContext(codes, day.date(), clock, env, data_source, bridge, desk)
        AccountQueries(env.event_bus, terminal, ctx)
        blotter = Blotter(env.event_bus, desk, clock,
                          tick_of=lambda code: float(ctx.instrument(code).tick_size))
        charts = []
        if chart:
            env.event_bus.add_listener(
                EVENT.AFTER_TRADING, lambda event: charts.extend(_chart_data(dataset, bridge, day, codes)))
        user = _construct(strategy_class, ctx, label)
        attach(user, env.event_bus, label)
        bar = _Progress(progress, day)
        record = source.record
        try:
            with patched_bridge_clock(bridge, clock), harness.framework_clock(clock.datetime_class()):
                terminal.make_strategy(_bridge_factory(bridge, terminal, clock, record))
                try:
                    def step(now):
                        bar.update(now, loop.dispatched)
                        checkpoint()
                    elapsed = drive(terminal, feed, end_ns, step)
                finally:
                    if record is not None:
                        terminal.strategy.close_recording()
        finally:
            bar.close()
    parents = sorted(terminal.parents.values(), key=lambda p: p.sys_quote_id)
    parent = parents[0] if parents else None
    return ReplayResult(
        day=day.date(), codes=codes, strategy=label, elapsed=elapsed, fast=fast,
        callbacks=terminal.callbacks,
        events={k.name: n for k, n in loop.counts.items()}, high_water=loop.high_water,
        data_calls=harness.data_client_calls(), gateway_calls=harness.gateway_calls(),
        history_queries=ctx.history_queries, cache_hits=ctx.cache_hits,
        orders=dict(desk.final_statuses()),
        algo={} if parent is None else {"id": parent.sys_quote_id, "status": parent.status.name,
                                        "quantity": parent.qty, "filled": parent.traded},
        checks=dict(user.checks) if isinstance(user, DemoStrategy) else {},
        fills=list(blotter.fills),
        terminal_sent=dict(terminal.sent), day_events=dict(loop.day_events),
        fill_table=blotter.fill_table(), order_table=blotter.order_table(), charts=charts,
        event_lines=log.lines, callback_errors=getattr(terminal, "errors", 0))


def _bridge_factory(bridge, terminal, clock, record):
    """The bridge's strategy, or with `record` the recording one, whose arrival times are
    the simulated clock's."""
    if record is None:
        return lambda: bridge.VornStrategy(terminal.config)
    from .recording import recording_class
    from .recording.writer import ns_of_datetime
    cls = recording_class(bridge.VornStrategy)
    midnight = ns_of_datetime(clock.midnight)
    return lambda: cls(terminal.config, record_to=record, fsync=False,
                       clock=lambda: midnight + clock.now_ns)


def _open_recording(path, day, salvage):
    from .playback import load
    from .recording import RecordingError
    try:
        recording, _ = load(path, day=day, salvage=salvage)
    except RecordingError as exc:
        raise ReplayError(str(exc)) from None
    return recording


def _recorded_instruments(dataset, recording, codes):
    """The replay's instruments: `codes`, or those the recording has market data of; each
    must be an instrument of the data store."""
    from .playback import recorded_codes
    codes = list(dict.fromkeys(codes)) if codes else recorded_codes(recording)
    if not codes:
        raise ReplayError("%s: the recording holds no snapshots or bars, so it names no "
                          "instruments; give them with --code" % recording.files[0])
    for code in codes:
        if dataset.profile(code) is None:
            raise ReplayError("the recording's instrument %s is not in the data store" % code)
    return codes


def _record_folder(record, day):
    """The folder to record into; it must not hold a recording of the day already (two
    sessions of one day would replay one after the other)."""
    if record is None:
        return None
    import glob
    if glob.glob(os.path.join(glob.escape(record), "%s.*.arrows" % day.date())):
        raise ReplayError("%s already holds a recording of %s; record into another folder"
                          % (record, day.date()))
    try:
        os.makedirs(record, exist_ok=True)
    except OSError as exc:
        raise ReplayError("cannot write to the recording folder %s: %s"
                          % (record, exc.strerror or exc)) from None
    return record


def _construct(strategy_class, ctx, label):
    try:
        return strategy_class(ctx)
    except Exception as exc:
        raise StrategyError(located(label + " (constructing it)", exc, strategy_class), exc) from exc


def _chart_data(dataset, bridge, day, codes):
    """Per instrument: the last CHART_DAYS unadjusted day bars up to the day, from the
    store, and the day's one-minute bars the bridge holds."""
    out = []
    for code in codes:
        bars = dataset.day_bars(code)
        recent = None if bars is None else bars[bars.index <= day].tail(CHART_DAYS)
        out.append(ChartData(code, dataset.profile(code)["symbol"], recent,
                             list(bridge.history_bars(code, 0) or ())))
    return out
