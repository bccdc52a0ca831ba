"""Command line of the replay: `tessara-replay [--day D] [--instruments N] [--out DIR] ...`.

Bad input (a day outside the calendar, an unknown instrument, an output folder that
cannot be written, a missing or corrupt data store) ends with one line on stderr and
exit status 2; nothing is written to the output folder then.
"""
import argparse
import sys

from .runner import DEFAULT_DAY, DEFAULT_INSTRUMENTS, ReplayError, run_replay


def _parser():
    p = argparse.ArgumentParser(
        prog="tessara-replay",
        description="Replay one trading day of the data store through the live bridge, "
                    "a demo strategy and a simulated terminal; print a summary and draw a chart.")
    p.add_argument("--day", default=DEFAULT_DAY, help="trading day, YYYY-MM-DD (default %(default)s)")
    p.add_argument("-n", "--instruments", type=int, default=DEFAULT_INSTRUMENTS,
                   help="number of instruments to replay (default %(default)s)")
    p.add_argument("--code", action="append", dest="codes", metavar="MARKET_CODE",
                   help="replay this instrument (repeatable; replaces --instruments); "
                        "the first one is charted")
    p.add_argument("-o", "--out", default="out", help="output folder (default %(default)s)")
    p.add_argument("--store", default=None,
                   help="data store folder (default: $CORVANE_DATASET, else a generated dataset)")
    p.add_argument("--no-chart", dest="chart", action="store_false", help="skip the chart")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no summary")
    return p


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        result = run_replay(day=args.day, instruments=args.instruments, out_dir=args.out,
                            store=args.store, codes=args.codes, chart=args.chart,
                            progress=not args.quiet and sys.stderr.isatty())
    except ReplayError as exc:
        print("tessara-replay: error: %s" % exc, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("tessara-replay: interrupted", file=sys.stderr)
        return 130
    if not args.quiet:
        from .report import summary_text
        sys.stdout.write(summary_text(result))
        for kind, path in sorted(result.files.items()):
            print("%-8s %s" % (kind + ":", path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
