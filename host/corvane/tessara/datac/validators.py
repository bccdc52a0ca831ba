"""Argument checks and normalisation for the client's operations."""
import datetime

import six

from .utils import to_datetime


def ensure_string(value, name="value"):
    if not isinstance(value, six.string_types):
        raise ValueError("{}: expect a string, got {!r}".format(name, value))
    return value


def ensure_list_of_string(value, name="value"):
    if isinstance(value, six.string_types):
        return [value]
    values = list(value)
    for item in values:
        ensure_string(item, name)
    return values


def ensure_date_int(value):
    d = to_datetime(value)
    return d.year * 10000 + d.month * 100 + d.day


def ensure_date_str(value):
    return to_datetime(value).strftime("%Y-%m-%d")


def ensure_date_or_today_int(value):
    return ensure_date_int(value if value is not None else datetime.date.today())


def ensure_date_range(start_date, end_date, delta=datetime.timedelta(days=90)):
    """(start, end) as YYYYMMDD integers; a missing end is today, a missing start `delta`
    before the end."""
    end = to_datetime(end_date) if end_date is not None else datetime.datetime.combine(datetime.date.today(), datetime.time())
    start = to_datetime(start_date) if start_date is not None else end - delta
    if start > end:
        raise ValueError("invalid date range: start {} is after end {}".format(start.date(), end.date()))
    return ensure_date_int(start), ensure_date_int(end)


def check_items_in_container(items, container, name="value"):
    for item in ensure_list_of_string(items, name):
        if item not in container:
            raise ValueError("{}: invalid value {!r}, choose from {}".format(name, item, sorted(container)))


def ensure_order(items, order):
    """`items` sorted by their place in `order`."""
    rank = {item: i for i, item in enumerate(order)}
    return sorted(items, key=lambda item: rank.get(item, len(rank)))


def raise_for_no_panel(is_panel_removed=True):
    if is_panel_removed:
        raise RuntimeError("several codes with several fields need a panel, which this pandas lacks")
