"""One day of a batch, as it runs on a worker of the cluster: the single replay into a
private temporary folder, then the day's files into the batch's scratch folder, and the
day's row of figures back to the batch.

A worker that sees the batch's scratch folder (the embedded cluster, or a cluster on a shared
filesystem) writes the day's files there itself, into a folder of its own, and only the row
and that folder's name travel back; the batch renames the folder into place when the result
arrives. A worker that does not see it sends the files back with the row. Either way only a
result that reached the batch is put in place, which makes a rerun of a task whose worker
died harmless. A day that fails is a result too (status "failed" and the one-line reason), so
that the cluster does not retry a failure that would only repeat.
"""
import json
import os
import shutil
import signal
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass, field

FAILED, OK = "failed", "ok"

# The replay drives process-wide state (the bridge module, the data client), so a worker
# started with several threads still replays one day at a time.
_one_at_a_time = threading.Lock()
# The last store opened in this process: (folder or None, stamp of its meta file, dataset).
# One store only, so that a long-lived worker serving batches of several stores does not
# keep them all in memory.
_store_cache = None


@dataclass(frozen=True)
class DayJob:
    day: str                          # YYYY-MM-DD
    store: object = None              # the store folder, None for the default
    options: tuple = ()               # (name, value) pairs handed to the single replay
    recording: tuple = ()             # the day's recording files, () for the store's day
    source: str = ""                  # the recordings folder (or a file name that names no day)
    reason: str = ""                  # set: the day fails with this reason, nothing is run
    scratch: str = ""                 # the batch's scratch folder ("": send the files back)
    marker: str = ""                  # a file in `scratch` that proves this worker sees it


@dataclass
class DayOutcome:
    row: dict
    files: dict = field(default_factory=dict)    # path inside the day folder -> bytes
    staged: str = ""                  # or: the folder in the scratch folder holding them


def dask_setup(worker):
    """Start-up hook of the embedded cluster's workers (preloaded by module name). Ctrl-C
    reaches every process of the terminal's group, but it is the batch's own process that
    stops the cluster; a worker taking it too would die mid-task with a traceback."""
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:               # not the main thread: leave the handler as it is
        pass
    # The modules a replay needs (pandas, the bridge, the strategies), imported while the
    # cluster starts, when every worker is starting at once, rather than in the first task:
    # the batch's first task plans the days on one worker while the others wait for them.
    # An install that cannot import them fails each day with the reason instead.
    try:
        from . import runner  # noqa: F401
    except Exception:
        pass


def replay_day(job):
    """Run `job` and return its DayOutcome; never raises for a failing day."""
    with _one_at_a_time:
        return _replay_day(job)


def _replay_day(job):
    started, cpu = time.perf_counter(), time.process_time()
    row = {"day": job.day, "source": job.source, "status": OK, "reason": "",
           "worker": _worker_name()}
    files, staged = {}, ""
    if job.reason:
        row.update(status=FAILED, reason=job.reason)
    else:
        try:
            with tempfile.TemporaryDirectory(prefix="tessara-batch-") as tmp:
                result, dataset = _single_replay(job, tmp)
                paths = list(result.files.values())
                if _sees_scratch(job):
                    staged = stage_files(paths, job.scratch, job.day)
                else:
                    files = _read_files(paths)
            row.update(figures(result, dataset))
        except Exception as exc:   # a failing day is a row of the batch, not a task failure
            if staged:
                shutil.rmtree(staged, ignore_errors=True)
            files, staged = {}, ""
            row.update(status=FAILED, reason=reason_of(exc))
    row["wall_s"] = time.perf_counter() - started
    row["cpu_s"] = time.process_time() - cpu
    return DayOutcome(row, files, staged)


def _sees_scratch(job):
    return bool(job.scratch and job.marker) and os.path.isfile(os.path.join(job.scratch, job.marker))


def stage_files(paths, scratch, day):
    """Move the files the replay wrote (`paths`) into a new folder in `scratch`, by their
    path below the folder that holds them all; the new folder's path. The folder is made
    with a plain mkdir, so a scratch folder that is gone (the batch ended or was
    interrupted) stops the move rather than being made again."""
    staged = os.path.join(scratch, "%s-%s" % (day, uuid.uuid4().hex[:12]))
    os.mkdir(staged)                     # the user's usual mode, unlike mkdtemp's private one
    paths = list(paths)
    if not paths:
        return staged
    top = os.path.commonpath([os.path.dirname(p) for p in paths])
    for path in paths:
        target = os.path.join(staged, os.path.relpath(path, top))
        if os.path.dirname(target) != staged:
            os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.move(path, target)       # a rename on one filesystem, else a copy
    return staged


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
    """The store's dataset, loaded once per worker process while the store stays as it was
    (its folder and its meta file, which a store's writer writes last): the next day's
    warm-up finds the days before in its caches. A store rewritten in place is loaded again."""
    global _store_cache
    from . import runner
    key = None if store is None else os.path.abspath(store)
    stamp = _store_stamp(key)
    if _store_cache is not None and stamp is not None and _store_cache[:2] == (key, stamp):
        return _store_cache[2]
    _store_cache = None
    dataset = runner.open_dataset(key)
    # stamped after the load: the default store may have been generated by it
    _store_cache = (key, _store_stamp(key), dataset)
    return dataset


def _store_stamp(store):
    """What says that the store in the folder `store` (None: the default) is unchanged: its
    meta file's inode, size and modification time; None when there is no such file."""
    from corvane.dataset.store import META_FILE

    from . import runner
    folder = runner.default_store() if store is None else store
    try:
        st = os.stat(os.path.join(folder, META_FILE))
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


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
