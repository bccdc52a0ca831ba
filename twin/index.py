"""Index constituents and weights on one day, through the data gateway."""
import warnings
import datetime

import pandas as pd

from corvane import gid
from corvane.data.wkclient.commons import ApiRspCode
from corvane.tessara.utils.datetime_func import convert_dt_to_date_str

from ..decorators import export_as_api
from ..ostradatah_helper import ostradatah_serialize, list_to_csv
from ..validators import (ensure_date_range, ensure_date_or_today_int, ensure_list_of_string,
                          check_items_in_container, ensure_order, raise_for_no_panel, ensure_date_str,
                          ensure_date_int, ensure_string)
from ..services.calendar import get_trading_dates, get_previous_trading_date, get_trading_dates_in_type
from ..utils import is_panel_removed, to_datetime

# The outside names: (name, module it comes from, attribute or None for the module itself or
# "*" for a name of the star import, expressions whose import-time objects a native path keys on,
# callbacks that read it). The native module carries the same table.
_outside_names = (
    ('warnings', 'warnings', None, (), ()),
    ('datetime', 'datetime', None, (), ()),
    ('pd', 'pandas', None, (), ()),
    ('gid', 'corvane', 'gid', (), ()),
    ('ApiRspCode', 'corvane.data.wkclient.commons', 'ApiRspCode', (), ()),
    ('convert_dt_to_date_str', 'corvane.tessara.utils.datetime_func', 'convert_dt_to_date_str', (), ()),
    ('export_as_api', '..decorators', 'export_as_api', (), ()),
    ('ostradatah_serialize', '..ostradatah_helper', 'ostradatah_serialize', (), ()),
    ('list_to_csv', '..ostradatah_helper', 'list_to_csv', (), ()),
    ('ensure_date_range', '..validators', 'ensure_date_range', (), ()),
    ('ensure_date_or_today_int', '..validators', 'ensure_date_or_today_int', (), ()),
    ('ensure_list_of_string', '..validators', 'ensure_list_of_string', (), ()),
    ('check_items_in_container', '..validators', 'check_items_in_container', (), ()),
    ('ensure_order', '..validators', 'ensure_order', (), ()),
    ('raise_for_no_panel', '..validators', 'raise_for_no_panel', (), ()),
    ('ensure_date_str', '..validators', 'ensure_date_str', (), ()),
    ('ensure_date_int', '..validators', 'ensure_date_int', (), ()),
    ('ensure_string', '..validators', 'ensure_string', (), ()),
    ('get_trading_dates', '..services.calendar', 'get_trading_dates', (), ()),
    ('get_previous_trading_date', '..services.calendar', 'get_previous_trading_date', (), ()),
    ('get_trading_dates_in_type', '..services.calendar', 'get_trading_dates_in_type', (), ()),
    ('is_panel_removed', '..utils', 'is_panel_removed', (), ()),
    ('to_datetime', '..utils', 'to_datetime', (), ()),
)

# The native module lists the fast paths it uses here; this plain-Python module has none.
fast_paths = ()


# The documentation texts, set explicitly (the compiler of newer interpreters dedents docstrings).
_DOC_TAIL = ("\n\n"
             "    :param market_code: 指数代码\n"
             "    :param date:  日期\n"
             "    :return: 指数成股份的market_code list or None\n"
             "    ")


def _day_string(date):
    if date is None:
        return datetime.date.today().isoformat()
    return date.strftime("%Y-%m-%d")


def index_components(market_code, date=None):
    d = _day_string(date)
    data, code, msg = gid.index_con_his([market_code], start_time=d, end_time=d)
    return None if data.empty else data


def index_weights(market_code, date=None):
    d = _day_string(date)
    data, code, msg = gid.get_index_weight_stk(market_code, start_time=d, end_time=d)
    return None if data.empty else data


index_components.__doc__ = "获取指数成股份" + _DOC_TAIL
index_weights.__doc__ = "获取指数成股份权重" + _DOC_TAIL
index_components = export_as_api(index_components)
index_weights = export_as_api(index_weights)
