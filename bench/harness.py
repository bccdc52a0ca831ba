"""Timing and reporting: medians over repeats after a warm-up, paired cases measured in
alternation so drift on a shared machine hits both sides alike."""
import gc
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional


@dataclass
class Settings:
    repeats: int = 21
    budget: float = 0.01      # seconds one timed batch should last
    smoke: bool = False

    @classmethod
    def for_smoke(cls):
        return cls(repeats=2, budget=0.0005, smoke=True)


@dataclass
class Row:
    group: str
    case: str
    total: float                       # seconds per call
    floor: Optional[float] = None      # seconds per call of the unavoidable work
    ratio: Optional[float] = None      # the ratio the target is stated in
    ratio_label: str = ""              # what the ratio is, e.g. "own/floor"
    target: Optional[float] = None     # the ratio must not exceed this
    note: str = ""

    @property
    def met(self):
        if self.target is None or self.ratio is None:
            return None
        return self.ratio <= self.target


@dataclass
class Report:
    settings: Settings
    rows: List[Row] = field(default_factory=list)
    failures: List[str] = field(default_factory=list)

    def add(self, row):
        self.rows.append(row)
        return row

    def check(self, ok, message):
        """A correctness check (not a time target): failing ones make the run fail."""
        if not ok:
            self.failures.append(message)


# CPU time of this thread: on a machine shared with other jobs, time spent descheduled would
# otherwise land in whichever side of a comparison happened to be running.
_clock = time.thread_time


def _batch(fn, n):
    """Seconds of one batch; a fn that must prepare state first times itself and returns the
    seconds of its loop."""
    t0 = _clock()
    own = fn(n)
    return own if own is not None else _clock() - t0


def calibrate(fn, settings, setup=None):
    """Iterations per batch so that one batch lasts about `settings.budget` seconds."""
    n = 1
    while True:
        if setup:
            setup()
        t = _batch(fn, n)
        if t >= settings.budget / 4 or n >= 1 << 20:
            break
        n *= 4
    return max(1, int(n * settings.budget / max(t, 1e-9)))


def timed(loop):
    """Runs loop() and returns its CPU seconds (for fns that prepare state before their loop)."""
    t0 = _clock()
    loop()
    return _clock() - t0


def per_call(fns, settings, setup=None, n=None):
    """Median seconds per call of each `fn(n)` (a loop of n calls), measured in alternation.
    `setup()` runs before every batch, outside the timing."""
    if n is None:
        n = min(calibrate(f, settings, setup) for f in fns)
    samples = [[] for _ in fns]
    for f in fns:                      # warm-up
        if setup:
            setup()
        f(n)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for _ in range(settings.repeats):
            for i, f in enumerate(fns):
                if setup:
                    setup()
                samples[i].append(_batch(f, n) / n)
    finally:
        if gc_was:
            gc.enable()
    return [statistics.median(s) for s in samples]


def own_cost_row(group, case, total_fn, floor_fn, settings, target=None, setup=None, note=""):
    total, floor = per_call([total_fn, floor_fn], settings, setup)
    own = total - floor
    return Row(group, case, total, floor, own / floor if floor > 0 else None, "own/floor", target, note)


def versus_row(group, case, fn, reference_fn, label, settings, target=None, setup=None, note=""):
    total, ref = per_call([fn, reference_fn], settings, setup)
    return Row(group, case, total, ref, total / ref if ref > 0 else None, label, target, note)


def _us(seconds):
    if seconds is None:
        return ""
    return "{:.2f}".format(seconds * 1e6)


def format_table(report):
    head = ("group", "case", "total us", "floor/ref us", "ratio", "kind", "target", "met", "note")
    lines = []
    for r in report.rows:
        met = r.met
        lines.append((r.group, r.case, _us(r.total), _us(r.floor),
                      "" if r.ratio is None else "{:.2f}".format(r.ratio), r.ratio_label,
                      "" if r.target is None else "<= {:g}".format(r.target),
                      "" if met is None else ("yes" if met else "NO"), r.note))
    widths = [max(len(head[i]), *(len(l[i]) for l in lines)) if lines else len(head[i])
              for i in range(len(head))]
    out = ["| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |",
           "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for l in lines:
        out.append("| " + " | ".join(c.ljust(w) for c, w in zip(l, widths)) + " |")
    return "\n".join(out)


def run_group(report, name, fn: Callable):
    """Runs one group; an error in it is reported and the other groups still run."""
    try:
        fn(report)
    except Exception as exc:  # a broken case must not hide the rest of the table
        import traceback
        traceback.print_exc()
        report.failures.append("{}: {}: {}".format(name, type(exc).__name__, exc))
