"""Framework events: a kind from `EVENT` plus the fields that kind carries."""
from enum import Enum


class EVENT(Enum):
    # Day cycle
    PRE_BEFORE_TRADING = "pre_before_trading"
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"
    NEXT_DAY_START = "next_day_start"

    # Market data
    TICK = "tick"
    BAR = "bar"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"

    # Account
    LOGIN = "login"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"

    # Orders and trades
    ORDER_CREATION_PASS = "order_creation_pass"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    TRADE = "trade"

    # Algorithmic orders
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"

    def __repr__(self):
        return "EVENT.%s" % self.name


class Event:
    """One event: `event_type` and its fields as attributes, in the order given."""

    def __init__(self, event_type, **kwargs):
        self.__dict__.update(kwargs)
        self.event_type = event_type

    def fields(self):
        """The keyword fields (everything but `event_type`), in order."""
        return {k: v for k, v in self.__dict__.items() if k != "event_type"}

    def __repr__(self):
        kind = getattr(self.event_type, "name", self.event_type)
        body = ", ".join("%s=%r" % kv for kv in self.fields().items())
        return "Event(%s%s)" % (kind, ", " + body if body else "")
