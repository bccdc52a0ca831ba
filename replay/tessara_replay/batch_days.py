"""Which days a batch replays: the `--days` texts (strict YYYY-MM-DD, a range FIRST:LAST or
a list) turned into trading days of the store, or the days of a folder of recordings with
the files of each.

Both run where the data is (a worker of the cluster), so the machine that starts a batch
needs neither the store nor the recordings.
"""
import datetime as _dt
import os
import re

_DATE = re.compile(r"\d{4}-\d{2}-\d{2}\Z")


class BatchInputError(Exception):
    """The batch's input cannot be used as given (bad days, no store, no recordings)."""


def _date(text):
    text = text.strip()
    if not _DATE.match(text):
        raise BatchInputError("bad day %r: use YYYY-MM-DD" % (text,))
    try:
        return _dt.date.fromisoformat(text)
    except ValueError:
        raise BatchInputError("bad day %r: not a date of the calendar" % (text,)) from None


def parse_days(texts):
    """The `--days` arguments (each a range "FIRST:LAST" or a comma-separated list) as a list
    of ("range", first, last) and ("day", day, day) items, dates as datetime.date."""
    items = []
    for text in texts:
        for part in text.split(","):
            if not part.strip():
                continue
            if ":" in part:
                first, _, last = part.partition(":")
                first, last = _date(first), _date(last)
                if last < first:
                    raise BatchInputError("bad range %s: it ends before it begins" % part.strip())
                items.append(("range", first, last))
            else:
                day = _date(part)
                items.append(("day", day, day))
    if not items:
        raise BatchInputError("no days given (--days FIRST:LAST or a list of YYYY-MM-DD)")
    return items


def store_days(dataset, items):
    """Trading days of `dataset` named by the `parse_days` items, in order, each once. A
    range takes the trading days it spans; a listed day must be one itself. Every day must
    lie in the store's data."""
    import pandas as pd
    start, end = pd.Timestamp(dataset.meta["start"]).date(), pd.Timestamp(dataset.meta["end"]).date()
    trading = {d.date() for d in pd.DatetimeIndex(dataset.trading_dates)}
    chosen = []
    for kind, first, last in items:
        if first < start or last > end:
            raise BatchInputError("no market data for %s: the data store covers %s to %s"
                                  % (first if first < start else last, start, end))
        if kind == "day":
            if first not in trading:
                raise BatchInputError("unknown day %s: not a trading day of the calendar" % first)
            chosen.append(first)
        else:
            span = sorted(d for d in trading if first <= d <= last)
            if not span:
                raise BatchInputError("no trading day from %s to %s" % (first, last))
            chosen.extend(span)
    return [str(d) for d in dict.fromkeys(chosen)]


def recording_days(folder):
    """The days of the recordings in `folder`: ({day: [files]}, {label: reason}) where the
    second holds the files that name no day (unreadable, foreign); each is a failed day of
    the batch. A file whose header is damaged but whose name starts with its day (as the
    recorder names them) stays with that day, so that only that day fails."""
    from .recording import RecordingError
    from .recording.reader import _header, recording_files
    try:
        files = recording_files(folder)
    except RecordingError as exc:
        raise BatchInputError(str(exc)) from None
    if not os.path.isdir(folder):
        raise BatchInputError("%s: not a folder of recordings (replay one file with --recording)"
                              % folder)
    days, unplaced = {}, {}
    for path in files:
        day = _named_day(path)
        try:
            head = _header(path)
        except RecordingError as exc:
            if day is None:
                unplaced[os.path.basename(path)] = str(exc)
                continue
        else:
            if head is not None:
                day = head[1]
            elif day is None:        # empty, and its name tells no day: nothing to replay
                continue
        days.setdefault(day, []).append(path)
    if not days and not unplaced:
        raise BatchInputError("%s: the recording files are empty" % folder)
    return dict(sorted(days.items())), unplaced


def _named_day(path):
    head = os.path.basename(path).split(".", 1)[0]
    try:
        return str(_date(head))
    except BatchInputError:
        return None


def link_recording(files, folder):
    """A folder holding links to `files` only (one day's recording), so that a damaged file
    of another day cannot spoil this day's replay."""
    os.makedirs(folder, exist_ok=True)
    for path in files:
        os.symlink(os.path.abspath(path), os.path.join(folder, os.path.basename(path)))
    return folder

