import datetime

import numpy as np
import pandas as pd
import pytest

import corvane.tessara.datac as datac
from corvane.tessara.core.events import EVENT, Event

from support_bars import RecordingClient, assert_same_array, day_frame, fake_instrument, ref_history_day_bars
from support_datasource import histsource

DT = datetime.datetime(2024, 6, 20)


@pytest.fixture
def client(monkeypatch):
    rec = RecordingClient(datac)
    monkeypatch.setattr(histsource, "ostradatac", rec)
    return rec


def stock(source):
    return next(i for i in source.get_instruments() if i.type == "stock")


def of_type(source, t):
    return next(i for i in source.get_instruments() if i.type == t)


def trading_days(source, start, end):
    return list(source.get_trading_dates(start, end))


def test_n_trading_days_before(data_source):
    cal = data_source._trading_dates
    pos = cal.searchsorted(pd.Timestamp(DT))
    assert data_source._n_trading_days_before(DT, 1) == pd.Timestamp(DT)
    assert data_source._n_trading_days_before(DT, 3) == cal[pos - 2]
    saturday = datetime.datetime(2024, 6, 22)
    assert data_source._n_trading_days_before(saturday, 1) == pd.Timestamp("2024-06-21")
    assert data_source._n_trading_days_before(DT, 10 ** 6) == cal[0]


def test_first_query_fetches_one_more_day_and_returns_last_bars(data_source, client):
    ins = stock(data_source)
    bars = data_source.history_bars(ins, 10, "1d", None, DT, skip_suspended=False)
    (args, kwargs), = client.price_calls
    days = trading_days(data_source, "2024-05-01", DT)
    assert args == (ins.market_code, days[-11].strftime("%Y-%m-%d"), "2024-06-20")
    assert kwargs == dict(frequency="1d", adjust_type="pre", expect_df=True, variety="stock", skip_suspended=False)
    assert len(data_source._history_cache[(ins.market_code, "pre")]) == 11
    assert len(bars) == 10 and bars["orig_time"][-1] == 20240620000000
    assert bars.dtype.names[:2] == ("orig_time", "market_code")


def test_cache_reused_with_later_dt_until_pre_before_trading(data_source, client, datasource_env):
    ins = stock(data_source)
    first = data_source.history_bars(ins, 10, "1d", "close", DT, skip_suspended=False)
    later = data_source.history_bars(ins, 5, "1d", "close", DT + datetime.timedelta(days=5), skip_suspended=False)
    assert len(client.price_calls) == 1
    np.testing.assert_array_equal(later, first[-5:])
    datasource_env.event_bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING))
    data_source.history_bars(ins, 5, "1d", "close", DT + datetime.timedelta(days=5), skip_suspended=False)
    assert len(client.price_calls) == 2


def test_longer_query_fetches_only_the_shortfall(data_source, client):
    ins = stock(data_source)
    data_source.history_bars(ins, 10, "1d", None, DT, skip_suspended=False)
    bars = data_source.history_bars(ins, 30, "1d", None, DT, skip_suspended=False)
    days = trading_days(data_source, "2024-01-01", DT)
    args, _ = client.price_calls[1]
    # 20 trading days ending at the trading day before the earliest cached one
    assert args[1:] == (days[-31].strftime("%Y-%m-%d"), days[-12].strftime("%Y-%m-%d"))
    assert len(data_source._history_cache[(ins.market_code, "pre")]) == 31
    assert len(bars) == 30
    assert list(bars["orig_time"]) == [int(d.strftime("%Y%m%d")) * 1000000 for d in days[-30:]]
    data_source.history_bars(ins, 30, "1d", None, DT, skip_suspended=False)
    assert len(client.price_calls) == 2


def test_listing_date_stops_backward_extension(data_source, scripted_client):
    ins = fake_instrument("N1.SH", listed_date=datetime.datetime(2024, 6, 14))
    days = trading_days(data_source, "2024-06-17", DT)
    scripted_client.answer("get_price", lambda *a, **k: day_frame("N1.SH", days).copy())
    first = data_source.history_bars(ins, 3, "1d", "close", DT, skip_suspended=False)
    again = data_source.history_bars(ins, 30, "1d", "close", DT, skip_suspended=False)
    assert len(scripted_client.calls_of("get_price")) == 1
    assert len(first) == 3 and len(again) == len(days)


@pytest.mark.parametrize("fields, kind", [("close", "plain"), (["close"], ("close",)),
                                          (None, "all")])
def test_three_field_forms(data_source, fields, kind):
    ins = stock(data_source)
    bars = data_source.history_bars(ins, 4, "1d", fields, DT)
    if kind == "plain":
        assert bars.dtype.names is None and bars.dtype == np.float64 and bars.shape == (4,)
    elif kind == "all":
        frame = data_source._history_cache[(ins.market_code, "pre")]
        assert bars.dtype.names == ("orig_time", "market_code") + tuple(frame.columns)
    else:
        assert bars.dtype.names == kind


