"""The recorder and the reader of recordings: what is kept of each callback, batches,
day files, a recorder killed while writing, and recordings that cannot be read."""
import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pyarrow as pa
import pytest

from pyvorn import records as R
from pyvorn.enums import AlgoControlType, MarketType, OrderStatusType, SideType
from pyvorn.strategy import ManualScheduler, VornStrategy
from tessara_replay.recording import Recorder, RecordingError, layouts, open_recording, recording_class, writer

DAY0 = writer.ns_of_datetime(__import__("datetime").datetime(2024, 6, 17))
SECOND = 1_000_000_000


class Base(VornStrategy):
    """A terminal strategy that keeps what it is called with."""

    def __init__(self, config):
        super().__init__()
        self.config = config
        self.seen = []

    def __getattribute__(self, name):
        attr = super().__getattribute__(name)
        if name.startswith("on_") or name == "initialize":
            seen = super().__getattribute__("seen")

            def call(*args):
                seen.append((name, args))
                return attr(*args)
            return call
        return attr

    def tick(self):
        self.seen.append(("tick", ()))


class Clock:
    def __init__(self, t=DAY0 + 9 * 3600 * SECOND):
        self.t = t

    def __call__(self):
        self.t += 1000
        return self.t


class Config:
    class base:
        accounts = {"stock": "100200300_SimTD"}
        algo_account = "algo01_ATX"
        order_way = 1
        trading_calendar = ["2024-06-17", "2024-06-18"]


def _strategy(tmp_path, **options):
    options.setdefault("clock", Clock())
    options.setdefault("fsync", False)
    cls = recording_class(Base)
    return cls(Config(), record_to=tmp_path / "rec", **options)


SNAP = R.Snapshot(security_id="600000", market_type=MarketType.SSE, orig_time=20240617093000000,
                  trading_phase_code="T0", pre_close_price=8.1, open_price=8.2, high_price=8.4,
                  low_price=8.0, last_price=8.3, close_price=8.3, high_limited=8.91,
                  low_limited=7.29, total_volume_trade=12_300, total_value_trade=101_000.5,
                  bid_price=[8.29, 8.28], bid_volume=[100, 200], ask_price=[8.31], ask_volume=[300])
ORDER = R.OrderReport(client_order_id="c-7", counter_order_id=880001, security_id="600000",
                      order_price=8.3, order_status=OrderStatusType.PartiallyFilled, order_qty=1000,
                      trade_qty=400, total_trade_value=3320.0, last_match_qty=400,
                      last_match_price=8.3, error_code=0, error_msg="")
POSITIONS = [R.QueryPositionRes(security_id="600000", market_id=MarketType.SSE, init_qty=100,
                                leaves_qty=100, available_qty=100, cost_price=8.0, last_price=8.3,
                                market_value=830.0)]
CONTROL = R.ControlParentOrderRes(client_seq_id=3, sys_quote_id=7001,
                                  control_type=AlgoControlType.Resume)
CHILD = R.ChildOrder(sys_quote_id=7001, client_order_id="7001-1", counter_order_id=5,
                     security_id="600000", market_type=MarketType.SSE, side=SideType.Sell,
                     order_price=8.3, order_qty=100, order_status=OrderStatusType.Sended)


class Odd:
    """A bar with a text price, a huge volume and no prev_close."""
    security_id = "600000"
    market_type = MarketType.SSE
    end_time = 20240617093100000
    open = close = high = low = 8.3
    amount = "lots"
    volume = 2 ** 70


def _play(s):
    s.initialize(Config())
    s.on_initialize()
    s.on_snapshot(SNAP)
    s.on_order(ORDER)
    s.on_query_position(POSITIONS, 2, 0, "")
    s.on_query_asset(R.QueryAssetRes(fund_account_id="100200300", leaves_value=5.5), 1, 0, "ok")
    s.on_control_algo_parent_order_res(CONTROL)
    s.on_algo_child_order_update(CHILD)
    s.on_bar(Odd())
    s.on_switch_day()


def _fields(record, layout):
    return {name: getattr(record, name) for name, _ in layout}


