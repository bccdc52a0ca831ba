"""Data-side host stand-ins: the generated dataset, the data client, the gateway client and
the framework's data-source helpers."""
import datetime

import numpy as np
import pandas as pd
import pytest

import corvane.dataset as dataset_pkg
import corvane.tessara.datac as ostradatac
from corvane import gid
from corvane.data.wkclient.commons import ApiRspCode
from corvane.dataset import TABLE_NAMES, Dataset
from corvane.tessara.const import TRADING_CALENDAR_TYPE
from corvane.tessara.data.base_data_source.storages import InstrumentStore
from corvane.tessara.data.trading_dates_mixin import TradingDatesMixin
from corvane.tessara.mod.mod_quant_data.data_sources.resample_helper import resample_bars
from corvane.tessara.model.instrument import Instrument

T = pd.Timestamp


@pytest.fixture(scope="module")
def ds():
    return Dataset.generate()


@pytest.fixture(autouse=True)
def client(ds):
    ostradatac.set_dataset(ds)
    ostradatac.reset_call_counts()
    gid.reset_call_counts()
    yield ostradatac
    ostradatac.set_dataset(None)


def _sample_days(ds, code, k=12):
    days = ds.day_bars(code).index
    return days[np.linspace(0, len(days) - 1, k).astype(int)]


# generator -------------------------------------------------------------------------------
def test_generation_is_deterministic_per_seed(ds):
    again = Dataset.generate()
    for name in TABLE_NAMES:
        pd.testing.assert_frame_equal(ds.tables[name], again.tables[name])
    day = T("2024-03-05")
    pd.testing.assert_frame_equal(ds.minute_bars("RB2410.SHF", day), again.minute_bars("RB2410.SHF", day))
    other = Dataset.generate(seed=7)
    assert not ds.day_bars("600519.SH")["close"].equals(other.day_bars("600519.SH")["close"])


def test_minute_bars_are_independent_of_request_order(ds):
    fresh = Dataset(ds.tables, ds.trading_dates, ds.meta)
    day = T("2024-06-03")
    fresh.minute_bars("600000.SH", T("2024-06-04"))
    pd.testing.assert_frame_equal(fresh.minute_bars("600000.SH", day), ds.minute_bars("600000.SH", day))


@pytest.mark.parametrize("code", ["600519.SH", "000001.SZ", "300750.SZ", "000001.SH", "510300.SH",
                                  "RB2410.SHF", "AU2412.SHF", "IF2412.CFE"])
def test_minute_bars_aggregate_exactly_to_day_bar(ds, code):
    bars = ds.day_bars(code)
    checked = 0
    for day in _sample_days(ds, code):
        day_bar = bars.loc[day]
        minutes = ds.minute_bars(code, day)
        if day_bar["volume"] == 0:
            assert minutes is None
            continue
        checked += 1
        assert minutes["open"].iloc[0] == day_bar["open"]
        assert minutes["close"].iloc[-1] == day_bar["close"]
        assert minutes["high"].max() == day_bar["high"]
        assert minutes["low"].min() == day_bar["low"]
        assert minutes["volume"].sum() == day_bar["volume"]
        assert minutes["total_turnover"].sum() == day_bar["total_turnover"]
        assert (minutes["high"] >= minutes[["open", "close"]].max(axis=1)).all()
        assert (minutes["low"] <= minutes[["open", "close"]].min(axis=1)).all()
        assert minutes.index.is_monotonic_increasing
        if "open_interest" in minutes:
            assert minutes["open_interest"].iloc[-1] == day_bar["open_interest"]
    assert checked > 5


@pytest.mark.parametrize("code", ["600000.SH", "000001.SZ", "RB2410.SHF"])
def test_minute_path_reaches_extremes_without_spikes(ds, code):
    """The day's high and low are reached by the walk itself, not by one isolated minute."""
    bars = ds.day_bars(code)
    for day in _sample_days(ds, code, k=20):
        day_bar = bars.loc[day]
        day_range = day_bar["high"] - day_bar["low"]
        if day_bar["volume"] == 0 or day_range < 10 * 0.01:
            continue
        minutes = ds.minute_bars(code, day)
        assert (minutes["high"] - minutes["low"]).max() <= day_range / 2


