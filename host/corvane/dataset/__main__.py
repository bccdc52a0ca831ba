"""Write a generated dataset to a store folder, or import your own bars into one:

    python -m corvane.dataset OUT_DIR [--seed N] [--start YYYY-MM-DD] [--end YYYY-MM-DD] [--minutes]
    python -m corvane.dataset import --store DIR --bars FILE [--bars FILE ...]

Point the data client at a store with CORVANE_DATASET=DIR (or datac.use_store(DIR)). The
columns an imported file may hold are listed in `corvane.dataset.importer`; a file that
fails a check is reported in one line (file, row, column) with exit status 2, and the store
is left as it was.
"""
import argparse
import os
import shutil
import sys

from . import DEFAULT_END, DEFAULT_SEED, DEFAULT_START, generate
from .progress import StoreProgress, wanted


def generate_main(argv):
    parser = argparse.ArgumentParser(prog="python -m corvane.dataset", description="Generate a dataset store.",
                                     epilog="python -m corvane.dataset import --help: import your own bars")
    parser.add_argument("path", help="folder to write the Parquet files into")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--start", default=DEFAULT_START, help="first day of bar data")
    parser.add_argument("--end", default=DEFAULT_END, help="last day of bar data")
    parser.add_argument("--minutes", action="store_true", help="also store every one-minute bar of the window")
    args = parser.parse_args(argv)
    created = not os.path.exists(args.path)
    try:
        print("generating: instruments, calendar, day bars, corporate actions (seed {}, {} to {})"
              .format(args.seed, args.start, args.end), flush=True)
        with StoreProgress(wanted()) as bar:
            dataset = generate(args.seed, args.start, args.end, progress=bar)
        print("writing the Parquet files to {}".format(args.path), flush=True)
        with StoreProgress(wanted()) as bar:
            dataset.save(args.path, include_minutes=args.minutes, progress=bar)
    except KeyboardInterrupt:
        # a folder this run made holds only part of a store: remove it
        if created:
            shutil.rmtree(args.path, ignore_errors=True)
        print("interrupted: no data store written", file=sys.stderr)
        return 130
    print("dataset seed {} ({} to {}) written to {}".format(args.seed, args.start, args.end, args.path))
    return 0


def import_main(argv):
    from . import importer
    parser = argparse.ArgumentParser(
        prog="python -m corvane.dataset import",
        description="Load your own day and minute bars (CSV or Parquet) into a data store. "
                    "Day-bar files have the columns market_code, date, open, high, low, close, "
                    "volume, total_turnover (optional prev_close, limit_up, limit_down, "
                    "open_interest, settlement, prev_settlement); minute-bar files market_code, "
                    "datetime (bar end time), open, high, low, close, volume, total_turnover "
                    "(optional trading_date, open_interest). Prices in currency units per "
                    "share, volumes in shares, turnover in currency units.")
    parser.add_argument("--store", required=True, help="the data store folder to update")
    parser.add_argument("--bars", action="append", required=True, metavar="FILE",
                        help="a CSV or Parquet file of day or minute bars (repeatable)")
    args = parser.parse_args(argv)
    try:
        summary = importer.import_bars(args.store, args.bars)
    except importer.BarsImportError as exc:
        print("python -m corvane.dataset import: error: %s" % exc, file=sys.stderr)
        return 2
    for path, kind, rows, codes, first, last in summary:
        print("%s: %d %s bars of %s, %s to %s" % (path, rows, kind, ", ".join(codes), first, last))
    print("store %s updated" % args.store)
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["import"]:
        return import_main(argv[1:])
    return generate_main(argv)


if __name__ == "__main__":
    sys.exit(main())
