"""Replay of a recording: the recorded terminal callbacks and timer firings, in recorded
order, each at its recorded arrival time on the simulated clock, through the same
framework loop, strategy, summary, progress bar and charts as a replay of the data store.

The recording holds the terminal's answers too (order reports, query results, algorithmic
order reports), so the terminal of this replay only counts what the framework side asks of
it; the bridge's own timer registrations go to a timer service that never fires, since
the recorded firings stand in for them.
"""
import datetime as _dt
from collections import Counter
from types import SimpleNamespace

import numpy as np

from corvane import harness

from .clock import SimClock
from .recording import RecordingError, open_recording
from .recording.writer import DAY_NS, ns_of_datetime

_SUFFIX = {"SSE": "SH", "SZSE": "SZ"}
MARKET_DATA_CALLBACKS = frozenset(("on_snapshot", "on_bar", "on_tick_order", "on_tick_trade"))


class _SilentTimers:
    """Timer service of a recorded replay: registrations are kept, never run."""

    def __init__(self):
        self.registered = []

    def schedule(self, delay_ns, callback):
        self.registered.append((delay_ns, callback))
        return None


class RecordedTerminal:
    """Plays a `Recording` into the strategy. Offers the requests a framework side makes
    of a terminal; they are counted in `requests`, and answered only by the recording."""

    def __init__(self, clock, config, recording, after_callback=lambda: None, log=None,
                 codes=None):
        self.clock = clock
        self.codes = None if codes is None else frozenset(codes)
        self.config = config
        self.recording = recording
        self.after_callback = after_callback
        self.log = log
        self.strategy = None
        self.callbacks = 0
        self.errors = 0
        self.sent = Counter()
        self.requests = Counter()
        self.parents = {}               # sys_quote_id -> latest recorded parent-order state
        self.instruments = {}
        self._quote_ids = {}            # client_seq_id -> sys_quote_id, from the creation replies
        for call in recording.calls:
            if call.callback == "on_create_algo_parent_order_res":
                res = call.args[0]
                self._quote_ids.setdefault(getattr(res, "client_seq_id", None),
                                           getattr(res, "sys_quote_id", None))

    def make_strategy(self, factory):
        with harness.terminal_scheduler(_SilentTimers):
            self.strategy = factory()
        return self.strategy

    def start(self, feed=None):
        """Schedule every recorded call at its arrival time (never before the one recorded
        ahead of it, so the recorded order holds). Returns the number of calls."""
        midnight = ns_of_datetime(self.clock.midnight)
        scheduler = self.clock.scheduler
        due = 0
        for call in self.recording.calls:
            if not self._wanted(call):
                continue
            due = max(due, call.arrival_ns - midnight)
            scheduler.schedule(due - scheduler.now_ns, lambda call=call: self._play(call))
        return len(self.recording.calls)

    def _wanted(self, call):
        """False for the market data of an instrument outside `codes`: a replay of some of
        the recorded instruments hands the strategy their ticks and bars only."""
        if self.codes is None or call.callback not in MARKET_DATA_CALLBACKS:
            return True
        code = code_of(call.args[0])
        return code is None or code in self.codes

    def _play(self, call):
        self.callbacks += 1
        self.sent[call.callback] += 1
        name = call.callback
        try:
            if name == "timer":
                getattr(self.strategy, call.args[0])()
            elif name == "initialize":
                self.strategy.initialize(self.config)
            else:
                getattr(self.strategy, name)(*call.args)
        except Exception as exc:       # the terminal logs a failed callback and carries on
            self.errors += 1
            if self.log is not None:
                self.log.callback_failed(call.args[0] if name == "timer" else name, exc)
        if name == "on_algo_parent_order_update":
            self._parent(call.args[0])
        self.after_callback()

    def _parent(self, record):
        sid = getattr(record, "sys_quote_id", None)
        status = getattr(record, "status", None)
        self.parents[sid] = SimpleNamespace(
            sys_quote_id=sid, status=SimpleNamespace(name=getattr(status, "name", str(status))),
            qty=getattr(record, "order_qty", 0), traded=getattr(record, "trade_qty", 0))

    # the framework side's requests -----------------------------------------------------------
    def insert_order(self, client_order_id, market_code, side, qty, price=None):
        self.requests["insert_order"] += 1

    def cancel_order(self, client_order_id):
        self.requests["cancel_order"] += 1

    def query_asset(self, request_id, account_id):
        self.requests["query_asset"] += 1

    def query_position(self, request_id):
        self.requests["query_position"] += 1

    def create_algo_parent_order(self, client_seq_id, market_code, side, qty, start, end, slices):
        self.requests["create_algo_parent_order"] += 1
        return self._quote_ids.get(client_seq_id)

    def control_algo_parent_order(self, sys_quote_id, control_type):
        self.requests["control_algo_parent_order"] += 1


# what the recording tells about the session -------------------------------------------------
def recorded_config(config):
    """The run configuration the bridge gets, from the recorded one."""
    base = SimpleNamespace()
    for name in ("md_type", "order_way", "algo_account"):
        if name in config:
            setattr(base, name, config[name])
    if "accounts" in config:
        base.accounts = dict(config["accounts"])
    if "trading_calendar" in config:
        base.trading_calendar = frozenset(np.array(config["trading_calendar"], dtype="datetime64[D]"))
    return SimpleNamespace(base=base)


def code_of(record):
    """The market code of a market-data record, or None when it names no instrument."""
    market = getattr(getattr(record, "market_type", None), "name", None)
    security = getattr(record, "security_id", None)
    if security and market in _SUFFIX:
        return "%s.%s" % (security, _SUFFIX[market])
    return None


def recorded_codes(recording):
    """Market codes of the instruments whose snapshots or bars were recorded, in order of
    first appearance."""
    codes = {}
    for call in recording.calls:
        if call.callback in ("on_snapshot", "on_bar"):
            code = code_of(call.args[0])
            if code is not None:
                codes.setdefault(code, None)
    return list(codes)


def load(path, day=None, salvage=False):
    """The recording at `path` and a simulated clock at its day; ReplayError-ready text on
    failure (RecordingError)."""
    recording = open_recording(path, day=day, salvage=salvage)
    clock = SimClock(_dt.date.fromisoformat(recording.day))
    last = recording.calls[-1].arrival_ns - ns_of_datetime(clock.midnight)
    if not 0 <= last < DAY_NS:
        raise RecordingError("%s: calls arrive outside %s" % (path, recording.day))
    return recording, clock


__all__ = ["RecordedTerminal", "RecordingError", "load", "recorded_codes", "recorded_config"]
