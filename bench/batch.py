"""`python -m bench.batch [--days N] [--rounds R] [--store DIR] [--smoke]`: how the batch
replay scales.

In one run, on the same fast-mode days: a plain sequential loop of single replays in this
process (the floor: no engine at all), then the batch on an embedded cluster of one worker and
of two workers. Each cluster is started and its workers load the store and the modules before
the clock starts (that start-up is shown on its own line, and in a second speed-up that counts
it); one untimed replay per worker warms its caches. Then:

  engine overhead = batch time with 1 worker / sequential time - 1   (target <= 10%)
  speed-up        = days per second with 2 workers / with 1 worker   (target >= 1.7, 2 cores)

Wall-clock time is what a batch is about, so the targets are stated in it; on a machine
shared with other work the load average printed beside the figures says how far to trust
them. CPU time is not inflated by other work, so each batch also accounts its CPU: this
process (the client, the embedded scheduler and the nannies: the batch's serial part), each
day's task on its worker (the parallel part), and the worker processes in all (the tasks and
the workers' own upkeep). With client CPU S and task CPU P, two idle cores give at most

  projected speed-up = (S + P) / (S + P / 2)

which is printed for the two-worker run. With --rounds R each side runs R times, alternating,
and its best run counts.
"""
import argparse
import os
import resource
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass

OVERHEAD_TARGET = 0.10
SPEEDUP_TARGET = 1.7
FIRST_DAY = "2024-06-03"


@dataclass(frozen=True)
class BatchRun:
    """One timed batch: wall seconds, the CPU seconds of this process (client), of the days'
    tasks and of the worker processes in all, the busiest worker's task CPU, and the
    seconds the cluster took to start and load the store before the clock started."""
    wall: float
    client_cpu: float
    task_cpu: float
    worker_cpu: float
    busiest_cpu: float
    startup: float


def projected_speedup(client_cpu, task_cpu):
    """Amdahl's bound on two idle cores: the client's work serial, the tasks' parallel."""
    return (client_cpu + task_cpu) / (client_cpu + task_cpu / 2)


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
    """(seconds, CPU seconds) of a plain loop of single replays of `days` in this process."""
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


def _load_worker(store):
    """On each worker: the modules a replay imports and the store, as a batch's first day
    would load them."""
    from tessara_replay import runner  # noqa: F401  (pandas, the bridge, the strategy)
    from tessara_replay.batch_task import _dataset
    _dataset(store)


def _warm_worker(store, day):
    """On each worker: one replay, untimed, so that the day's caches are warm."""
    from tessara_replay.batch_task import DayJob, replay_day
    replay_day(DayJob(day, store, (("chart", False), ("fast", True))))


def _batch(store, warm, days, out, workers):
    """The BatchRun of `days` on an embedded cluster of `workers`."""
    from tessara_replay import batch
    started = time.perf_counter()
    with batch.cluster_client(workers) as client:
        client.wait_for_workers(workers)
        client.run(_load_worker, store)
        startup = time.perf_counter() - started
        client.run(_warm_worker, store, warm)
        jobs = [batch.DayJob(day, store, batch.options_of(fast=True)) for day in days]
        before, cpu = client.run(_cpu_seconds), time.process_time()
        result = batch.run_batch(client, jobs, out)
        client_cpu = time.process_time() - cpu
        worker_cpu = sum(client.run(_cpu_seconds).values()) - sum(before.values())
    failed = [r for r in result.rows if r["status"] != "ok"]
    if failed:
        raise SystemExit("bench.batch: days failed: %s" % failed)
    per_worker = {}
    for row in result.rows:
        per_worker[row["worker"]] = per_worker.get(row["worker"], 0.0) + row["cpu_s"]
    return BatchRun(result.elapsed, client_cpu, sum(per_worker.values()), worker_cpu,
                    max(per_worker.values()), startup)


