"""`python -m bench.chart [-n N] [--repeat R]`: chart drawing of one replay, before and after,
as a same-run ratio (no absolute time targets: the machine's load changes the times, not the
ratio much).

Replays the default day with N instruments once, then draws their charts R times each way:
the earlier drawing (bench/chart_reference.py: a new figure per chart, one patch per bar, one
chart after another), the current drawing in this process (one reused figure, bars and fills
as collections) and the current drawing in worker processes (as a replay draws them).
"""
import argparse
import os
import tempfile
import time

from . import chart_reference


def _best(fn, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


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
        serial = _best(lambda: chart.draw_charts(jobs, result, workers=1), args.repeat)
        parallel = _best(lambda: chart.draw_charts(jobs, result), args.repeat)
    print("charts of %d instruments, best of %d, on %d processors" % (len(jobs), args.repeat, os.cpu_count() or 1))
    print("%-44s %7.2f s" % ("before (new figure, patches, serial)", before))
    print("%-44s %7.2f s   speed-up %.1fx" % ("after, one process (reused figure, collections)", serial, before / serial))
    print("%-44s %7.2f s   speed-up %.1fx" % ("after, as a replay draws (workers if >= 4 cpus)", parallel, before / parallel))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
