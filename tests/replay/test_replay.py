"""The replay of one trading day end to end, and its command line."""
import datetime as _dt
import json
import os

import numpy as np
import pandas as pd
import pytest

import corvane.tessara.utils.livefeed as lf
from corvane import harness
from tessara_replay import ReplayError, cli, run_replay
from tessara_replay.clock import SimClock, patched_bridge_clock
from tessara_replay.feed import trade_volumes

DAY = "2024-06-17"


@pytest.fixture(scope="module")
def replay(store, tmp_path_factory):
    """One short replay of two instruments, shared by the checks below."""
    out = tmp_path_factory.mktemp("out")
    with harness.dataset_restored():
        result = run_replay(day=DAY, instruments=2, out_dir=str(out), store=store)
    from corvane.dataset import load
    return result, out, load(store)


def _expected_market_events(dataset, codes, day):
    ticks = l2_orders = l2_trades = 0
    times = set()
    for code in codes:
        bars = dataset.minute_bars(code, day)
        lot = int(dataset.profile(code)["round_lot"])
        ticks += len(bars)
        times.update(bars.index)
        traded = bars["volume"][bars["volume"] > 0]
        l2_orders += 2 * len(traded)
        l2_trades += sum(len(trade_volumes(v, lot)) for v in traded)
    return {"TICK": ticks, "BAR": len(times), "L2_ORDER": l2_orders, "L2_TRANSACTION": l2_trades}


def test_market_events_match_the_dataset(replay):
    result, _, dataset = replay
    expected = _expected_market_events(dataset, result.codes, pd.Timestamp(DAY))
    assert expected["BAR"] == 240
    assert {k: result.events.get(k, 0) for k in expected} == expected


@pytest.mark.parametrize("kind, count", [
    ("BEFORE_TRADING", 1), ("OPEN_AUCTION", 1), ("AFTER_TRADING", 1), ("NEXT_DAY_START", 0),
    ("LOGIN", 1), ("ALGO_LOGIN", 1), ("QUERY_ACCOUNT", 1), ("QUERY_POSITION", 1),
    ("ORDER_CREATION_PASS", 4), ("ORDER_UNSOLICITED_UPDATE", 1),
    ("ORDER_CANCELLATION_PASS", 1), ("ORDER_PENDING_CANCEL", 1), ("ORDER_CANCELLATION_REJECT", 2),
    ("PARENT_ORDER_CREATE", 1), ("PARENT_ORDER_PAUSE", 1), ("PARENT_ORDER_RESUME", 1),
    ("CHILD_ORDER_TRADE", 6), ("CHILD_ORDER_UPDATE", 12),
])
def test_session_and_order_event_counts(replay, kind, count):
    assert replay[0].events.get(kind, 0) == count


def test_day_events_come_at_simulated_times(replay):
    day = _dt.datetime.strptime(DAY, "%Y-%m-%d")
    assert replay[0].day_events == {
        "BEFORE_TRADING": day.replace(hour=9), "OPEN_AUCTION": day.replace(hour=9, minute=24),
        "AFTER_TRADING": day.replace(hour=15, minute=30)}


def test_orders_trades_and_algo(replay):
    result = replay[0]
    assert result.orders == {"FILLED": 3, "CANCELLED": 1, "REJECTED": 1}
    # every fill the terminal reported reached the framework as one TRADE event
    assert result.events["TRADE"] == result.terminal_sent["on_trade"] > 0
    assert result.algo["status"] == "Finished" and result.algo["filled"] == result.algo["quantity"]
    assert sum(1 for f in result.fills if (f["kind"], f["side"]) == ("algo", "BUY")) == 6


def test_accessors_caches_and_counters(replay):
    result = replay[0]
    assert result.checks == {"passed": 240 * len(result.codes)}
    # the repeated warm-up queries (day and minute bars per instrument) are cache hits
    assert result.cache_hits >= 2 * len(result.codes)
    assert result.history_queries > result.cache_hits
    assert result.data_calls["get_price"] == result.history_queries - result.cache_hits
    assert result.gateway_calls == {"index_con_his": 2, "get_index_weight_stk": 2}
    assert result.high_water >= 1
    assert result.callbacks == sum(result.terminal_sent.values())


