"""Instruction counts per call of the live cases under callgrind: the bridge, its plain-Python
twin, the twin without its overwrite check and the floor of outside calls, for every world and
record shape of bench.live, in one valgrind process.

Each loop runs twice, n and 2n calls, between two calls of `os.getppid()`; callgrind is told to
dump its counters whenever the C library's `getppid` is entered, so every loop lands in a dump
of its own, and the difference of the two lengths cancels the loop set-up and the markers:
instructions per call = (count(2n) - count(n)) / n. The counts repeat to within a few
instructions from run to run, whatever else the machine is doing.

    python -m bench.callgrind [-n N] [world/shape/case ...]

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


def _child(n, keys, plan_path):
    from . import live
    plan = []
    dumps = [0]

    def mark(label):
        os.getppid()
        dumps[0] += 1
        plan.append((dumps[0], label))

    wanted = set(keys)
    saved = {m: m.event_queue for m in live._modules()}
    for world in live.WORLDS:
        if not any(k.startswith(world + "/") for k in wanted):
            continue
        with live.world(world):
            for case in live.all_cases(world):
                key = "%s/%s/%s" % (case.world, case.shape, case.name)
                if key not in wanted:
                    continue
                for fn in case.loops.values():     # warm-up: first-use caches, interned names
                    case.setup()
                    fn(20)
                gc.collect()
                gc.disable()
                for side, fn in case.loops.items():
                    for k in (n, 2 * n):
                        case.setup()
                        mark(None)
                        fn(k)
                        mark([key, side, k])
                gc.enable()
    live.restore_state(saved)
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


def all_keys():
    """Every world/shape/case key of bench.live."""
    from . import live
    keys = []
    for world in live.WORLDS:
        with live.world(world):
            keys += ["%s/%s/%s" % (c.world, c.shape, c.name) for c in live.all_cases(world)]
    return keys


def measure_live(n=40, keys=None, python=None):
    """{key: {side: instructions per call}} for the given world/shape/case keys (default all);
    None when valgrind is not installed."""
    if shutil.which("valgrind") is None:
        return None
    keys = list(keys) if keys else all_keys()
    python = python or sys.executable
    work = tempfile.mkdtemp(prefix="bench-callgrind-")
    try:
        out, plan_path = os.path.join(work, "cg.out"), os.path.join(work, "plan.json")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--dump-before=getppid",
               "--dump-instr=no", "--dump-line=no", "--compress-strings=no",
               python, "-m", "bench.callgrind", "--child", "-n", str(n), "--plan", plan_path] + keys
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
                key, side, k = label
                loops[(key, side, k)] = counts[dump]
        result = {}
        for (key, side, k), c in loops.items():
            if k == n:
                result.setdefault(key, {})[side] = (loops[(key, side, 2 * n)] - c) / n
        return result
    finally:
        shutil.rmtree(work, ignore_errors=True)


def format_counts(result):
    lines = ["| case | native Ir | twin Ir | no-check twin Ir | floor Ir | own native / twin | ratio |",
             "|---|---|---|---|---|---|---|"]
    for key, c in result.items():
        own, ref = c["native"] - c["floor"], c["twin"] - c["floor"]
        lines.append("| {} | {:,.0f} | {:,.0f} | {:,.0f} | {:,.0f} | {:,.0f} / {:,.0f} | {} |".format(
            key, c["native"], c["twin"], c.get("plain", float("nan")), c["floor"], own, ref,
            "{:.2f}".format(own / ref) if ref > 0 else "-"))
    return "\n".join(lines)


def run(report):
    """Instruction counts alone (`python -m bench` counts them within the live group)."""
    from .harness import Row
    smoke = report.settings.smoke
    result = measure_live(n=10 if smoke else 40, keys=["cheap/slots/on_snapshot"] if smoke else None)
    if result is None:
        report.add(Row("callgrind", "(valgrind not installed)", None, note="skipped"))
        return
    for key, c in result.items():
        own, ref = c["native"] - c["floor"], c["twin"] - c["floor"]
        report.add(Row("callgrind", key, None, None, own / ref if ref > 0 else None, "own Ir/twin own Ir", None,
                       "Ir/call: bridge {:.0f}, twin {:.0f}, floor {:.0f}".format(c["native"], c["twin"], c["floor"])))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.callgrind", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=40, help="calls of the shorter loop (default 40)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--plan", help=argparse.SUPPRESS)
    parser.add_argument("keys", nargs="*", help="world/shape/case keys, e.g. cheap/slots/on_snapshot (default: all)")
    args = parser.parse_args(argv)
    if args.child:
        if os.environ.get("BENCH_SO_DIR"):
            from . import profile  # noqa: F401  (loads the module from that build directory first)
        _child(args.n, args.keys, args.plan)
        return 0
    result = measure_live(args.n, args.keys or None)
    if result is None:
        print("valgrind is not installed")
        return 1
    print(format_counts(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
