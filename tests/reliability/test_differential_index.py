"""Differential fuzzing of the index service: the native module and its plain-Python twin get the
same arguments (dates of every kind, by position or by name, surplus and missing ones) and the same
gateway replies (tables empty or not, replies of the wrong length, objects without `empty`); they
must agree on the answer (the very table the gateway gave, or None), the exception (type and
message) and the gateway calls made.

CORVANE_LONG=1 runs 2000 examples instead of 200."""
import importlib
import importlib.util
import os

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane.tessara.datac as datac
import corvane.tessara.datac.decorators as decorators

import implementations
from support_index import Gateway

EXAMPLES = 2000 if os.environ.get("CORVANE_LONG") else 200
INDEX = implementations.MODULES["index"]
TABLE = pd.DataFrame({"market_code": ["600000.SH", "000001.SZ"], "weight": [0.6, 0.4]})
EMPTY = pd.DataFrame({"market_code": []})


@pytest.fixture(scope="module")
def modules():
    native = importlib.import_module(INDEX)
    if implementations.twin_loaded("index"):
        pytest.skip("compares the native module with the twin; here the twin stands in for the native")
    # The twin publishes its functions as data-client operations when it loads: the native
    # module's stay published.
    published = decorators._APIS.copy(), {name: getattr(datac, name) for name in decorators._APIS}
    package, _, leaf = INDEX.rpartition(".")
    spec = importlib.util.spec_from_file_location(package + "._twin_" + leaf,
                                                  implementations.TWIN_DIR / (leaf + ".py"))
    twin = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(twin)
    finally:
        decorators._APIS.clear()
        decorators._APIS.update(published[0])
        for name, fn in published[1].items():
            setattr(datac, name, fn)
    return native, twin


dates = st.one_of(st.none(), st.dates(), st.datetimes(), st.just("2024-03-01"), st.integers(0, 3),
                  st.just(pd.Timestamp("2024-03-01 14:30")), st.just(pd.NaT))
replies = st.sampled_from([(TABLE, 0, "ok"), (EMPTY, 1, "no data"), (TABLE, 0), (TABLE, 0, "ok", None),
                           ("not a table", 0, "ok"), None, [EMPTY, 0, ""]])
calls = st.tuples(st.sampled_from(["index_components", "index_weights"]),
                  st.sampled_from(["000300.SH", "", None]), dates,
                  st.sampled_from(["positional", "named", "code only", "surplus", "unknown keyword"]))


def invoke(fn, code, date, form):
    if form == "positional":
        return fn(code, date)
    if form == "named":
        return fn(date=date, market_code=code)
    if form == "code only":
        return fn(code)
    if form == "surplus":
        return fn(code, date, 1)
    return fn(code, when=date)


def outcome(module, monkeypatch, reply, name, code, date, form):
    gateway = Gateway(reply)
    monkeypatch.setattr(module, "gid", gateway)
    try:
        answer = invoke(getattr(module, name), code, date, form)
        result = ("answer", "table" if answer is TABLE else repr(answer))
    except Exception as e:
        result = ("raised", type(e).__name__, str(e))
    return result, gateway.calls


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(call=calls, reply=replies)
def test_native_and_twin_index_services_agree(modules, monkeypatch, call, reply):
    name, code, date, form = call
    native, twin = (outcome(m, monkeypatch, reply, name, code, date, form) for m in modules)
    assert native == twin
