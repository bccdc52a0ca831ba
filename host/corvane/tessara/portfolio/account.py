"""Account-side portfolio objects: the asset (funds) report and the account."""
from corvane.tessara.const import DEFAULT_ACCOUNT_TYPE
from corvane.tessara.model._record import ModelObject


class Asset(ModelObject):
    """Funds of one trading account as the terminal reports them."""
    _fields = ("account_id", "cash", "frozen_cash", "market_value",
               "total_value", "leaves_value", "init_leaves_value")

    def __init__(self, account_id, cash, frozen_cash, market_value,
                 total_value, leaves_value, init_leaves_value):
        self.account_id = account_id
        self.cash = cash
        self.frozen_cash = frozen_cash
        self.market_value = market_value
        self.total_value = total_value
        self.leaves_value = leaves_value
        self.init_leaves_value = init_leaves_value


class Account:
    """A framework trading account: its type, id, latest asset and positions."""

    def __init__(self, account_type=DEFAULT_ACCOUNT_TYPE.STOCK,
                 account_id=None, total_cash=0.0):
        if not isinstance(account_type, DEFAULT_ACCOUNT_TYPE):
            raise TypeError("account_type must be a DEFAULT_ACCOUNT_TYPE member")
        self.type = account_type
        self.account_id = account_id
        self.total_cash = total_cash
        self.asset = None
        self.positions = {}

    def __repr__(self):
        return "Account(type=%r, account_id=%r)" % (self.type, self.account_id)
