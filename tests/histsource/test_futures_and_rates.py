"""Futures commission and trading parameters, yield curve and the available data range."""
import datetime
import types

import pandas as pd
import pytest

import corvane.tessara.datac as datac
from corvane.tessara.const import COMMISSION_TYPE
from corvane.tessara.data.base_data_source.storages import FuturesTradingParameters

from support_datasource import histsource

SELF = types.SimpleNamespace()


def ins(code="RB2410.SHF"):
    return types.SimpleNamespace(market_code=code)


def commission_table(kind):
    return pd.DataFrame([{"market_code": "RB2410.SHF", "hedge_flag": "speculation", "commission_type": kind,
                          "open_commission_ratio": 1e-4, "close_commission_ratio": 2e-4,
                          "close_commission_today_ratio": 3e-4, "long_margin_ratio": 0.07,
                          "short_margin_ratio": 0.08}] * 2)


class TestCommission:
    @pytest.mark.parametrize("kind, expected", [
        ("by_money", COMMISSION_TYPE.BY_MONEY), ("by_volume", COMMISSION_TYPE.BY_VOLUME),
        ("", COMMISSION_TYPE.BY_VOLUME), ("BY_MONEY", COMMISSION_TYPE.BY_VOLUME),
    ])
    def test_record(self, scripted_client, kind, expected):
        scripted_client.answer("future_commission_margin", commission_table(kind))
        record = histsource.OstraDataDataSource._get_future_info.__wrapped__(SELF, ins(), "hedge")
        assert scripted_client.calls == [("future_commission_margin", ("RB2410.SHF",), {"hedge_flag": "hedge"})]
        assert list(record.items()) == [
            ("close_commission_ratio", 2e-4), ("close_commission_today_ratio", 3e-4),
            ("open_commission_ratio", 1e-4), ("commission_type", expected),
            ("short_margin_ratio", 0.08), ("long_margin_ratio", 0.07)]

    @pytest.mark.parametrize("answer", [None, pd.DataFrame()])
    def test_no_data(self, scripted_client, answer):
        scripted_client.answer("future_commission_margin", answer)
        assert histsource.OstraDataDataSource._get_future_info.__wrapped__(SELF, ins(), "hedge") is None

    def test_memoised_speculation_query(self, data_source):
        contract = next(iter(data_source.get_instruments(["AU2412.SHF"])))
        first = data_source.get_commission_info(contract)
        assert data_source.get_commission_info(contract) is first
        assert datac.call_counts["future_commission_margin"] == 1
        assert first["commission_type"] in (COMMISSION_TYPE.BY_MONEY, COMMISSION_TYPE.BY_VOLUME)
        data_source._get_future_info(contract, "hedge")
        assert datac.call_counts["future_commission_margin"] == 2
        assert data_source._get_future_info(contract, "speculation") is first

    def test_commission_info_goes_through_instance_method(self, monkeypatch):
        source = types.SimpleNamespace(_get_future_info=lambda i, h: ("via", i, h))
        assert histsource.OstraDataDataSource.get_commission_info(source, "c") == ("via", "c", "speculation")


class TestTradingParameters:
    def test_keyword_mapping(self, scripted_client):
        table = pd.DataFrame([{"close_commission": 1, "close_commission_today": 2, "commission_type": "by_money",
                               "open_commission": 3, "long_margin_ratio": 4, "short_margin_ratio": 5}])
        scripted_client.futures = types.SimpleNamespace(
            get_trading_parameters=lambda *a: scripted_client.calls.append(a) or table)
        day = datetime.date(2024, 3, 1)
        params = histsource.OstraDataDataSource.get_futures_trading_parameters(SELF, ins(), day)
        assert scripted_client.calls == [("RB2410.SHF", day, day)]
        assert params == FuturesTradingParameters(
            close_commission_ratio=1, close_commission_today_ratio=2, commission_type=COMMISSION_TYPE.BY_MONEY,
            open_commission_ratio=3, long_margin_ratio=4, short_margin_ratio=5)

    def test_row_read_in_keyword_order(self, scripted_client):
        read = []

        class Row:
            def __getitem__(self, key):
                read.append(key)
                return key

        scripted_client.futures = types.SimpleNamespace(
            get_trading_parameters=lambda *a: types.SimpleNamespace(iloc=[Row()]))
        histsource.OstraDataDataSource.get_futures_trading_parameters(SELF, ins(), "2024-03-01")
        assert read == ["close_commission", "close_commission_today", "commission_type", "open_commission",
                        "long_margin_ratio", "short_margin_ratio"]

    def test_against_dataset(self, data_source):
        params = data_source.get_futures_trading_parameters(ins(), "2024-03-01")
        assert isinstance(params, FuturesTradingParameters)

    def test_missing_answer_fails(self, data_source):
        with pytest.raises(Exception):
            data_source.get_futures_trading_parameters(ins("nothing.XX"), "2024-03-01")


def test_yield_curve_passed_through(scripted_client):
    answer = object()
    scripted_client.answer("get_yield_curve", answer)
    assert histsource.OstraDataDataSource.get_yield_curve(SELF, "2024-01-02", "2024-02-01") is answer
    assert scripted_client.calls == [("get_yield_curve", ("2024-01-02", "2024-02-01", None), {})]


