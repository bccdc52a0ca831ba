"""The framework's data-source interface: every query a data source may answer.

A data source overrides the queries it serves; the others raise NotImplementedError.
"""


class AbstractDataSource(object):

    def get_trading_calendars(self):
        """Mapping of TRADING_CALENDAR_TYPE member to a DatetimeIndex of trading days."""
        raise NotImplementedError

    def get_instruments(self, id_or_syms=None, types=None):
        """Instruments by id or symbol, or of the given types, or all."""
        raise NotImplementedError

    def get_dividend(self, instrument):
        raise NotImplementedError

    def get_split(self, instrument):
        raise NotImplementedError

    def get_share_transformation(self, market_code):
        raise NotImplementedError

    def get_yield_curve(self, start_date, end_date, tenor=None):
        raise NotImplementedError

    def get_bar(self, instrument, dt, frequency):
        raise NotImplementedError

    def get_settle_price(self, instrument, date):
        raise NotImplementedError

    def get_last_price(self, instrument, dt):
        raise NotImplementedError

    def history_bars(self, instrument, bar_count, frequency, fields, dt, skip_suspended=True,
                     include_now=False, adjust_type="pre", adjust_orig=None):
        raise NotImplementedError

    def history_ticks(self, instrument, count, dt):
        raise NotImplementedError

    def current_snapshot(self, instrument, frequency, dt):
        raise NotImplementedError

    def get_trading_minutes_for(self, instrument, trading_dt):
        raise NotImplementedError

    def available_data_range(self, frequency):
        raise NotImplementedError

    def get_commission_info(self, instrument):
        raise NotImplementedError

    def get_futures_trading_parameters(self, instrument, dt):
        raise NotImplementedError

    def get_merge_ticks(self, market_code_list, trading_date, last_dt=None):
        raise NotImplementedError

    def is_suspended(self, market_code, dates):
        raise NotImplementedError

    def is_st_stock(self, market_code, dates):
        raise NotImplementedError
