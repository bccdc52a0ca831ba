"""Recording cost: each terminal callback through the recording strategy against the same
callback of the plain bridge, with the host stand-ins.

The recorded side includes writing its rows: every timed batch ends with the recorder's
flush, so the attribute reads, the row append and the conversion and write of the Arrow
batch (lz4, fsync) all count. The ratio is the recording's added cost per callback over the
bridge's own cost of the callback (target: at most 1x). The note gives the added cost over
the bridge's cost beyond the unavoidable outside calls (the live group's floor) as well."""
import shutil
import tempfile
import types

import corvane.tessara.utils.livefeed as lf
from tessara_replay.recording import recording_class
from tessara_replay.recording.strategy import _TimedCallback

from . import live
from .harness import Row, per_call

TARGET = 1.0
# A timer of the bridge queues one day event and does little else; its recording costs
# about as much again. Timers fire a handful of times a day, so the row is shown without
# a target.
BATCH_ROWS = 4096          # the recorder's default batch


def _bridges(folder):
    config = types.SimpleNamespace(base=types.SimpleNamespace(accounts={"stock": "acct_simtd"},
                                                              trading_calendar=[]))
    plain = lf.VornStrategy(config)
    recording = recording_class(lf.VornStrategy)(config, record_to=folder)
    return plain, recording


def _case_record(make, mode, index=0):
    """The terminal record a live case feeds its callback (its first, or the given one), the
    case's floor and its setup."""
    case = make(mode, "dataclass")
    return case.name, case.records[index], case.loops["floor"], case.setup


# (callback, live case, which of the case's records); the order reports' record is the
# PartiallyFilled one, a fill each time.
CASES = (("on_snapshot", live.snapshot_case, 0), ("on_bar", live.bar_case, 0),
         ("on_tick_order", live.tick_order_case, 0), ("on_tick_trade", live.tick_trade_case, 0),
         ("on_order", live.order_cycle_case, 1))


def _row(report, case, plain_fn, recorded_fn, floor_fn, setup, target=TARGET):
    # Batches of one recorder batch each, so that every timed batch writes as many rows as
    # a recorder with the default settings does at a time.
    n = 64 if report.settings.smoke else BATCH_ROWS
    fns = [plain_fn, recorded_fn] + ([floor_fn] if floor_fn is not None else [])
    times = per_call(fns, report.settings, setup, n=n)
    plain, recorded = times[:2]
    added = recorded - plain
    own = plain - times[2] if floor_fn is not None else None
    note = "added/own %.2f (own = bridge - floor)" % (added / own) if own and own > 0 else ""
    report.add(Row("recorder", case, recorded, plain, added / plain if plain > 0 else None,
                   "added/bridge", target, note))


def run(report):
    saved_queue = lf.event_queue
    folder = tempfile.mkdtemp(prefix="bench-recorder-")
    try:
        with live.host_world() as mode:
            plain, recording = _bridges(folder)
            recorder = recording.recorder
            for method, case, index in CASES:
                name, record, floor, setup = _case_record(case, mode, index)
                p, r = getattr(plain, method), getattr(recording, method)
                def plain_fn(n, p=p, record=record):
                    for _ in range(n):
                        p(record)

                def recorded_fn(n, r=r, record=record):
                    for _ in range(n):
                        r(record)
                    recorder.flush()
                # the bar case's floor covers three bars at a time, the order case's a whole
                # cycle: not comparable here
                _row(report, "on_order PartiallyFilled (fill)" if method == "on_order" else method, plain_fn,
                     recorded_fn, None if method in ("on_bar", "on_order") else floor, setup)
            timer_rows(report, plain, recording, recorder)
            before = recorder.rows_written
            recorder.close()
            report.check(recorder.dropped_values == 0, "recorder dropped values of plain records")
            report.check(before > 0, "recorder wrote nothing")
    finally:
        lf.event_queue = saved_queue
        lf.orders_dict.clear()
        lf.history_tick.clear()
        lf.history_bar.clear()
        shutil.rmtree(folder, ignore_errors=True)


def timer_rows(report, plain, recording, recorder):
    def queue():
        lf.event_queue = live.new_queue("host")
    send = plain.send_open_auction_event
    timed = _TimedCallback(recording.send_open_auction_event, recorder)

    def plain_fn(n):
        for _ in range(n):
            send()

    def recorded_fn(n):
        for _ in range(n):
            timed()
        recorder.flush()
    _row(report, "timer send_open_auction_event", plain_fn, recorded_fn, None, queue, target=None)
