"""The event stream of a run: every event the framework loop publishes, one canonical JSON
line each, so that two runs can be compared byte for byte (`events.jsonl` in the output
folder) and their first difference shown.

A line holds the event's position, its kind, the simulated time it was published at and its
fields, with model objects spelled out field by field (an instrument by its code). Ids that
the framework numbers process-wide (order and trade ids) are written as their order of first
appearance in the run, so that a second run in the same process writes the same lines.
"""
import datetime as _dt
import enum
import json
import math
import os

import numpy as np

from corvane.tessara.core.events import EVENT

EVENTS_FILE = "events.jsonl"
_RENUMBERED = {"order_id": "order", "trade_id": "trade"}


class EventLog:
    def __init__(self, clock):
        self.clock = clock
        self.lines = []
        self._ids = {"order": {}, "trade": {}}

    def attach(self, bus):
        """Log every event published on `bus`, ahead of the listeners already there."""
        for kind in EVENT:
            bus.prepend_listener(kind, self.on_event)

    def on_event(self, event):
        fields = {k: v for k, v in vars(event).items() if k != "event_type"}
        self._add(getattr(event.event_type, "name", str(event.event_type)),
                  {k: self._value(v, k) for k, v in sorted(fields.items())})

    def callback_failed(self, callback, exc):
        """A terminal callback that raised (the terminal carries on after it)."""
        self._add("CALLBACK_ERROR", {"callback": callback, "error": type(exc).__name__,
                                     "message": str(exc)})

    def _add(self, kind, fields):
        line = {"n": len(self.lines), "kind": kind,
                "at": self.clock.now().isoformat(timespec="microseconds"), "fields": fields}
        self.lines.append(json.dumps(line, sort_keys=True, ensure_ascii=False,
                                     separators=(",", ":")))

    def text(self):
        return "".join(line + "\n" for line in self.lines)

    # values ------------------------------------------------------------------------------
    def _value(self, v, name=None):
        if v is None or isinstance(v, (bool, str)):
            return v
        if isinstance(v, enum.Enum):
            return "%s.%s" % (type(v).__name__, v.name)
        if isinstance(v, (int, np.integer)):
            v = int(v)
            table = self._ids.get(_RENUMBERED.get(name))
            return v if table is None else table.setdefault(v, len(table) + 1)
        if isinstance(v, (float, np.floating)):
            v = float(v)
            return v if math.isfinite(v) else repr(v)
        if isinstance(v, (_dt.datetime, _dt.date, _dt.time)):
            return v.isoformat()
        if isinstance(v, dict):
            return {str(k): self._value(x, str(k)) for k, x in sorted(v.items(), key=lambda kv: str(kv[0]))}
        if isinstance(v, (list, tuple, np.ndarray)) or type(v).__name__ == "deque":
            return [self._value(x) for x in v]
        return self._object(v)

    def _object(self, v):
        cls = type(v)
        if cls.__name__ == "Instrument":
            return {"__type__": "Instrument", "market_code": getattr(v, "market_code", None)}
        names = getattr(cls, "_fields", None)
        if names:
            fields = {n: getattr(v, n, None) for n in names}
        elif hasattr(v, "__dict__"):
            fields = dict(vars(v))
        else:
            slots = [s for c in cls.__mro__ for s in getattr(c, "__slots__", ())]
            fields = {s.lstrip("_"): getattr(v, s, None) for s in slots}
        body = {n: self._value(x, n) for n, x in sorted(fields.items())}
        body["__type__"] = cls.__name__
        return body


# comparing two runs ------------------------------------------------------------------------
class CompareError(Exception):
    """The other run's event stream cannot be read."""


def read_stream(path):
    """Event lines of a run: `path` is its output folder or its events file."""
    file = os.path.join(path, EVENTS_FILE) if os.path.isdir(path) else path
    if not os.path.exists(file):
        raise CompareError("%s: no event stream (%s) to compare with"
                           % (path, EVENTS_FILE if os.path.isdir(path) else "no such file"))
    try:
        with open(file, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise CompareError("%s: cannot be read (%s)" % (file, exc)) from None
    for i, line in enumerate(lines[:1]):
        try:
            head = json.loads(line)
            ok = isinstance(head, dict) and {"n", "kind", "fields"} <= set(head)
        except ValueError:
            ok = False
        if not ok:
            raise CompareError("%s: line %d is not an event of a replay's event stream" % (file, i + 1))
    return file, lines


def first_difference(mine, other):
    """Index of the first differing line of two event streams, or None when equal."""
    for i, (a, b) in enumerate(zip(mine, other)):
        if a != b:
            return i
    return None if len(mine) == len(other) else min(len(mine), len(other))


def describe_difference(mine, other, other_name):
    """Lines of text on the first difference, or a single line saying they agree."""
    i = first_difference(mine, other)
    if i is None:
        return ["event streams are identical: %d events" % len(mine)]
    out = ["event streams differ at event %d (this run has %d events, %s has %d):"
           % (i, len(mine), other_name, len(other))]
    a = json.loads(mine[i]) if i < len(mine) else None
    b = json.loads(other[i]) if i < len(other) else None
    for label, event in (("this run", a), (other_name, b)):
        out.append("  %s: %s" % (label, "no event (the stream ends)" if event is None
                                 else "%s at %s" % (event["kind"], event.get("at"))))
    if a is not None and b is not None:
        for key in _differing_keys(a, b):
            out.append("    %s: %s != %s" % (key, json.dumps(_at(a, key)), json.dumps(_at(b, key))))
    return out


def _differing_keys(a, b, prefix=""):
    if isinstance(a, dict) and isinstance(b, dict):
        keys = []
        for k in sorted(set(a) | set(b)):
            if a.get(k, _MISSING) != b.get(k, _MISSING):
                sub = _differing_keys(a.get(k), b.get(k), prefix + k + ".")
                keys.extend(sub)
        return keys
    return [prefix[:-1]]


def _at(event, key):
    for part in key.split("."):
        event = event.get(part) if isinstance(event, dict) else None
    return event


_MISSING = object()
