"""Suspension and special-treatment status queries, and the refused live-price queries."""
import datetime

import numpy as np
import pandas as pd
import pytest

import corvane.tessara.datac as datac


def trading_days(source, start, end):
    return list(source.get_trading_dates(start, end))


class TestIsSuspended:
    @pytest.mark.parametrize("code", ["RB2410.SHF", "510300.SH", "000300.SH"])
    def test_non_stocks_never_ask_the_client(self, data_source, code):
        dates = trading_days(data_source, "2024-03-01", "2024-03-08")
        assert data_source.is_suspended(code, dates) == [False] * len(dates)
        assert datac.call_counts["is_suspended"] == 0

    def test_stock_answers_the_column_for_the_text_range(self, data_source, small_dataset, monkeypatch):
        seen = []
        real = datac.is_suspended

        def spy(*args):
            seen.append(args)
            return real(*args)
        monkeypatch.setattr(datac, "is_suspended", spy)
        code = next(iter(small_dataset.suspensions.market_code))
        day = small_dataset.suspensions[small_dataset.suspensions.market_code == code].date.iloc[0]
        dates = trading_days(data_source, day - pd.Timedelta(days=10), day + pd.Timedelta(days=10))
        answer = data_source.is_suspended(code, dates)
        assert seen == [(code, str(dates[0]), str(dates[-1]))]
        assert isinstance(answer, np.ndarray) and answer.dtype == bool
        assert answer.tolist() == [d == day or d in set(small_dataset.suspensions.date[
            small_dataset.suspensions.market_code == code]) for d in dates]

    @pytest.mark.parametrize("answer", [ValueError("bad range"), None, pd.DataFrame()])
    def test_no_data_gives_all_false(self, data_source, monkeypatch, answer):
        def client(*args):
            if isinstance(answer, Exception):
                raise answer
            return answer
        monkeypatch.setattr(datac, "is_suspended", client)
        dates = trading_days(data_source, "2024-03-01", "2024-03-06")
        assert data_source.is_suspended("600000.SH", dates) == [False] * len(dates)

    def test_other_errors_propagate(self, data_source, monkeypatch):
        def client(*args):
            raise KeyError("boom")
        monkeypatch.setattr(datac, "is_suspended", client)
        with pytest.raises(KeyError):
            data_source.is_suspended("600000.SH", trading_days(data_source, "2024-03-01", "2024-03-06"))

    @pytest.mark.parametrize("dates", [[datetime.date(2024, 3, 1)], None])
    def test_unknown_instrument_fails_reading_type(self, data_source, dates):
        # the instrument is looked up first: its missing type is the error, whatever the dates
        with pytest.raises(AttributeError):
            data_source.is_suspended("nothing.XX", dates)


class TestIsStStock:
    def test_one_date_uses_single_day_call(self, data_source, monkeypatch):
        monkeypatch.setattr(datac, "_is_st_stock", lambda code, date: ("answer", code, date))
        day = datetime.date(2024, 3, 1)
        assert data_source.is_st_stock("600000.SH", [day]) == [("answer", "600000.SH", day)]
        assert datac.call_counts["is_st_stock"] == 0

    def test_range_passes_dates_unconverted(self, data_source, small_dataset):
        dates = trading_days(data_source, "2024-03-01", "2024-03-08")
        answer = data_source.is_st_stock("600000.SH", dates)
        assert datac.call_counts["is_st_stock"] == 1
        assert answer.shape == (len(dates), 1) and not answer.any()

    @pytest.mark.parametrize("answer", [None, pd.DataFrame()])
    def test_range_without_data(self, data_source, monkeypatch, answer):
        seen = []
        monkeypatch.setattr(datac, "is_st_stock", lambda *args: seen.append(args) or answer)
        d1, d2 = pd.Timestamp("2024-03-01"), pd.Timestamp("2024-03-04")
        assert data_source.is_st_stock("600000.SH", [d1, d2]) == [False, False]
        assert seen == [("600000.SH", d1, d2)]

    def test_empty_dates_ask_nothing(self, data_source):
        assert data_source.is_st_stock("600000.SH", []) == []
        assert data_source.is_suspended("600000.SH", []) == []
        assert sum(datac.call_counts.values()) == 0


@pytest.mark.parametrize("method, args", [
    ("get_trading_minutes_for", (None, None)),
    ("get_bar", ("x", datetime.datetime(2024, 3, 1), "1d")),
    ("get_last_price", (None, None)),
    ("current_snapshot", ("x", "1m", None)),
    ("get_settle_price", (object(), datetime.date(2024, 3, 1))),
])
def test_live_price_queries_refused(data_source, method, args):
    with pytest.raises(NotImplementedError) as info:
        getattr(data_source, method)(*args)
    assert info.value.args == ()
    assert sum(datac.call_counts.values()) == 0


@pytest.mark.parametrize("query", ["is_suspended", "is_st_stock"])
def test_status_answers_are_writable_on_every_line(data_source, monkeypatch, query):
    # The answer is a writable array on every pandas line (copy-on-write makes a frame's values a
    # read-only view from pandas 3 on; the answer is then a copy, which the client never sees).
    dates = trading_days(data_source, "2024-03-01", "2024-03-08")
    table = pd.DataFrame({"600000.SH": [False] * len(dates)}, index=pd.DatetimeIndex(dates))
    monkeypatch.setattr(datac, query, lambda *args: table)
    answer = getattr(data_source, query)("600000.SH", dates)
    assert answer.flags.writeable
    answer[0] = True
    assert bool(answer[0])
    if not table.values.flags.writeable:
        assert not table.to_numpy().any()
