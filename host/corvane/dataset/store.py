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


def _read_checked(path, name):
    """The table in the file `name` of the store folder `path`; StoreError when the file is
    missing or is not a Parquet table."""
    from .schema import StoreError
    file = os.path.join(path, name)
    if not os.path.isfile(file):
        raise StoreError("%s: missing" % name)
    try:
        return _read(file)
    except Exception as exc:     # pyarrow's errors for a file that is not Parquet
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise StoreError("%s: not a readable Parquet file (%s)" % (name, text)) from None


def _read_meta(path):
    from .schema import StoreError
    try:
        with open(os.path.join(path, META_FILE), encoding="utf-8") as f:
            meta = json.load(f)
    except FileNotFoundError:
        raise StoreError("%s: missing" % META_FILE) from None
    except (OSError, ValueError) as exc:
        raise StoreError("%s: %s" % (META_FILE, exc)) from None
    if not isinstance(meta, dict):
        raise StoreError("%s: not an object" % META_FILE)
    return meta


def load(path):
    """Read a dataset written by `save`. Raises StoreError (a ValueError) naming the file and
    the defect when the folder does not hold a complete, well-formed store."""
    from .dataset import TABLE_NAMES, Dataset
    from .schema import StoreError, check_table, check_tables
    meta = _read_meta(path)
    tables = {name: _read_checked(path, name + ".parquet") for name in TABLE_NAMES}
    calendar = _read_checked(path, CALENDAR_FILE)
    if "date" not in calendar.columns or not pd.api.types.is_datetime64_dtype(calendar["date"].dtype):
        raise StoreError("%s: no column 'date' of dates" % CALENDAR_FILE)
    trading_dates = pd.DatetimeIndex(calendar["date"], name="trading_date")
    check_tables(tables, trading_dates, meta)
    minutes = None
    if os.path.exists(os.path.join(path, MINUTES_FILE)):
        minutes = _read_checked(path, MINUTES_FILE)
        check_table("minute_bars", minutes)
    imported = None
    if os.path.exists(os.path.join(path, IMPORTED_MINUTES_FILE)):
        imported = _read_checked(path, IMPORTED_MINUTES_FILE)
        try:
            check_table("minute_bars", imported)
        except StoreError as exc:
            raise StoreError(str(exc).replace(MINUTES_FILE, IMPORTED_MINUTES_FILE)) from None
    return Dataset(tables, trading_dates, meta, minute_bars=minutes, imported_minute_bars=imported)
