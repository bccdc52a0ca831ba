"""The recorder: terminal callbacks, in arrival order, into append-only Arrow IPC files.

Files: `<directory>/<YYYY-MM-DD>.<NNN>.arrows`, one Arrow IPC stream per local day and
recorder session (NNN counts up, so a restarted process never touches an earlier file).
Each stream's schema metadata holds the format version, the day and the strategy's run
configuration. Rows are columns `seq` (arrival order), `arrival_ns` (local wall-clock time,
nanoseconds since 1970-01-01 00:00 local), `callback` (index into the callback names in the
metadata), `missing` (bit i set: the record had no attribute i of its layout) and `payload`,
a dense union with one struct child per record layout.

Rows are kept in memory and written as one record batch when `batch_rows` have arrived,
when the oldest waiting row has waited `flush_seconds` (process time, checked as callbacks
arrive), when a row of the next day arrives, and on close. Writing happens on the callback that fills the batch, so no
callback waits longer than one batch write, and a batch is either wholly in the file or
(killed mid-write) an incomplete tail that readers drop. Each batch is fsynced by default,
so a machine crash too loses at most the batch being written and those not yet written.
"""
import atexit
import datetime as _dt
import json
import logging
import os
import threading
import time
import weakref
from time import monotonic_ns as _monotonic_ns
from time import time_ns as _time_ns

import numpy as np
import pyarrow as pa

from . import codec, layouts

FORMAT_VERSION = 1
FORMAT_KEY = b"corvane.recording.format"
VERSION_KEY = b"corvane.recording.version"
DAY_KEY = b"corvane.recording.day"
CONFIG_KEY = b"corvane.recording.config"
CALLBACKS_KEY = b"corvane.recording.callbacks"
FORMAT_NAME = b"corvane terminal callbacks"
SUFFIX = ".arrows"
log = logging.getLogger(__name__)
DAY_NS = 86_400 * 1_000_000_000
_EPOCH = _dt.datetime(1970, 1, 1)


def wall_clock_ns():
    """Local wall-clock time in nanoseconds since 1970-01-01 00:00 local time."""
    now = time.time_ns()
    return now + utc_offset_ns(now)


