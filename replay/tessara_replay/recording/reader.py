"""Reading a recording back: the calls of one day in recorded order, with records that
carry exactly the recorded attributes.

Every problem with the input is a `RecordingError` whose text names the file and what is
wrong with it: no such folder, no recording files, a file that is not an Arrow IPC stream or
not a recording, a newer format version, a file cut off in the middle of a batch (a recorder
killed while writing; `salvage=True` keeps the complete batches before the cut).
"""
import glob
import json
import os
from dataclasses import dataclass

import pyarrow as pa

from . import codec, layouts
from .writer import CALLBACKS_KEY, CONFIG_KEY, DAY_KEY, FORMAT_KEY, FORMAT_NAME, FORMAT_VERSION, SUFFIX, VERSION_KEY


class RecordingError(Exception):
    """A recording that cannot be read, with the file and the reason."""


@dataclass
class Call:
    seq: int
    arrival_ns: int
    callback: str            # a strategy method name, or "timer"
    args: tuple              # the recorded arguments; for a timer, (method name,)


@dataclass
class Recording:
    day: str                 # YYYY-MM-DD
    config: dict             # what the bridge read of its run configuration
    calls: list
    files: list
    salvaged: dict           # file -> number of complete batches kept before a cut

    def __len__(self):
        return len(self.calls)


class RecordedRecord:
    """A terminal record rebuilt from a recording; attributes the original lacked are
    absent here too."""
    __slots__ = ()
    _fields = ()

    def __repr__(self):
        body = ", ".join("%s=%r" % (f, getattr(self, f)) for f in self._fields if hasattr(self, f))
        return "%s(%s)" % (type(self).__name__, body)


def _record_class(layout):
    fields = tuple(name for name, _ in layout.record)
    name = "Recorded" + "".join(p.title() for p in layout.name.split("_"))
    return type(name, (RecordedRecord,), {"__slots__": fields, "_fields": fields})


_RECORD_CLASSES = {layout.name: _record_class(layout) for layout in layouts.LAYOUTS
                   if layout.record is not None}
_LAYOUTS_BY_NAME = {layout.name: layout for layout in layouts.LAYOUTS}


def recording_files(path):
    """The recording files at `path` (a folder or one file), oldest first."""
    if not os.path.exists(path):
        raise RecordingError("%s: no such recording (no file or folder of that name)" % path)
    if os.path.isfile(path):
        return [path]
    files = sorted(glob.glob(os.path.join(glob.escape(path), "*" + SUFFIX)))
    if not files:
        raise RecordingError("%s: holds no recording files (*%s)" % (path, SUFFIX))
    return files


def _header(path):
    """(reader, day, metadata) of one file; None for an empty file."""
    if os.path.getsize(path) == 0:
        return None
    try:
        reader = pa.ipc.open_stream(pa.memory_map(path))
    except (pa.ArrowInvalid, OSError) as exc:
        raise RecordingError("%s: not a recording (not an Arrow IPC stream: %s)"
                             % (path, str(exc).splitlines()[0] if str(exc) else "unreadable"))
    meta = reader.schema.metadata or {}
    if meta.get(FORMAT_KEY) != FORMAT_NAME:
        raise RecordingError("%s: not a recording of terminal callbacks (an Arrow IPC stream "
                             "without the recording's format marker)" % path)
    try:
        version = int(meta.get(VERSION_KEY, b""))
    except ValueError:
        raise RecordingError("%s: unreadable recording format version %r"
                             % (path, meta.get(VERSION_KEY))) from None
    if version > FORMAT_VERSION:
        raise RecordingError("%s: recording format version %d is newer than this build "
                             "understands (version %d or older)" % (path, version, FORMAT_VERSION))
    return reader, meta[DAY_KEY].decode(), meta


