"""`python -m bench [--smoke] [group ...]`: runs the benchmark groups and prints the table."""
import argparse
import platform
import sys

from . import harness

GROUPS = ("live", "callgrind", "history", "growth", "remote", "recorder")
# The live group counts instructions itself; "callgrind" alone counts them without timing.
DEFAULT_GROUPS = tuple(g for g in GROUPS if g != "callgrind")


def _machine():
    import os
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    except OSError:
        pass
    load = os.getloadavg() if hasattr(os, "getloadavg") else ()
    return {"cpus": os.cpu_count(), "cpu": model, "python": platform.python_version(),
            "load": ["{:.2f}".format(x) for x in load]}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument("--smoke", action="store_true",
                        help="a few iterations per case: checks that everything runs and agrees, no time targets")
    parser.add_argument("--strict", action="store_true", help="exit non-zero when a time target is missed")
    parser.add_argument("groups", nargs="*", help="groups to run, of: " + " ".join(GROUPS) + " (default: all but callgrind)")
    parser.add_argument("--write-baseline", action="store_true",
                        help="store this run's host-world live figures as the baseline (bench/baseline_live.json)")
    args = parser.parse_args(argv)
    unknown = set(args.groups) - set(GROUPS)
    if unknown:
        parser.error("unknown group(s): " + ", ".join(sorted(unknown)))
    settings = harness.Settings.for_smoke() if args.smoke else harness.Settings()
    report = harness.Report(settings)
    for name in args.groups or DEFAULT_GROUPS:
        module = __import__("bench." + name, fromlist=["run"])
        harness.run_group(report, name, module.run)
    if settings.smoke:
        for row in report.rows:
            row.target = None
    m = _machine()
    print("machine: {} {} x{}, Python {}, load average {}".format(platform.machine(), m["cpu"], m["cpus"],
                                                                  m["python"], " ".join(m["load"])))
    print(harness.format_table(report))
    for line in getattr(report, "notes", ()):
        print(line)
    if args.write_baseline and getattr(report, "live_results", None) and not settings.smoke:
        from . import live
        live.write_baseline(report.live_results, meta=_machine())
        print("baseline written:", live.BASELINE)
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
