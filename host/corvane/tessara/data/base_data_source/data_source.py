"""The framework's base data source; the historical data source reads its instrument types."""
from corvane.tessara.interface import AbstractDataSource


class BaseDataSource(AbstractDataSource):
    # Instrument types loaded into instrument stores, in this order.
    DEFAULT_INS_TYPES = ("stock", "fund", "index", "Future")
