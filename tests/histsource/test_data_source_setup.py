"""Construction of the historical data source, instrument routing, calendars and caches."""
import gc
import types
import weakref

import pandas as pd
import pytest

import corvane.tessara.datac as datac
from corvane.tessara.core.events import EVENT, Event
from corvane.tessara.data.base_data_source.data_source import BaseDataSource
from corvane.tessara.environment import Environment

from support_datasource import histsource

STOCKS = ["600000.SH", "600519.SH", "601318.SH", "688111.SH", "000001.SZ", "000002.SZ",
          "000022.SZ", "001872.SZ", "300750.SZ"]
FUNDS = ["510300.SH", "159915.SZ"]
INDEXES = ["000001.SH", "000300.SH"]
FUTURES = ["RB2410.SHF", "AU2412.SHF", "IF2412.CFE"]


def codes(instruments):
    return [i.market_code for i in instruments]


class TestModule:
    def test_class_layout(self):
        cls = histsource.OstraDataDataSource
        assert [b.__name__ for b in cls.__bases__] == ["TradingDatesMixin", "AbstractDataSource"]
        assert "_OstraDataDataSource__get_day_bars" in vars(cls)
        assert isinstance(vars(cls)["_ndarray_from_df"], staticmethod)

    @pytest.mark.parametrize("value, expected", [
        ("600000.SH", True), ("", False), (None, False), (600000, False), (b"600000.SH", False),
    ])
    def test_is_valid_order_book_ie(self, value, expected):
        assert histsource._is_valid_order_book_ie(value) is expected

    def test_is_valid_order_book_ie_reads_string_types_when_called(self, monkeypatch):
        monkeypatch.setattr(histsource, "string_types", (bytes,))
        assert histsource._is_valid_order_book_ie(b"x") is True
        assert histsource._is_valid_order_book_ie("x") is False

    def test_memoised_module_functions(self, datasource_env):
        histsource._is_suspended.cache_clear()
        histsource._get_tick_size.cache_clear()
        first = histsource._is_suspended("600000.SH")
        assert histsource._is_suspended("600000.SH") is first
        assert first.name == "600000.SH"
        assert histsource._get_tick_size("RB2410.SHF") == 1.0
        assert histsource._get_tick_size("RB2410.SHF") == 1.0
        assert datac.call_counts["is_suspended"] == 1
        assert datac.call_counts["instruments"] == 1
        assert histsource._is_suspended.cache_info().maxsize == 128
        assert histsource._get_tick_size.cache_info().maxsize == 256


