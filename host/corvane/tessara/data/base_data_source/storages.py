"""Instrument stores and futures trading parameters."""


class InstrumentStore(object):
    """The instruments of one type, found by market code or by symbol."""

    def __init__(self, instruments, ins_type):
        self._instrument_type = ins_type
        self._instruments = {}
        self._sym_id_map = {}
        for ins in instruments:
            if ins.type != ins_type:
                continue
            self._instruments[ins.market_code] = ins
            symbol = getattr(ins, "symbol", None)
            if symbol:
                self._sym_id_map[symbol] = ins.market_code

    @property
    def instrument_type(self):
        return self._instrument_type

    @property
    def all_id_and_syms(self):
        """Every market code and symbol of the store's instruments."""
        return list(self._instruments) + list(self._sym_id_map)

    def get_instruments(self, id_or_syms):
        """The instruments with these codes or symbols, in the order asked, unknown ones
        skipped; all of the store's instruments for None."""
        if id_or_syms is None:
            return list(self._instruments.values())
        found = []
        for key in id_or_syms:
            ins = self._instruments.get(key)
            if ins is None:
                code = self._sym_id_map.get(key)
                ins = self._instruments.get(code) if code is not None else None
            if ins is not None:
                found.append(ins)
        return found

    def __len__(self):
        return len(self._instruments)


class FuturesTradingParameters(object):
    """Margin and commission terms of a futures contract on one trading day."""

    __slots__ = ("close_commission_ratio", "close_commission_today_ratio", "commission_type",
                 "open_commission_ratio", "long_margin_ratio", "short_margin_ratio")

    def __init__(self, close_commission_ratio, close_commission_today_ratio, commission_type,
                 open_commission_ratio, long_margin_ratio, short_margin_ratio):
        self.close_commission_ratio = close_commission_ratio
        self.close_commission_today_ratio = close_commission_today_ratio
        self.commission_type = commission_type
        self.open_commission_ratio = open_commission_ratio
        self.long_margin_ratio = long_margin_ratio
        self.short_margin_ratio = short_margin_ratio

    def _values(self):
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other):
        if not isinstance(other, FuturesTradingParameters):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self):
        return hash(self._values())

    def __repr__(self):
        return "FuturesTradingParameters({})".format(
            ", ".join("{}={!r}".format(name, getattr(self, name)) for name in self.__slots__))
