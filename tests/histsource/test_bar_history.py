import datetime

import numpy as np
import pandas as pd
import pytest

import corvane.tessara.datac as datac
from corvane.tessara.mod.mod_quant_data.data_sources.resample_helper import resample_bars

from support_bars import RecordingClient, assert_same_array, fake_instrument
from support_datasource import histsource

DT = datetime.datetime(2024, 6, 20, 10, 0)


@pytest.fixture
def client(monkeypatch):
    rec = RecordingClient(datac)
    monkeypatch.setattr(histsource, "ostradatac", rec)
    return rec


def of_type(source, t):
    return next(i for i in source.get_instruments() if i.type == t)


def ref_minute_history(source, instrument, bar_count, frequency, fields, days):
    """The walk as described (every candidate day read), over the minute-bar cache."""
    resample = int(frequency[:-1])
    fields_ = [fields] if isinstance(fields, str) else fields
    need, results = bar_count, []
    for day in reversed(list(days)):
        bars = source._minute_bar_cache[(instrument.market_code, day, "pre")]
        if bars is None:
            continue
        if resample != 1:
            bars = resample_bars(instrument, bars, fields_, resample)
        results.append(bars[fields] if fields is not None else bars)
        need -= len(bars)
        if need <= 0:
            break
    if not results:
        return None
    return np.hstack(results[::-1])[-bar_count:]


def test_day_frequency_is_the_day_path(data_source):
    ins = of_type(data_source, "stock")
    assert_same_array(data_source.history_bars(ins, 7, "1d", None, DT),
                      data_source._history_day_bars(ins, 7, None, DT, True, "pre"))


@pytest.mark.parametrize("frequency, error", [("1w", NotImplementedError), ("xm", ValueError)])
def test_refused_frequencies(data_source, frequency, error):
    with pytest.raises(error):
        data_source.history_bars(of_type(data_source, "stock"), 5, frequency, None, DT)


@pytest.mark.parametrize("count, frequency, n_days", [(100, "1m", 1), (500, "1m", 3), (100, "5m", 3)])
def test_prefetch_covers_n_days(data_source, monkeypatch, count, frequency, n_days):
    seen = []
    monkeypatch.setattr(data_source, "_prepare_for", lambda ins, dates, adj: seen.append(list(dates)))
    data_source.history_bars(of_type(data_source, "fund"), count, frequency, None, DT)
    days = list(data_source.get_trading_dates("2024-01-01", DT))
    assert seen == [days[-n_days:]]


@pytest.mark.parametrize("n_dates, missing_at, calls", [
    (5, [3, 4], 0),                 # fewer than 3 missing
    (10, [7, 8, 9], 1),             # 3 adjacent missing of 10
    (20, [17, 18, 19], 0),          # less than one fifth
    (10, [3, 6, 9], 0),             # 3 missing over 7 trading days
    (15, [9, 11, 14], 1),           # exactly one fifth over exactly 6 trading days
])
def test_prepare_for_decisions(data_source, client, n_dates, missing_at, calls):
    ins = of_type(data_source, "stock")
    days = list(data_source.get_trading_dates("2024-01-01", "2024-06-20"))[-n_dates:]
    for i, d in enumerate(days):
        if i not in missing_at:
            data_source._minute_bar_cache[(ins.market_code, d, "pre")] = None
    data_source._prepare_for(ins, days, "pre")
    assert len(client.price_calls) == calls
    if calls:
        (args, kwargs), = client.price_calls
        assert args == (ins.market_code, days[missing_at[0]].strftime("%Y-%m-%d"),
                        days[missing_at[-1]].strftime("%Y-%m-%d"))
        assert kwargs == dict(frequency="1m", adjust_type="pre", expect_df=True, variety="stock")
        for i in missing_at:
            assert data_source._minute_bar_cache[(ins.market_code, days[i], "pre")] is not None


