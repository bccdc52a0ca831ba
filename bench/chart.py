"""`python -m bench.chart [-n N] [--repeat R]`: chart drawing of one replay, before and after,
as a same-run ratio (no absolute time targets: the machine's load changes the times, not the
ratio much).

Replays the default day with N instruments once, then draws their charts R times each way:
the earlier drawing (bench/chart_reference.py: a new figure per chart, one patch per bar, one
chart after another), the current drawing in this process (one figure made per run and reused
chart after chart, its artists handed new data) and the current drawing as a replay draws them
(in worker processes where there are processors to spare). Wall-clock and processor seconds
are both given: on a loaded machine the processor time of the two in-process ways is the
steadier ratio.
"""
import argparse
import os
import tempfile
import time

from . import chart_reference


def _best(fn, repeat):
    """(wall, processor) seconds of the fastest of `repeat` runs of `fn`."""
    times = []
    for _ in range(repeat):
        started, cpu = time.perf_counter(), time.process_time()
        fn()
        times.append((time.perf_counter() - started, time.process_time() - cpu))
    return min(times)


def _fresh(draw):
    """`draw` from a new figure, as a replay's process starts: the first chart makes it."""
    from tessara_replay import chart

    def run():
        chart._figure = None
        draw()
    return run


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.chart", description=__doc__)
    parser.add_argument("-n", type=int, default=6, help="instruments (charts) of the replay")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each way; the best counts")
    args = parser.parse_args(argv)
    from corvane import harness
    from corvane.dataset import generate
    from tessara_replay import chart, run_replay
    with harness.dataset_restored(), tempfile.TemporaryDirectory() as tmp:
        result = run_replay(day="2024-06-17", instruments=args.n, dataset=generate(),
                            out_dir=os.path.join(tmp, "out"), chart=True)
        jobs = [(os.path.join(tmp, "%s.png" % d.code), d) for d in result.charts]
        before = _best(lambda: [chart_reference.draw_chart(p, d, result) for p, d in jobs], args.repeat)
        serial = _best(_fresh(lambda: chart.draw_charts(jobs, result, workers=1)), args.repeat)
        parallel = _best(_fresh(lambda: chart.draw_charts(jobs, result)), args.repeat)
    print("charts of %d instruments, best of %d, on %d processors"
          % (len(jobs), args.repeat, os.cpu_count() or 1))
    print("%-48s %8s %8s %9s" % ("", "wall", "cpu", "speed-up"))
    rows = (("before (new figure, patches, serial)", before),
            ("after, one process (one figure, new data)", serial),
            ("after, as a replay draws (workers if >= %d cpus)" % chart.MIN_CPUS_FOR_WORKERS,
             parallel))
    workers = (os.cpu_count() or 1) >= chart.MIN_CPUS_FOR_WORKERS
    for label, (wall, cpu) in rows:
        # the workers' processor time is not this process's
        cpu = "%7.2fs" % cpu if not (workers and label.startswith("after, as")) else "     n/a"
        print("%-48s %7.2fs %s %8.1fx" % (label, wall, cpu, before[0] / wall))
    print("same-run ratio, one process: %.1fx wall, %.1fx cpu"
          % (before[0] / serial[0], before[1] / serial[1]))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
