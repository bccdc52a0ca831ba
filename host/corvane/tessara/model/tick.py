"""Framework tick: an instrument plus one tick record (a dict).

The record is held, not copied, so the tick shows exactly the record that
the market-data history keeps.
"""


class TickObject:
    __slots__ = ("_instrument", "_tick_dict")

    def __init__(self, instrument, tick_dict):
        self._instrument = instrument
        self._tick_dict = tick_dict

    @property
    def instrument(self):
        return self._instrument

    @property
    def tick_dict(self):
        return self._tick_dict

    @property
    def market_code(self):
        return self._tick_dict["market_code"]

    @property
    def datetime(self):
        return self._tick_dict["datetime"]

    @property
    def open(self):
        return self._tick_dict["open_price"]

    @property
    def close(self):
        return self._tick_dict["close_price"]

    @property
    def high(self):
        return self._tick_dict["high_price"]

    @property
    def low(self):
        return self._tick_dict["low_price"]

    @property
    def last(self):
        return self._tick_dict["last_price"]

    @property
    def prev_close(self):
        return self._tick_dict["prev_close"]

    @property
    def volume(self):
        return self._tick_dict["volume"]

    @property
    def total_turnover(self):
        return self._tick_dict["total_turnover"]

    @property
    def asks(self):
        return self._tick_dict["asks"]

    @property
    def ask_vols(self):
        return self._tick_dict["ask_vols"]

    @property
    def bids(self):
        return self._tick_dict["bids"]

    @property
    def bid_vols(self):
        return self._tick_dict["bid_vols"]

    @property
    def limit_up(self):
        return self._tick_dict["high_limited"]

    @property
    def limit_down(self):
        return self._tick_dict["low_limited"]

    @property
    def open_interest(self):
        return self._tick_dict["open_interest"]

    @property
    def prev_settlement(self):
        return self._tick_dict["prev_settlement"]

    @property
    def iopv(self):
        return self._tick_dict["iopv"]

    @property
    def trading_phase_code(self):
        return self._tick_dict["trading_phase_code"]

    def __repr__(self):
        return "TickObject(market_code=%r, datetime=%r, last=%r)" % (
            self._tick_dict.get("market_code"),
            self._tick_dict.get("datetime"),
            self._tick_dict.get("last_price"))