class TestAvailableDataRange:
    TODAY = datetime.date(2024, 6, 28)  # a Friday inside the small dataset

    @pytest.fixture
    def fixed_today(self, monkeypatch):
        today = self.TODAY

        class FixedDate(datetime.date):
            @classmethod
            def today(cls):
                return cls(today.year, today.month, today.day)

        monkeypatch.setattr(histsource, "datetime",
                            types.SimpleNamespace(date=FixedDate, timedelta=datetime.timedelta,
                                                  datetime=datetime.datetime))

    def probe(self, monkeypatch, answers):
        starts = []
        real = datac.get_price

        def get_price(code, start, end, **kwargs):
            starts.append(start)
            assert code == "000001.SH" and end == "2024-06-28"
            assert kwargs == {"fields": "close_price", "frequency": kwargs["frequency"], "adjust_type": "none",
                              "expect_df": True, "variety": "index"}
            answer = answers(len(starts))
            return real(code, start, end, **kwargs) if isinstance(answer, str) else answer
        monkeypatch.setattr(datac, "get_price", get_price)
        return starts

    @pytest.mark.parametrize("frequency", ["1d", "1m"])
    def test_first_window(self, data_source, fixed_today, monkeypatch, frequency):
        starts = self.probe(monkeypatch, lambda n: "real")
        assert data_source.available_data_range(frequency) == (datetime.date(2005, 1, 4), self.TODAY)
        # previous trading day 2024-06-27, minus 7 days
        assert starts == ["2024-06-20"]

    def test_window_texts_made_in_call_order(self, data_source, fixed_today, monkeypatch):
        # start text, then today, then the end text: the order the call's arguments are written in
        order = []
        real_convert = histsource.convert_dt_to_date_str
        today_class = histsource.datetime.date

        class CountingDate(today_class):
            @classmethod
            def today(cls):
                order.append("today")
                return today_class.today()

        monkeypatch.setattr(histsource.datetime, "date", CountingDate)
        monkeypatch.setattr(histsource, "convert_dt_to_date_str",
                            lambda d: order.append(("text", d.strftime("%Y-%m-%d"))) or real_convert(d))
        self.probe(monkeypatch, lambda n: None if n == 1 else "real")
        data_source.available_data_range("1d")
        assert order == ["today", ("text", "2024-06-20"), "today", ("text", "2024-06-28"),
                         ("text", "2024-05-21"), "today", ("text", "2024-06-28")]

    def test_widening_windows(self, data_source, fixed_today, monkeypatch):
        starts = self.probe(monkeypatch, lambda n: "real" if n == 3 else (None if n == 1 else pd.DataFrame()))
        assert data_source.available_data_range("1d") == (datetime.date(2005, 1, 4), self.TODAY)
        assert starts == ["2024-06-20", "2024-05-21", "2024-04-21"]  # 7, 37, 67 days before 2024-06-27

    def test_search_stops_at_first_day(self, data_source, fixed_today, monkeypatch):
        starts = self.probe(monkeypatch, lambda n: None)
        with pytest.raises(RuntimeError, match="no 1d bars of 000001.SH"):
            data_source.available_data_range("1d")
        assert starts[-1] == "2005-01-04" and starts[-2] > "2005-01-04"
        assert len(starts) == len(set(starts)) < 250

    def test_client_error_propagates_at_once(self, data_source, fixed_today, monkeypatch):
        def boom(n):
            raise ConnectionError("down")
        starts = self.probe(monkeypatch, boom)
        with pytest.raises(ConnectionError):
            data_source.available_data_range("1d")
        assert len(starts) == 1

    # The newest bar's orig_time: the level of that name, else the last entry's own attribute.
    @pytest.mark.parametrize("shape", ["level", "level int64", "one level named", "record entries",
                                       "record entries with date-times", "levels in another order"])
    def test_newest_bar_from_every_index_shape(self, data_source, fixed_today, monkeypatch, shape):
        times = [20240626150000, 20240627150000]
        rec = types.SimpleNamespace
        index = {
            "level": pd.MultiIndex.from_arrays([["000001.SH"] * 2, times], names=["market_code", "orig_time"]),
            "level int64": pd.MultiIndex.from_arrays([["000001.SH"] * 2, pd.Index(times, dtype="int64")],
                                                     names=["market_code", "orig_time"]),
            "one level named": pd.Index(times, name="orig_time"),
            "record entries": pd.Index([rec(orig_time=t) for t in times], dtype=object),
            "record entries with date-times": pd.Index(
                [rec(orig_time=pd.Timestamp(str(t))) for t in times], dtype=object),
            "levels in another order": pd.MultiIndex.from_arrays([times, ["000001.SH"] * 2],
                                                                 names=["orig_time", "market_code"]),
        }[shape]
        self.probe(monkeypatch, lambda n: pd.DataFrame({"close_price": [1.0, 2.0]}, index=index))
        assert data_source.available_data_range("1d") == (datetime.date(2005, 1, 4), datetime.date(2024, 6, 27))

    @pytest.mark.parametrize("index", [
        pd.MultiIndex.from_arrays([["000001.SH"], [20240627150000]], names=["market_code", "time"]),
        pd.Index([20240627150000]),
        pd.Index([types.SimpleNamespace(time=1)], dtype=object),
    ], ids=["levels without orig_time", "unnamed flat index", "entries without orig_time"])
    def test_an_index_without_orig_time_is_a_clear_error(self, data_source, fixed_today, monkeypatch, index):
        self.probe(monkeypatch, lambda n: pd.DataFrame({"close_price": [1.0]}, index=index))
        with pytest.raises(ValueError, match="no level named 'orig_time'.*has no orig_time attribute"):
            data_source.available_data_range("1d")
