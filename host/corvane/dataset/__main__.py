"""Write a generated dataset to a store folder:

    python -m corvane.dataset OUT_DIR [--seed N] [--start YYYY-MM-DD] [--end YYYY-MM-DD] [--minutes]

Point the data client at it with CORVANE_DATASET=OUT_DIR (or datac.use_store(OUT_DIR)).
"""
import argparse
import os
import shutil
import sys

from . import DEFAULT_END, DEFAULT_SEED, DEFAULT_START, generate


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m corvane.dataset", description="Generate a dataset store.")
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
        dataset = generate(args.seed, args.start, args.end)
        print("writing the Parquet files to {}".format(args.path), flush=True)
        dataset.save(args.path, include_minutes=args.minutes)
    except KeyboardInterrupt:
        # a folder this run made holds only part of a store: remove it
        if created:
            shutil.rmtree(args.path, ignore_errors=True)
        print("interrupted: no data store written", file=sys.stderr)
        return 130
    print("dataset seed {} ({} to {}) written to {}".format(args.seed, args.start, args.end, args.path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