def test_every_callback_reads_back_with_its_attributes(tmp_path):
    s = _strategy(tmp_path)
    s.context.scheduler = ManualScheduler()
    s.context.add_timer_interval(5, s.tick)
    _play(s)
    s.context.scheduler.advance(10)
    s.close_recording()

    rec = open_recording(str(tmp_path / "rec"))
    assert [c.callback for c in rec.calls] == [
        "initialize", "on_initialize", "on_snapshot", "on_order", "on_query_position",
        "on_query_asset", "on_control_algo_parent_order_res", "on_algo_child_order_update",
        "on_bar", "on_switch_day", "timer"]
    assert [c.seq for c in rec.calls] == list(range(11))
    assert all(a.arrival_ns < b.arrival_ns for a, b in zip(rec.calls, rec.calls[1:]))
    assert rec.day == "2024-06-17"
    assert rec.config == {"accounts": {"stock": "100200300_SimTD"}, "algo_account": "algo01_ATX",
                          "order_way": 1, "trading_calendar": ["2024-06-17", "2024-06-18"]}
    calls = {c.callback: c.args for c in rec.calls}
    assert _fields(calls["on_snapshot"][0], layouts.SNAPSHOT) == _fields(SNAP, layouts.SNAPSHOT)
    assert calls["on_snapshot"][0].market_type is MarketType.SSE
    order = calls["on_order"][0]
    assert _fields(order, layouts.ORDER) == _fields(ORDER, layouts.ORDER)
    assert order.order_status is OrderStatusType.PartiallyFilled
    assert type(order.client_order_id) is str and type(order.counter_order_id) is int
    positions, rid, code, msg = calls["on_query_position"]
    assert [_fields(p, layouts.POSITION) for p in positions] == [_fields(POSITIONS[0], layouts.POSITION)]
    assert (rid, code, msg) == (2, 0, "")
    assert calls["on_query_asset"][1:] == (1, 0, "ok")
    control = calls["on_control_algo_parent_order_res"][0]
    assert control.control_type is AlgoControlType.Resume
    assert not hasattr(control, "algo_control_type")          # the record had none
    assert _fields(calls["on_algo_child_order_update"][0], layouts.CHILD) == _fields(CHILD, layouts.CHILD)
    bar = calls["on_bar"][0]
    assert not hasattr(bar, "prev_close")
    assert bar.amount is None and bar.volume is None and bar.close == 8.3
    assert s.recorder.dropped_values == 2
    assert calls["timer"] == ("tick",)
    # the strategy itself saw every call unchanged, the timer included
    assert [name for name, _ in s.seen][-1] == "tick"
    assert s.seen[2] == ("on_snapshot", (SNAP,))


def test_batches_are_written_as_they_fill_and_the_tail_waits(tmp_path):
    s = _strategy(tmp_path, batch_rows=3, flush_seconds=3600)
    for _ in range(7):
        s.on_snapshot(SNAP)
    # the open file has no end-of-stream marker yet: it reads as a crashed session would
    rec = open_recording(str(tmp_path / "rec"))
    assert [c.seq for c in rec.calls] == list(range(6))
    assert s.recorder.batches_written == 2
    s.close_recording()
    assert len(open_recording(str(tmp_path / "rec"))) == 7


def test_a_waiting_batch_is_written_after_flush_seconds(tmp_path):
    s = _strategy(tmp_path, batch_rows=1000, flush_seconds=0.05)
    s.on_snapshot(SNAP)
    time.sleep(0.06)
    s.on_snapshot(SNAP)
    assert s.recorder.batches_written == 1 and s.recorder.rows_written == 2


def test_one_file_per_day_and_session(tmp_path):
    clock = Clock(DAY0 + 86_400 * SECOND - 2500)     # 2.5 us before midnight
    s = _strategy(tmp_path, clock=clock)
    for _ in range(4):
        s.on_snapshot(SNAP)
    s.close_recording()
    again = _strategy(tmp_path, clock=Clock(DAY0 + 86_400 * SECOND + SECOND))
    again.on_bar(R.Bar())
    again.close_recording()
    names = sorted(os.listdir(tmp_path / "rec"))
    assert names == ["2024-06-17.000.arrows", "2024-06-18.000.arrows", "2024-06-18.001.arrows"]
    with pytest.raises(RecordingError, match="holds the days 2024-06-17, 2024-06-18; choose one"):
        open_recording(str(tmp_path / "rec"))
    assert len(open_recording(str(tmp_path / "rec"), day="2024-06-17")) == 2
    assert [c.callback for c in open_recording(str(tmp_path / "rec"), day="2024-06-18").calls] == \
        ["on_snapshot", "on_snapshot", "on_bar"]


_CHILD = textwrap.dedent("""
    import sys
    from tessara_replay.recording import Recorder, layouts
    code = layouts.CALLBACK_NAMES.index("on_tick_trade")
    t = [1718614800000000000]
    def clock():
        t[0] += 1000
        return t[0]
    rec = Recorder(sys.argv[1], batch_rows=int(sys.argv[2]), clock=clock, fsync=False)
    i = 0
    while True:
        rec.add(code, (i, "600000", 102, i, i + 1, i, 8.25, 100 * i, 825.0 * i, 70))
        i += 1
""")


