"""A user's strategy in place of the demo: the events it is handed, what the context gives it,
and the fills and orders written out; the README's example runs as documented."""
import os
import re
from collections import Counter

import pandas as pd
import pytest

from tessara_replay import cli, run_replay

DAY = "2024-06-17"
README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")

RECORDER = '''
from collections import Counter


class Recorder:
    """Calls every method of the interface and buys one lot of the first code at 10:00."""
    seen = None

    def __init__(self, ctx):
        self.ctx = ctx
        self.calls = Counter()
        self.notes = {}
        Recorder.seen = self

    def _note(self, name, event):
        self.calls[name] += 1

    def before_trading(self, event):
        self._note("before_trading", event)
        code = self.ctx.codes[0]
        bars = self.ctx.history(code, 3, "1d", None)
        self.notes["last_history_day"] = int(bars["orig_time"][-1]) // 1000000
        self.notes["minutes"] = len(self.ctx.history(code, 240, "1m", "close"))
        self.notes["instrument"] = self.ctx.instrument(code)

    def open_auction(self, event):
        self._note("open_auction", event)

    def on_tick(self, event):
        self._note("on_tick", event)

    def on_bar(self, event):
        self._note("on_bar", event)
        code = self.ctx.codes[0]
        if event.trading_dt.strftime("%H:%M") == "10:00":
            self.notes["bars_by_10"] = len(self.ctx.recent_bars(code))
            self.notes["tick_at_10"] = self.ctx.current_tick(code)["datetime"]
            self.notes["now_at_10"] = self.ctx.now()
            lot = int(self.ctx.instrument(code).round_lot)
            self.notes["order"] = self.ctx.buy(code, lot)

    def on_l2_order(self, event):
        self._note("on_l2_order", event)

    def on_l2_transaction(self, event):
        self._note("on_l2_transaction", event)

    def on_order(self, event):
        self._note("on_order", event)

    def on_trade(self, event):
        self._note("on_trade", event)

    def on_algo_order(self, event):
        self._note("on_algo_order", event)

    def on_algo_trade(self, event):
        self._note("on_algo_trade", event)

    def after_trading(self, event):
        self._note("after_trading", event)
        self.notes["account"] = self.ctx.account
        self.notes["positions"] = len(self.ctx.positions)
        self.notes["final"] = self.ctx.order(self.notes["order"])
'''


@pytest.fixture
def recorder(tmp_path, monkeypatch):
    (tmp_path / "recorder_strategy.py").write_text(RECORDER)
    monkeypatch.syspath_prepend(str(tmp_path))
    yield "recorder_strategy:Recorder"
    import sys
    sys.modules.pop("recorder_strategy", None)


@pytest.mark.parametrize("fast", [False, True])
def test_strategy_sees_the_documented_events_and_context(store_dataset, tmp_path, recorder, fast):
    result = run_replay(day=DAY, instruments=2, dataset=store_dataset, out_dir=str(tmp_path / "out"),
                        strategy=recorder, fast=fast, chart=False)
    import recorder_strategy
    seen = recorder_strategy.Recorder.seen
    calls, notes = seen.calls, seen.notes
    assert result.strategy == recorder
    level2 = 0 if fast else result.events["L2_ORDER"]
    assert calls == Counter({
        "before_trading": 1, "open_auction": 1, "after_trading": 1, "on_bar": 240,
        "on_tick": 480, "on_l2_order": level2, "on_l2_transaction": result.events.get("L2_TRANSACTION", 0),
        "on_order": 1, "on_trade": 1}) - Counter()     # a market order fills at once
    # history stops at the previous trading day; the minute history is that day's session
    assert notes["last_history_day"] == 20240614 and notes["minutes"] == 240
    assert notes["instrument"].market_code == result.codes[0] and notes["instrument"].round_lot == 100
    ten = pd.Timestamp(DAY + " 10:00").to_pydatetime()
    assert notes["bars_by_10"] == 30 and notes["tick_at_10"] == ten
    assert notes["now_at_10"] >= ten
    assert notes["final"].status.name == "FILLED" and notes["final"].filled_quantity == 100
    assert notes["account"] is not None and notes["positions"] == 2
    assert result.orders == {"FILLED": 1} and result.checks == {}


def test_fills_and_orders_written_as_csv_and_parquet(store, tmp_path):
    out = tmp_path / "out"
    assert cli.main(["--store", store, "--out", str(out), "-q", "-n", "2", "--no-chart"]) == 0
    for kind in ("fills", "orders"):
        csv = pd.read_csv(out / (kind + ".csv"))
        parquet = pd.read_parquet(out / (kind + ".parquet"))
        assert list(csv.columns) == list(parquet.columns) and len(csv) == len(parquet) > 0
    fills = pd.read_parquet(out / "fills.parquet")
    orders = pd.read_parquet(out / "orders.parquet")
    assert sorted(orders["status"]) == ["CANCELLED", "FILLED", "FILLED", "FILLED", "REJECTED"]
    # every order fill belongs to an order of the table, with the filled quantity adding up
    by_order = fills[fills["kind"] == "order"].groupby("order_id")["quantity"].sum()
    filled = orders.set_index("order_id")["filled_quantity"]
    assert (by_order == filled[by_order.index]).all()
    assert filled.drop(by_order.index).eq(0).all()
    algo = fills[fills["kind"] == "algo"]
    assert len(algo) == 6 and algo["order_id"].nunique() == 1
    assert fills["time"].is_monotonic_increasing


def _readme_example():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    match = re.search(r"<!-- strategy example -->\n```python\n(.*?)```", text, re.S)
    assert match, "README has no strategy example"
    return match.group(1)


def test_readme_strategy_example_runs_as_documented(store, tmp_path):
    code = _readme_example()
    assert len(code.strip().splitlines()) <= 15
    (tmp_path / "dip_buyer.py").write_text(code)
    out = tmp_path / "out"
    argv = ["--store", store, "--out", str(out), "-q", "--no-chart",
            "--strategy", str(tmp_path / "dip_buyer.py") + ":DipBuyer"]
    assert cli.main(argv) == 0
    orders = pd.read_csv(out / "orders.csv")
    # the buy of the day is not sold (it settles the next day); what was held before is
    assert list(zip(orders["market_code"], orders["side"], orders["status"])) == [
        ("601318.SH", "BUY", "FILLED"), ("600000.SH", "SELL", "FILLED"),
        ("600519.SH", "SELL", "FILLED")]
    assert orders["filled_quantity"].tolist() == [100, 1000, 1000]
    assert pd.read_csv(out / "fills.csv")["quantity"].sum() == 2100


def test_a_replay_reads_its_own_dataset_after_another_was_served(store_dataset, tmp_path, recorder):
    """The data source module memoises suspension series across data sources; a replay
    starts from none, so a series read from another dataset does not answer it."""
    from corvane import harness
    from corvane.dataset import Dataset
    from corvane.tessara.mod.mod_quant_data.data_sources import histsource
    ds = store_dataset
    code = "600000.SH"
    tables = dict(ds.tables, suspensions=pd.DataFrame(
        {"market_code": code, "date": ds.trading_dates_between(ds.meta["start"], ds.meta["end"])}))
    harness.use_dataset(Dataset(tables, ds.trading_dates, ds.meta))
    harness.forget_data_source_memos()
    assert histsource._is_suspended(code).all()          # memoised: suspended every day
    run_replay(day=DAY, codes=[code], dataset=ds, out_dir=str(tmp_path / "out"), strategy=recorder,
               fast=True)
    import recorder_strategy
    assert recorder_strategy.Recorder.seen.notes["last_history_day"] == 20240614
