"""Write a generated dataset to a store folder:

    python -m corvane.dataset OUT_DIR [--seed N] [--start YYYY-MM-DD] [--end YYYY-MM-DD] [--minutes]

Point the data client at it with CORVANE_DATASET=OUT_DIR (or datac.use_store(OUT_DIR)).
"""
import argparse
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
    dataset = generate(args.seed, args.start, args.end)
    dataset.save(args.path, include_minutes=args.minutes)
    print("dataset seed {} ({} to {}) written to {}".format(args.seed, args.start, args.end, args.path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