def test_day_bars_are_consistent_and_suspended_days_flat(ds):
    bars = ds.tables["day_bars"]
    assert (bars["high"] >= bars[["open", "close"]].max(axis=1)).all()
    assert (bars["low"] <= bars[["open", "close"]].min(axis=1)).all()
    assert (bars["high"] <= bars["limit_up"] + 1e-9).all() and (bars["low"] >= bars["limit_down"] - 1e-9).all()
    suspended = ds.tables["suspensions"].merge(bars, on=["market_code", "date"])
    assert len(suspended) == len(ds.tables["suspensions"]) > 0
    assert (suspended["volume"] == 0).all() and (suspended["high"] == suspended["low"]).all()


def test_stock_minute_bars_cover_both_sessions(ds):
    minutes = ds.minute_bars("600000.SH", T("2024-03-05"))
    assert len(minutes) == 240
    assert minutes.index[0] == T("2024-03-05 09:31") and minutes.index[119] == T("2024-03-05 11:30")
    assert minutes.index[120] == T("2024-03-05 13:01") and minutes.index[-1] == T("2024-03-05 15:00")


@pytest.mark.parametrize("day, night_date", [
    ("2024-03-05", "2024-03-04"),   # ordinary weekday
    ("2024-03-04", "2024-03-01"),   # Monday: Friday evening's session
    ("2024-10-08", None),           # after the National Day closure: no night session
])
def test_futures_night_bars_belong_to_next_trading_day(ds, client, day, night_date):
    frame = client.get_price("RB2410.SHF", day, day, frequency="1m", adjust_type="none", expect_df=True, variety="Future")
    times = frame.index.get_level_values("orig_time")
    assert (frame["trading_date"] == T(day)).all()
    if night_date is None:
        assert len(frame) == 225 and times[0] == T(day + " 09:01")
    else:
        assert len(frame) == 345
        assert times[0] == T(night_date + " 21:01") and times[119] == T(night_date + " 23:00")
        assert times[120] == T(day + " 09:01")


# client tables -----------------------------------------------------------------------------
def test_day_bars_table_shape(client):
    frame = client.get_price("600519.SH", "2024-01-02", "2024-01-10", frequency="1d", adjust_type="pre",
                             expect_df=True, variety="stock", skip_suspended=False)
    assert frame.index.names == ["market_code", "orig_time"]
    assert list(frame.index.get_level_values("orig_time")) == [
        20240102000000, 20240103000000, 20240104000000, 20240105000000, 20240108000000, 20240109000000, 20240110000000]
    assert frame.index.get_level_values("orig_time")[-1] == 20240110000000
    assert {"open", "close", "high", "low", "volume", "total_turnover"} <= set(frame.columns)
    # the re-indexing the data source applies keeps every bar
    again = frame.reset_index().set_index(["market_code", "orig_time"]).sort_index()
    pd.testing.assert_frame_equal(again, frame, check_index_type=False)


@pytest.mark.parametrize("start, end", [("2024-01-02", "2024-01-10"), (datetime.date(2024, 1, 2), datetime.datetime(2024, 1, 10, 15)),
                                        ("20240102", "20240110")])
def test_get_price_accepts_date_forms(client, start, end):
    frame = client.get_price("600000.SH", start, end, frequency="1d", adjust_type="none")
    assert len(frame) == 7


def test_get_price_several_codes_fields_and_no_data(client):
    frame = client.get_price(["600000.SH", "RB2410.SHF"], "2024-03-04", "2024-03-05", fields=["close"], adjust_type="none")
    assert list(frame.columns) == ["close"]
    assert list(frame.index.get_level_values(0).unique()) == ["600000.SH", "RB2410.SHF"]
    probe = client.get_price("000001.SH", "2024-12-20", "2024-12-31", fields="close_price", frequency="1d",
                             adjust_type="none", expect_df=True, variety="index")
    assert list(probe.columns) == ["close_price"] and probe.index.get_level_values("orig_time")[-1] == 20241231000000
    assert client.get_price("000001.SH", "2026-01-05", "2026-02-05", frequency="1d") is None
    assert client.get_price("688111.SH", "2023-01-03", "2023-06-01", frequency="1m") is None
    with pytest.raises(ValueError):
        client.get_price("600000.SH", "2024-01-02", "2024-01-03", frequency="1w")


