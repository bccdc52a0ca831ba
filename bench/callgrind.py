"""Instruction counts per call of the live cases under callgrind: the bridge, the plain-Python
reference and the floor of outside calls, over the host stand-ins, in one valgrind process.

Each loop runs twice, n and 2n calls, between two calls of `os.getppid()`; callgrind is told to
dump its counters whenever the C library's `getppid` is entered, so every loop lands in a dump
of its own, and the difference of the two lengths cancels the loop set-up and the markers:
instructions per call = (count(2n) - count(n)) / n. The counts repeat to within a few
instructions from run to run, whatever else the machine is doing.

    python -m bench.callgrind [-n N] [case index ...]

With BENCH_SO_DIR set to a build directory, the bridge is loaded from there (as bench.profile
does), to compare two builds.
"""
import argparse
import gc
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

from .harness import Row

TARGET = 0.33               # own instructions at most a third of the reference's own
SIDES = ("total", "reference", "floor")


def _child(n, indexes, plan_path, sides=SIDES):
    from . import live
    plan = []
    dumps = [0]

    def mark(label):
        os.getppid()
        dumps[0] += 1
        plan.append((dumps[0], label))

    with live.host_world() as mode:
        for index in indexes:
            name, total, floor, setup, ref = live.CASES[index](mode)
            fns = {side: fn for side, fn in zip(SIDES, (total, ref, floor)) if side in sides}
            for fn in fns.values():        # warm-up: first-use caches, interned names
                setup()
                fn(20)
            gc.collect()
            gc.disable()
            for side, fn in fns.items():
                for k in (n, 2 * n):
                    setup()
                    mark(None)
                    fn(k)
                    mark([name, side, k])
            gc.enable()
    with open(plan_path, "w") as f:
        json.dump(plan, f)
    sys.stdout.flush()
    os._exit(0)         # the counts are taken; interpreter shutdown adds nothing to them


def _count(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + path)


def measure(n=50, indexes=None, python=None, sides=SIDES):
    """{case name: {side: instructions per call}} for the given CASES indexes (default all);
    None when valgrind is not installed."""
    from . import live
    if shutil.which("valgrind") is None:
        return None
    if indexes is None:
        indexes = list(range(len(live.CASES)))
    python = python or sys.executable
    work = tempfile.mkdtemp(prefix="bench-callgrind-")
    try:
        out, plan_path = os.path.join(work, "cg.out"), os.path.join(work, "plan.json")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--dump-before=getppid",
               "--dump-instr=no", "--dump-line=no", "--compress-strings=no",
               python, "-m", "bench.callgrind", "--child", "-n", str(n), "--plan", plan_path,
               "--sides", ",".join(sides)]
        cmd += [str(i) for i in indexes]
        # A fixed hash seed: dict probing, and so the counts, repeat from run to run.
        env = dict(os.environ, PYTHONHASHSEED="0")
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                              cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        if proc.returncode != 0:
            raise RuntimeError("callgrind run failed:\n" + proc.stderr.decode()[-3000:])
        with open(plan_path) as f:
            plan = json.load(f)
        counts = {int(p.rsplit(".", 1)[1]): _count(p) for p in glob.glob(out + ".*")}
        loops = {}
        for dump, label in plan:
            if label is not None:
                name, side, k = label
                loops[(name, side, k)] = counts[dump]
        result = {}
        for (name, side, k), c in loops.items():
            if k == n:
                result.setdefault(name, {})[side] = (loops[(name, side, 2 * n)] - c) / n
        return result
    finally:
        shutil.rmtree(work, ignore_errors=True)


def rows(result):
    out = []
    for name, c in result.items():
        own, ref_own = c["total"] - c["floor"], c["reference"] - c["floor"]
        out.append(Row("callgrind", name, None, None, own / ref_own if ref_own > 0 else None, "own Ir/ref own Ir",
                       TARGET, "Ir/call: bridge {:.0f}, reference {:.0f}, floor {:.0f}; own {:.0f} vs {:.0f}".format(
                           c["total"], c["reference"], c["floor"], own, ref_own)))
    return out


def run(report):
    smoke = report.settings.smoke
    result = measure(n=10 if smoke else 50, indexes=[0] if smoke else None)
    if result is None:
        report.add(Row("callgrind", "(valgrind not installed)", None, note="skipped"))
        return
    for row in rows(result):
        report.add(row)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.callgrind", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=50, help="calls of the shorter loop (default 50)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--plan", help=argparse.SUPPRESS)
    parser.add_argument("--sides", default=",".join(SIDES),
                        help="comma-separated loops to count (default: %(default)s); with fewer than all "
                             "three, the counts per call are printed as JSON")
    parser.add_argument("cases", nargs="*", type=int, help="indexes into bench.live.CASES (default: all)")
    args = parser.parse_args(argv)
    if args.child:
        if os.environ.get("BENCH_SO_DIR"):
            from . import profile  # noqa: F401  (loads the module from that build directory first)
        from . import live
        _child(args.n, args.cases or list(range(len(live.CASES))), args.plan, args.sides.split(","))
        return 0
    from .harness import Report, Settings, format_table
    sides = tuple(args.sides.split(","))
    result = measure(args.n, args.cases or None, sides=sides)
    if result is None:
        print("valgrind is not installed")
        return 1
    if set(sides) != set(SIDES):
        print(json.dumps(result, indent=1))
        return 0
    report = Report(Settings())
    for row in rows(result):
        report.add(row)
    print(format_table(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
