"""The golden event stream: the events of one fixed replay, kept as a compact digest that a
test compares with a fresh run, so that any change of the bridge's or the replay's behaviour
shows up as a reviewed diff of tests/replay/golden/events.digest.

    .venv/bin/python tests/replay/golden_stream.py --regen     rewrite the digest
    .venv/bin/python tests/replay/golden_stream.py             show the differences
"""
import hashlib
import json
import os
import sys
import tempfile
from collections import Counter

DAY = "2024-06-17"
CODES = ["600000.SH", "600519.SH"]
DIGEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden", "events.digest")
HEADER = "# day %s, instruments %s, demo strategy, fast mode; regenerate: " \
         "python tests/replay/golden_stream.py --regen" % (DAY, " ".join(CODES))


def event_lines(dataset=None):
    """The event stream (events.jsonl lines) of the fixed replay."""
    from corvane import harness
    from corvane.dataset import generate
    from tessara_replay import run_replay
    with harness.dataset_restored(), tempfile.TemporaryDirectory() as out:
        result = run_replay(day=DAY, codes=CODES, dataset=dataset or generate(),
                            out_dir=os.path.join(out, "out"), fast=True)
    return result.event_lines


def digest(lines):
    """Lines of the digest: per event kind its count and a hash of its events in order, and
    one hash of the whole stream (which also fixes the order of the kinds among each other)."""
    counts, hashes, whole = Counter(), {}, hashlib.sha256()
    for line in lines:
        kind = json.loads(line)["kind"]
        counts[kind] += 1
        hashes.setdefault(kind, hashlib.sha256()).update(line.encode() + b"\n")
        whole.update(line.encode() + b"\n")
    out = ["%-28s %7d %s" % (kind, counts[kind], hashes[kind].hexdigest()[:16]) for kind in sorted(counts)]
    out.append("%-28s %7d %s" % ("*", sum(counts.values()), whole.hexdigest()[:16]))
    return out


def read_digest(path=DIGEST):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")]


def differences(expected, actual):
    """The digest lines that differ, as "- expected" / "+ actual" pairs by kind."""
    exp = {line.split()[0]: line for line in expected}
    act = {line.split()[0]: line for line in actual}
    out = []
    for kind in sorted(set(exp) | set(act)):
        if exp.get(kind) != act.get(kind):
            out += ["- " + exp[kind]] if kind in exp else []
            out += ["+ " + act[kind]] if kind in act else []
    return out


def main(argv):
    actual = digest(event_lines())
    if "--regen" in argv:
        os.makedirs(os.path.dirname(DIGEST), exist_ok=True)
        with open(DIGEST, "w", encoding="utf-8") as f:
            f.write(HEADER + "\n" + "\n".join(actual) + "\n")
        print("wrote %s" % DIGEST)
        return 0
    diff = differences(read_digest(), actual)
    print("\n".join(diff) if diff else "the event stream matches the golden digest")
    return 1 if diff else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
