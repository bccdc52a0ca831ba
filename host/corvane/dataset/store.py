"""On-disk store of a dataset: one Parquet file per table and a JSON file of metadata.

Every writer of a store goes through `save` (a new folder) or `replace` (an existing one, all
at once); every reader through `read`, which checks what it reads."""
import json
import os
import shutil
import tempfile
from collections import namedtuple

import pandas as pd

from .schema import TABLE_NAMES, StoreError, check_table, check_tables

META_FILE = "meta.json"
CALENDAR_FILE = "trading_dates.parquet"
MINUTES_FILE = "minute_bars.parquet"
# One-minute bars imported from a user's files; they take precedence over the others.
IMPORTED_MINUTES_FILE = "imported_minute_bars.parquet"


def store_files():
    """The names of the files a store may hold (the optional ones included)."""
    return [name + ".parquet" for name in TABLE_NAMES] + [CALENDAR_FILE, MINUTES_FILE,
                                                          IMPORTED_MINUTES_FILE, META_FILE]


def _write(frame, path):
    # pyarrow is imported on use: the in-memory dataset needs no Parquet support.
    import pyarrow as pa
    import pyarrow.parquet as pq
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path)


def _read(path):
    import pyarrow.parquet as pq
    return pq.read_table(path).to_pandas()


def save(dataset, path, include_minutes=False, progress=None):
    """Write every table of `dataset` under the folder `path` (created if needed).

    With `include_minutes` the one-minute bars of the whole window are written as well, so
    the store serves them without the generator. `progress(stage, done, total)` is told of
    each table written."""
    os.makedirs(path, exist_ok=True)
    report = progress or (lambda stage, done, total: None)
    for done, name in enumerate(TABLE_NAMES):
        report("writing", done, len(TABLE_NAMES) + 1)
        _write(dataset.tables[name], os.path.join(path, name + ".parquet"))
    report("writing", len(TABLE_NAMES), len(TABLE_NAMES) + 1)
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
    elif os.path.exists(os.path.join(path, IMPORTED_MINUTES_FILE)):
        os.remove(os.path.join(path, IMPORTED_MINUTES_FILE))
    with open(os.path.join(path, META_FILE), "w", encoding="utf-8") as f:
        json.dump(dataset.meta, f, indent=1, sort_keys=True)
    report("writing", len(TABLE_NAMES) + 1, len(TABLE_NAMES) + 1)


def replace(dataset, path, purpose="update"):
    """Make the store folder `path` hold `dataset`, all at once: it is written into a scratch
    folder beside `path`, read back with every check of `read`, and only then swapped into
    place. Files of the old folder that are not part of a store are carried over. On any
    failure (StoreError when the written store does not read back, OSError) the folder is
    left as it was and no scratch folder remains."""
    path = os.path.abspath(path)
    parent, name = os.path.split(path)
    scratch = tempfile.mkdtemp(prefix=".%s.%s-" % (name, purpose), dir=parent)
    try:
        save(dataset, scratch)
        read(scratch)
        own = set(store_files())
        for entry in os.listdir(path):
            source = os.path.join(path, entry)
            if entry not in own and os.path.isfile(source):
                shutil.copy2(source, os.path.join(scratch, entry))
        _swap(path, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _swap(path, scratch):
    """Put the folder `scratch` in the place of the folder `path`: the old one is renamed
    aside, the new one in, then the old one removed; when the second rename fails the old
    one is put back."""
    old = path + ".before-update"
    shutil.rmtree(old, ignore_errors=True)
    os.rename(path, old)
    try:
        os.rename(scratch, path)
    except OSError:
        os.rename(old, path)
        raise
    shutil.rmtree(old, ignore_errors=True)


def _read_checked(path, name):
    """The table in the file `name` of the store folder `path`; StoreError when the file is
    missing or is not a Parquet table."""
    file = os.path.join(path, name)
    if not os.path.isfile(file):
        raise StoreError("%s: missing" % name)
    try:
        return _read(file)
    except Exception as exc:     # pyarrow's errors for a file that is not Parquet
        text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise StoreError("%s: not a readable Parquet file (%s)" % (name, text)) from None


def _read_meta(path):
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


# What a store folder holds, in the order the dataset is built from it.
Contents = namedtuple("Contents", "tables trading_dates meta minute_bars imported_minute_bars")


def read(path):
    """The contents of a store written by `save` (build a Dataset from them with
    `Dataset(*contents)`, or `Dataset.load(path)`). Raises StoreError (a ValueError) naming the
    file and the defect when the folder does not hold a complete, well-formed store."""
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
    return Contents(tables, trading_dates, meta, minutes, imported)
