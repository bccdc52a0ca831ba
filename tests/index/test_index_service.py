"""The index service: gateway calls, day strings, documentation texts and publication."""
import datetime
import inspect
import types

import pandas as pd
import pytest

import corvane.tessara.datac as datac
from corvane.tessara.datac.services import index

from support_index import Gateway

DOC_LINES = ["", "", "    :param market_code: 指数代码", "    :param date:  日期",
             "    :return: 指数成股份的market_code list or None", "    "]


@pytest.fixture
def gateway(monkeypatch):
    gw = Gateway((pd.DataFrame({"market_code": ["600000.SH"]}), 0, "success"))
    monkeypatch.setattr(index, "gid", gw)
    return gw


@pytest.mark.parametrize("fn, title", [(index.index_components, "获取指数成股份"),
                                       (index.index_weights, "获取指数成股份权重")])
def test_documentation_and_signature(fn, title):
    assert fn.__doc__ == "\n".join([title] + DOC_LINES[1:])
    assert list(inspect.signature(fn).parameters) == ["market_code", "date"]
    assert inspect.signature(fn).parameters["date"].default is None


@pytest.mark.parametrize("name", ["index_components", "index_weights"])
def test_names_are_those_of_a_module_function(name):
    fn = getattr(index, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, index.__name__)


def test_published_through_export_as_api():
    assert datac.index_components is index.index_components
    assert datac.decorators.exported_apis()["index_weights"] is index.index_weights


@pytest.mark.parametrize("fn, method, code_arg", [
    (index.index_components, "index_con_his", ["000300.SH"]),
    (index.index_weights, "get_index_weight_stk", "000300.SH"),
])
class TestCalls:
    def test_date_given(self, gateway, fn, method, code_arg):
        table = gateway.reply[0]
        assert fn("000300.SH", datetime.datetime(2024, 3, 1, 14, 30)) is table
        assert fn(date=datetime.date(2024, 3, 4), market_code="000300.SH") is table
        assert gateway.calls == [
            (method, (code_arg,), {"start_time": "2024-03-01", "end_time": "2024-03-01"}),
            (method, (code_arg,), {"start_time": "2024-03-04", "end_time": "2024-03-04"})]

    def test_date_omitted_means_today(self, gateway, monkeypatch, fn, method, code_arg):
        class FixedDate(datetime.date):
            @classmethod
            def today(cls):
                return cls(2024, 2, 9)
        monkeypatch.setattr(index, "datetime", types.SimpleNamespace(date=FixedDate))
        fn("000300.SH")
        assert gateway.calls == [(method, (code_arg,), {"start_time": "2024-02-09", "end_time": "2024-02-09"})]

    def test_empty_table_gives_none(self, gateway, fn, method, code_arg):
        gateway.reply = (pd.DataFrame(), 1, "no data")
        assert fn("000300.SH", datetime.date(2024, 3, 1)) is None

    @pytest.mark.parametrize("reply, error, message", [
        ((pd.DataFrame(), 0), ValueError, r"not enough values to unpack \(expected 3, got 2\)"),
        ((pd.DataFrame(), 0, "", 1), ValueError, r"too many values to unpack \(expected 3\)"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
        (7, TypeError, "cannot unpack non-iterable int object"),
    ])
    def test_bad_reply(self, gateway, fn, method, code_arg, reply, error, message):
        # the messages of `data, code, msg = reply`
        gateway.reply = reply
        with pytest.raises(error, match=message):
            fn("000300.SH", datetime.date(2024, 3, 1))

    def test_text_date_fails(self, gateway, fn, method, code_arg):
        with pytest.raises(AttributeError):
            fn("000300.SH", "2024-03-01")
        assert gateway.calls == []


@pytest.mark.parametrize("call, message", [
    (lambda: index.index_weights(), "missing 1 required positional argument: 'market_code'"),
    (lambda: index.index_weights("a", None, 3), "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: index.index_weights("a", market_code="b"), "got multiple values for argument 'market_code'"),
    (lambda: index.index_weights("a", day=1), "got an unexpected keyword argument 'day'"),
    (lambda: index.index_components(date=None), r"^index_components\(\) missing 1 required positional argument"),
    (lambda: index.index_components("a", None, date=None), "got multiple values for argument 'date'"),
    (lambda: index.index_components(None, **{"market_code": 1}), "got multiple values for argument 'market_code'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_against_gateway_stand_in(small_dataset_index):
    components = index.index_components("000300.SH", datetime.date(2024, 3, 1))
    weights = index.index_weights("000300.SH", datetime.date(2024, 3, 1))
    assert set(weights.market_code) <= set(components.market_code)
    assert abs(weights.weight.sum() - 100) < 1e-6
    assert index.index_weights("000300.SH", datetime.date(2024, 3, 2)) is None  # a Saturday


@pytest.fixture
def small_dataset_index(small_dataset):
    previous = datac._state._dataset
    datac.set_dataset(small_dataset)
    yield
    datac.set_dataset(previous)

