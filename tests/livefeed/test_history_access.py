"""The four history readers: newest record, copies of the last records, None
for unknown instruments."""
import subprocess
import sys
import textwrap
from collections import deque

import pytest

import corvane.tessara.utils.livefeed as lf

import implementations

CODE = "000001.SZ"


def records(n, key="orig_time"):
    return [{"market_code": CODE, key: i} for i in range(n)]


@pytest.fixture
def ten_bars():
    recs = records(10)
    lf.history_bar[CODE] = deque(recs)
    return recs


@pytest.mark.parametrize("reader, args", [
    (lf.get_current_tick, ()), (lf.get_current_bar, ()),
    (lf.history_ticks, (5,)), (lf.history_bars, (5,)),
])
@pytest.mark.parametrize("code", [CODE, "", "600000.SH", None])
def test_no_history_gives_none(reader, args, code):
    assert reader(code, *args) is None


@pytest.mark.parametrize("count, expected", [
    (3, slice(7, 10)), (1, slice(9, 10)), (10, slice(0, 10)), (11, slice(0, 10)),
    (100, slice(0, 10)), (0, slice(0, 10)),
])
def test_history_bars_slices_from_the_end(ten_bars, count, expected):
    got = lf.history_bars(CODE, count)
    assert isinstance(got, list)
    assert got == ten_bars[expected]
    # the records are the stored objects, not copies
    assert all(a is b for a, b in zip(got, ten_bars[expected]))


def test_current_bar_is_the_newest_record_itself(ten_bars):
    assert lf.get_current_bar(CODE) is ten_bars[-1]
    assert lf.get_current_tick(CODE) is None


def test_tick_history_is_bounded_and_read_by_tick_readers():
    dq = deque(maxlen=60)
    recs = records(61, key="datetime")
    for r in recs:
        dq.append(r)
    lf.history_tick[CODE] = dq
    got = lf.history_ticks(CODE, 100)
    assert len(got) == 60 and got[0] is recs[1] and got[-1] is recs[60]
    assert lf.get_current_tick(CODE) is recs[60]
    assert lf.history_bars(CODE, 5) is None


def test_returned_list_is_independent_of_history_and_later_calls(ten_bars):
    first = lf.history_bars(CODE, 3)
    first.append("extra")
    lf.history_bar[CODE].append({"late": True})
    assert len(first) == 4
    second = lf.history_bars(CODE, 3)
    assert second == ten_bars[8:] + [{"late": True}]
    lf.history_bar.clear()
    assert len(second) == 3 and lf.history_bars(CODE, 3) is None


def test_keyword_arguments_and_argument_errors(ten_bars):
    assert lf.history_bars(market_code=CODE, count=2) == ten_bars[8:]
    assert lf.get_current_bar(market_code=CODE) is ten_bars[-1]
    for call in (lambda: lf.history_bars(CODE), lambda: lf.get_current_bar(),
                 lambda: lf.get_current_tick(CODE, 1), lambda: lf.history_ticks(CODE, 1, 2)):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("count", ["3", 1.5, None])
def test_non_integer_count_fails_with_type_error(ten_bars, count):
    with pytest.raises(TypeError):
        lf.history_bars(CODE, count)


def test_readers_follow_a_replaced_history(monkeypatch):
    monkeypatch.setattr(lf, "history_tick", {CODE: deque([{"datetime": 1}])})
    assert lf.get_current_tick(CODE) == {"datetime": 1}


@pytest.mark.parametrize("module, name", [
    ("corvane.tessara.model.trade", "Trade"), ("corvane.tessara.utils.trade_func", "get_vorn_tdtype"),
])
def test_a_name_missing_at_import_is_an_import_error(module, name):
    # The import binds each outside name as `from module import name` does, whose error is an
    # ImportError naming the module (not the AttributeError of the read). Run in a fresh
    # interpreter, since an extension module is initialised once per process.
    script = textwrap.dedent(f"""
        import importlib, sys
        sys.path.insert(0, {implementations.TESTS_DIR!r})
        import implementations
        mod = importlib.import_module({module!r})
        delattr(mod, {name!r})
        try:
            implementations.import_module("corvane.tessara.utils.livefeed")
        except ImportError as outer:
            e = outer.__cause__ or outer  # the extension loader may chain its own ImportError
            print(type(e).__name__, e.name, e)
        """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith(f"ImportError {module} cannot import name {name!r} from {module!r} ("), \
        out.stdout + out.stderr
