"""Command line of the replay: `tessara-replay [--day D] [--instruments N] [--out DIR] ...`.

Bad input (a day outside the calendar, an unknown instrument, an output folder that
cannot be written, a missing or defective data store, a strategy that cannot be loaded
or that fails, a missing, truncated, foreign or too new recording, an event stream to
compare with that cannot be read) ends with one line on stderr and exit status 2; nothing is written to the
output folder then. Ctrl-C ends it with exit status 130. Any other failure is reported in
one line too (exit status 1), with the traceback only under --traceback.
"""
import argparse
import contextlib
import os
import signal
import sys
import textwrap
import warnings

_EPILOG = """\
recordings and your own data:
  tessara-replay --day 2024-06-17 --record rec/ -o out-a   record while replaying
  tessara-replay --recording rec/ -o out-b --compare out-a replay it, compare the runs
  tessara-replay batch --days 2024-06-03:2024-06-28 -o june  many days on a Dask cluster
  python -m corvane.dataset import --store data/store --bars days.csv --bars minutes.parquet
                                                           load your own day and minute bars
  a live deployment records with tessara_replay.recording.RecordingVornStrategy
  (see docs/recording.md)
"""


def _parser(defaults):
    day, instruments = defaults
    p = argparse.ArgumentParser(
        prog="tessara-replay", formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=_EPILOG,
        description=textwrap.fill(
            "Replay one trading day of the data store (or a recording of a terminal session) "
            "through the live bridge, a strategy and a simulated terminal; print a summary, "
            "write the fills, orders and event stream, and draw a chart per instrument."))
    p.add_argument("--day", default=None,
                   help="trading day, YYYY-MM-DD (default %s; with --recording: the "
                        "recording's day, chosen by --day when it holds several)" % day)
    p.add_argument("-n", "--instruments", type=int, default=instruments,
                   help="number of instruments to replay (default %(default)s)")
    p.add_argument("--code", action="append", dest="codes", metavar="MARKET_CODE",
                   help="replay this instrument (repeatable; replaces --instruments); with "
                        "--recording: only these instruments' recorded ticks, bars and level-2 "
                        "records reach the strategy")
    p.add_argument("--strategy", metavar="MODULE:CLASS",
                   help="run this strategy class instead of the demo (MODULE: a module name "
                        "or a .py file; see docs/replay.md for the interface)")
    p.add_argument("-o", "--out", default="out", help="output folder (default %(default)s)")
    p.add_argument("--store", default=None,
                   help="data store folder (default: $CORVANE_DATASET, else data/store, "
                        "generated on first use); the summary names the store and its imports")
    p.add_argument("--fast", action="store_true",
                   help="no level-2 records and no charts: a day in a fraction of the time")
    p.add_argument("--no-chart", dest="chart", action="store_false", help="skip the charts")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no summary")
    rec = p.add_argument_group(
        "recordings", "record the terminal's callbacks, replay a recording, compare two runs "
                      "(every run writes its event stream, events.jsonl, to the output folder)")
    rec.add_argument("--record", metavar="DIR",
                     help="record every terminal callback and timer firing of this replay into "
                          "DIR, as a live deployment's recorder does")
    rec.add_argument("--recording", metavar="DIR",
                     help="replay the recording in DIR (its callbacks in recorded order, on a "
                          "simulated clock) instead of the data store's day; the store still "
                          "serves the history")
    rec.add_argument("--salvage", action="store_true",
                     help="with --recording: replay the complete batches of a recording whose "
                          "last batch was cut off (a recorder killed while writing)")
    rec.add_argument("--compare", metavar="DIR_OR_FILE",
                     help="compare this run's event stream with another run's (its output folder "
                          "or its events.jsonl) and print the first event where they differ; "
                          "exit status 3 when they differ")
    p.add_argument("--traceback", action="store_true",
                   help="show the full traceback of an unexpected failure")
    return p


class _InterruptWatch:
    """Notes a Ctrl-C even where a library swallows the KeyboardInterrupt or turns it into
    another error (a drawing library's native code does), and keeps the interpreter from
    printing one raised in a callback it cannot propagate from."""

    def __init__(self):
        self.seen = False
        self._saved = None

    def check(self):
        """Raise KeyboardInterrupt when Ctrl-C was pressed, whatever became of the first."""
        if self.seen:
            raise KeyboardInterrupt

    def _on_sigint(self, signum, frame):
        self.seen = True
        signal.default_int_handler(signum, frame)

    def _unraisable(self, info):
        if issubclass(info.exc_type, KeyboardInterrupt):
            self.seen = True
        else:
            self._saved_hook(info)

    def __enter__(self):
        try:
            self._saved = signal.signal(signal.SIGINT, self._on_sigint)
        except ValueError:           # not the main thread: signals stay as they are
            self._saved = None
        self._saved_hook = sys.unraisablehook
        sys.unraisablehook = self._unraisable
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self._saved_hook
        if self._saved is not None:
            signal.signal(signal.SIGINT, self._saved)
        return False