def test_outputs_written_whole_and_bridge_clock_restored(replay):
    result, out, _ = replay
    names = sorted(os.listdir(out))
    assert names == sorted(["chart_%s_20240617.png" % code for code in result.codes] + [
        "events.jsonl", "fills.csv", "fills.parquet", "orders.csv", "orders.parquet",
        "summary.json", "summary.txt"])
    for code in result.codes:
        with open(result.files["chart_" + code], "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    with open(result.files["json"]) as f:
        assert json.load(f)["events"] == result.events
    assert lf.datetime is _dt.datetime and lf.np is np


def test_clock_stands_in_for_the_bridge_wall_clock():
    clock = SimClock(_dt.date(2024, 6, 17))
    clock.scheduler.advance(9 * 3600 * 10**9 + 250_000_000)
    with patched_bridge_clock(lf, clock):
        assert lf.datetime.now() == _dt.datetime(2024, 6, 17, 9, 0, 0, 250000)
        assert lf.np.datetime64("today", "D") == np.datetime64("2024-06-17")
        assert lf.np.datetime64("2020-01-02") == np.datetime64("2020-01-02")
        assert lf.np.float64 is np.float64
    assert lf.datetime is _dt.datetime and lf.np is np


# the command line's error paths ----------------------------------------------------------------
def _corrupt_store(tmp_path):
    path = tmp_path / "corrupt"
    path.mkdir()
    (path / "meta.json").write_text("{not json")
    (path / "instruments.parquet").write_bytes(b"garbage")
    return str(path)


@pytest.mark.parametrize("args, message", [
    (["--day", "2024-06-15"], "unknown day 2024-06-15"),
    (["--day", "someday"], "unknown day 'someday'"),
    (["--day", "06/07/2024"], "unknown day '06/07/2024': not a date in the form YYYY-MM-DD"),
    (["--day", "17/06/2024"], "unknown day '17/06/2024': not a date in the form YYYY-MM-DD"),
    (["--day", "2024-6-7"], "unknown day '2024-6-7': not a date in the form YYYY-MM-DD"),
    (["--day", "20240617"], "unknown day '20240617': not a date in the form YYYY-MM-DD"),
    (["--day", "2024-02-30"], "unknown day '2024-02-30': not a date in the form YYYY-MM-DD"),
    (["--day", "2024-06-17 10:00"], "unknown day '2024-06-17 10:00'"),
    (["--day", ""], "unknown day '': not a date"),
    (["--day", "2031-03-04"], "no market data for 2031-03-04"),
    (["--code", "999999.SH"], "no such instrument: 999999.SH"),
    (["--code", "000001.SH"], "000001.SH is not a stock or fund"),
    (["--code", "000022.SZ"], "000022.SZ did not trade on 2024-06-17"),
    (["-n", "50"], "asked for 50"),
    (["--store", "{tmp}/missing"], "no data store at"),
    (["--store", "{corrupt}"], "missing or corrupt"),
    (["--out", "{tmp}/a_file/out"], "cannot write to output folder"),
])
def test_cli_bad_input_is_one_line_and_writes_nothing(store, tmp_path, capsys, args, message):
    (tmp_path / "a_file").write_text("not a folder")
    fill = {"tmp": str(tmp_path), "corrupt": _corrupt_store(tmp_path)}
    args = [a.format(**fill) for a in args]
    out = tmp_path / "out"
    argv = ["--store", store, "--out", str(out), "-q"] + args
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and err.startswith("tessara-replay: error: ")
    assert not out.exists() or os.listdir(out) == []


def test_failure_during_the_run_leaves_no_results(store, tmp_path, monkeypatch):
    import tessara_replay.chart as chart

    def broken(path, data, result):
        with open(path, "wb") as f:
            f.write(b"half")
        raise RuntimeError("plotting failed")
    monkeypatch.setattr(chart, "draw_chart", broken)
    with pytest.raises(RuntimeError):
        run_replay(day=DAY, codes=["600519.SH"], out_dir=str(tmp_path), store=store)
    assert os.listdir(tmp_path) == []


def test_replay_error_is_raised_before_anything_runs(store, tmp_path):
    with pytest.raises(ReplayError, match="at least 1"):
        run_replay(day=DAY, instruments=0, out_dir=str(tmp_path / "o"), store=store)
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("code", ["600000.SH", "000001.SZ", "159915.SZ"])
def test_feed_snapshots_add_up_to_the_day_bar(store, code):
    from corvane.dataset import load
    from pyvorn.records import datetime_from_stamp
    from tessara_replay import feed
    dataset = load(store)
    day = pd.Timestamp(DAY)
    ins = feed.load_instrument_day(dataset, code, day)
    day_bar = dataset.day_bars(code).loc[day]
    last = feed.snapshot(ins, len(ins) - 1)
    assert last.total_volume_trade == day_bar["volume"]
    assert last.total_value_trade == pytest.approx(day_bar["total_turnover"])
    assert (last.open_price, last.high_price, last.low_price, last.last_price) == pytest.approx(
        (day_bar["open"], day_bar["high"], day_bar["low"], day_bar["close"]))
    assert last.bid_price[0] < last.last_price < last.ask_price[0]
    first = feed.bar(ins, 0)
    assert datetime_from_stamp(first.end_time) == ins.times[0] == _dt.datetime(2024, 6, 17, 9, 31)
    assert first.prev_close == day_bar["prev_close"]
    orders, trades = feed.level2_records(ins, 0, iter(range(1, 100)))
    assert sum(t.trade_volume for t in trades) == ins.volume[0]
    assert [t.bid_appl_seq_num > t.offer_appl_seq_num for t in trades] == [True, False][:len(trades)]