def utc_offset_ns(now_ns):
    return time.localtime(now_ns // 1_000_000_000).tm_gmtoff * 1_000_000_000


def ns_of_datetime(when):
    """`arrival_ns` of a naive local date-time."""
    delta = when - _EPOCH
    return (delta.days * 86400 + delta.seconds) * 1_000_000_000 + delta.microseconds * 1000


def datetime_of_ns(ns):
    return _EPOCH + _dt.timedelta(microseconds=ns // 1000)


def _schema():
    children = [pa.field(layout.name, pa.struct([codec.field(n, k)
                                                 for n, k in layouts.columns(layout)]))
                for layout in layouts.LAYOUTS]
    payload = pa.dense_union(children, type_codes=list(range(len(children))))
    return pa.schema([("seq", pa.uint64()), ("arrival_ns", pa.int64()), ("callback", pa.int16()),
                      ("missing", pa.uint64()), ("payload", payload)])


SCHEMA = _schema()
# The union child of a layout without rows in a batch: built once.
_EMPTY = [codec.Encoder().struct([], layouts.columns(layout)) for layout in layouts.LAYOUTS]


def config_snapshot(config):
    """What the bridge reads of its run configuration (`config.base`), as JSON-able data."""
    base = getattr(config, "base", None)
    out = {}
    for name in ("md_type", "order_way", "algo_account"):
        try:
            out[name] = _jsonable(getattr(base, name))
        except Exception:        # an attribute the bridge finds missing stays missing
            pass
    try:
        out["accounts"] = {str(k): _jsonable(v) for k, v in base.accounts.items()}
    except Exception:
        pass
    try:
        out["trading_calendar"] = sorted(str(_day(d)) for d in base.trading_calendar)
    except Exception:
        pass
    return out


def _day(value):
    if hasattr(value, "date") and callable(value.date):
        return value.date()
    return str(value)[:10]


def _jsonable(value):
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return getattr(value, "name", None) or str(value)


class Recorder:
    """Appends callback rows to the day's file in batches. Thread-safe: the terminal's
    callback and timer threads may add rows at the same time."""

    def __init__(self, directory, config=None, batch_rows=4096, flush_seconds=1.0,
                 clock=None, fsync=True, compression="lz4"):
        self.directory = os.fspath(directory)
        os.makedirs(self.directory, exist_ok=True)
        self.config = {} if config is None else config
        self.batch_rows = int(batch_rows)
        self._flush_ns = int(flush_seconds * 1e9)
        # Without a clock of its own the recorder reads the system time and adds the local
        # UTC offset, looked up again at every batch write (so within a batch of a change).
        self._clock = clock
        self._offset_ns = utc_offset_ns(time.time_ns())
        self._fsync = fsync
        self._options = pa.ipc.IpcWriteOptions(compression=compression)
        self._lock = threading.Lock()
        self._rows = []
        self._day_end_ns = 0         # a row arriving at or after this time flushes ...
        self._due_ns = 0             # ... and so does one added at or after this monotonic time
        self._seq = 0
        self._file = self._writer = self._day = None
        self.paths = []              # files written, oldest first
        self.rows_written = 0
        self.batches_written = 0
        self.dropped_values = 0      # values that did not fit their column (kept as null)
        self.error = None            # the failure that stopped the recording, if one did
        self.closed = False
        atexit.register(_close_at_exit, weakref.ref(self))

    # the callback side -------------------------------------------------------------------
    def add(self, callback, values, missing=0):
        """One row: callback index (layouts.CALLBACK_NAMES), the attribute tuple of its
        layout, the bit mask of attributes the record lacked."""
        clock = self._clock
        t = _time_ns() + self._offset_ns if clock is None else clock()
        waited = _monotonic_ns()
        with self._lock:
            rows = self._rows
            if not rows:
                self._day_end_ns = (t // DAY_NS + 1) * DAY_NS
                self._due_ns = waited + self._flush_ns
            rows.append((t, callback, values, missing))
            if len(rows) >= self.batch_rows or waited >= self._due_ns or t >= self._day_end_ns:
                self._flush_safely()

    def flush(self):
        with self._lock:
            self._flush_safely()

    def close(self):
        """Write what is waiting and end the current file."""
        with self._lock:
            if self.closed:
                return
            self._flush_safely()
            try:
                self._end_file()
            except Exception as exc:
                self._stop(exc)
            self.closed = True

    def _flush_safely(self):
        """A failing write (a full disk, a removed folder) stops the recording, never the
        callback: the terminal's session matters more than its record."""
        if self.error is not None or self.closed:
            self._rows = []
            return
        try:
            self._flush_locked()
        except Exception as exc:
            self._stop(exc)

    def _stop(self, exc):
        self.error = exc
        self._rows = []
        log.warning("recording into %s stopped: %s: %s", self.directory, type(exc).__name__, exc)
        try:
            if self._file is not None:
                self._file.close()
        except Exception:
            pass
        self._writer = self._file = self._day = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # writing -----------------------------------------------------------------------------
    def _flush_locked(self):
        rows, self._rows = self._rows, []
        self._offset_ns = utc_offset_ns(time.time_ns())
        start = 0
        while start < len(rows):          # one batch per local day the rows fall on
            day = rows[start][0] // DAY_NS
            end = start
            while end < len(rows) and rows[end][0] // DAY_NS == day:
                end += 1
            self._write(day, rows[start:end])
            start = end

    def _write(self, day, rows):
        if self._day != day:
            self._end_file()
            self._start_file(day)
        batch = self._batch(rows)
        self._writer.write_batch(batch)
        self._file.flush()
        if self._fsync:
            os.fsync(self._file.fileno())
        self.rows_written += len(rows)
        self.batches_written += 1

    def _batch(self, rows):
        n = len(rows)
        arrival, callbacks, values, missing = zip(*rows)
        codes = list(map(layouts.LAYOUT_OF.__getitem__, callbacks))
        children = [[] for _ in layouts.LAYOUTS]
        offsets = []
        for code, v in zip(codes, values):
            child = children[code]
            offsets.append(len(child))
            child.append(v)
        encoder = codec.Encoder()
        arrays = [encoder.struct(child, layouts.columns(layout)) if child else empty
                  for child, layout, empty in zip(children, layouts.LAYOUTS, _EMPTY)]
        self.dropped_values += encoder.dropped
        payload = pa.UnionArray.from_dense(
            pa.array(codes, type=pa.int8()), pa.array(offsets, type=pa.int32()), arrays,
            [layout.name for layout in layouts.LAYOUTS], list(range(len(arrays))))
        seq = pa.array(np.arange(self._seq, self._seq + n, dtype=np.uint64))
        self._seq += n
        return pa.RecordBatch.from_arrays(
            [seq, pa.array(arrival, type=pa.int64()), pa.array(callbacks, type=pa.int16()),
             pa.array(missing, type=pa.uint64()), payload], schema=SCHEMA)

    def _start_file(self, day):
        date = (_EPOCH + _dt.timedelta(days=day)).date()
        for n in range(1000):
            path = os.path.join(self.directory, "%s.%03d%s" % (date, n, SUFFIX))
            try:
                f = open(path, "xb", buffering=0)
                break
            except FileExistsError:
                continue
        else:
            raise OSError("no free file name for %s in %s" % (date, self.directory))
        meta = {FORMAT_KEY: FORMAT_NAME, VERSION_KEY: str(FORMAT_VERSION).encode(),
                DAY_KEY: str(date).encode(),
                CONFIG_KEY: json.dumps(self.config, sort_keys=True).encode(),
                CALLBACKS_KEY: json.dumps(layouts.CALLBACK_NAMES).encode()}
        self._file = f
        self._writer = pa.ipc.new_stream(f, SCHEMA.with_metadata(meta), options=self._options)
        self._day = day
        self.paths.append(path)

    def _end_file(self):
        if self._writer is not None:
            self._writer.close()          # the end-of-stream marker: the file is complete
            self._file.close()
            self._writer = self._file = self._day = None


def _close_at_exit(ref):
    recorder = ref()
    if recorder is not None:
        recorder.close()
