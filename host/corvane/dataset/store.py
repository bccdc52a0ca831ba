"""On-disk store of a dataset: one Parquet file per table and a JSON file of metadata."""
import json
import os

import pandas as pd

META_FILE = "meta.json"
CALENDAR_FILE = "trading_dates.parquet"
MINUTES_FILE = "minute_bars.parquet"
# One-minute bars imported from a user's files; they take precedence over the others.
IMPORTED_MINUTES_FILE = "imported_minute_bars.parquet"


def _write(frame, path):
    # pyarrow is imported on use: the in-memory dataset needs no Parquet support.
    import pyarrow as pa
    import pyarrow.parquet as pq
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path)


def _read(path):
    import pyarrow.parquet as pq
    return pq.read_table(path).to_pandas()


def save(dataset, path, include_minutes=False):
    """Write every table of `dataset` under the folder `path` (created if needed).

    With `include_minutes` the one-minute bars of the whole window are written as well, so
    the store serves them without the generator."""
    from .dataset import TABLE_NAMES
    os.makedirs(path, exist_ok=True)
    for name in TABLE_NAMES:
        _write(dataset.tables[name], os.path.join(path, name + ".parquet"))
    _write(pd.DataFrame({"date": dataset.trading_dates}), os.path.join(path, CALENDAR_FILE))
    minutes = dataset.stored_minute_bars
    if include_minutes and minutes is None:
        minutes = dataset.minute_window_frame()
    if minutes is not None:
        _write(minutes, os.path.join(path, MINUTES_FILE))
    elif os.path.exists(os.path.join(path, MINUTES_FILE)):
        os.remove(os.path.join(path, MINUTES_FILE))
    if dataset.imported_minute_bars is not None:
        _write(dataset.imported_minute_bars, os.path.join(path, IMPORTED_MINUTES_FILE))
    with open(os.path.join(path, META_FILE), "w", encoding="utf-8") as f:
        json.dump(dataset.meta, f, indent=1, sort_keys=True)


def load(path):
    """Read a dataset written by `save`."""
    from .dataset import TABLE_NAMES, Dataset
    with open(os.path.join(path, META_FILE), encoding="utf-8") as f:
        meta = json.load(f)
    tables = {name: _read(os.path.join(path, name + ".parquet")) for name in TABLE_NAMES}
    trading_dates = pd.DatetimeIndex(_read(os.path.join(path, CALENDAR_FILE))["date"], name="trading_date")
    minutes_path = os.path.join(path, MINUTES_FILE)
    minutes = _read(minutes_path) if os.path.exists(minutes_path) else None
    imported_path = os.path.join(path, IMPORTED_MINUTES_FILE)
    imported = _read(imported_path) if os.path.exists(imported_path) else None
    return Dataset(tables, trading_dates, meta, minute_bars=minutes, imported_minute_bars=imported)