def suspension(source, last_suspended, end=DT):
    days = source.get_trading_dates("2024-01-02", end)
    return pd.Series([False] * (len(days) - last_suspended) + [True] * last_suspended, index=days)


def test_suspended_days_are_left_out(data_source, monkeypatch):
    ins = stock(data_source)
    s = suspension(data_source, 3)
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: s)
    bars = data_source.history_bars(ins, 5, "1d", None, DT)
    unsuspended = [int(d.strftime("%Y%m%d")) * 1000000 for d in s.index[~s.values][-5:]]
    assert list(bars["orig_time"]) == unsuspended
    assert_same_array(bars, ref_history_day_bars(data_source, ins, 5, None, DT, True, "pre", suspended=s))


def test_non_stock_takes_the_plain_path(data_source, monkeypatch):
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: pytest.fail("suspension queried"))
    bars = data_source.history_bars(of_type(data_source, "fund"), 5, "1d", "close", DT, skip_suspended=True)
    assert len(bars) == 5


def test_no_unsuspended_day_gives_none(data_source, monkeypatch):
    s = suspension(data_source, len(data_source.get_trading_dates("2024-01-02", DT)))
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: s)
    assert data_source.history_bars(stock(data_source), 5, "1d", None, DT) is None


# --- mends ---------------------------------------------------------------------------------

@pytest.mark.parametrize("first_reply", [None, "empty"])
def test_key_without_data_answers_none(data_source, scripted_client, first_reply):
    reply = pd.DataFrame() if first_reply == "empty" else None
    scripted_client.answer("get_price", reply)
    ins = fake_instrument("X.SH")
    for count in (3, 30):
        assert data_source.history_bars(ins, count, "1d", None, DT, skip_suspended=False) is None
    assert len(scripted_client.calls_of("get_price")) == 1


@pytest.mark.parametrize("backward_reply", [None, "empty"])
def test_backward_fetch_without_data_keeps_the_cached_frame(data_source, scripted_client, backward_reply):
    days = trading_days(data_source, "2024-06-11", DT)
    replies = [day_frame("X.SH", days), pd.DataFrame() if backward_reply == "empty" else None]
    scripted_client.answer("get_price", lambda *a, **k: replies.pop(0))
    ins = fake_instrument("X.SH")
    data_source.history_bars(ins, 5, "1d", None, DT, skip_suspended=False)
    cached = data_source._history_cache[("X.SH", "pre")]
    bars = data_source.history_bars(ins, 20, "1d", "close", DT, skip_suspended=False)
    assert data_source._history_cache[("X.SH", "pre")] is cached
    assert len(bars) == len(days)


def test_chosen_day_missing_from_the_frame_is_skipped(data_source, scripted_client, monkeypatch):
    days = trading_days(data_source, "2024-05-20", DT)
    s = pd.Series(False, index=pd.DatetimeIndex(days))
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: s)
    present = days[:-4] + days[-3:]  # the client lacks one chosen day
    scripted_client.answer("get_price", lambda *a, **k: day_frame("X.SH", present))
    ins = fake_instrument("X.SH")
    bars = data_source.history_bars(ins, 5, "1d", ["orig_time"], DT)
    expected = [int(d.strftime("%Y%m%d")) * 1000000 for d in present[-5:]]
    assert list(bars["orig_time"]) == expected
    assert_same_array(bars, ref_history_day_bars(data_source, ins, 5, ["orig_time"], DT, True, "pre", suspended=s))


# --- the array view of the cached frame matches the step-by-step path ---------------------

CASES = [(n, f, skip) for n in (1, 5, 30, 200) for f in (None, "close", ["close", "orig_time"], ["volume"])
         for skip in (False, True)]


@pytest.mark.parametrize("ins_type", ["stock", "fund"])
def test_warm_answers_equal_the_reference_path(data_source, client, ins_type, monkeypatch):
    ins = of_type(data_source, ins_type)
    s = suspension(data_source, 2)
    s.iloc[10:14] = True
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: s)
    data_source.history_bars(ins, 100, "1d", None, DT, skip_suspended=True)
    for n, fields, skip in CASES:
        got = data_source.history_bars(ins, n, "1d", fields, DT, skip_suspended=skip)
        ref = ref_history_day_bars(data_source, ins, n, fields, DT, skip, "pre", suspended=s)
        assert_same_array(got, ref)
    # warm: queries the cached frame covers make no client call
    calls = len(client.price_calls)
    for n, fields, skip in CASES[:16]:
        data_source.history_bars(ins, n, "1d", fields, DT, skip_suspended=skip)
    assert len(client.price_calls) == calls


