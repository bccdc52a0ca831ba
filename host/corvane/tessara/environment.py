"""The framework's running environment: event bus, data proxy, universe and
accounts.

One environment is current at a time (`Environment.get_instance()`). Tests
and replays install a fresh one with `Environment.install(...)`.
"""
from types import SimpleNamespace

from corvane.tessara.const import DEFAULT_ACCOUNT_TYPE


class EventBus:
    """Calls each listener of an event type with the published event, in
    registration order; a listener returning True stops the rest."""

    def __init__(self):
        self._listeners = {}

    def add_listener(self, event_type, listener):
        if not callable(listener):
            raise TypeError("listener must be callable, got %r" % (listener,))
        self._listeners.setdefault(event_type, []).append(listener)

    def prepend_listener(self, event_type, listener):
        if not callable(listener):
            raise TypeError("listener must be callable, got %r" % (listener,))
        self._listeners.setdefault(event_type, []).insert(0, listener)

    def listeners(self, event_type):
        return list(self._listeners.get(event_type, ()))

    def publish_event(self, event):
        for listener in list(self._listeners.get(event.event_type, ())):
            if listener(event) is True:
                break


class InstrumentNotFound(LookupError):
    pass


def _simple_instrument(market_code, ins_type="stock"):
    """An instrument for a bare code, when a test needs no more."""
    return SimpleNamespace(market_code=market_code, type=ins_type,
                           symbol=market_code)


class DataProxy:
    """Instruments by market code: from the installed map first, then from the
    data source's `get_instruments` when one is attached."""

    def __init__(self, instruments=None, data_source=None):
        self._instruments = {}
        self.data_source = data_source
        for ins in (instruments.values() if isinstance(instruments, dict)
                    else instruments or ()):
            self.add_instrument(ins)

    def add_instrument(self, instrument):
        if isinstance(instrument, str):
            instrument = _simple_instrument(instrument)
        self._instruments[instrument.market_code] = instrument
        return instrument

    def get_instrument(self, market_code):
        """The instrument of `market_code`, or None when nobody knows it."""
        ins = self._instruments.get(market_code)
        if ins is None and self.data_source is not None:
            ins = next(iter(self.data_source.get_instruments([market_code])), None)
            if ins is not None:
                self._instruments[market_code] = ins
        return ins

    def instruments(self, market_codes):
        """The instrument of one code, or a list for a list of codes. An
        unknown code raises InstrumentNotFound."""
        if isinstance(market_codes, str):
            ins = self.get_instrument(market_codes)
            if ins is None:
                raise InstrumentNotFound("unknown instrument: %r" % (market_codes,))
            return ins
        return [self.instruments(c) for c in market_codes]


class Environment:
    _env = None

    def __init__(self, config=None, data_proxy=None, universe=(),
                 accounts=None):
        self.config = config
        self.event_bus = EventBus()
        self.data_proxy = data_proxy if data_proxy is not None else DataProxy()
        self.data_source = self.data_proxy.data_source
        self._universe = set(universe)
        self.accounts = {}
        for account in _account_list(accounts):
            self.accounts[account.type] = account
        Environment._env = self

    @classmethod
    def get_instance(cls):
        if cls._env is None:
            raise RuntimeError("no framework environment has been created")
        return cls._env

    @classmethod
    def install(cls, universe=(), instruments=(), accounts=None, config=None,
                data_source=None):
        """Make and return a fresh current environment. `instruments` are
        instrument objects or bare codes; the universe's codes are added as
        instruments when not given."""
        proxy = DataProxy(instruments, data_source)
        for code in universe:
            if proxy.get_instrument(code) is None:
                proxy.add_instrument(code)
        if accounts is None:
            from corvane.tessara.portfolio.account import Account
            accounts = [Account(DEFAULT_ACCOUNT_TYPE.STOCK, "stock"),
                        Account(DEFAULT_ACCOUNT_TYPE.FUTURE, "future")]
        return cls(config, proxy, universe, accounts)

    @classmethod
    def reset(cls):
        cls._env = None

    def set_data_source(self, data_source):
        self.data_source = data_source
        self.data_proxy.data_source = data_source

    def get_instrument(self, market_code):
        return self.data_proxy.get_instrument(market_code)

    def get_universe(self):
        return set(self._universe)

    def update_universe(self, market_codes):
        self._universe = set(market_codes)

    def get_account(self, market_code):
        """The account that trades `market_code`: the futures account for a
        futures contract, the stock account for anything else."""
        if len(self.accounts) == 1:
            return next(iter(self.accounts.values()))
        ins = self.get_instrument(market_code)
        is_future = str(getattr(ins, "type", "")).lower() == "future"
        key = DEFAULT_ACCOUNT_TYPE.FUTURE if is_future else DEFAULT_ACCOUNT_TYPE.STOCK
        try:
            return self.accounts[key]
        except KeyError:
            raise KeyError("no %s account for %r" % (key.name, market_code)) from None


def _account_list(accounts):
    if accounts is None:
        return []
    if isinstance(accounts, dict):
        return list(accounts.values())
    return list(accounts)
