"""Recording terminal strategies.

A live deployment records its session by constructing the recording class instead of the
bridge's (one line):

    from tessara_replay.recording import RecordingVornStrategy
    strategy = RecordingVornStrategy(config, record_to="/var/lib/tessara/recordings")

`recording_class(cls)` makes the same wrapper around any subclass of the bridge's
`VornStrategy`. Every terminal callback and every timer firing is added to the recorder
before the bridge's own method runs; the bridge's behaviour is unchanged, exceptions
included.
"""
import operator

from . import layouts
from .writer import Recorder, config_snapshot

_MISSING = object()
_cache = {}


def _getter(fields):
    """A function reading the attribute tuple of a record, and the bit mask of the
    attributes it lacks (a failing attribute read counts as lacking)."""
    names = [name for name, _ in fields]
    if not names:
        return lambda record: ((), 0)
    fast = operator.attrgetter(*names) if len(names) > 1 else (
        lambda record, g=operator.attrgetter(names[0]): (g(record),))

    def slow(record):
        values, missing = [], 0
        for i, name in enumerate(names):
            try:
                values.append(getattr(record, name))
            except Exception:
                values.append(None)
                missing |= 1 << i
        return tuple(values), missing

    def read(record):
        try:
            return fast(record), 0
        except Exception:
            return slow(record)
    return read


def _one_record(name, code, layout, base_method):
    read = _getter(layout.record)

    def callback(self, record):
        values, missing = read(record)
        self.recorder.add(code, values, missing)
        return base_method(self, record)
    callback.__name__ = callback.__qualname__ = name
    return callback


def _query(name, code, layout, base_method):
    read = _getter(layout.record)

    def callback(self, records, *args):
        try:
            rows = [read(r)[0] for r in records]
        except Exception:            # not a list of records: kept as none
            rows = None
        extra = (tuple(args) + (None,) * len(layout.extra))[:len(layout.extra)]
        missing = 0 if rows is not None else 1
        self.recorder.add(code, (rows,) + extra, missing)
        return base_method(self, records, *args)
    callback.__name__ = callback.__qualname__ = name
    return callback


def _record_with_args(name, code, layout, base_method):
    read = _getter(layout.record)
    width = len(layout.extra)

    def callback(self, record, *args):
        values, missing = read(record)
        extra = (tuple(args) + (None,) * width)[:width]
        self.recorder.add(code, values + extra, missing)
        return base_method(self, record, *args)
    callback.__name__ = callback.__qualname__ = name
    return callback


def _plain(name, code, base_method):
    def callback(self, *args, **kwargs):
        self.recorder.add(code, (), 0)
        return base_method(self, *args, **kwargs)
    callback.__name__ = callback.__qualname__ = name
    return callback


class _TimerRecorder:
    """Stands in for the context's `add_timer_interval`: each callback it registers adds a
    timer row (the callback's name) when it fires, then runs."""

    def __init__(self, register, recorder):
        self._register = register
        self._recorder = recorder

    def __call__(self, delay_ns, callback, *args, **kwargs):
        return self._register(delay_ns, _TimedCallback(callback, self._recorder), *args, **kwargs)


class _TimedCallback:
    __slots__ = ("callback", "recorder", "name", "_row")
    _code = layouts.CALLBACK_NAMES.index(layouts.TIMER_CALLBACK)

    def __init__(self, callback, recorder):
        self.callback = callback
        self.recorder = recorder
        self.name = getattr(callback, "__name__", None) or repr(callback)
        self._row = (self.name,)

    def __call__(self):
        self.recorder.add(self._code, self._row, 0)
        return self.callback()


def recording_class(base):
    """A subclass of `base` (the bridge's VornStrategy or a subclass of it) that records
    every callback. Constructed as `cls(config, record_to=DIR, **recorder_options)` or
    `cls(config, recorder=Recorder(...))`."""
    cached = _cache.get(base)
    if cached is not None:
        return cached
    namespace = {"__doc__": "%s recording every terminal callback." % base.__name__,
                 "__init__": _init(base), "close_recording": _close}
    for name, layout in layouts.CALLBACKS.items():
        code = layouts.CALLBACK_NAMES.index(name)
        method = getattr(base, name)
        if layout.record is None:
            namespace[name] = _plain(name, code, method)
        elif layout.many:
            namespace[name] = _query(name, code, layout, method)
        elif layout.extra:
            namespace[name] = _record_with_args(name, code, layout, method)
        else:
            namespace[name] = _one_record(name, code, layout, method)
    cls = type("Recording" + base.__name__, (base,), namespace)
    cls.__module__ = __name__
    _cache[base] = cls
    return cls


def _init(base):
    def __init__(self, config, *args, record_to=None, recorder=None, **options):
        if recorder is None:
            if record_to is None:
                raise TypeError("a recording strategy needs record_to=<folder> or recorder=")
            recorder = Recorder(record_to, config_snapshot(config), **options)
        elif options:
            raise TypeError("recorder options go to the Recorder, not with recorder=")
        self.recorder = recorder
        base.__init__(self, config, *args)
        context = self.context
        timer = _TimerRecorder(context.add_timer_interval, recorder)
        try:
            context.add_timer_interval = timer
        except (AttributeError, TypeError):
            raise TypeError("the terminal context of %s does not let its timer registration "
                            "be wrapped; timers cannot be recorded" % type(self).__name__)
    return __init__


def _close(self):
    """Write the rows still waiting and end the current recording file."""
    self.recorder.close()
