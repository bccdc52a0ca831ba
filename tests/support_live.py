"""Helpers for the live bridge's tests: run configurations, terminal records,
the queued events."""
from types import SimpleNamespace

import corvane.tessara.utils.livefeed as lf
from pyvorn import records
from pyvorn.records import stamp_from_datetime


def make_config(**base):
    """A run configuration whose `config.base` holds the given keys.
    `accounts` defaults to one account on the simulated trade channel and
    `trading_calendar` to an empty list."""
    base.setdefault("accounts", {"stock": "acct_simtd"})
    base.setdefault("trading_calendar", [])
    return SimpleNamespace(base=SimpleNamespace(**base))


def queued_events():
    """The events in livefeed.event_queue, oldest first."""
    return list(lf.event_queue)


def snapshot(security_id="000001", when=None, **fields):
    """A terminal snapshot; `when` (a datetime) sets its time stamp."""
    if when is not None:
        fields["orig_time"] = stamp_from_datetime(when)
    return records.Snapshot(security_id=security_id, **fields)


def bar(security_id="000001", when=None, **fields):
    """A terminal one-minute bar; `when` (a datetime) sets its end time."""
    if when is not None:
        fields["end_time"] = stamp_from_datetime(when)
    return records.Bar(security_id=security_id, **fields)


class LoggedRecord:
    """A terminal record that logs each attribute read; absent fields raise AttributeError."""

    def __init__(self, **fields):
        self.fields, self.reads = fields, []

    def __getattr__(self, name):
        self.reads.append(name)
        try:
            return self.fields[name]
        except KeyError:
            raise AttributeError(name) from None
