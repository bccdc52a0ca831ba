"""The data client: reference data, calendars and bars, answered from a dataset.

Tests choose the dataset with `set_dataset(ds)` (or `use_store(path)`) and read the number of
calls made to each operation from `call_counts` (cleared by `reset_call_counts()`).
"""
from . import decorators, futures, ostradatah_helper, utils, validators
from ._state import call_counts, get_dataset, reset_call_counts, set_dataset, use_store
from .client import (
    _is_st_stock, all_instruments, future_commission_margin, get_dividend, get_price,
    get_share_transformation, get_split, get_yield_curve, instruments, is_st_stock, is_suspended,
)
from .services import calendar
from .services.calendar import (
    get_next_trading_date, get_previous_trading_date, get_trading_dates, get_trading_dates_in_type,
)

# Operations published by service modules through export_as_api; importing the module on
# first use registers them.
_SERVICE_APIS = {"index_components": "index", "index_weights": "index"}


def __getattr__(name):
    module = _SERVICE_APIS.get(name)
    if module is None:
        raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))
    import importlib
    importlib.import_module(__name__ + ".services." + module)
    return globals()[name]
