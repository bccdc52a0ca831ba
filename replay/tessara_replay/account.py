"""The simulated exchange's view of the account: cash, frozen amounts and holdings.

Rules (the strategy section of docs/replay.md explains them to strategy writers):

- A buy freezes its price x quantity plus the fees of that value (a market buy is priced at
  the day's upper limit, the most it can cost) out of the available cash; it is refused when
  the available cash does not cover that. Each fill pays its value and fees from the cash and
  unfreezes its share; a cancel or a rejection unfreezes the rest.
- A sell freezes the quantity out of the sellable holdings; it is refused when fewer shares
  are sellable. Each fill credits its value less fees to the cash, at once (it may pay for a
  later buy the same day).
- Settlement: what a fill buys is held at once but becomes sellable only under the settlement
  rule of the instrument's kind: stocks and funds the next trading day (T+1), futures at
  once (T+0). Funds that settle at once (bond, gold, cross-border, money-market funds) are
  named in SAME_DAY_FUNDS. Positions held at the start of the day are sellable.
- Fees per order, on its traded value so far (so partial fills pay no more minimum
  commission than one fill would): commission COMMISSION_RATE of the value, at least
  MIN_COMMISSION; stock sells also pay STAMP_DUTY_RATE of their value.
"""
from dataclasses import dataclass

COMMISSION_RATE = 0.00025
MIN_COMMISSION = 5.0
STAMP_DUTY_RATE = 0.0005
SAME_DAY_KINDS = frozenset({"future"})
SAME_DAY_FUNDS = frozenset()
START_CASH = 1_000_000.0


def fee(kind, is_buy, value):
    """The fees of an order whose fills so far are worth `value`."""
    if value <= 0:
        return 0.0
    total = max(MIN_COMMISSION, value * COMMISSION_RATE)
    if kind == "stock" and not is_buy:
        total += value * STAMP_DUTY_RATE
    return round(total, 2)


def settles_same_day(kind, market_code):
    """True when what is bought today may be sold today."""
    return str(kind).lower() in SAME_DAY_KINDS or (kind == "fund" and market_code in SAME_DAY_FUNDS)


@dataclass
class Holding:
    quantity: int = 0         # held now, whatever its settlement
    sellable: int = 0         # of it, may be sold today
    cost: float = 0.0         # average cost per share


@dataclass
class _Commitment:
    """What one open order holds back: cash (a buy) or shares (a sell)."""
    code: str
    kind: str
    is_buy: bool
    qty: int                  # not yet traded
    price: float              # the price a buy's remainder is frozen at
    traded_value: float = 0.0
    fees: float = 0.0


class Account:
    """Cash and holdings of the one trading account, kept by the simulated exchange."""

    def __init__(self, cash=START_CASH, holdings=None):
        self.cash = float(cash)
        self.holdings = {code: Holding(int(q), int(q), float(c))
                         for code, (q, c) in (holdings or {}).items()}
        self.fees_paid = 0.0
        self._open = {}          # order key -> _Commitment

    # what may be committed ---------------------------------------------------------------
    def frozen_cash(self):
        return round(float(sum(self._frozen(c) for c in self._open.values() if c.is_buy)), 2)

    def available_cash(self):
        return round(self.cash - self.frozen_cash(), 2)

    def frozen_of(self, key):
        """Cash the open buy `key` holds back (0 for anything else)."""
        c = self._open.get(key)
        return round(self._frozen(c), 2) if c is not None and c.is_buy else 0.0

    def sellable(self, code):
        """Shares of `code` a new sell may take: the sellable holding less open sells."""
        held = self.holdings.get(code)
        open_sells = sum(c.qty for c in self._open.values() if c.code == code and not c.is_buy)
        return (held.sellable if held else 0) - open_sells

    def _frozen(self, c):
        value = c.qty * c.price
        # the fee of the whole order less what its fills paid already
        return value + max(0.0, fee(c.kind, True, c.traded_value + value) - c.fees)

    # orders ----------------------------------------------------------------------------------
    def commit(self, key, code, kind, is_buy, qty, price):
        """Hold back what order `key` needs; returns None, or the refusal's text."""
        if is_buy:
            need = _Commitment(code, kind, True, qty, price)
            cost = self._frozen(need)
            available = self.available_cash()
            if cost > available + 1e-6:
                return ("insufficient cash: the order needs %.2f (price x quantity and fees), "
                        "%.2f is available" % (cost, available))
            self._open[key] = need
            return None
        can = self.sellable(code)
        if qty > can:
            return ("insufficient sellable holdings of %s: selling %d, %d sellable (bought "
                    "today settles the next trading day)" % (code, qty, max(can, 0)))
        self._open[key] = _Commitment(code, kind, False, qty, price)
        return None

    def fill(self, key, qty, price):
        """A fill of `qty` at `price` of the committed order `key`."""
        c = self._open[key]
        value = qty * price
        c.traded_value += value
        charge = fee(c.kind, c.is_buy, c.traded_value) - c.fees
        c.fees += charge
        self.fees_paid += charge
        c.qty -= qty
        held = self.holdings.setdefault(c.code, Holding())
        if c.is_buy:
            self.cash -= value + charge
            held.cost = (held.cost * held.quantity + value) / (held.quantity + qty)
            held.quantity += qty
            if settles_same_day(c.kind, c.code):
                held.sellable += qty
        else:
            self.cash += value - charge
            held.quantity -= qty
            held.sellable -= qty
        self.cash = round(self.cash, 2)
        if c.qty <= 0:
            del self._open[key]

    def release(self, key):
        """The order `key` is done (cancelled, rejected): free what it still holds back."""
        self._open.pop(key, None)