@pytest.mark.parametrize("int_times", [True, False])
def test_replaced_converter_serves_the_day_path(data_source, scripted_client, monkeypatch, int_times):
    days = trading_days(data_source, "2024-06-03", DT)
    scripted_client.answer("get_price", lambda *a, **k: day_frame("X.SH", days, int_times=int_times))
    ins = fake_instrument("X.SH")
    native = data_source.history_bars(ins, 5, "1d", None, DT, skip_suspended=False)
    monkeypatch.setattr(histsource, "convert_dt_to_int", lambda dt: 1)
    replaced = data_source.history_bars(ins, 5, "1d", None, DT, skip_suspended=False)
    assert list(replaced["orig_time"]) == [1] * 5
    assert list(native["orig_time"]) == [int(d.strftime("%Y%m%d")) * 1000000 for d in days[-5:]]


def test_missing_field_reaches_the_caller(data_source):
    with pytest.raises(KeyError):
        data_source.history_bars(stock(data_source), 5, "1d", ["nope"], DT)


def test_views_follow_backward_extension_and_the_daily_clear(data_source, client, datasource_env, monkeypatch):
    ins = stock(data_source)
    s = suspension(data_source, 0)
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: s)
    steps = [(10, DT), (30, DT), ("clear", None), (12, DT - datetime.timedelta(days=7)), (40, DT)]
    for count, dt in steps:
        if count == "clear":
            datasource_env.event_bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING))
            continue
        for skip, fields in ((False, None), (True, None), (True, "close"), (False, ["volume", "orig_time"])):
            got = data_source.history_bars(ins, count, "1d", fields, dt, skip_suspended=skip)
            ref = ref_history_day_bars(data_source, ins, count, fields, dt, skip, "pre", suspended=s)
            assert_same_array(got, ref)


def test_out_of_order_cached_frame_answers_as_the_frame_does(data_source, scripted_client, monkeypatch):
    # a client whose backward reply overlaps the cached days leaves the cached frame out of date order
    days = trading_days(data_source, "2024-05-02", DT)
    replies = [day_frame("X.SH", days[-4:]), day_frame("X.SH", days[-8:-2])]
    scripted_client.answer("get_price", lambda *a, **k: replies.pop(0))
    s = pd.Series(False, index=pd.DatetimeIndex(days))
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: s)
    ins = fake_instrument("X.SH")
    data_source.history_bars(ins, 3, "1d", None, DT, skip_suspended=False)
    data_source.history_bars(ins, 9, "1d", None, DT, skip_suspended=False)
    for count in (2, 3, 5):
        got = data_source.history_bars(ins, count, "1d", None, DT)
        assert_same_array(got, ref_history_day_bars(data_source, ins, count, None, DT, True, "pre", suspended=s))


class _TypeRaises:
    market_code = "X.SH"
    listed_date = datetime.datetime(2000, 1, 4)

    @property
    def type(self):
        raise AttributeError("type")


def test_instrument_type_is_read_only_when_skipping_suspended_days(data_source, scripted_client):
    days = trading_days(data_source, "2024-06-03", DT)
    scripted_client.answer("get_price", lambda *a, **k: day_frame("X.SH", days))
    data_source.history_bars(fake_instrument("X.SH"), 5, "1d", "close", DT, skip_suspended=False)
    # a warm plain query never needs the type
    assert len(data_source.history_bars(_TypeRaises(), 3, "1d", "close", DT, skip_suspended=False)) == 3
    with pytest.raises(AttributeError):
        data_source.history_bars(_TypeRaises(), 3, "1d", "close", DT, skip_suspended=True)


@pytest.mark.parametrize("fields, refused", [("close", False), (["volume"], False), (None, True),
                                             (["close", "orig_time"], True)])
def test_a_bar_time_the_converter_refuses_fails_only_queries_asking_for_orig_time(
        data_source, scripted_client, fields, refused):
    # The client's frame has a NaT bar time; the closes do not need it, orig_time does.
    days = trading_days(data_source, "2024-06-10", DT)
    frame = day_frame("X.SH", days, int_times=False)
    times = list(frame.index.get_level_values(1))
    times[2] = pd.NaT
    frame.index = pd.MultiIndex.from_arrays([frame.index.get_level_values(0), times], names=frame.index.names)
    scripted_client.answer("get_price", lambda *a, **k: frame.copy())
    ins = fake_instrument("X.SH")
    for _ in range(2):  # cold, then from the cached frame
        if refused:
            with pytest.raises(ValueError):
                data_source.history_bars(ins, 3, "1d", fields, DT, skip_suspended=False)
        else:
            got = data_source.history_bars(ins, 3, "1d", fields, DT, skip_suspended=False)
            # the client's frame is sorted by bar time (NaT last) before it is cached
            assert list(got if fields == "close" else got["volume"]) == \
                list(frame.sort_index()[fields].values[-3:].ravel())