def open_recording(path, day=None, salvage=False):
    """The recorded calls of one day. `day` (YYYY-MM-DD) chooses among the days of a
    folder; without it the folder must hold a single day."""
    headers = []
    for f in recording_files(path):
        h = _header(f)
        if h is not None:
            headers.append((f,) + h)
    if not headers:
        raise RecordingError("%s: the recording files are empty (the recorder stopped before "
                             "its first batch was written)" % path)
    days = sorted({h[2] for h in headers})
    if day is None:
        if len(days) > 1:
            raise RecordingError("%s: holds the days %s; choose one" % (path, ", ".join(days)))
        day = days[0]
    elif str(day) not in days:
        raise RecordingError("%s: no recording of %s (it holds %s)" % (path, day, ", ".join(days)))
    day = str(day)
    calls, files, salvaged, config = [], [], {}, None
    for f, reader, file_day, meta in headers:
        if file_day != day:
            continue
        files.append(f)
        if config is None:
            config = json.loads(meta.get(CONFIG_KEY, b"{}"))
        names = json.loads(meta.get(CALLBACKS_KEY, b"[]"))
        batches = []
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                break
            except (pa.ArrowInvalid, OSError, ValueError) as exc:
                if not salvage:
                    raise RecordingError(
                        "%s: truncated after %d complete batches (%s); the recorder was "
                        "stopped while writing; salvage keeps the complete batches"
                        % (f, len(batches), str(exc).splitlines()[0] if str(exc) else "cut off"))
                salvaged[f] = len(batches)
                break
            batches.append(batch)
        if batches:
            table = pa.Table.from_batches(batches).combine_chunks()
            calls.extend(_calls(f, table.to_batches()[0], names))
    if not calls:
        raise RecordingError("%s: no recorded callbacks for %s" % (path, day))
    return Recording(day, config or {}, calls, files, salvaged)


def _calls(path, batch, names):
    seqs = batch.column("seq").to_pylist()
    arrivals = batch.column("arrival_ns").to_pylist()
    callbacks = batch.column("callback").to_pylist()
    missing = batch.column("missing").to_pylist()
    payload = batch.column("payload")
    codes = payload.type_codes.to_pylist()
    offsets = payload.offsets.to_pylist()
    children = [_child_args(path, payload.type.field(i).name, payload.field(i))
                for i in range(payload.type.num_fields)]
    out = []
    for seq, t, cb, miss, code, off in zip(seqs, arrivals, callbacks, missing, codes, offsets):
        try:
            name = names[cb]
        except (IndexError, TypeError):
            raise RecordingError("%s: row %d names callback %r, which the file does not list"
                                 % (path, seq, cb)) from None
        if name not in layouts.CALLBACKS and name != layouts.TIMER_CALLBACK:
            raise RecordingError("%s: row %d is a call of %s, a callback this build does not "
                                 "know" % (path, seq, name))
        args = children[code](off, miss)
        out.append(Call(seq, t, name, args))
    return out


def _column_values(struct, name, kind):
    """The decoded values of one stored column; a column the file lacks is all missing."""
    idx = struct.type.get_field_index(name)
    if idx < 0:
        return None
    values = struct.field(idx).to_pylist()
    if isinstance(kind, tuple):
        dec = [codec.decoder(k) for _, k in kind[1]]
        out = []
        for records in values:
            if records is None:
                out.append(None)
                continue
            cols = [d([r[n] for r in records]) for d, (n, _) in zip(dec, kind[1])]
            out.append(list(zip(*cols)) if records else [])
        return out
    return codec.decoder(kind)(values)


def _child_args(path, layout_name, struct):
    """A function (offset, missing mask) -> the call's arguments, for one union child."""
    layout = _LAYOUTS_BY_NAME.get(layout_name)
    if layout is None:
        raise RecordingError("%s: holds records of layout %r, which this build does not know"
                             % (path, layout_name))
    if layout is layouts.TIMER_LAYOUT:
        methods = struct.field(0).to_pylist() if len(struct) else []
        return lambda off, miss: (methods[off],)
    if layout.record is None:
        return lambda off, miss: ()
    cols = layouts.columns(layout)
    values = [_column_values(struct, n, k) for n, k in cols]
    record_cols = 1 if layout.many else len(layout.record)
    cls = _RECORD_CLASSES[layout.name]
    fields = cls._fields

    def build(items, miss):
        record = cls.__new__(cls)
        for i, (f, v) in enumerate(zip(fields, items)):
            if not miss >> i & 1 and v is not _ABSENT:
                setattr(record, f, v)
        return record

    def args(off, miss):
        row = [_ABSENT if col is None else col[off] for col in values]
        extra = tuple(None if v is _ABSENT else v for v in row[record_cols:])
        if layout.many:
            records = row[0]
            if records is None or records is _ABSENT:
                return (None,) + extra
            return ([build(r, 0) for r in records],) + extra
        return (build(row[:record_cols], miss),) + extra
    return args


_ABSENT = object()
