"""The terminal's strategy base class and its context.

The context records every call made on it (`calls`, a list of (name, args)
tuples) and hands timers to a pluggable scheduler: `ThreadScheduler` (the
default) runs each callback once on a daemon timer thread after the delay;
`ManualScheduler` keeps them until a test or a replay advances its
simulated clock.
"""
import heapq
import itertools
import numbers
import threading

from pyvorn.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType

PERIODS = ("1m", "5m", "15m", "30m", "60m", "1d")


class ThreadScheduler:
    """Runs each callback once, on its own daemon timer thread."""

    def __init__(self):
        self._timers = []

    def schedule(self, delay_ns, callback):
        timer = threading.Timer(delay_ns / 1e9, callback)
        timer.daemon = True
        self._timers = [t for t in self._timers if t.is_alive()]
        self._timers.append(timer)
        timer.start()
        return timer

    def cancel_all(self):
        for t in self._timers:
            t.cancel()
        self._timers = []


class ManualScheduler:
    """Simulated timer service: callbacks run only when the clock is advanced,
    in order of due time (ties in order of registration), on the advancing
    thread. Callbacks may register further timers; those due within the
    advanced span run too."""

    def __init__(self, now_ns=0):
        self.now_ns = now_ns
        self._heap = []
        self._seq = itertools.count()

    def schedule(self, delay_ns, callback):
        entry = (self.now_ns + delay_ns, next(self._seq), callback)
        heapq.heappush(self._heap, entry)
        return entry

    @property
    def pending(self):
        """(due time in ns, callback) of every waiting timer, soonest first."""
        return [(due, cb) for due, _, cb in sorted(self._heap)]

    def next_due(self):
        return self._heap[0][0] if self._heap else None

    def advance_to(self, t_ns):
        """Run every callback due at or before `t_ns`; return how many ran."""
        ran = 0
        while self._heap and self._heap[0][0] <= t_ns:
            due, _, callback = heapq.heappop(self._heap)
            self.now_ns = due
            callback()
            ran += 1
        self.now_ns = max(self.now_ns, t_ns)
        return ran

    def advance(self, delta_ns):
        return self.advance_to(self.now_ns + delta_ns)

    def run_next(self):
        """Jump to the soonest timer and run the timers due then."""
        due = self.next_due()
        return 0 if due is None else self.advance_to(due)


def _check(value, kind, what):
    if not isinstance(value, kind):
        raise TypeError("%s expected, got %r" % (what, value))


# Makes the scheduler of each new context; a replay installs its simulated
# clock here before the strategy is constructed.
scheduler_factory = ThreadScheduler


class Context:
    """What a strategy registers with the terminal."""

    def __init__(self, scheduler=None):
        self.scheduler = scheduler if scheduler is not None else scheduler_factory()
        self.calls = []
        self.md_brokers = []
        self.td_brokers = []
        self.algo_brokers = []
        self.order_way = None
        self.subscriptions = []

    def _record(self, name, *args):
        self.calls.append((name, args))

    def add_md_broker(self, md_type):
        _check(md_type, MDType, "MDType")
        self._record("add_md_broker", md_type)
        self.md_brokers.append(md_type)

    def set_order_way(self, order_way):
        self._record("set_order_way", order_way)
        self.order_way = order_way

    def add_td_broker(self, td_type):
        _check(td_type, TDType, "TDType")
        self._record("add_td_broker", td_type)
        self.td_brokers.append(td_type)

    def add_algo_broker(self, algo_type):
        _check(algo_type, AlgoType, "AlgoType")
        self._record("add_algo_broker", algo_type)
        self.algo_brokers.append(algo_type)

    def subscribe(self, md_type, market, data_type, codes, period):
        _check(md_type, MDType, "MDType")
        _check(market, MarketType, "MarketType")
        _check(data_type, SubscribeDataType, "SubscribeDataType")
        _check(codes, list, "list of codes")
        if period not in PERIODS:
            raise ValueError("unsupported period: %r" % (period,))
        self._record("subscribe", md_type, market, data_type, list(codes), period)
        self.subscriptions.append((md_type, market, data_type, list(codes), period))

    def add_timer_interval(self, delay_ns, callback):
        """Call `callback()` once, `delay_ns` nanoseconds from now."""
        if isinstance(delay_ns, bool) or not isinstance(delay_ns, numbers.Integral):
            raise TypeError("delay must be an integer number of nanoseconds, "
                            "got %r" % (delay_ns,))
        if delay_ns < 0:
            raise ValueError("delay must not be negative, got %r" % (delay_ns,))
        if not callable(callback):
            raise TypeError("callback must be callable, got %r" % (callback,))
        self._record("add_timer_interval", int(delay_ns), callback)
        return self.scheduler.schedule(int(delay_ns), callback)

    def calls_named(self, name):
        return [args for n, args in self.calls if n == name]


class VornStrategy:
    """Base class of terminal strategies: holds the context and provides the
    hooks and callbacks the terminal invokes, each doing nothing here."""

    def __init__(self):
        self.context = Context()

    def initialize(self, config):
        pass

    def on_initialize(self):
        pass

    def on_switch_day(self):
        pass

    def on_snapshot(self, snapshot):
        pass

    def on_bar(self, bar):
        pass

    def on_tick_order(self, tick_order):
        pass

    def on_tick_trade(self, tick_trade):
        pass

    def on_login(self, login_res):
        pass

    def on_query_asset(self, asset_res, request_id, code, msg):
        pass

    def on_query_position(self, query_position_res, request_id, code, msg):
        pass

    def on_order(self, order):
        pass

    def on_trade(self, trade):
        pass

    def on_order_action_error(self, order_action_error):
        pass

    def on_algo_login(self, algo_login_res):
        pass

    def on_create_algo_parent_order_res(self, create_parent_order_res):
        pass

    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res):
        pass

    def on_control_algo_parent_order_res(self, control_parent_order_res):
        pass

    def on_algo_parent_order_update(self, parent_order):
        pass

    def on_algo_child_order_update(self, child_order):
        pass

    def on_algo_child_order_trade(self, child_trade):
        pass
