"""The framework's instrument model, built from one record of the data client's instrument table."""
import datetime

import pandas as pd

# Stand-in for "no delisting date".
_FAR_FUTURE = datetime.datetime(2999, 12, 31)


def _to_datetime(value, default=None):
    if value is None or (not isinstance(value, str) and pd.isna(value)):
        return default
    if isinstance(value, pd.Timestamp):
        return value.to_pydatetime()
    if isinstance(value, datetime.datetime):
        return value
    if isinstance(value, datetime.date):
        return datetime.datetime(value.year, value.month, value.day)
    return pd.Timestamp(value).to_pydatetime()


class Instrument(object):
    """Reference data of one instrument. Every column of the record becomes an attribute;
    `listed_date` and `de_listed_date` are datetime.datetime values (the latter far in the
    future for an instrument still listed)."""

    def __init__(self, record):
        self.__dict__.update(record)
        self.market_code = record["market_code"]
        self.type = record.get("type")
        self.symbol = record.get("symbol")
        self.listed_date = _to_datetime(record.get("listed_date"), datetime.datetime(1990, 1, 1))
        self.de_listed_date = _to_datetime(record.get("de_listed_date"), _FAR_FUTURE)

    @property
    def order_book_id(self):
        return self.market_code

    @property
    def exchange_suffix(self):
        return self.market_code.rsplit(".", 1)[-1]

    def listed_on(self, dt):
        """Whether the instrument is listed on the day of `dt`."""
        day = _to_datetime(dt)
        return self.listed_date <= day < self.de_listed_date

    def days_from_listed(self, dt):
        return (_to_datetime(dt).date() - self.listed_date.date()).days

    def __eq__(self, other):
        if not isinstance(other, Instrument):
            return NotImplemented
        return self.market_code == other.market_code

    def __hash__(self):
        return hash(self.market_code)

    def __repr__(self):
        return "Instrument(market_code={!r}, symbol={!r}, type={!r})".format(self.market_code, self.symbol, self.type)