def test_skip_suspended_and_adjustment(ds, client):
    plain = client.get_price("600000.SH", "2024-12-20", "2024-12-31", adjust_type="none", skip_suspended=False)
    skipped = client.get_price("600000.SH", "2024-12-20", "2024-12-31", adjust_type="none", skip_suspended=True)
    assert len(plain) - len(skipped) == 3
    # across the split the pre-adjusted series has no jump, the raw one falls by the split ratio
    raw = client.get_price("300750.SZ", "2024-05-17", "2024-05-20", adjust_type="none")["prev_close"].values
    pre = client.get_price("300750.SZ", "2024-05-17", "2024-05-20", adjust_type="pre")
    close_before = client.get_price("300750.SZ", "2024-05-17", "2024-05-17", adjust_type="none")["close"].iloc[0]
    assert raw[1] == pytest.approx(close_before / 1.5, abs=0.01)
    assert pre["prev_close"].iloc[1] == pytest.approx(pre["close"].iloc[0], rel=1e-3)
    day = T("2024-05-17")
    pre_minutes = client.get_price("300750.SZ", day, day, frequency="1m", adjust_type="pre")
    assert pre_minutes["high"].max() == pre["high"].iloc[0] and pre_minutes["close"].iloc[-1] == pre["close"].iloc[0]


def test_status_tables(client):
    whole = client.is_suspended("600000.SH")
    assert list(whole.columns) == ["600000.SH"] and whole.index.is_monotonic_increasing
    assert whole.index[-1] == T("2024-12-31") and whole.loc["2024-12-25":"2024-12-27", "600000.SH"].all()
    ranged = client.is_suspended("600000.SH", "2024-12-24", "2024-12-30")
    assert list(ranged["600000.SH"]) == [False, True, True, True, False]
    assert client.is_suspended("688111.SH", "2023-01-03", "2023-01-31").empty
    with pytest.raises(ValueError):
        client.is_suspended("999999.SH", "2024-01-02", "2024-01-05")
    assert client._is_st_stock("000002.SZ", datetime.date(2024, 6, 3)) is True
    assert client._is_st_stock("000002.SZ", datetime.date(2024, 9, 2)) is False
    st = client.is_st_stock("000002.SZ", "2024-04-30", "2024-05-07")
    assert list(st["000002.SZ"]) == [False, True, True]
    assert client.instruments("600000.SH").tick_size() == 0.01 and client.instruments("nope") is None


def test_corporate_action_tables(client):
    div = client.get_dividend("600519.SH", adjusted=False)
    assert {"book_closure_date", "ex_dividend_date", "payable_date", "dividend_cash_before_tax", "round_lot"} <= set(div.columns)
    assert isinstance(div.index, pd.DatetimeIndex) and (div.index < div["ex_dividend_date"]).all()
    # dividends paid before the split are restated in post-split shares when adjusted
    raw = client.get_dividend("300750.SZ", adjusted=False)
    adj = client.get_dividend("300750.SZ", adjusted=True)
    before = raw["ex_dividend_date"] < T("2024-05-20")
    assert np.allclose(adj["dividend_cash_before_tax"][before], raw["dividend_cash_before_tax"][before] / 1.5)
    split = client.get_split("300750.SZ")
    assert split.index[0] == T("2024-05-20") and split["split_coefficient_to"].iloc[0] / split["split_coefficient_from"].iloc[0] == 1.5
    assert client.get_split("600000.SH") is None
    trans = client.get_share_transformation("000022.SZ")
    assert (trans.loc[0, "successor"], trans.loc[0, "share_conversion_ratio"]) == ("001872.SZ", 0.9)
    assert client.get_share_transformation("600000.SH") is None


