"""Batch replay: many days of the store, or a folder of recordings, one Dask task per day, on
an embedded `LocalCluster` (worker processes of one thread each) or an existing cluster.

Each task runs the single replay on a worker (module batch_task). The batch makes a scratch
folder inside the output folder; a worker that sees it writes the day's files into a folder
of its own there and sends back the day's row of figures, one that does not sends the files
with the row and this side writes them there. When the result arrives this side renames the
day's folder into place. Only a result that reached this side is put in place, and each
once, so a task that the cluster reruns after its worker died leaves one folder; an
interrupted batch leaves the days that were complete and no scratch folder.
"""
import logging
import os
import shutil
import tempfile
import time
import uuid
from contextlib import contextmanager
from dataclasses import dataclass, field, replace

from .batch_days import BatchInputError
from .batch_task import FAILED, DayJob, DayOutcome, replay_day

SCRATCH_PREFIX = ".batch-"
# Settings of the embedded cluster (see cluster_client): no sampling profiler, and the
# cluster's own periodic work (event-loop ticks, memory and system monitors) a few times a
# second rather than up to fifty: idle, it cost a few percent of a core per process.
CLUSTER_CONFIG = {"distributed.worker.profile.enabled": False,
                  "distributed.admin.tick.interval": "500ms",
                  "distributed.worker.memory.monitor-interval": "1s",
                  "distributed.admin.system-monitor.interval": "2s"}



@dataclass
class BatchResult:
    rows: list                                   # one dict per day, in day order
    elapsed: float                               # wall-clock seconds of the replays
    workers: int
    differences: dict = field(default_factory=dict)   # day -> lines on its first difference
    files: dict = field(default_factory=dict)         # kind -> path of the batch's own files

    @property
    def failed(self):
        return [r for r in self.rows if r["status"] == FAILED]

    @property
    def differing(self):
        return [r for r in self.rows if r.get("baseline") not in (None, "identical")]


# the cluster -------------------------------------------------------------------------------
@contextmanager
def cluster_client(workers=None, scheduler=None):
    """A Dask client: of the cluster at `scheduler`, or of a LocalCluster on this machine with
    `workers` worker processes (default: the core count), one thread each, no dashboard."""
    import dask
    from distributed import Client, LocalCluster
    if scheduler is not None:
        try:
            client = Client(scheduler, timeout=30)
        except (OSError, ValueError) as exc:    # unreachable; not an address
            raise BatchInputError("cannot reach the scheduler at %s (%s)" % (scheduler, exc)) from None
        try:
            yield client
        finally:
            client.close()
        return
    n = workers or os.cpu_count() or 1
    if n < 1:
        raise BatchInputError("the number of workers must be at least 1, got %d" % n)
    # The batch reports each day's failure itself; the cluster's own log lines (a worker
    # restarted, connections closed at Ctrl-C) would only interleave with the table. The
    # nannies hand the settings on to the worker processes they start, restarted ones too.
    with dask.config.set(CLUSTER_CONFIG):
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None,
                               silence_logs=logging.CRITICAL, preload=["tessara_replay.batch_task"])
    try:
        client = Client(cluster)
        try:
            yield client
        finally:
            client.close()
    finally:
        cluster.close()


def worker_count(client):
    return len(client.scheduler_info().get("workers", {}))


# planning ----------------------------------------------------------------------------------
def plan_jobs(store=None, day_items=None, recordings=None, options=()):
    """The batch's DayJobs: the store's trading days named by `day_items` (see
    batch_days.parse_days), or one per day of the folder `recordings`. Runs on a worker, where
    the data is; raises BatchInputError for input that names no day to replay."""
    from . import runner
    from .batch_days import recording_days, store_days
    from .batch_task import _dataset
    options = tuple(options)
    try:
        runner.strategy_factory(dict(options).get("strategy"))   # loads here as on every worker
        if recordings is None:
            return [DayJob(day, store, options) for day in store_days(_dataset(store), day_items)]
        _dataset(store)                 # the store serves the history: it must open
    except runner.ReplayError as exc:
        raise BatchInputError(str(exc)) from None
    days, unplaced = recording_days(recordings)
    jobs = [DayJob(day, store, options, tuple(files), recordings) for day, files in days.items()]
    jobs += [DayJob("", store, options, (), os.path.join(recordings, name), reason)
             for name, reason in sorted(unplaced.items())]
    return jobs


