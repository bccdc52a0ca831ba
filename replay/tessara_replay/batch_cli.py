"""Command line of the batch: `tessara-replay batch --days FIRST:LAST [options]` or
`tessara-replay batch --recordings DIR [options]`.

Exit status: 0 when every day replayed (and, with --baseline, matched the baseline); 1 when a
day failed (the others still ran; the table gives each failure's reason); 3 when every day
replayed but one or more differ from the baseline or are missing there; 2 for input that
leaves nothing to replay (bad days, no store, no recordings, an unreachable scheduler, an
output folder that cannot be written, a baseline that is no run's); 130 on Ctrl-C, which
stops the cluster and leaves only the days that were complete.
"""
import argparse
import os
import sys
import textwrap

_EPILOG = """\
examples:
  tessara-replay batch --days 2024-06-03:2024-06-28 --fast -o june
  tessara-replay batch --days 2024-06-03,2024-06-05 --strategy my.py:Mine --workers 2
  tessara-replay batch --recordings rec/ -o new --baseline old     the regression gate
  tessara-replay batch --days 2024-06-03:2024-06-28 --scheduler tcp://host:8786
"""


def _parser():
    p = argparse.ArgumentParser(
        prog="tessara-replay batch", formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=_EPILOG,
        description=textwrap.fill(
            "Replay many days of the data store, or every day of a folder of recordings, as "
            "tasks of a Dask cluster (an embedded one by default); write a folder per day, "
            "a table of the days (batch.parquet, batch.csv) and a chart of the strategy's "
            "value, and print the table."))
    what = p.add_mutually_exclusive_group(required=True)
    what.add_argument("--days", action="append", metavar="DAYS",
                      help="the store's trading days FIRST:LAST (YYYY-MM-DD:YYYY-MM-DD), or a "
                           "comma-separated list of days (repeatable)")
    what.add_argument("--recordings", metavar="DIR",
                      help="replay every day recorded in the folder DIR")
    p.add_argument("-n", "--instruments", type=int, default=None,
                   help="number of instruments to replay each day")
    p.add_argument("--code", action="append", dest="codes", metavar="MARKET_CODE",
                   help="replay this instrument (repeatable; replaces --instruments)")
    p.add_argument("--strategy", metavar="MODULE:CLASS",
                   help="run this strategy class instead of the demo")
    p.add_argument("-o", "--out", default="out",
                   help="output folder: a folder per day and the batch's table (default %(default)s)")
    p.add_argument("--store", default=None,
                   help="data store folder (default: $CORVANE_DATASET, else a generated dataset)")
    p.add_argument("--fast", action="store_true", help="no level-2 records and no day charts")
    p.add_argument("--no-chart", dest="chart", action="store_false",
                   help="no charts (neither the days' nor the batch's)")
    p.add_argument("--salvage", action="store_true",
                   help="with --recordings: replay the complete batches of a cut-off recording")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no table")
    p.add_argument("--baseline", metavar="DIR",
                   help="compare each day's event stream with the same day's in DIR (an "
                        "earlier batch's output folder or a single run's); exit status 3 when "
                        "any differs")
    cluster = p.add_argument_group("cluster")
    cluster.add_argument("--workers", type=int, default=None,
                         help="worker processes of the embedded cluster (default: the core count)")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the existing Dask cluster at ADDRESS (tcp://host:port) "
                              "instead of an embedded one")
    p.add_argument("--traceback", action="store_true",
                   help="show the full traceback of an unexpected failure")
    return p


def _fail(message, status):
    print("tessara-replay batch: error: %s" % message, file=sys.stderr)
    return status


def _local(path):
    """A path given on this machine as an absolute one, which the workers can use as it is."""
    return None if path is None else os.path.abspath(path)


def _strategy(target):
    """A strategy given as FILE.py:Class, with FILE made absolute for the workers."""
    if target is None or ":" not in target:
        return target
    module, _, name = target.rpartition(":")
    if module.endswith(".py"):
        module = os.path.abspath(module)
    return module + ":" + name


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        return _main(args)
    except KeyboardInterrupt:
        print("tessara-replay batch: interrupted", file=sys.stderr)
        return 130


def _main(args):
    from . import batch
    from .batch_days import BatchInputError, parse_days
    for name, value in (("workers", args.workers), ("instruments", args.instruments)):
        if value is not None and value < 1:
            return _fail("the number of %s must be at least 1, got %d" % (name, value), 2)
    try:
        items = parse_days(args.days) if args.days else None
        if args.baseline is not None:
            from .batch_baseline import check_baseline
            check_baseline(args.baseline)
    except BatchInputError as exc:
        return _fail(exc, 2)
    options = batch.options_of(args.instruments, args.codes, _strategy(args.strategy),
                               args.fast, args.chart, args.salvage)
    store = _local(args.store)
    try:
        with batch.cluster_client(args.workers, args.scheduler) as client:
            plan = client.submit(batch.plan_jobs, store, items, _local(args.recordings),
                                 options, pure=False)
            _import_report_modules(args.chart)
            jobs = plan.result()
            progress = _Progress(len(jobs), not args.quiet and sys.stderr.isatty())
            try:
                result = batch.run_batch(client, jobs, args.out, progress.update,
                                         _local(args.baseline))
            finally:
                progress.close()
    except BatchInputError as exc:
        return _fail(exc, 2)
    except KeyboardInterrupt:
        raise
    except Exception as exc:
        if args.traceback:
            raise
        text = str(exc).splitlines()[0] if str(exc) else ""
        return _fail("unexpected failure: %s%s (rerun with --traceback for details)"
                     % (type(exc).__name__, ": " + text if text else ""), 1)
    return _finish(args, result)


def _import_report_modules(chart):
    """Import what the table and the chart at the end are written with (pandas, pyarrow,
    matplotlib: most of a second of CPU) while a worker plans the days and this process
    would only wait, rather than after the last day, when nothing else is left to run."""
    try:
        import pandas  # noqa: F401
        import pyarrow.parquet  # noqa: F401
        if chart:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot  # noqa: F401
    except ImportError:              # reported where the files are written
        pass


def _finish(args, result):
    from .batch_report import batch_table, summary_text, write_batch_files
    table = batch_table(result.rows)
    result.files = write_batch_files(table, args.out, values_chart=args.chart)
    if not args.quiet:
        sys.stdout.write(summary_text(table, result))
        for kind, path in sorted(result.files.items()):
            print("%-8s %s" % (kind + ":", path))
    if result.failed:
        return 1
    return 3 if result.differing else 0


class _Progress:
    """A progress bar over the days as they complete (tqdm)."""

    def __init__(self, total, enabled):
        self._bar = None
        self._failed = 0
        if enabled:
            from tqdm import tqdm
            self._bar = tqdm(total=total, unit="day", desc="batch", dynamic_ncols=True)

    def update(self, row):
        if self._bar is None:
            return
        self._failed += row["status"] != "ok"
        self._bar.update(1)
        self._bar.set_postfix(day=row["day"], failed=self._failed, refresh=False)

    def close(self):
        if self._bar is not None:
            self._bar.close()