_watch = _InterruptWatch()
# The replay's defaults (the runner's DEFAULT_DAY and DEFAULT_INSTRUMENTS, which the tests
# check these against), known here so that --help, a bad argument and the first line of
# output come before the libraries load.
DEFAULT_DAY, DEFAULT_INSTRUMENTS = "2024-06-17", 6
_LIBRARIES = r"(pandas|numpy|pyarrow|matplotlib|dask|tqdm)(\.|$)"


@contextlib.contextmanager
def _library_warnings_silenced():
    """The libraries' own warnings (a pandas date-parsing hint, a drawing library's notice)
    are no business of the command's user; a strategy's warnings still show."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", module=_LIBRARIES)
        yield


def _fail(message, status):
    if _watch.seen:                  # the failure is the interrupt in another form
        raise KeyboardInterrupt
    print("tessara-replay: error: %s" % message, file=sys.stderr)
    return status


def _tell(line):
    print("tessara-replay: %s" % line, file=sys.stderr, flush=True)


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    try:
        if args[:1] == ["batch"]:            # many days as tasks of a cluster (module batch_cli)
            from .batch_cli import main as batch_main
            return batch_main(args[1:])
        return _single(args)
    except BrokenPipeError:
        return _reader_gone()


# Exit status of a command whose reader closed the pipe (128 + SIGPIPE), as a shell reports one.
_PIPE_CLOSED = 141


def _reader_gone():
    """The reader of standard output went away (`tessara-replay | head -1`): the results are in
    the output folder, so the run ends quietly; standard output is pointed at /dev/null so the
    interpreter's final flush does not fail again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return _PIPE_CLOSED


def _single(argv):
    global _watch
    _watch = _InterruptWatch()
    try:
        with _watch, _library_warnings_silenced():
            status = _main(argv)
    except KeyboardInterrupt:
        status = None
    if status is None or _watch.seen:
        print("tessara-replay: interrupted", file=sys.stderr)
        return 130
    return status


def first_line(args):
    """What the run is about to do, from its arguments alone: printed before the libraries
    and the data store load, which takes seconds."""
    from .report import plural
    if args.recording is not None:
        what = "the recording %s%s" % (args.recording, " of " + args.day if args.day else "")
    else:
        what = args.day or DEFAULT_DAY
    if args.codes:
        what += " (%s)" % ", ".join(args.codes)
    elif args.recording is None:
        what += " (%s)" % plural(args.instruments, "instrument")
    return "Replaying %s into %s ..." % (what, args.out)


def _main(argv):
    args = _parser((DEFAULT_DAY, DEFAULT_INSTRUMENTS)).parse_args(argv)
    if not args.quiet:
        print(first_line(args), flush=True)
        if sys.stderr.isatty():
            # loading the libraries takes a moment: show that something is happening
            print("tessara-replay: loading ...", end="\r", file=sys.stderr, flush=True)
    try:
        from . import runner
    except ImportError as exc:
        return _fail("cannot load the replay (%s); install the native modules and the host "
                     "stand-ins first (scripts/setup)" % exc, 2)
    other = None
    if args.compare is not None:
        from .events import CompareError, read_stream
        try:
            other = read_stream(args.compare)
        except CompareError as exc:
            return _fail(exc, 2)
    try:
        result = runner.run_replay(
            day=args.day, instruments=args.instruments, out_dir=args.out, store=args.store,
            codes=args.codes, chart=args.chart, strategy=args.strategy, fast=args.fast,
            progress=not args.quiet and sys.stderr.isatty(), record=args.record,
            recording=args.recording, salvage=args.salvage,
            checkpoint=_watch.check, announce=None if args.quiet else _tell)
    except runner.ReplayError as exc:
        return _fail(exc, 2)
    except runner.StrategyError as exc:
        return _fail("strategy failed: %s" % exc, 2)
    except Exception as exc:
        if args.traceback and not _watch.seen:
            raise
        text = str(exc).splitlines()[0] if str(exc) else ""
        return _fail("unexpected failure: %s%s (rerun with --traceback for details)"
                     % (type(exc).__name__, ": " + text if text else ""), 1)
    if not args.quiet:
        from .report import summary_text
        sys.stdout.write(summary_text(result))
        for kind, path in sorted(result.files.items()):
            print("%-15s %s" % (kind + ":", path))
    if other is not None:
        from .events import describe_difference
        lines = describe_difference(result.event_lines, other[1], other[0])
        print("\n".join(lines))
        return 0 if len(lines) == 1 else 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
