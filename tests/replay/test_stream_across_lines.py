"""The replay's event stream of one fixed day is the same, byte for byte, on every numpy / pandas
line the modules are tested on: its digest was taken on numpy 1.26 / pandas 1.5.3 and is checked
on every row of the matrix (pandas 2 and 3 included)."""
import hashlib
import json

import pytest

from corvane import harness
from tessara_replay import cli

DAY = "2024-06-17"
# sha256 of events.jsonl of the replay below, on numpy 1.26 / pandas 1.5.3. A change of the replay,
# the generator or the modules that alters the stream on purpose takes a new digest from that line.
STREAM_SHA256 = "8b03860199f6e43f05440270f5ef85f7fc92befbc4a0d12c061f8142aae58dbe"
STREAM_LINES = 3890


@pytest.fixture(scope="module")
def stream(tmp_path_factory):
    from corvane.dataset import generate
    base = tmp_path_factory.mktemp("stream")
    with harness.dataset_restored():
        generate(start="2024-04-01", end="2024-06-28").save(str(base / "store"))
        assert cli.main(["--store", str(base / "store"), "-o", str(base / "out"), "-q", "--no-chart",
                         "--day", DAY, "-n", "3"]) == 0
    return (base / "out" / "events.jsonl").read_bytes()


def test_event_stream_is_the_one_of_the_oldest_line(stream):
    lines = stream.decode().splitlines()
    # the day is a full one: market data, orders and fills, the day events, algorithmic orders
    kinds = {json.loads(line)["kind"] for line in lines}
    assert {"TICK", "BAR", "TRADE", "BEFORE_TRADING", "AFTER_TRADING", "PARENT_ORDER_UPDATE"} <= kinds
    assert (len(lines), hashlib.sha256(stream).hexdigest()) == (STREAM_LINES, STREAM_SHA256)