@pytest.mark.parametrize("ins_type", ["stock", "Future"])
def test_bulk_and_single_day_arrays_are_identical(data_source, ins_type):
    ins = of_type(data_source, ins_type)
    days = list(data_source.get_trading_dates("2024-06-12", "2024-06-20"))
    data_source._prepare_for(ins, days, "pre")
    bulk = {d: data_source._minute_bar_cache[(ins.market_code, d, "pre")] for d in days}
    data_source._minute_bar_cache.clear()
    for d in days:
        single = data_source._get_minute_bars_of_day(ins.market_code, d, "pre", ins.type)
        assert_same_array(bulk[d], single)


def test_futures_night_bars_land_on_their_trading_day(data_source):
    ins = of_type(data_source, "Future")
    days = list(data_source.get_trading_dates("2024-06-17", "2024-06-20"))
    data_source._prepare_for(ins, days, "pre")
    bars = data_source._minute_bar_cache[(ins.market_code, days[-1], "pre")]
    assert bars["orig_time"][0] // 1000000 == int(days[-2].strftime("%Y%m%d"))  # previous evening
    assert bars["orig_time"][0] % 1000000 >= 210000
    assert bars["orig_time"][-1] == int(days[-1].strftime("%Y%m%d")) * 1000000 + 150000


def test_empty_day_is_cached_as_none_and_never_refetched(data_source, scripted_client):
    scripted_client.answer("get_price", pd.DataFrame())
    day = pd.Timestamp("2024-06-20")
    for _ in range(2):
        assert data_source._get_minute_bars_of_day("X.SH", day, "pre", "stock") is None
    assert len(scripted_client.calls_of("get_price")) == 1
    assert data_source._minute_bar_cache[("X.SH", day, "pre")] is None


def test_walk_stops_when_enough_bars_are_collected(data_source, monkeypatch):
    ins = of_type(data_source, "fund")
    walked = []
    original = data_source._get_minute_bars_of_day
    monkeypatch.setattr(data_source, "_get_minute_bars_of_day",
                        lambda *a: walked.append(a[1]) or original(*a))
    bars = data_source.history_bars(ins, 480, "1m", "close", DT)
    assert len(walked) == 2 and len(bars) == 480  # need reaches exactly 0 after two days


@pytest.mark.parametrize("count, frequency, fields", [
    (240, "1m", None), (2400, "1m", "close"), (300, "1m", ["close", "orig_time"]),
    (48, "5m", None), (30, "15m", ["close", "volume"]), (7, "30m", "close")])
@pytest.mark.parametrize("ins_type", ["stock", "Future"])
def test_minute_history_equals_reference_and_warm_queries_fetch_nothing(data_source, client, count, frequency,
                                                                        fields, ins_type):
    ins = of_type(data_source, ins_type)
    got = data_source.history_bars(ins, count, frequency, fields, DT)
    calls = len(client.price_calls)
    again = data_source.history_bars(ins, count, frequency, fields, DT)
    assert len(client.price_calls) == calls
    days = data_source.get_trading_dates(max(ins.listed_date, DT - datetime.timedelta(days=365)), DT)
    if ins_type == "stock":
        s = histsource._is_suspended(ins.market_code)
        days = s.index[(s == False).values & (s.index.normalize() <= pd.Timestamp(DT).normalize())]  # noqa: E712
    ref = ref_minute_history(data_source, ins, count, frequency, fields, days)
    assert_same_array(got, ref)
    assert_same_array(again, ref)
    if frequency == "1m":
        assert len(got) == count


def test_stock_listed_on_the_query_day_gets_that_days_bars(data_source, scripted_client, monkeypatch):
    day = pd.Timestamp("2024-06-20")
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: pd.Series([False], index=pd.DatetimeIndex([day])))
    frame = pd.DataFrame({"close": [1.0, 2.0]}, index=pd.MultiIndex.from_arrays(
        [["N.SH"] * 2, [day + pd.Timedelta(minutes=571), day + pd.Timedelta(minutes=572)]],
        names=["market_code", "orig_time"]))
    scripted_client.answer("get_price", lambda *a, **k: frame.copy())
    ins = fake_instrument("N.SH", listed_date=day.to_pydatetime())
    bars = data_source.history_bars(ins, 10, "1m", "close", DT)
    assert list(bars) == [1.0, 2.0]


