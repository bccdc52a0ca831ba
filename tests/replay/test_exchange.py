"""The simulated exchange keeps the account's rules: cash and fees frozen by buys, sellable
holdings under the settlement rule, and refusals that say why."""
import pytest

from tessara_replay import run_replay
from tessara_replay.account import MIN_COMMISSION, Account, fee
from tessara_replay.blotter import reason_text

DAY = "2024-06-17"


@pytest.mark.parametrize("kind, is_buy, value, expected", [
    ("stock", True, 0.0, 0.0),
    ("stock", True, 1000.0, MIN_COMMISSION),              # the minimum commission
    ("stock", True, 100_000.0, 25.0),
    ("stock", False, 100_000.0, 25.0 + 50.0),             # stamp duty on stock sells
    ("fund", False, 100_000.0, 25.0),                     # none on funds
])
def test_fees(kind, is_buy, value, expected):
    assert fee(kind, is_buy, value) == pytest.approx(expected)


def test_buy_freezes_price_quantity_and_fees_and_refuses_beyond_cash():
    account = Account(10_000.0)
    assert account.commit(1, "600000.SH", "stock", True, 1000, 8.0) is None
    assert account.frozen_cash() == 8000.0 + MIN_COMMISSION
    refusal = account.commit(2, "600000.SH", "stock", True, 300, 8.0)
    assert refusal.startswith("insufficient cash: the order needs 2405.00")
    assert "1995.00 is available" in refusal
    account.release(1)
    assert account.available_cash() == 10_000.0


def test_partial_fills_pay_one_minimum_commission_and_unfreeze_their_share():
    account = Account(10_000.0)
    account.commit(1, "600000.SH", "stock", True, 1000, 8.0)
    account.fill(1, 400, 7.9)
    account.fill(1, 600, 8.0)
    assert account.fees_paid == MIN_COMMISSION
    assert account.cash == pytest.approx(10_000.0 - 400 * 7.9 - 600 * 8.0 - MIN_COMMISSION)
    assert account.frozen_cash() == 0.0 and account.available_cash() == account.cash


@pytest.mark.parametrize("kind, code, sellable_after_buy", [
    ("stock", "600000.SH", 0),          # T+1: bought today, sold tomorrow
    ("fund", "510300.SH", 0),
    ("Future", "RB2410.SHF", 200),      # T+0
])
def test_settlement_rule_of_the_kind(kind, code, sellable_after_buy):
    account = Account(1_000_000.0)
    account.commit("b", code, kind, True, 200, 10.0)
    account.fill("b", 200, 10.0)
    assert account.holdings[code].quantity == 200
    assert account.sellable(code) == sellable_after_buy
    refusal = account.commit("s", code, kind, False, 200, 10.0)
    assert (refusal is None) == (sellable_after_buy == 200)


def test_sells_take_held_shares_and_open_sells_count():
    account = Account(0.0, {"600000.SH": (1000, 8.0)})
    assert account.commit(1, "600000.SH", "stock", False, 600, 8.0) is None
    refusal = account.commit(2, "600000.SH", "stock", False, 500, 8.0)
    assert refusal.startswith("insufficient sellable holdings of 600000.SH: selling 500, 400")
    account.fill(1, 600, 8.5)
    assert account.holdings["600000.SH"].quantity == 400
    assert account.cash == pytest.approx(600 * 8.5 - fee("stock", False, 600 * 8.5))
    assert "selling 100, 0 sellable" in account.commit(3, "601318.SH", "stock", False, 100, 40.0)


@pytest.mark.parametrize("message, text", [
    ("23_insufficient cash: x", "insufficient cash: x"),
    ("20_price 9.31 outside limits", "price 9.31 outside limits"),
    ("", ""), (None, ""), ("plain text_with underscore", "plain text_with underscore"),
])
def test_rejection_reason_without_code(message, text):
    assert reason_text(message) == text


OVERREACH = '''
class Overreach:
    """Buys far beyond the cash, sells what the account never held, and sells what it
    bought today."""

    def __init__(self, ctx):
        self.ctx = ctx

    def on_bar(self, event):
        hm = event.trading_dt.strftime("%H:%M")
        if hm == "09:35":
            self.ctx.buy("600519.SH", 36200, 1300.0)
            self.ctx.sell("601318.SH", 50000)
            self.ctx.buy("000001.SZ", 1000)
        elif hm == "14:00":
            self.ctx.sell("000001.SZ", 1000)
'''


def test_impossible_orders_are_rejected_with_reasons(store, store_dataset, tmp_path):
    (tmp_path / "overreach.py").write_text(OVERREACH)
    result = run_replay(day=DAY, codes=["600000.SH", "600519.SH", "601318.SH", "000001.SZ"],
                        dataset=store_dataset, out_dir=str(tmp_path / "out"), fast=True,
                        strategy=str(tmp_path / "overreach.py") + ":Overreach")
    orders = result.order_table.set_index("order_id")
    assert list(orders["status"]) == ["REJECTED", "REJECTED", "FILLED", "REJECTED"]
    assert orders.loc[1, "message"].startswith("insufficient cash")
    assert orders.loc[2, "message"].startswith("insufficient sellable holdings of 601318.SH")
    assert orders.loc[4, "message"].startswith("insufficient sellable holdings of 000001.SZ")
    assert [f["side"] for f in result.fills] == ["BUY"]


def test_the_demo_fits_its_account(store_dataset, tmp_path):
    result = run_replay(day=DAY, instruments=6, dataset=store_dataset,
                        out_dir=str(tmp_path), fast=True)
    rejected = result.order_table[result.order_table["status"] == "REJECTED"]
    # the one planned rejection is a price beyond the limit, never the account
    assert list(rejected["message"].str.split(" ").str[0]) == ["price"]
    bought = sum(f["price"] * f["quantity"] for f in result.fills if f["side"] in ("BUY", "buy"))
    assert bought < 1_000_000


@pytest.mark.parametrize("tick, value, text", [
    (0.01, 27.240000000000002, "27.24"), (0.01, 1207.8600000000001, "1207.86"),
    (0.001, 3.9999999, "4.000"), (1.0, 3701.0, "3701"), (0.2, 3600.4000000001, "3600.4"),
    (0.02, 470.06, "470.06"),
])
def test_prices_to_the_tick(tick, value, text):
    from tessara_replay.prices import price_text
    assert price_text(value, tick) == text


def test_an_algo_order_beyond_the_cash_is_refused_and_controls_of_it_answered(store_dataset, tmp_path):
    """One expensive instrument: the demo's algorithmic order does not fit, its pause and
    resume are answered with an error rather than crashing the terminal."""
    result = run_replay(day=DAY, codes=["600519.SH"], dataset=store_dataset,
                        out_dir=str(tmp_path), fast=True)
    assert result.events.get("PARENT_ORDER_CREATE", 0) <= 1
    assert "ACTIVE" not in result.orders