def test_futures_and_rate_tables(client):
    fee = client.future_commission_margin("AU2412.SHF", hedge_flag="speculation")
    assert len(fee) == 1 and fee["commission_type"].iloc[0] == "by_volume"
    assert {"open_commission_ratio", "close_commission_ratio", "close_commission_today_ratio",
            "long_margin_ratio", "short_margin_ratio"} <= set(fee.columns)
    assert client.future_commission_margin("600000.SH", hedge_flag="speculation") is None
    params = client.futures.get_trading_parameters("RB2410.SHF", datetime.date(2024, 9, 27), datetime.date(2024, 9, 27))
    assert len(params) == 1
    assert {"close_commission", "close_commission_today", "commission_type", "open_commission",
            "long_margin_ratio", "short_margin_ratio"} <= set(params.columns)
    # margins are raised before the National Day closure
    normal = client.futures.get_trading_parameters("RB2410.SHF", "2024-09-20", "2024-09-20")
    assert params["long_margin_ratio"].iloc[0] > normal["long_margin_ratio"].iloc[0]
    curve = client.get_yield_curve("2024-01-02", "2024-01-05", "10Y")
    assert list(curve.columns) == ["10Y"] and len(curve) == 4 and curve["10Y"].between(0, 0.1).all()


# calendar ----------------------------------------------------------------------------------
def test_trading_calendar(client):
    days = [T(d) for d in client.get_trading_dates("2005-01-04", "2050-01-01")]
    index = pd.DatetimeIndex(days)
    assert index[0] == T("2005-01-04") and index[-1] <= T("2050-01-01") and index.is_monotonic_increasing
    assert (index.day_of_week < 5).all()
    for holiday in ["2024-02-12", "2024-10-01", "2024-10-07", "2025-01-01", "2006-05-03"]:
        assert T(holiday) not in index
    assert T("2024-09-29") not in index       # make-up working Sunday
    assert T("2024-10-08") in index
    assert ((index.year == 2035)).sum() == 261  # beyond the holiday table: every weekday


def test_trading_dates_mixin_arithmetic(ds):
    mixin = TradingDatesMixin({TRADING_CALENDAR_TYPE.EXCHANGE: ds.trading_dates})
    assert mixin.get_previous_trading_date(datetime.date(2024, 10, 8)) == T("2024-09-30")
    assert mixin.get_previous_trading_date(T("2024-10-05")) == T("2024-09-30")
    assert mixin.get_previous_trading_date("2024-03-05", n=2) == T("2024-03-01")
    assert mixin.get_next_trading_date(datetime.datetime(2024, 9, 30, 15)) == T("2024-10-08")
    assert list(mixin.get_trading_dates("2024-09-28", "2024-10-09")) == [T("2024-09-30"), T("2024-10-08"), T("2024-10-09")]
    assert mixin.get_trading_calendar() is ds.trading_dates
    with pytest.raises(IndexError):
        mixin.get_previous_trading_date("2005-01-04")


# call counting and gateway -----------------------------------------------------------------
def test_call_counts(client):
    client.get_price("600000.SH", "2024-01-02", "2024-01-03")
    client.get_price("600000.SH", "2024-01-02", "2024-01-03")
    client.is_suspended("600000.SH")
    client.futures.get_trading_parameters("RB2410.SHF", "2024-09-20", "2024-09-20")
    assert client.call_counts == {"get_price": 2, "is_suspended": 1, "futures.get_trading_parameters": 1}
    client.reset_call_counts()
    assert not client.call_counts