def test_no_bars_anywhere_gives_none(data_source, scripted_client):
    scripted_client.answer("get_price", None)
    ins = fake_instrument("N.SH", ins_type="fund", listed_date=datetime.datetime(2024, 6, 10))
    assert data_source.history_bars(ins, 10, "1m", None, DT) is None


def test_bulk_reply_without_bars_stores_nothing(data_source, scripted_client):
    scripted_client.answer("get_price", None)
    ins = fake_instrument("N.SH", ins_type="fund")
    days = list(data_source.get_trading_dates("2024-06-10", "2024-06-20"))
    data_source._prepare_for(ins, days, "pre")
    assert len(scripted_client.calls_of("get_price")) == 1
    assert len(data_source._minute_bar_cache) == 0


def test_minute_cache_use_is_the_read_not_the_membership_test(data_source, scripted_client):
    scripted_client.answer("get_price", None)
    cache = data_source._minute_bar_cache
    days = list(pd.date_range("2022-01-03", periods=513))
    ins = fake_instrument("N.SH", ins_type="fund")
    for d in days[:512]:
        cache[("N.SH", d, "pre")] = None
    data_source._prepare_for(ins, days[:2], "pre")        # membership tests only
    data_source._get_minute_bars_of_day("N.SH", days[1], "pre", "fund")  # a read: days[1] is used
    cache[("N.SH", days[512], "pre")] = None
    assert ("N.SH", days[0], "pre") not in cache
    assert ("N.SH", days[1], "pre") in cache
    assert not scripted_client.calls_of("get_price")


@pytest.mark.parametrize("count, frequency", [(2 ** 40, "99999999m"), (-(2 ** 40), "99999999m")])
def test_huge_bar_lengths_prefetch_as_python_slices_do(data_source, monkeypatch, count, frequency):
    seen = []
    monkeypatch.setattr(data_source, "_prepare_for", lambda ins, dates, adj: seen.append(list(dates)))
    monkeypatch.setattr(data_source, "_get_minute_bars_of_day", lambda *a: None)
    ins = of_type(data_source, "fund")
    assert data_source.history_bars(ins, count, frequency, None, DT) is None
    days = list(data_source.get_trading_dates(max(ins.listed_date, DT - datetime.timedelta(days=365)), DT))
    n_days = count * int(frequency[:-1]) // 240 + 1
    assert seen == [days[-n_days:]]


def _reindexed(series, kind):
    """The same suspension series under another index type a client or a frame operation may
    hand back: object dates, date text, or floats that read as no date at all (NaN)."""
    if kind == "date objects":
        index = pd.Index([t.date() for t in series.index], dtype=object)
    elif kind == "text":
        index = pd.Index([str(t.date()) for t in series.index], dtype=object)
    else:
        index = pd.Index([np.nan] * len(series), dtype=float)
    return pd.Series(series.values, index=index)


@pytest.mark.parametrize("kind", ["date objects", "text"])
@pytest.mark.parametrize("frequency", ["1m", "5m", "1d"])
def test_suspension_series_of_any_index_type(data_source, monkeypatch, kind, frequency):
    ins = of_type(data_source, "stock")
    real = histsource._is_suspended(ins.market_code)
    expected = data_source.history_bars(ins, 30, frequency, "close", DT)
    data_source._history_cache.clear()
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: _reindexed(real, kind))
    assert_same_array(data_source.history_bars(ins, 30, frequency, "close", DT), expected)


