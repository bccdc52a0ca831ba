"""The framework side of a replay: the loop that drains the bridge's event queue and
publishes each event on the event bus, the order-submission side that sends orders
to the terminal and registers them in the bridge's `orders_dict`, and the account
queries made once the terminal has logged in.
"""
import itertools
from collections import Counter

from corvane.tessara.const import ORDER_STATUS, SIDE
from corvane.tessara.core.events import EVENT, Event
from corvane.tessara.model.order import Order
from pyvorn.enums import SideType

_DAY_EVENTS = frozenset((EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION, EVENT.AFTER_TRADING,
                         EVENT.NEXT_DAY_START))


class FrameworkLoop:
    """Takes events out of `bridge.event_queue` in order and publishes them.

    The queue and the bus are looked up on every drain, so a test that replaces
    the bridge's `event_queue` is followed. Before each `BEFORE_TRADING` event the
    framework's own `PRE_BEFORE_TRADING` is published (data sources empty their
    day caches on it).
    """

    def __init__(self, bridge, env):
        self.bridge = bridge
        self.env = env
        self.counts = Counter()
        self.high_water = 0
        self.dispatched = 0
        self.day_events = {}             # day-event kind -> its calendar_dt
        self._draining = False

    def drain(self):
        if self._draining:           # a listener caused a callback; the outer drain goes on
            return
        self._draining = True
        try:
            queue = self.bridge.event_queue
            bus = self.env.event_bus
            self.high_water = max(self.high_water, len(queue))
            while len(queue):
                event = queue.popleft()
                kind = event.event_type
                self.counts[kind] += 1
                self.dispatched += 1
                if kind in _DAY_EVENTS:
                    self.day_events.setdefault(kind.name, event.calendar_dt)
                if kind is EVENT.BEFORE_TRADING:
                    bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING,
                                            calendar_dt=event.calendar_dt,
                                            trading_dt=event.trading_dt))
                bus.publish_event(event)
        finally:
            self._draining = False


_TERMINAL_SIDE = {SIDE.BUY: SideType.Buy, SIDE.SELL: SideType.Sell}


class OrderDesk:
    """Order-submission side: framework orders go to the terminal under a fresh client
    order id, which is also their key in the bridge's `orders_dict`."""

    def __init__(self, bridge, terminal, clock):
        self.bridge = bridge
        self.terminal = terminal
        self.clock = clock
        self.orders = {}                 # client order id -> framework order, all day
        self._client_ids = {}            # framework order id -> client order id
        self._ids = itertools.count(1)
        self._seq = itertools.count(1)

    def submit(self, market_code, quantity, side, price=None):
        order = Order(market_code, quantity, side, price, dt=self.clock.now())
        cid = next(self._ids)
        self.orders[cid] = order
        self._client_ids[order.order_id] = cid
        self.bridge.orders_dict[cid] = order
        self.terminal.insert_order(cid, market_code, _TERMINAL_SIDE[side], quantity, price)
        return cid

    def client_id_of(self, framework_order_id):
        """The client order id of a framework order id, or None."""
        return self._client_ids.get(framework_order_id)

    def cancel(self, cid):
        self.terminal.cancel_order(cid)

    def algo(self, market_code, quantity, side, start, end, slices):
        return self.terminal.create_algo_parent_order(
            next(self._seq), market_code, _TERMINAL_SIDE[side], quantity, start, end, slices)

    def control_algo(self, parent_id, control_type):
        self.terminal.control_algo_parent_order(parent_id, control_type)

    def final_statuses(self):
        """Orders by final status; cancelled orders that traded first are told apart."""
        return Counter(order.status.name + (" (partly filled)" if order.status is ORDER_STATUS.CANCELLED
                                            and order.filled_quantity else "")
                       for order in self.orders.values())


class AccountQueries:
    """Asks the terminal for the account's asset and positions after the first successful
    login, and keeps the answers on `target` (`account`, `positions`)."""

    def __init__(self, bus, terminal, target):
        self.terminal = terminal
        self.target = target
        self._asked = False
        bus.add_listener(EVENT.LOGIN, self.on_login)
        bus.add_listener(EVENT.QUERY_ACCOUNT, self.on_asset)
        bus.add_listener(EVENT.QUERY_POSITION, self.on_positions)

    def on_login(self, event):
        if event.code == 0 and not self._asked:
            self._asked = True
            self.terminal.query_asset(1, event.account_id)
            self.terminal.query_position(2)

    def on_asset(self, event):
        self.target.account = getattr(event, "asset", None)

    def on_positions(self, event):
        self.target.positions = list(event.positions)
