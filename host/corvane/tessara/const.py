"""Framework-wide enumerations.

Every member's value is its own name, so members print and serialise as
plain text and compare only with themselves.
"""
from enum import Enum


class CustomEnum(Enum):
    def __repr__(self):
        return "%s.%s" % (type(self).__name__, self.name)


class ORDER_STATUS(CustomEnum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    FILLED = "FILLED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"
    REJECTED = "REJECTED"


# Statuses after which an order never changes again.
FINAL_ORDER_STATUSES = frozenset(
    (ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED))


class SIDE(CustomEnum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_DIRECTION(CustomEnum):
    LONG = "LONG"
    SHORT = "SHORT"


class POSITION_EFFECT(CustomEnum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"
    CLOSE_TODAY = "CLOSE_TODAY"


class ORDER_TYPE(CustomEnum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"
    # Priced at the best quote on the order's own side of the book.
    BEST_OWN = "BEST_OWN"


class L2_ORDER_TYPE(CustomEnum):
    """Kind of a level-2 order record: a new order or the removal of one."""
    ADD = "ADD"
    DELETE = "DELETE"


class L2_TRADE_TYPE(CustomEnum):
    """Kind of a level-2 transaction record: a fill or a cancellation."""
    FILL = "FILL"
    CANCEL = "CANCEL"


class DEFAULT_ACCOUNT_TYPE(CustomEnum):
    STOCK = "STOCK"
    FUTURE = "FUTURE"


class COMMISSION_TYPE(CustomEnum):
    BY_MONEY = "BY_MONEY"
    BY_VOLUME = "BY_VOLUME"


class TRADING_CALENDAR_TYPE(CustomEnum):
    EXCHANGE = "EXCHANGE"


__all__ = [
    "CustomEnum", "ORDER_STATUS", "FINAL_ORDER_STATUSES", "SIDE",
    "POSITION_DIRECTION", "POSITION_EFFECT", "ORDER_TYPE", "L2_ORDER_TYPE",
    "L2_TRADE_TYPE", "DEFAULT_ACCOUNT_TYPE", "COMMISSION_TYPE",
    "TRADING_CALENDAR_TYPE",
]