# running -----------------------------------------------------------------------------------
def run_batch(client, jobs, out_dir, on_done=None, baseline=None):
    """Replay `jobs` on the cluster of `client`; write each day's folder into `out_dir` as
    its result arrives and call `on_done(row)`. With `baseline` (a folder of an earlier batch
    or single run) each day's event stream is compared with that day's there. Returns a
    BatchResult (the rows in day order); a KeyboardInterrupt cancels what is left."""
    from distributed import as_completed
    scratch = _scratch(out_dir)
    futures = []
    try:
        started = time.perf_counter()
        # Keys unique to this batch: two batches on one cluster must not share results.
        token = uuid.uuid4().hex[:12]
        marker = ".batch-%s" % token
        open(os.path.join(scratch, marker), "wb").close()
        jobs = [replace(job, scratch=scratch, marker=marker) for job in jobs]
        futures = client.map(replay_day, jobs, pure=False,
                             key=["replay-%s-%s-%d" % (job.day or "unplaced", token, k)
                                  for k, job in enumerate(jobs)])
        by_key = {f.key: job for f, job in zip(futures, jobs)}
        rows, differences = [], {}
        for future in as_completed(futures):
            outcome = _outcome(future, by_key[future.key])
            future.release()
            row = outcome.row
            if row["status"] != FAILED:
                final = place_day(outcome, scratch, out_dir)
                if baseline is not None:
                    from .batch_baseline import compare_day
                    row["baseline"], lines = compare_day(baseline, row["day"],
                                                         _events_of(outcome, final))
                    if lines:
                        differences[row["day"]] = lines
            rows.append(row)
            if on_done is not None:
                on_done(row)
        elapsed = time.perf_counter() - started
    finally:
        for future in futures:
            if not future.done():
                future.cancel()
        _remove_scratch(scratch)
    rows.sort(key=lambda r: (r["day"], r["source"]))
    return BatchResult(rows, elapsed, worker_count(client), differences)


def _events_of(outcome, final):
    """{EVENTS_FILE: bytes} of the day placed at `final`, for the baseline's comparison."""
    from .events import EVENTS_FILE
    if EVENTS_FILE in outcome.files or not outcome.staged:
        return outcome.files
    try:
        with open(os.path.join(final, EVENTS_FILE), "rb") as f:
            return {EVENTS_FILE: f.read()}
    except FileNotFoundError:
        return {}


def _remove_scratch(scratch, patience=5.0):
    """Remove the scratch folder. A task still running when the batch is interrupted may be
    writing its day into it (the cluster is stopped only after this); it fails once the
    folder is gone, so removing again for a few seconds leaves nothing behind."""
    deadline = time.monotonic() + patience
    while True:
        shutil.rmtree(scratch, ignore_errors=True)
        if not os.path.lexists(scratch) or time.monotonic() > deadline:
            return
        time.sleep(0.05)


def _outcome(future, job):
    """The task's DayOutcome; a task the cluster gave up on (its workers kept dying) or that
    failed outside the replay is a failed day."""
    try:
        return future.result()
    except Exception as exc:
        from .batch_task import reason_of
        if type(exc).__name__ == "KilledWorker":
            text = "its worker process died on each of %s attempts (the last on %s)" % (
                getattr(exc, "allowed_failures", 0) + 1,
                getattr(getattr(exc, "last_worker", None), "address", "?"))
        else:
            text = reason_of(exc)
        return DayOutcome({"day": job.day, "source": job.source, "status": FAILED,
                           "reason": text, "worker": "", "wall_s": float("nan"),
                           "cpu_s": float("nan")})


def _scratch(out_dir):
    try:
        os.makedirs(out_dir, exist_ok=True)
        # absolute: the workers that see it use the path as it is
        return tempfile.mkdtemp(prefix=SCRATCH_PREFIX, dir=os.path.abspath(out_dir))
    except OSError as exc:
        raise BatchInputError("cannot write to output folder %s: %s"
                              % (out_dir, exc.strerror or exc)) from None


def place_day(outcome, scratch, out_dir):
    """Put the day's folder in place as `out_dir`/DAY: the folder the task staged in
    `scratch`, or one written here from the files sent back. A folder of that day from an
    earlier batch is replaced whole."""
    day = outcome.row["day"]
    if outcome.staged:
        staged = outcome.staged
        # only a folder of this batch's scratch is moved into the output folder
        if os.path.dirname(os.path.abspath(staged)) != os.path.abspath(scratch):
            raise ValueError("staged folder %s is not in the scratch folder %s" % (staged, scratch))
    else:
        staged = os.path.join(scratch, "%s-%s" % (day, uuid.uuid4().hex[:12]))
        os.mkdir(staged)                 # the user's usual mode, unlike mkdtemp's private one
        for name, data in outcome.files.items():
            path = os.path.join(staged, name)
            if os.path.dirname(name):
                os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    final = os.path.join(out_dir, day)
    if os.path.lexists(final):
        old = tempfile.mkdtemp(prefix="old-" + day + "-", dir=scratch)
        os.replace(final, os.path.join(old, day))
    os.replace(staged, final)
    return final


def options_of(instruments=None, codes=None, strategy=None, fast=False, chart=True,
               salvage=False):
    """The single replay's options for every day, as DayJob.options."""
    out = {"fast": bool(fast), "chart": bool(chart) and not fast}
    if codes:
        out["codes"] = list(codes)
    elif instruments is not None:
        out["instruments"] = instruments
    if strategy is not None:
        out["strategy"] = strategy
    if salvage:
        out["salvage"] = True
    return tuple(sorted(out.items()))
