"""Dividend and split record arrays, and share transformations."""
import datetime
import logging
import types

import numpy as np
import pandas as pd
import pytest

import corvane.tessara.datac as datac

from support_datasource import histsource

DIVIDEND_DTYPE = np.dtype([("announcement_date", "<u4"), ("book_closure_date", "<u4"),
                           ("ex_dividend_date", "<u4"), ("payable_date", "<u4"),
                           ("dividend_cash_before_tax", "<f8"), ("round_lot", "<u4")])
SPLIT_DTYPE = np.dtype([("ex_date", np.int64), ("split_factor", np.float64)])


SELF = types.SimpleNamespace()  # the methods under test read nothing from the instance


def ins(code="600000.SH"):
    return types.SimpleNamespace(market_code=code)


def dividend_table(rows, announced):
    cols = ["book_closure_date", "ex_dividend_date", "payable_date", "dividend_cash_before_tax", "round_lot"]
    return pd.DataFrame(rows, columns=cols, index=pd.DatetimeIndex(announced, name="declaration_announcement_date"))


class TestDividends:
    def test_record_layout_and_encoding(self, scripted_client):
        table = dividend_table([
            (pd.Timestamp("2024-06-20"), pd.Timestamp("2024-06-21"), pd.Timestamp("2024-06-21"), 2.5, 10),
            (datetime.date(2023, 12, 29), datetime.date(2024, 1, 2), datetime.date(2024, 1, 8), 0.125, 100),
        ], ["2024-05-30", "2023-11-01 15:30"])
        scripted_client.answer("get_dividend", table)
        arr = histsource.OstraDataDataSource.get_dividend(SELF, ins())
        assert scripted_client.calls == [("get_dividend", ("600000.SH",), {"adjusted": False})]
        assert arr.dtype == DIVIDEND_DTYPE and arr.dtype.itemsize == 28
        assert arr.tolist() == [(20240530, 20240620, 20240621, 20240621, 2.5, 10),
                                (20231101, 20231229, 20240102, 20240108, 0.125, 100)]

    def test_future_announcements_left_out(self, scripted_client):
        now = datetime.datetime.now()
        past, future = now - datetime.timedelta(days=3), now + datetime.timedelta(days=3)
        row = (past, past, past, 1.0, 10)
        scripted_client.answer("get_dividend", dividend_table([row, row], [past, future]))
        arr = histsource.OstraDataDataSource.get_dividend(SELF, ins())
        assert len(arr) == 1 and arr["announcement_date"][0] == past.year * 10000 + past.month * 100 + past.day
        scripted_client.answer("get_dividend", dividend_table([row], [future]))
        arr = histsource.OstraDataDataSource.get_dividend(SELF, ins())
        assert arr is not None and len(arr) == 0 and arr.dtype == DIVIDEND_DTYPE

    def test_missing_dates_encode_as_zero(self, scripted_client):
        table = dividend_table([(pd.NaT, pd.Timestamp("2024-03-05"), None, 1.0, 10)], ["2024-03-01"])
        table["payable_date"] = table["payable_date"].astype(object)  # keeps None, not NaT
        scripted_client.answer("get_dividend", table)
        arr = histsource.OstraDataDataSource.get_dividend(SELF, ins())
        assert arr.tolist() == [(20240301, 0, 20240305, 0, 1.0, 10)]

    @pytest.mark.parametrize("year", [10 ** 17, 500000, -1])
    def test_date_out_of_range_is_an_error(self, scripted_client, year):
        odd = types.SimpleNamespace(year=year, month=1, day=1)
        table = dividend_table([(odd, odd, odd, 1.0, 10)], ["2024-03-01"])
        scripted_client.answer("get_dividend", table)
        with pytest.raises(OverflowError):
            histsource.OstraDataDataSource.get_dividend(SELF, ins())

    @pytest.mark.parametrize("answer", [None, pd.DataFrame()])
    def test_no_data(self, scripted_client, answer):
        scripted_client.answer("get_dividend", answer)
        assert histsource.OstraDataDataSource.get_dividend(SELF, ins()) is None

    def test_against_dataset(self, data_source, small_dataset):
        arr = data_source.get_dividend(ins("600000.SH"))
        rows = small_dataset.dividends[small_dataset.dividends.market_code == "600000.SH"]
        assert datac.call_counts["get_dividend"] == 1
        assert len(arr) == len(rows)
        expected = rows.payable_date.dt.strftime("%Y%m%d").astype(int).tolist()
        assert arr["payable_date"].tolist() == expected