class TestConstruction:
    def test_outside_calls_in_order(self, datasource_env, monkeypatch):
        order = []
        real = {n: getattr(datac, n) for n in ("all_instruments", "get_trading_dates")}

        def spy(name):
            def call(*args, **kwargs):
                order.append((name, args))
                return real[name](*args, **kwargs)
            return call

        client = types.SimpleNamespace(all_instruments=spy("all_instruments"),
                                       get_trading_dates=spy("get_trading_dates"))
        monkeypatch.setattr(histsource, "ostradatac", client)
        import corvane.tessara.utils.login as login
        monkeypatch.setattr(login, "init_gid", lambda: order.append(("init_gid", ())))
        histsource.OstraDataDataSource()
        assert order == [("init_gid", ()), ("all_instruments", ()),
                         ("get_trading_dates", ("2005-01-04", "2050-01-01"))]

    def test_stores_map_and_calendar(self, data_source, small_dataset):
        assert list(data_source._instruments_stores) == list(BaseDataSource.DEFAULT_INS_TYPES)
        type_map = data_source._ins_id_or_sym_type_map
        assert type_map["600000.SH"] == "stock" and type_map["浦发银行"] == "stock"
        assert type_map["RB2410.SHF"] == "Future" and type_map["000300.SH"] == "index"
        dates = data_source._trading_dates
        assert isinstance(dates, pd.DatetimeIndex)
        assert dates[0] == pd.Timestamp("2005-01-04") and dates[-1] <= pd.Timestamp("2050-01-01")
        assert data_source.get_trading_calendars() is data_source.trading_calendars
        from corvane.tessara.const import TRADING_CALENDAR_TYPE
        assert data_source.trading_calendars[TRADING_CALENDAR_TYPE.EXCHANGE] is dates
        assert data_source._history_cache == {}
        assert data_source._minute_bar_cache.get_size() == 512

    @pytest.mark.parametrize("form", [
        pytest.param(lambda d: [x.date() for x in d], id="date-objects"),
        pytest.param(lambda d: [x.strftime("%Y-%m-%d") for x in d], id="text"),
        pytest.param(lambda d: list(d.values.astype("datetime64[s]")), id="second-stamps"),
        pytest.param(lambda d: list(d), id="stamps-of-an-index"),
    ])
    def test_calendar_is_held_at_nanoseconds_whatever_form_the_client_gives(self, datasource_env, monkeypatch,
                                                                           form):
        # Later pandas lines keep dates in seconds or microseconds; the calendar is the same
        # nanosecond index on every line, so it compares and prints alike.
        days = pd.DatetimeIndex(["2024-01-02", "2024-01-03", "2024-01-05"])
        monkeypatch.setattr(datac, "get_trading_dates", lambda start, end: form(days))
        dates = histsource.OstraDataDataSource()._trading_dates
        assert str(dates.dtype) == "datetime64[ns]"
        assert list(dates) == list(days)

    def test_time_zone_aware_calendar_keeps_its_zone(self, datasource_env, monkeypatch):
        days = pd.DatetimeIndex(["2024-01-02", "2024-01-03"]).tz_localize("Asia/Shanghai")
        monkeypatch.setattr(datac, "get_trading_dates", lambda start, end: list(days))
        dates = histsource.OstraDataDataSource()._trading_dates
        assert dates.tz is not None and list(dates) == list(days)

    def test_bad_records_dropped(self, datasource_env, monkeypatch, small_dataset):
        table = small_dataset.instruments[small_dataset.instruments.market_code.isin(["600000.SH", "RB2410.SHF"])]
        bad = table.iloc[[0, 0, 0]].copy()
        bad["market_code"] = ["", 12345, None]
        combined = pd.concat([table, bad], ignore_index=True)

        class Records:
            def to_dict(self, orient):
                assert orient == "records"
                return [None] + combined.to_dict(orient="records")

        monkeypatch.setattr(datac, "all_instruments", lambda: Records())
        source = histsource.OstraDataDataSource()
        assert codes(source.get_instruments()) == ["600000.SH", "RB2410.SHF"]
        assert set(source._ins_id_or_sym_type_map) == {"600000.SH", "RB2410.SHF", "浦发银行", "螺纹钢2410"}

    def test_later_type_wins_for_shared_symbol(self, datasource_env, monkeypatch, small_dataset):
        table = small_dataset.instruments.copy()
        table.loc[table.market_code == "RB2410.SHF", "symbol"] = "浦发银行"
        monkeypatch.setattr(datac, "all_instruments", lambda: table)
        source = histsource.OstraDataDataSource()
        assert source._ins_id_or_sym_type_map["浦发银行"] == "Future"

    @pytest.mark.parametrize("failing", ["all_instruments", "get_trading_dates"])
    def test_client_errors_propagate(self, datasource_env, monkeypatch, failing):
        def boom(*args):
            raise ConnectionError("remote down")
        monkeypatch.setattr(datac, failing, boom)
        with pytest.raises(ConnectionError, match="remote down"):
            histsource.OstraDataDataSource()

    def test_login_module_without_init_gid_is_an_import_error(self, datasource_env, monkeypatch):
        import corvane.tessara.utils.login as login
        monkeypatch.delattr(login, "init_gid")
        with pytest.raises(ImportError, match="init_gid"):
            histsource.OstraDataDataSource()

    def test_init_gid_is_imported_through_the_import_hook(self, datasource_env, monkeypatch):
        # `from corvane.tessara.utils.login import init_gid` goes through builtins.__import__.
        import builtins
        seen = []
        real = builtins.__import__

        def hook(name, *args, **kwargs):
            seen.append(name)
            return real(name, *args, **kwargs)
        monkeypatch.setattr(builtins, "__import__", hook)
        histsource.OstraDataDataSource()
        assert "corvane.tessara.utils.login" in seen

    def test_without_environment_fails(self, datasource_env):
        Environment.reset()
        with pytest.raises(RuntimeError):
            histsource.OstraDataDataSource()