def report(days, seq, one, two, load_before, load_after, rounds):
    """The lines printed: the three sides, the CPU accounting and the two ratios against
    their targets. `seq` is (seconds, CPU seconds); `one` and `two` are BatchRuns."""
    n = len(days)
    (seq_wall, seq_cpu) = seq
    overhead, speedup = one.wall / seq_wall - 1, one.wall / two.wall
    with_startup = (one.startup + one.wall) / (two.startup + two.wall)
    projected = projected_speedup(two.client_cpu, two.task_cpu)
    out = ["batch scaling: %d fast-mode days from %s, best of %d; %d cores, load average %.1f "
           "before the run, %.1f after" % (n, days[0], rounds, os.cpu_count() or 0, load_before,
                                           load_after),
           "",
           "  %-28s %8s %10s %10s %10s %10s" % ("", "wall s", "days/s", "client CPU", "task CPU",
                                               "worker CPU"),
           "  %-28s %8.2f %10.2f %10.2f %10s %10s" % ("sequential loop, one process", seq_wall,
                                                      n / seq_wall, seq_cpu, "", "")]
    for name, run in (("batch, 1 worker", one), ("batch, 2 workers", two)):
        out.append("  %-28s %8.2f %10.2f %10.2f %10.2f %10.2f" % (
            name, run.wall, n / run.wall, run.client_cpu, run.task_cpu, run.worker_cpu))
    out += [
        "",
        "  cluster start-up (workers, modules, store): %.1f s (1 worker), %.1f s (2 workers); "
        "not in the times above" % (one.startup, two.startup),
        "  task CPU per day: %.3f s alone, %.3f s two at a time (x%.2f); busiest of the two "
        "workers: %.0f%% of the task CPU" % (one.task_cpu / n, two.task_cpu / n,
                                            two.task_cpu / one.task_cpu,
                                            100 * two.busiest_cpu / two.task_cpu),
        "  client CPU (the serial part): %.1f%% of the two-worker batch's CPU"
        % (100 * two.client_cpu / (two.client_cpu + two.task_cpu)),
        "",
        "  engine overhead  %+6.1f%%   %s (target <= %d%%); in CPU time %+.1f%%"
        % (100 * overhead, _verdict(overhead <= OVERHEAD_TARGET), 100 * OVERHEAD_TARGET,
           100 * ((one.client_cpu + one.worker_cpu) / seq_cpu - 1)),
        "  speed-up          %6.2f    %s (target >= %.1f); with the start-up counted %.2f"
        % (speedup, _verdict(speedup >= SPEEDUP_TARGET), SPEEDUP_TARGET, with_startup),
        "  projected speed-up on two idle cores, (S + P) / (S + P/2) from the two-worker "
        "batch's CPU: %.2f" % projected,
    ]
    return out


def _verdict(ok):
    return "met" if ok else "MISSED"


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m bench.batch", description=__doc__.splitlines()[0])
    p.add_argument("--days", type=int, default=20, help="days replayed by each side (default %(default)s)")
    p.add_argument("--store", default=None, help="data store folder (default: $CORVANE_DATASET, else generated)")
    p.add_argument("--smoke", action="store_true", help="3 days, one round: checks that it runs")
    p.add_argument("--rounds", type=int, default=3, help="runs of each side; the best counts (default %(default)s)")
    args = p.parse_args(argv)
    count, rounds = (3, 1) if args.smoke else (args.days, max(1, args.rounds))
    store, generated = _store(args.store)
    work = tempfile.mkdtemp(prefix="bench-batch-")
    load = _load()
    runs = {"seq": [], 1: [], 2: []}
    try:
        warm, days = _days(store, count)
        for k in range(rounds):
            runs["seq"].append(_sequential(store, warm, days, os.path.join(work, "seq%d" % k)))
            for n in (1, 2):
                runs[n].append(_batch(store, warm, days, os.path.join(work, "w%d-%d" % (n, k)), n))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if generated:
            shutil.rmtree(generated, ignore_errors=True)
    best = {"seq": min(runs["seq"])}                  # the shortest wall time of each side
    best.update({n: min(runs[n], key=lambda run: run.wall) for n in (1, 2)})
    print("\n".join(report(days, best["seq"], best[1], best[2], load, _load(), rounds)))
    return 0


def _load():
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


if __name__ == "__main__":
    sys.exit(main())
