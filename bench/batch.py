"""`python -m bench.batch [--days N] [--store DIR] [--smoke]`: how the batch replay scales.

In one run, on the same fast-mode days: a plain sequential loop of single replays in this
process (the floor: no engine at all), then the batch on an embedded cluster of one worker and
of two workers. Every side is warmed first (the store loaded, one replay of the day before
run), so the figures are of the days alone; the clusters' start-up is shown on its own line.

  engine overhead = batch time with 1 worker / sequential time - 1   (target <= 10%)
  speed-up        = days per second with 2 workers / with 1 worker   (target >= 1.7, 2 cores)

Wall-clock time is what a batch is about, so that is what the targets are stated in; on a
machine shared with other work the load average printed beside the figures says how far to
trust them. The engine overhead is given in CPU time as well (this process, where the client
and the embedded scheduler run, and the worker processes), which other work on the machine
does not inflate. With --rounds R each side runs R times, alternating, and its best run counts.
"""
import argparse
import os
import resource
import shutil
import sys
import tempfile
import time

OVERHEAD_TARGET = 0.10
SPEEDUP_TARGET = 1.7
FIRST_DAY = "2024-06-03"


def _store(path):
    """The store to replay: `path`, else $CORVANE_DATASET, else one generated into a scratch
    folder (removed by the caller)."""
    from corvane import harness
    path = path or harness.default_store_path()
    if path:
        return os.path.abspath(path), None
    from corvane.dataset import generate
    scratch = tempfile.mkdtemp(prefix="bench-batch-store-")
    generate().save(scratch)
    return scratch, scratch


def _days(store, count):
    """The warm-up day and `count` trading days from FIRST_DAY on."""
    from corvane import harness
    dataset = harness.use_store(store)
    dates = [str(d.date()) for d in dataset.trading_dates_between(dataset.meta["start"], dataset.meta["end"])]
    first = dates.index(FIRST_DAY)
    return dates[first - 1], dates[first:first + count]


def _sequential(store, warm, days, out):
    """Seconds of a plain loop of single replays of `days` in this process."""
    from corvane import harness
    from tessara_replay import run_replay
    dataset = harness.use_store(store)
    run_replay(day=warm, dataset=dataset, out_dir=os.path.join(out, "warm"), fast=True)
    started, cpu = time.perf_counter(), time.process_time()
    for day in days:
        run_replay(day=day, dataset=dataset, out_dir=os.path.join(out, day), fast=True)
    return time.perf_counter() - started, time.process_time() - cpu


def _cpu_seconds():
    """CPU seconds of the calling process so far (run on each worker)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _warm_worker(store, day, out):
    """On each worker: load the store and replay one day, untimed."""
    from tessara_replay.batch_task import DayJob, replay_day
    replay_day(DayJob(day, store, (("chart", False), ("fast", True))))


def _batch(store, warm, days, out, workers):
    """(seconds of the batch of `days`, its CPU seconds in all processes, seconds the cluster
    took to start and warm up) on `workers`."""
    from tessara_replay import batch
    started = time.perf_counter()
    with batch.cluster_client(workers) as client:
        client.wait_for_workers(workers)
        client.run(_warm_worker, store, warm, out)
        ready = time.perf_counter() - started
        jobs = [batch.DayJob(day, store, batch.options_of(fast=True)) for day in days]
        before, cpu = client.run(_cpu_seconds), time.process_time()
        result = batch.run_batch(client, jobs, out)
        cpu = time.process_time() - cpu + sum(client.run(_cpu_seconds).values()) - sum(before.values())
    failed = [r for r in result.rows if r["status"] != "ok"]
    if failed:
        raise SystemExit("bench.batch: days failed: %s" % failed)
    return result.elapsed, cpu, ready


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m bench.batch", description=__doc__.splitlines()[0])
    p.add_argument("--days", type=int, default=20, help="days replayed by each side (default %(default)s)")
    p.add_argument("--store", default=None, help="data store folder (default: $CORVANE_DATASET, else generated)")
    p.add_argument("--smoke", action="store_true", help="3 days: checks that it runs, no targets")
    p.add_argument("--rounds", type=int, default=1, help="runs of each side; the best counts (default %(default)s)")
    args = p.parse_args(argv)
    count = 3 if args.smoke else args.days
    store, generated = _store(args.store)
    work = tempfile.mkdtemp(prefix="bench-batch-")
    load = _load()
    runs = {"seq": [], 1: [], 2: []}
    try:
        warm, days = _days(store, count)
        for k in range(max(1, args.rounds)):
            runs["seq"].append(_sequential(store, warm, days, os.path.join(work, "seq%d" % k)))
            for n in (1, 2):
                runs[n].append(_batch(store, warm, days, os.path.join(work, "w%d-%d" % (n, k)), n))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if generated:
            shutil.rmtree(generated, ignore_errors=True)
    (seq, seq_cpu), (one, one_cpu, up1), (two, _, up2) = (min(runs[k]) for k in ("seq", 1, 2))
    overhead, speedup = one / seq - 1, one / two
    rows = [("sequential loop, one process", seq, "CPU %.1f s" % seq_cpu),
            ("batch, 1 worker", one, "engine overhead %+.1f%% (target <= %d%%); in CPU time %+.1f%%"
             % (100 * overhead, 100 * OVERHEAD_TARGET, 100 * (one_cpu / seq_cpu - 1))),
            ("batch, 2 workers", two, "speed-up %.2f (target >= %.1f)" % (speedup, SPEEDUP_TARGET))]
    print("batch scaling: %d fast-mode days from %s, best of %d; %d cores, load average %.1f "
          "before the run, %.1f after" % (len(days), days[0], len(runs["seq"]), os.cpu_count() or 0,
                                          load, _load()))
    for name, secs, note in rows:
        print("  %-30s %7.1f s %7.2f days/s   %s" % (name, secs, len(days) / secs, note))
    print("  cluster start-up and warm-up: %.1f s (1 worker), %.1f s (2 workers), once per batch" % (up1, up2))
    if not args.smoke and (overhead > OVERHEAD_TARGET or speedup < SPEEDUP_TARGET):
        print("targets missed")
    return 0


def _load():
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


if __name__ == "__main__":
    sys.exit(main())
