"""`python -m bench [--smoke] [group ...]`: runs the benchmark groups and prints the table."""
import argparse
import platform
import sys

from . import harness

GROUPS = ("live", "callgrind", "history", "growth", "remote", "recorder")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument("--smoke", action="store_true",
                        help="a few iterations per case: checks that everything runs and agrees, no time targets")
    parser.add_argument("--strict", action="store_true", help="exit non-zero when a time target is missed")
    parser.add_argument("groups", nargs="*", help="groups to run, of: " + " ".join(GROUPS) + " (default: all)")
    args = parser.parse_args(argv)
    unknown = set(args.groups) - set(GROUPS)
    if unknown:
        parser.error("unknown group(s): " + ", ".join(sorted(unknown)))
    settings = harness.Settings.for_smoke() if args.smoke else harness.Settings()
    report = harness.Report(settings)
    for name in args.groups or GROUPS:
        module = __import__("bench." + name, fromlist=["run"])
        harness.run_group(report, name, module.run)
    if settings.smoke:
        for row in report.rows:
            row.target = None
    print("machine: {} ({}), Python {}".format(platform.machine(), platform.processor() or "?",
                                               platform.python_version()))
    print(harness.format_table(report))
    missed = [r for r in report.rows if r.met is False]
    for f in report.failures:
        print("FAILED:", f)
    if missed:
        print("targets missed: " + ", ".join("{} {}".format(r.group, r.case) for r in missed))
    if report.failures or (args.strict and missed):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
