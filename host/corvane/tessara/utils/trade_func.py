"""Conversions from the terminal's codes to framework values."""
from corvane.tessara.const import L2_ORDER_TYPE, L2_TRADE_TYPE, ORDER_TYPE, SIDE
from pyvorn.enums import MarketType, TDType

# Exchange suffix of the framework's market codes, per terminal market.
_EXCHANGE_SUFFIX = {
    MarketType.SZSE: "SZ",
    MarketType.SSE: "SH",
    MarketType.CFFEX: "CFFEX",
    MarketType.SHFE: "SHFE",
    MarketType.DCE: "DCE",
    MarketType.CZCE: "CZCE",
    MarketType.INE: "INE",
}

# Level-2 codes differ by exchange: SZSE sends digits, SSE letters.
_L2_SIDE = {
    MarketType.SZSE: {"1": SIDE.BUY, "2": SIDE.SELL},
    MarketType.SSE: {"B": SIDE.BUY, "S": SIDE.SELL},
}
_L2_ORDER_TYPE = {
    MarketType.SZSE: {"1": ORDER_TYPE.MARKET, "2": ORDER_TYPE.LIMIT,
                      "U": ORDER_TYPE.BEST_OWN},
    # SSE publishes only limit orders; "D" withdraws one.
    MarketType.SSE: {"A": ORDER_TYPE.LIMIT, "D": ORDER_TYPE.LIMIT},
}
_L2_ORDER_KIND = {
    # SZSE reports withdrawals as transactions, so every order record adds.
    MarketType.SZSE: {"1": L2_ORDER_TYPE.ADD, "2": L2_ORDER_TYPE.ADD,
                      "U": L2_ORDER_TYPE.ADD},
    MarketType.SSE: {"A": L2_ORDER_TYPE.ADD, "D": L2_ORDER_TYPE.DELETE},
}
_L2_TRADE_TYPE = {"F": L2_TRADE_TYPE.FILL, "4": L2_TRADE_TYPE.CANCEL}


def _market(market_type):
    """The MarketType member for a member or its integer code."""
    if isinstance(market_type, MarketType):
        return market_type
    try:
        return MarketType(market_type)
    except (ValueError, TypeError):
        raise ValueError("unknown market type: %r" % (market_type,)) from None


def _lookup(table, code, what, market_type=None):
    try:
        return table[code]
    except (KeyError, TypeError):
        where = "" if market_type is None else " for %s" % market_type.name
        raise ValueError("unknown %s code %r%s" % (what, code, where)) from None


def get_exchane_from_vorn_mdtype(market_type):
    """Exchange suffix ("SZ", "SH", ...) of a terminal market type."""
    m = _market(market_type)
    return _lookup(_EXCHANGE_SUFFIX, m, "market", m)


def get_vorn_tdtype(name):
    """Terminal trade-channel type named `name` (upper-case channel name)."""
    if isinstance(name, str):
        for member in TDType:
            if member.name.upper() == name:
                return member
    raise ValueError("unknown trade channel: %r" % (name,))


def get_side_from_vorn_l2_order(side, market_type):
    m = _market(market_type)
    return _lookup(_lookup(_L2_SIDE, m, "market", m), side, "side", m)


def get_order_type_from_vorn_l2_order(order_type, market_type):
    m = _market(market_type)
    return _lookup(_lookup(_L2_ORDER_TYPE, m, "market", m), order_type,
                   "order type", m)


def get_l2order_type_from_vorn(order_type, market_type):
    m = _market(market_type)
    return _lookup(_lookup(_L2_ORDER_KIND, m, "market", m), order_type,
                   "order type", m)


def get_trade_type_from_vorn(trade_type):
    return _lookup(_L2_TRADE_TYPE, trade_type, "trade type")
