from typing import Any

from corvane.tessara import datac as ostradatac
from corvane.tessara.const import (
    COMMISSION_TYPE as COMMISSION_TYPE,
    TRADING_CALENDAR_TYPE as TRADING_CALENDAR_TYPE
)
from corvane.tessara.core.events import EVENT as EVENT
from corvane.tessara.data.base_data_source.data_source import (
    BaseDataSource as BaseDataSource
)
from corvane.tessara.data.base_data_source.storages import (
    FuturesTradingParameters as FuturesTradingParameters,
    InstrumentStore as InstrumentStore
)
import corvane.tessara.data.trading_dates_mixin
from corvane.tessara.data.trading_dates_mixin import (
    TradingDatesMixin as TradingDatesMixin
)
from corvane.tessara.environment import Environment as Environment
import corvane.tessara.interface
from corvane.tessara.interface import (
    AbstractDataSource as AbstractDataSource
)
from corvane.tessara.mod.mod_quant_data.data_sources.resample_helper import (
    resample_bars as resample_bars
)
from corvane.tessara.model.instrument import Instrument as Instrument
from corvane.tessara.utils.datetime_func import (
    convert_dt_to_date_str as convert_dt_to_date_str,
    convert_dt_to_int as convert_dt_to_int,
    convert_int_to_datetime as convert_int_to_datetime
)
from corvane.tessara.utils.functools import lru_cache as lru_cache


fast_paths: tuple[str, ...]

system_log: Any

string_types: tuple[type, ...]

_outside_names: tuple[tuple[str, str, str | None, tuple[str, ...], tuple[str, ...]], ...]

class OstraDataDataSource(corvane.tessara.data.trading_dates_mixin.TradingDatesMixin, corvane.tessara.interface.AbstractDataSource):
    def __init__(self) -> None: ...

    def get_trading_calendars(self) -> object: ...

    def get_instruments(self, id_or_syms: object | None = None, types: object | None = None) -> object: ...

    def is_st_stock(self, market_code: object | None, dates: object | None) -> object: ...

    def is_suspended(self, market_code: object | None, dates: object | None) -> object: ...

    def get_dividend(self, instrument: object | None) -> object: ...

    def get_yield_curve(self, start_date: object | None, end_date: object | None, tenor: object | None = None) -> object: ...

    def history_bars(self, instrument: object | None, bar_count: object | None, frequency: object | None, fields: object | None, dt: object | None, skip_suspended: object | None = True, include_now: object | None = False, adjust_type: object | None = 'pre', adjust_orig: object | None = None) -> object: ...

    def get_trading_minutes_for(self, instrument: object | None, trading_dt: object | None) -> object: ...

    def get_bar(self, instrument: object | None, dt: object | None, frequency: object | None) -> object: ...

    def get_last_price(self, instrument: object | None, dt: object | None) -> object: ...

    def get_commission_info(self, instrument: object | None) -> object: ...

    def current_snapshot(self, instrument: object | None, frequency: object | None, dt: object | None) -> object: ...

    def get_settle_price(self, instrument: object | None, date: object | None) -> object: ...

    def get_split(self, instrument: object | None) -> object: ...

    def available_data_range(self, frequency: object | None) -> object: ...

    def get_share_transformation(self, market_code: object | None) -> object: ...

    def get_futures_trading_parameters(self, instrument: object | None, dt: object | None) -> object: ...
