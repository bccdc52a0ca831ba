"""The benchmark suite's correctness checks: the scripted query session makes exactly the minimum
number of data-client calls, and warm history answers equal the straightforward path."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from bench import harness  # noqa: E402


@pytest.mark.parametrize("group", ["remote", "history", "recorder"])
def test_bench_group_checks_pass(group):
    module = __import__("bench." + group, fromlist=["run"])
    report = harness.Report(harness.Settings.for_smoke())
    module.run(report)
    assert report.failures == []
    assert report.rows
