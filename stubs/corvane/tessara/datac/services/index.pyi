import datetime

import pandas

from corvane import gid as gid
from corvane.data.wkclient.commons import ApiRspCode as ApiRspCode
from corvane.tessara.datac.decorators import (
    export_as_api as export_as_api
)
from corvane.tessara.datac.ostradatah_helper import (
    list_to_csv as list_to_csv,
    ostradatah_serialize as ostradatah_serialize
)
from corvane.tessara.datac.services.calendar import (
    get_previous_trading_date as get_previous_trading_date,
    get_trading_dates as get_trading_dates,
    get_trading_dates_in_type as get_trading_dates_in_type
)
from corvane.tessara.datac.utils import (
    is_panel_removed as is_panel_removed,
    to_datetime as to_datetime
)
from corvane.tessara.datac.validators import (
    check_items_in_container as check_items_in_container,
    ensure_date_int as ensure_date_int,
    ensure_date_or_today_int as ensure_date_or_today_int,
    ensure_date_range as ensure_date_range,
    ensure_date_str as ensure_date_str,
    ensure_list_of_string as ensure_list_of_string,
    ensure_order as ensure_order,
    ensure_string as ensure_string,
    raise_for_no_panel as raise_for_no_panel
)
from corvane.tessara.utils.datetime_func import (
    convert_dt_to_date_str as convert_dt_to_date_str
)


fast_paths: tuple[str, ...]

_outside_names: tuple[tuple[str, str, str | None, tuple[str, ...], tuple[str, ...]], ...]

def index_components(market_code: str, date: datetime.date | None = None) -> pandas.DataFrame | None:
    """
    获取指数成股份

        :param market_code: 指数代码
        :param date:  日期
        :return: 指数成股份的market_code list or None
    """

def index_weights(market_code: str, date: datetime.date | None = None) -> pandas.DataFrame | None:
    """
    获取指数成股份权重

        :param market_code: 指数代码
        :param date:  日期
        :return: 指数成股份的market_code list or None
    """
