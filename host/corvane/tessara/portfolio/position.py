"""Framework position of one instrument in one direction."""
from corvane.tessara.const import POSITION_DIRECTION
from corvane.tessara.model._record import ModelObject

_STATE_KEYS = ("quantity", "available_qty", "avg_price", "last_price",
               "market_value", "daily_pnl")


class Position(ModelObject):
    _fields = ("market_code", "direction", "init_quantity") + _STATE_KEYS

    def __init__(self, market_code, direction, init_quantity=0):
        if not isinstance(direction, POSITION_DIRECTION):
            raise TypeError("direction must be a POSITION_DIRECTION member, "
                            "got %r" % (direction,))
        self.market_code = market_code
        self.direction = direction
        self.init_quantity = init_quantity
        self.quantity = init_quantity
        self.available_qty = init_quantity
        self.avg_price = 0.0
        self.last_price = 0.0
        self.market_value = 0.0
        self.daily_pnl = 0.0

    def set_state(self, state):
        """Take the values of `state` (a dict over the state keys); an unknown
        key is refused before anything is changed."""
        unknown = [k for k in state if k not in _STATE_KEYS]
        if unknown:
            raise KeyError("unknown position state keys: %r" % (unknown,))
        for key, value in state.items():
            setattr(self, key, value)

    def get_state(self):
        return {k: getattr(self, k) for k in _STATE_KEYS}

    @property
    def closable(self):
        return self.available_qty