class TestGetInstruments:
    def test_all_in_store_order(self, data_source):
        everything = STOCKS + FUNDS + INDEXES + FUTURES
        assert codes(data_source.get_instruments()) == everything
        assert codes(data_source.get_instruments(types=[])) == everything

    @pytest.mark.parametrize("kwargs, expected", [
        ({"id_or_syms": []}, []),
        ({"id_or_syms": ["nothing.XX"]}, []),
        ({"types": ["Option"]}, []),
        ({"types": ["Future", "fund"]}, FUTURES + FUNDS),
        ({"types": iter(["index"])}, INDEXES),
        ({"id_or_syms": ["RB2410.SHF", "nothing", "600000.SH", "510300.SH", "贵州茅台"]},
         ["600000.SH", "600519.SH", "510300.SH", "RB2410.SHF"]),
        ({"id_or_syms": ["000300.SH"], "types": ["stock"]}, ["000300.SH"]),
    ])
    def test_selection(self, data_source, kwargs, expected):
        assert codes(data_source.get_instruments(**kwargs)) == expected

    def test_lazy_and_one_store_call_per_type(self, data_source, monkeypatch):
        calls = []
        for ins_type, store in data_source._instruments_stores.items():
            real = store.get_instruments

            def spy(ids, real=real, ins_type=ins_type):
                ids = None if ids is None else list(ids)
                calls.append((ins_type, ids))
                return real(ids)
            monkeypatch.setattr(store, "get_instruments", spy)
        result = data_source.get_instruments(["IF2412.CFE", "600000.SH", "RB2410.SHF", "000001.SZ"])
        assert calls == []
        assert codes(result) == ["600000.SH", "000001.SZ", "IF2412.CFE", "RB2410.SHF"]
        assert calls == [("stock", ["600000.SH", "000001.SZ"]), ("Future", ["IF2412.CFE", "RB2410.SHF"])]

    def test_store_errors_propagate_and_end_iteration(self, data_source, monkeypatch):
        def broken(ids):
            raise KeyError("store broken")
        monkeypatch.setattr(data_source._instruments_stores["stock"], "get_instruments", broken)
        it = data_source.get_instruments()
        with pytest.raises(KeyError):
            next(it)
        assert list(it) == []

    def test_reentrant_step_is_refused_like_a_generator(self):
        # a store whose iterator steps the outer iteration: refused, the outer one goes on
        errors = []

        class Store:
            def get_instruments(self, ids):
                yield 1
                try:
                    next(outer)
                except ValueError as e:
                    errors.append(str(e))
                yield 2

        owner = types.SimpleNamespace(_instruments_stores={"a": Store(), "b": Store()}, _ins_id_or_sym_type_map={})
        outer = histsource.OstraDataDataSource.get_instruments(owner)
        assert list(outer) == [1, 2, 1, 2]
        assert errors == ["generator already executing"] * 2

    def test_reads_groupby_from_module(self, data_source, monkeypatch):
        seen = []
        real = histsource.groupby

        def spy(iterable, key):
            seen.append(list(iterable))
            return real(seen[-1], key)
        monkeypatch.setattr(histsource, "groupby", spy)
        assert codes(data_source.get_instruments(["510300.SH", "600000.SH"])) == ["600000.SH", "510300.SH"]
        assert seen == [["600000.SH", "510300.SH"]]


    def test_stores_get_plain_lists_and_a_mapping_with_its_own_get_is_asked(self, data_source, monkeypatch):
        handed = []
        store = data_source._instruments_stores["stock"]
        real = store.get_instruments

        def spy(ids):
            handed.append((type(ids), list(ids)))
            return real(handed[-1][1])
        monkeypatch.setattr(store, "get_instruments", spy)
        assert codes(data_source.get_instruments(["600000.SH", "nope", "000001.SZ"])) == ["600000.SH", "000001.SZ"]
        assert handed == [(list, ["600000.SH", "000001.SZ"])]

        class Retyped(dict):
            def get(self, key, default=None):
                return "stock" if key == "510300.SH" else dict.get(self, key, default)
        monkeypatch.setattr(data_source, "_ins_id_or_sym_type_map", Retyped(data_source._ins_id_or_sym_type_map))
        handed.clear()
        assert codes(data_source.get_instruments(["510300.SH", "600000.SH"])) == ["600000.SH"]
        assert [ids for _, ids in handed] == [["510300.SH", "600000.SH"]]

class TestCaches:
    def test_pre_before_trading_clears_day_cache_only(self, data_source, datasource_env):
        data_source._history_cache["k"] = 1
        data_source._minute_bar_cache["m"] = 2
        datasource_env.event_bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING))
        assert data_source._history_cache == {}
        assert data_source._minute_bar_cache["m"] == 2

    def test_listener_clears_the_current_cache(self, data_source, datasource_env):
        replaced = {"x": 1}
        data_source._history_cache = replaced
        (listener,) = datasource_env.event_bus.listeners(EVENT.PRE_BEFORE_TRADING)
        assert listener(None) is None
        assert replaced == {}

    def test_a_dropped_data_source_is_freed_and_its_listener_idles(self, datasource_env):
        # The listener on the event bus holds the source weakly: a dropped source is freed with
        # its calendar and caches, and the event then changes nothing.
        source = histsource.OstraDataDataSource()
        ref, dates_ref = weakref.ref(source), weakref.ref(source._trading_dates)
        (listener,) = datasource_env.event_bus.listeners(EVENT.PRE_BEFORE_TRADING)
        del source
        gc.collect()
        assert ref() is None and dates_ref() is None
        assert listener(None) is None
        datasource_env.event_bus.publish_event(Event(EVENT.PRE_BEFORE_TRADING))

    def test_minute_cache_evicts_least_recently_used(self, data_source):
        cache = data_source._minute_bar_cache
        for i in range(512):
            cache[i] = i
        cache[0]  # touch the oldest: key 1 is now the least recently used
        cache[512] = 512
        assert 1 not in cache and 0 in cache and 512 in cache and len(cache) == 512