class TestSplits:
    def test_factor_and_ex_date(self, scripted_client):
        table = pd.DataFrame({"split_coefficient_from": [10.0, 4], "split_coefficient_to": [15.0, 5]},
                             index=pd.DatetimeIndex(["2024-05-20", "2030-01-02"], name="ex_dividend_date"))
        scripted_client.answer("get_split", table)
        arr = histsource.OstraDataDataSource.get_split(SELF, ins())
        assert scripted_client.calls == [("get_split", ("600000.SH",), {})]
        assert arr.dtype == SPLIT_DTYPE
        assert arr.tolist() == [(20240520000000, 1.5), (20300102000000, 1.25)]

    @pytest.mark.parametrize("answer", [None, pd.DataFrame()])
    def test_no_data(self, scripted_client, answer):
        scripted_client.answer("get_split", answer)
        assert histsource.OstraDataDataSource.get_split(SELF, ins()) is None

    @pytest.mark.parametrize("year", [10 ** 11, 10 ** 17])
    def test_ex_date_out_of_range_is_an_error(self, scripted_client, year):
        odd = types.SimpleNamespace(year=year, month=1, day=1)
        table = pd.DataFrame({"split_coefficient_from": [10.0], "split_coefficient_to": [15.0]},
                             index=pd.Index([odd], dtype=object))
        scripted_client.answer("get_split", table)
        with pytest.raises(OverflowError):
            histsource.OstraDataDataSource.get_split(SELF, ins())

    def test_against_dataset(self, data_source):
        arr = data_source.get_split(ins("300750.SZ"))
        assert arr.tolist() == [(20240520000000, 1.5)]

    def test_client_errors_propagate(self, scripted_client):
        scripted_client.answer("get_split", ConnectionError("down"))
        with pytest.raises(ConnectionError):
            histsource.OstraDataDataSource.get_split(SELF, ins())


class TestShareTransformation:
    def test_pair_from_row_zero(self, data_source):
        table = datac.get_share_transformation("000022.SZ")
        expected = (table.loc[0, "successor"], table.loc[0, "share_conversion_ratio"])
        assert data_source.get_share_transformation("000022.SZ") == expected
        assert expected[0] == "001872.SZ"

    @pytest.mark.parametrize("answer", [None, pd.DataFrame()])
    def test_no_data(self, scripted_client, answer):
        scripted_client.answer("get_share_transformation", answer)
        assert histsource.OstraDataDataSource.get_share_transformation(SELF, "600000.SH") is None

    @pytest.mark.parametrize("missing", ["operation", "attribute_error"])
    def test_client_without_operation(self, scripted_client, caplog, missing):
        if missing == "attribute_error":
            scripted_client.answer("get_share_transformation", AttributeError("no such api"))
        with caplog.at_level(logging.DEBUG, logger="system_log"):
            assert histsource.OstraDataDataSource.get_share_transformation(SELF, "600000.SH") is None
        assert [r.getMessage() for r in caplog.records] == [
            "ostradatac no api get_share_transformation for get 600000.SH"]

    def test_other_errors_propagate(self, scripted_client):
        scripted_client.answer("get_share_transformation", KeyError("x"))
        with pytest.raises(KeyError):
            histsource.OstraDataDataSource.get_share_transformation(SELF, "600000.SH")
