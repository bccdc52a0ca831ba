"""Serialisation of arguments for the remote service."""
import datetime
import json

import numpy as np
import pandas as pd
import six


def list_to_csv(values):
    """Comma-joined text of a value or a list of values ("a,b,c")."""
    if values is None:
        return ""
    if isinstance(values, six.string_types):
        return values
    return ",".join(str(v) for v in values)


def _plain(value):
    if isinstance(value, (pd.Timestamp, datetime.datetime)):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    if isinstance(value, datetime.date):
        return value.isoformat()
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, pd.DataFrame):
        return json.loads(value.to_json(orient="split", date_format="iso"))
    if isinstance(value, (list, tuple, set)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    return value


def ostradatah_serialize(value):
    """JSON text of a request argument: dates as text, numpy scalars as numbers, frames in
    split orientation."""
    return json.dumps(_plain(value), ensure_ascii=False, sort_keys=True)