@pytest.mark.parametrize("batch_rows", [1, 37, 500])
def test_kill_mid_write_loses_only_the_unwritten_tail(tmp_path, batch_rows):
    folder = tmp_path / "rec"
    child = subprocess.Popen([sys.executable, "-c", _CHILD, str(folder), str(batch_rows)])
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            files = list(folder.glob("*.arrows")) if folder.exists() else []
            if files and files[0].stat().st_size > 400_000:
                break
            time.sleep(0.01)
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
    rec = open_recording(str(folder), salvage=True)
    n = len(rec.calls)
    assert n > 0 and n % batch_rows == 0
    assert [c.seq for c in rec.calls] == list(range(n))
    for c in rec.calls[:: max(1, n // 50)]:
        trade = c.args[0]
        i = c.seq
        assert (trade.trade_time, trade.biz_index, trade.trade_volume, trade.value_trade) == \
            (i, i, 100 * i, 825.0 * i)
        assert trade.market_type is MarketType.SSE


def _recording_file(tmp_path, rows=10):
    r = Recorder(tmp_path / "rec", batch_rows=4, clock=Clock(), fsync=False)
    code = layouts.CALLBACK_NAMES.index("on_snapshot")
    values = tuple(getattr(SNAP, n) for n, _ in layouts.SNAPSHOT)
    for _ in range(rows):
        r.add(code, values)
    r.close()
    return r.paths[0]


def test_cut_inside_a_batch_is_refused_or_salvaged(tmp_path):
    path = _recording_file(tmp_path)
    data = open(path, "rb").read()
    with open(path, "wb") as f:
        f.write(data[: len(data) - 300])
    with pytest.raises(RecordingError, match=r"\.000\.arrows: truncated after 2 complete batches"):
        open_recording(str(tmp_path / "rec"))
    rec = open_recording(str(tmp_path / "rec"), salvage=True)
    assert len(rec) == 8 and rec.salvaged == {path: 2}


def _foreign_stream(path, metadata):
    table = pa.table({"x": [1, 2]})
    with pa.OSFile(str(path), "wb") as sink:
        with pa.ipc.new_stream(sink, table.schema.with_metadata(metadata)) as w:
            w.write_table(table)


@pytest.mark.parametrize("make,message", [
    (lambda d: None, "no such recording"),
    (lambda d: (d.mkdir(), (d / "notes.txt").write_text("x")), "holds no recording files"),
    (lambda d: (d.mkdir(), (d / "2024-06-17.000.arrows").write_bytes(b"PAR1" + b"\x00" * 64)),
     "2024-06-17.000.arrows: not a recording (not an Arrow IPC stream"),
    (lambda d: (d.mkdir(), _foreign_stream(d / "x.arrows", {"a": "b"})),
     "x.arrows: not a recording of terminal callbacks"),
    (lambda d: (d.mkdir(), (d / "2024-06-17.000.arrows").write_bytes(b"")),
     "recording files are empty"),
])
def test_unreadable_recordings(tmp_path, make, message):
    folder = tmp_path / "rec"
    make(folder)
    with pytest.raises(RecordingError, match=re.escape(message)) as err:
        open_recording(str(folder))
    assert str(folder) in str(err.value)


def test_newer_format_version_is_refused_with_both_versions(tmp_path, monkeypatch):
    monkeypatch.setattr(writer, "FORMAT_VERSION", writer.FORMAT_VERSION + 1)
    _recording_file(tmp_path)
    monkeypatch.undo()
    with pytest.raises(RecordingError, match="recording format version 2 is newer than this build "
                                             r"understands \(version 1 or older\)"):
        open_recording(str(tmp_path / "rec"))


def test_recording_a_missing_folder_argument_is_a_type_error():
    with pytest.raises(TypeError, match="record_to"):
        recording_class(Base)(Config())


def test_a_failing_write_stops_the_recording_not_the_callbacks(tmp_path, monkeypatch, caplog):
    s = _strategy(tmp_path, batch_rows=2)

    def full(*args):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(Recorder, "_write", full)
    for _ in range(5):
        s.on_snapshot(SNAP)
    assert [name for name, _ in s.seen] == ["on_snapshot"] * 5
    assert isinstance(s.recorder.error, OSError)
    assert "recording into" in caplog.text and "No space left" in caplog.text
    s.close_recording()
