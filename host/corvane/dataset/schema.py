"""The columns a stored dataset must have, and the check of a loaded store against them.

A store that reads as Parquet can still be unusable: a column missing or of the wrong kind,
rows about instruments the instruments table does not hold, an empty calendar, metadata
without its dates. `check_tables` finds the first such defect and raises StoreError with a
one-line description, before anything is built from the tables.
"""
import pandas as pd
from pandas.api import types as ptypes

from .generator import TENORS

# The tables a store holds, one Parquet file each (NAME.parquet), in the order they are written.
TABLE_NAMES = ["instruments", "day_bars", "suspensions", "st_periods", "dividends", "splits",
               "share_transformations", "commission_margin", "trading_parameters", "yield_curve",
               "index_constituents", "index_weights"]


class StoreError(ValueError):
    """A data store that cannot be served from; the message names the file and the defect."""


TEXT, DATE, NUMBER, BOOL = "text", "date", "number", "bool"

_DIVIDEND = {"market_code": TEXT, "declaration_announcement_date": DATE, "book_closure_date": DATE,
             "ex_dividend_date": DATE, "payable_date": DATE, "dividend_cash_before_tax": NUMBER,
             "round_lot": NUMBER}
COLUMNS = {
    "instruments": {"market_code": TEXT, "symbol": TEXT, "type": TEXT, "exchange": TEXT,
                    "listed_date": DATE, "de_listed_date": DATE, "tick_size": NUMBER,
                    "round_lot": NUMBER, "contract_multiplier": NUMBER,
                    "underlying_symbol": TEXT, "trading_hours": TEXT, "total_shares": NUMBER},
    "day_bars": {"market_code": TEXT, "date": DATE, "open": NUMBER, "close": NUMBER,
                 "high": NUMBER, "low": NUMBER, "volume": NUMBER, "total_turnover": NUMBER,
                 "prev_close": NUMBER, "limit_up": NUMBER, "limit_down": NUMBER,
                 "ex_factor": NUMBER, "open_interest": NUMBER, "settlement": NUMBER,
                 "prev_settlement": NUMBER},
    "suspensions": {"market_code": TEXT, "date": DATE},
    "st_periods": {"market_code": TEXT, "start_date": DATE, "end_date": DATE},
    "dividends": _DIVIDEND,
    "splits": {"market_code": TEXT, "ex_dividend_date": DATE, "book_closure_date": DATE,
               "payable_date": DATE, "split_coefficient_from": NUMBER,
               "split_coefficient_to": NUMBER},
    "share_transformations": {"predecessor": TEXT, "successor": TEXT, "effective_date": DATE,
                              "share_conversion_ratio": NUMBER, "predecessor_delisted": BOOL,
                              "discretionary_execution": BOOL,
                              "predecessor_delisted_date": DATE, "event": TEXT},
    "commission_margin": {"market_code": TEXT, "hedge_flag": TEXT, "commission_type": TEXT,
                          "open_commission_ratio": NUMBER, "close_commission_ratio": NUMBER,
                          "close_commission_today_ratio": NUMBER, "long_margin_ratio": NUMBER,
                          "short_margin_ratio": NUMBER},
    "trading_parameters": {"market_code": TEXT, "trading_date": DATE,
                           "long_margin_ratio": NUMBER, "short_margin_ratio": NUMBER,
                           "commission_type": TEXT, "open_commission": NUMBER,
                           "close_commission": NUMBER, "close_commission_today": NUMBER},
    "yield_curve": {"date": DATE, **{tenor: NUMBER for tenor in TENORS}},
    "index_constituents": {"index_code": TEXT, "market_code": TEXT, "in_date": DATE,
                           "out_date": DATE},
    "index_weights": {"index_code": TEXT, "trade_date": DATE, "market_code": TEXT,
                      "weight": NUMBER},
    "minute_bars": {"market_code": TEXT, "datetime": DATE, "open": NUMBER, "close": NUMBER,
                    "high": NUMBER, "low": NUMBER, "volume": NUMBER, "total_turnover": NUMBER,
                    "open_interest": NUMBER, "trading_date": DATE},
}
# Columns whose every value must name a row of the instruments table.
INSTRUMENT_REFERENCES = {
    "day_bars": ("market_code",), "suspensions": ("market_code",), "st_periods": ("market_code",),
    "dividends": ("market_code",), "splits": ("market_code",),
    "share_transformations": ("predecessor", "successor"),
    "commission_margin": ("market_code",), "trading_parameters": ("market_code",),
    "index_constituents": ("index_code", "market_code"),
    "index_weights": ("index_code", "market_code"),
}
# Columns that may not hold missing values.
KEYS = {"instruments": ("market_code", "type", "tick_size", "round_lot", "trading_hours"),
        "day_bars": ("market_code", "date", "open", "close", "high", "low", "volume")}
META_KEYS = ("seed", "start", "end")


def _kind_ok(series, kind):
    dtype = series.dtype
    if kind == DATE:
        return ptypes.is_datetime64_dtype(dtype)
    if kind == NUMBER:
        return ptypes.is_numeric_dtype(dtype) and not ptypes.is_bool_dtype(dtype)
    if kind == BOOL:
        return ptypes.is_bool_dtype(dtype) or (
            ptypes.is_object_dtype(dtype) and ptypes.infer_dtype(series, skipna=True) in ("boolean", "empty"))
    return (ptypes.is_string_dtype(dtype) or ptypes.is_object_dtype(dtype)) and \
        ptypes.infer_dtype(series, skipna=True) in ("string", "empty")


def check_table(name, frame):
    file = name + ".parquet"
    for column, kind in COLUMNS[name].items():
        if column not in frame.columns:
            raise StoreError("%s: no column %r" % (file, column))
        if not _kind_ok(frame[column], kind):
            raise StoreError("%s: column %r holds %s, not %s values"
                             % (file, column, frame[column].dtype, kind))
    for column in KEYS.get(name, ()):
        if frame[column].isna().any():
            raise StoreError("%s: column %r has missing values" % (file, column))


def check_tables(tables, trading_dates, meta):
    """Raise StoreError for the first defect of a loaded store."""
    missing = [k for k in META_KEYS if k not in meta]
    if missing:
        raise StoreError("meta.json: no %s" % ", ".join(missing))
    try:
        int(meta["seed"])
        start, end = pd.Timestamp(meta["start"]), pd.Timestamp(meta["end"])
    except (TypeError, ValueError) as exc:
        raise StoreError("meta.json: %s" % exc) from None
    if start > end:
        raise StoreError("meta.json: start %s is after end %s" % (start.date(), end.date()))
    if not len(trading_dates) or not trading_dates.is_monotonic_increasing:
        raise StoreError("trading_dates.parquet: the calendar is empty or out of order")
    for name, frame in tables.items():
        check_table(name, frame)
    known = set(tables["instruments"]["market_code"])
    if not known:
        raise StoreError("instruments.parquet: no instruments")
    if len(known) != len(tables["instruments"]):
        raise StoreError("instruments.parquet: an instrument has more than one row")
    for name, columns in INSTRUMENT_REFERENCES.items():
        for column in columns:
            unknown = set(tables[name][column].dropna()) - known
            if unknown:
                raise StoreError("%s.parquet: %s %s has no row in instruments.parquet"
                                 % (name, column, sorted(unknown)[0]))
