"""One day of a batch, as it runs on a worker of the cluster: the single replay into a
private temporary folder, whose files go back to the batch with the day's row of figures.

The files travel with the task's result, so the workers need the package and the data
(store, recordings, strategy file) but not the batch's output folder; the batch writes each
day's folder itself when the result arrives, which makes a rerun of a task whose worker
died harmless. A day that fails is a result too (status "failed" and the one-line reason),
so that the cluster does not retry a failure that would only repeat.
"""
import json
import os
import signal
import tempfile
import threading
import time
from dataclasses import dataclass, field

FAILED, OK = "failed", "ok"

# The replay drives process-wide state (the bridge module, the data client), so a worker
# started with several threads still replays one day at a time.
_one_at_a_time = threading.Lock()
_datasets = {}


@dataclass(frozen=True)
class DayJob:
    day: str                          # YYYY-MM-DD
    store: object = None              # the store folder, None for the default
    options: tuple = ()               # (name, value) pairs handed to the single replay
    recording: tuple = ()             # the day's recording files, () for the store's day
    source: str = ""                  # the recordings folder (or a file name that names no day)
    reason: str = ""                  # set: the day fails with this reason, nothing is run


@dataclass
class DayOutcome:
    row: dict
    files: dict = field(default_factory=dict)    # path inside the day folder -> bytes


def dask_setup(worker):
    """Start-up hook of the embedded cluster's workers (preloaded by module name): Ctrl-C
    reaches every process of the terminal's group, but it is the batch's own process that
    stops the cluster; a worker taking it too would die mid-task with a traceback."""
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:               # not the main thread: leave the handler as it is
        pass


def replay_day(job):
    """Run `job` and return its DayOutcome; never raises for a failing day."""
    with _one_at_a_time:
        return _replay_day(job)


def _replay_day(job):
    started = time.perf_counter()
    row = {"day": job.day, "source": job.source, "status": OK, "reason": "",
           "worker": _worker_name()}
    files = {}
    if job.reason:
        row.update(status=FAILED, reason=job.reason)
    else:
        try:
            with tempfile.TemporaryDirectory(prefix="tessara-batch-") as tmp:
                result, dataset = _single_replay(job, tmp)
                files = _read_files(result.files.values())
            row.update(figures(result, dataset))
        except Exception as exc:   # a failing day is a row of the batch, not a task failure
            row.update(status=FAILED, reason=reason_of(exc))
    row["wall_s"] = time.perf_counter() - started
    return DayOutcome(row, files)


def _single_replay(job, tmp):
    """The single replay of the day, with its output in `tmp`/out; (result, dataset)."""
    from . import runner
    from .batch_days import link_recording
    dataset = _dataset(job.store)
    options = dict(job.options)
    recording = None
    if job.recording:
        recording = link_recording(job.recording, os.path.join(tmp, "recording"))
    result = runner.run_replay(day=job.day, out_dir=os.path.join(tmp, "out"), dataset=dataset,
                               recording=recording, **options)
    return result, dataset


def _dataset(store):
    """The store's dataset, loaded once per worker process: the next day's warm-up finds
    the days before in its caches."""
    key = None if store is None else os.path.abspath(store)
    if key not in _datasets:
        from . import runner
        _datasets[key] = runner.open_dataset(key)
    return _datasets[key]


def _read_files(paths):
    """The files the replay wrote, by their path below the folder that holds them all (the
    run's output folder, wherever the single replay chose to put it)."""
    paths = list(paths)
    if not paths:
        return {}
    top = os.path.commonpath([os.path.dirname(p) for p in paths])
    out = {}
    for path in paths:
        with open(path, "rb") as f:
            out[os.path.relpath(path, top)] = f.read()
    return out


def _worker_name():
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return "local"
    return worker.address.split("://", 1)[-1]


def reason_of(exc):
    """One line saying why a day failed."""
    from . import runner
    from .context import StrategyError
    text = str(exc).splitlines()[0] if str(exc) else ""
    if isinstance(exc, StrategyError):
        return "strategy failed: %s" % text
    if isinstance(exc, runner.ReplayError):
        return text
    return "%s%s" % (type(exc).__name__, ": " + text if text else "")


# the day's figures -------------------------------------------------------------------------
def figures(result, dataset):
    """Counts of the run and the account at the close: cash after the day's fills, and the
    value of the positions (those held at the login plus the day's net fills) at the day's
    closing prices."""
    cash, held = _opening_account(result.event_lines)
    for fill in result.fills:
        sign = 1 if fill["side"] == "BUY" else -1
        cash -= sign * fill["price"] * fill["quantity"]
        held[fill["market_code"]] = held.get(fill["market_code"], 0) + sign * fill["quantity"]
    value = 0.0
    for code, qty in held.items():
        if qty:
            value += qty * _close(dataset, code, result.day)
    row = {"events": sum(result.events.values()), "callbacks": result.callbacks,
           "fills": len(result.fills), "cash": cash, "position_value": value,
           "value": cash + value}
    for status, n in result.orders.items():
        row["orders_" + status] = n
    return row


def _opening_account(lines):
    """(cash, {market_code: quantity}) of the account queries answered after the login; no
    answer counts as nothing held."""
    cash, held = 0.0, {}
    for line in lines:
        if '"QUERY_' not in line:
            continue
        event = json.loads(line)
        if event["kind"] == "QUERY_ACCOUNT":
            asset = event["fields"].get("asset") or {}
            if isinstance(asset.get("cash"), (int, float)):
                cash = float(asset["cash"])
        elif event["kind"] == "QUERY_POSITION":
            for pos in event["fields"].get("positions") or ():
                code = pos.get("market_code")
                qty = pos.get("quantity")
                if code and isinstance(qty, (int, float)):
                    held[code] = held.get(code, 0) + qty
    return cash, held


def _close(dataset, code, day):
    import pandas as pd
    bars = dataset.day_bars(code)
    if bars is None:
        return float("nan")
    bars = bars[bars.index <= pd.Timestamp(day)]
    return float(bars["close"].iloc[-1]) if len(bars) else float("nan")