def test_suspension_series_without_dates_fails_alike_at_every_frequency(data_source, monkeypatch):
    """An index that names no date is read the same way on the day and the minute paths: the
    frame library's own answer (no candidate day, or its conversion error), never a missing
    method of one index type."""
    ins = of_type(data_source, "stock")
    bad = _reindexed(histsource._is_suspended(ins.market_code), "float NaN")
    monkeypatch.setattr(histsource, "_is_suspended", lambda code: bad)
    outcomes = set()
    for frequency in ("1m", "5m", "1d"):
        try:
            outcomes.add(repr(data_source.history_bars(ins, 30, frequency, "close", DT)))
        except (TypeError, ValueError) as exc:
            outcomes.add(type(exc).__name__)
    assert len(outcomes) == 1 and outcomes <= {"None", "TypeError", "ValueError"}


@pytest.mark.parametrize("replace", ["get_trading_dates", "get_trading_calendar", "calendar entry", "_prepare_for",
                                     "_get_minute_bars_of_day"])
def test_replaced_calendar_and_minute_methods_take_effect_on_the_next_query(data_source, monkeypatch, replace):
    from corvane.tessara.const import TRADING_CALENDAR_TYPE
    ins = of_type(data_source, "stock")

    def last_day(bars):
        return int(bars["orig_time"][-1]) // 1000000

    assert last_day(data_source.history_bars(ins, 240, "1m", None, DT, skip_suspended=False)) == 20240620
    days = data_source._trading_dates
    short = days[days <= pd.Timestamp("2024-06-18")]
    seen = []
    if replace == "get_trading_dates":
        monkeypatch.setattr(data_source, "get_trading_dates", lambda start, end: short[short >= pd.Timestamp(start).normalize()])
    elif replace == "get_trading_calendar":
        monkeypatch.setattr(data_source, "get_trading_calendar", lambda calendar_type=None: short)
    elif replace == "calendar entry":
        monkeypatch.setitem(data_source.trading_calendars, TRADING_CALENDAR_TYPE.EXCHANGE, short)
    elif replace == "_prepare_for":
        monkeypatch.setattr(data_source, "_prepare_for", lambda *args: seen.append(args))
    else:
        real = data_source._get_minute_bars_of_day
        monkeypatch.setattr(data_source, "_get_minute_bars_of_day", lambda *args: seen.append(args) or real(*args))
    bars = data_source.history_bars(ins, 240, "1m", None, DT, skip_suspended=False)
    if replace.startswith("_"):
        assert last_day(bars) == 20240620 and seen
        # _prepare_for gets the calendar's own slice (a DatetimeIndex, as plain code hands it
        # over), _get_minute_bars_of_day one day
        wanted = pd.DatetimeIndex if replace == "_prepare_for" else pd.Timestamp
        assert all(isinstance(a[1], wanted) for a in seen)
    else:
        assert last_day(bars) == 20240618


def test_many_data_sources_each_walk_their_own_calendar(data_source, monkeypatch):
    """More live sources than native calendars kept, one of them queried from inside another's
    walk (a client that queries a second source): every answer is its own source's."""
    ins = of_type(data_source, "stock")
    others = [histsource.OstraDataDataSource() for _ in range(5)]
    expected = data_source.history_bars(ins, 480, "1m", "close", DT, skip_suspended=False)
    for other in others:
        assert_same_array(other.history_bars(ins, 480, "1m", "close", DT, skip_suspended=False), expected)
    real = histsource.ostradatac

    class Reentrant:
        inside = False

        def __getattr__(self, name):
            return getattr(real, name)

        def get_price(self, *args, **kwargs):
            if not Reentrant.inside:
                Reentrant.inside = True
                try:
                    for other in others:
                        other.history_bars(ins, 240, "1m", "close", DT - datetime.timedelta(days=40),
                                           skip_suspended=False)
                finally:
                    Reentrant.inside = False
            return real.get_price(*args, **kwargs)
    monkeypatch.setattr(histsource, "ostradatac", Reentrant())
    data_source._minute_bar_cache.clear()
    assert_same_array(data_source.history_bars(ins, 480, "1m", "close", DT, skip_suspended=False), expected)
