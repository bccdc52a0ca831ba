"""The regression gate of a batch: each day's event stream against the same day's in an
earlier batch's output folder (DIR/DAY/events.jsonl) or a single run's (DIR/events.jsonl,
whose day is that of its first event)."""
import json
import os

from .batch_days import BatchInputError
from .events import EVENTS_FILE, CompareError, describe_difference, read_stream

IDENTICAL, DIFFERS, MISSING = "identical", "differs", "missing"


def check_baseline(folder):
    """Refuse a baseline that is no folder, or holds no event stream at all."""
    if not os.path.isdir(folder):
        raise BatchInputError("baseline %s: no such folder" % folder)
    if os.path.exists(os.path.join(folder, EVENTS_FILE)):
        return
    for name in os.listdir(folder):
        if os.path.exists(os.path.join(folder, name, EVENTS_FILE)):
            return
    raise BatchInputError("baseline %s: holds no event stream (%s) of a batch's day or a "
                          "single run" % (folder, EVENTS_FILE))


def _stream_of(folder, day):
    """The path of `day`'s event stream in the baseline `folder`, or None."""
    path = os.path.join(folder, day, EVENTS_FILE)
    if os.path.exists(path):
        return path
    single = os.path.join(folder, EVENTS_FILE)
    if os.path.exists(single) and _first_day(single) == day:
        return single
    return None


def _first_day(path):
    try:
        with open(path, encoding="utf-8") as f:
            head = json.loads(f.readline())
        return str(head["at"])[:10]
    except (OSError, ValueError, KeyError, TypeError):
        return None


def compare_day(folder, day, files):
    """(status, lines): IDENTICAL with no lines, DIFFERS with the lines on the first differing
    event, MISSING when the baseline has no stream of the day (or one that cannot be read)."""
    mine = files.get(EVENTS_FILE, b"").decode("utf-8").splitlines()
    path = _stream_of(folder, day)
    if path is None:
        return MISSING, ["no event stream of %s in the baseline %s" % (day, folder)]
    try:
        _, other = read_stream(path)
    except CompareError as exc:
        return MISSING, [str(exc)]
    lines = describe_difference(mine, other, "the baseline")
    if len(lines) == 1 and mine == other:
        return IDENTICAL, []
    return DIFFERS, lines
