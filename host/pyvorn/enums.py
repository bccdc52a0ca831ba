"""Enumerations of the terminal's strategy API.

Values are the integer codes the terminal uses on the wire. Members are
plain enum members (they never compare equal to integers or to members of
another enum); records carry members (see pyvorn.records), and the
framework's conversion utilities also accept the integer values.
"""
from enum import Enum

__all__ = [
    "MDType", "TDType", "AlgoType", "MarketType", "SubscribeDataType",
    "SideType", "OrderStatusType", "AlgoControlType", "AlgoStatusType",
]


class MDType(Enum):
    """Market-data channel."""
    VnMD = 1
    AMD = 2


class TDType(Enum):
    """Trade channel. Accounts name one by its (case-insensitive) name."""
    VnTD = 1
    SimTD = 2


class AlgoType(Enum):
    """Algorithmic-trading channel."""
    ATX = 1


class MarketType(Enum):
    """Market of an instrument, as market data and positions report it."""
    NotSet = 0
    SZSE = 101
    SSE = 102
    CFFEX = 201
    SHFE = 202
    DCE = 203
    CZCE = 204
    INE = 205


class SubscribeDataType(Enum):
    Snapshot = 1
    Bar = 2
    TickOrder = 4
    TickTrade = 8


class SideType(Enum):
    Buy = 1
    Sell = 2


class OrderStatusType(Enum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8


class AlgoControlType(Enum):
    Pause = 1
    Resume = 2


class AlgoStatusType(Enum):
    """State of an algorithmic parent order."""
    Created = 0
    Running = 1
    Paused = 2
    Finished = 3
    Cancelled = 4
    Rejected = 5