def test_gateway_constituents_and_weights():
    data, code, msg = gid.index_con_his(["000300.SH"], start_time="2024-06-14", end_time="2024-06-14")
    assert code == ApiRspCode.SUCCESS and "000002.SZ" in set(data["market_code"]) and "688111.SH" not in set(data["market_code"])
    data, _, _ = gid.index_con_his(["000300.SH"], start_time="2024-06-17", end_time="2024-06-17")
    assert "000002.SZ" not in set(data["market_code"]) and "688111.SH" in set(data["market_code"])
    weights, code, _ = gid.get_index_weight_stk("000300.SH", start_time="2024-06-17", end_time="2024-06-17")
    assert code == ApiRspCode.SUCCESS and weights["weight"].sum() == pytest.approx(100.0)
    weekend, code, _ = gid.get_index_weight_stk("000300.SH", start_time="2024-06-16", end_time="2024-06-16")
    assert weekend.empty and code == ApiRspCode.NO_DATA
    assert gid.call_counts == {"index_con_his": 2, "get_index_weight_stk": 2}


# framework data-source helpers -------------------------------------------------------------
def test_instrument_store_by_code_and_symbol(client):
    instruments = [Instrument(r) for r in client.all_instruments().to_dict(orient="records")]
    stocks = InstrumentStore(instruments, "stock")
    assert "600000.SH" in stocks.all_id_and_syms and "浦发银行" in stocks.all_id_and_syms
    assert "RB2410.SHF" not in stocks.all_id_and_syms
    found = stocks.get_instruments(["浦发银行", "nope", "000001.SZ"])
    assert [i.market_code for i in found] == ["600000.SH", "000001.SZ"]
    assert len(stocks.get_instruments(None)) == len(stocks)
    ins = found[0]
    assert ins.listed_date == datetime.datetime(1999, 11, 10) and ins.type == "stock"
    assert Instrument(client.all_instruments(type="stock").iloc[6].to_dict()).de_listed_date == datetime.datetime(2024, 3, 29)


def _minute_array(client, code, day):
    frame = client.get_price(code, day, day, frequency="1m", adjust_type="none")
    arr = np.empty(len(frame), dtype=[("orig_time", "u8"), ("open", "f8"), ("close", "f8"), ("high", "f8"),
                                      ("low", "f8"), ("volume", "f8")])
    arr["orig_time"] = [int(t.strftime("%Y%m%d%H%M%S")) for t in frame.index.get_level_values(1)]
    for f in ["open", "close", "high", "low", "volume"]:
        arr[f] = frame[f].values
    return arr


@pytest.mark.parametrize("code, minutes, expected", [
    ("600000.SH", 15, 16), ("600000.SH", 7, 36), ("RB2410.SHF", 30, 12), ("600000.SH", 1, 240)])
def test_resample_bars_within_sessions(client, code, minutes, expected):
    bars = _minute_array(client, code, "2024-03-05")
    out = resample_bars(None, bars, ["close"], minutes)
    assert len(out) == expected
    assert out["volume"].sum() == bars["volume"].sum()
    assert out["open"][0] == bars["open"][0] and out["close"][-1] == bars["close"][-1]
    assert out["high"].max() == bars["high"].max() and out["low"].min() == bars["low"].min()
    assert out["orig_time"][-1] == bars["orig_time"][-1]
    if code == "600000.SH" and minutes == 15:
        assert out["orig_time"][7] == 20240305113000 and out["orig_time"][8] == 20240305131500
    with pytest.raises(KeyError):
        resample_bars(None, bars, ["nope"], minutes)


# store ---------------------------------------------------------------------------------------
def test_store_round_trip(ds, tmp_path):
    pytest.importorskip("pyarrow.parquet", exc_type=ImportError)
    ds.save(str(tmp_path))
    loaded = dataset_pkg.load(str(tmp_path))
    for name in TABLE_NAMES:
        pd.testing.assert_frame_equal(ds.tables[name], loaded.tables[name])
    day = T("2024-03-05")
    pd.testing.assert_frame_equal(ds.minute_bars("RB2410.SHF", day), loaded.minute_bars("RB2410.SHF", day))
    expected = ostradatac.get_price("300750.SZ", "2024-05-06", "2024-05-31", adjust_type="pre")
    ostradatac.use_store(str(tmp_path))
    assert ostradatac.get_dataset() is not ds
    pd.testing.assert_frame_equal(ostradatac.get_price("300750.SZ", "2024-05-06", "2024-05-31", adjust_type="pre"), expected)
