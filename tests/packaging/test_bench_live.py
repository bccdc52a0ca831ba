"""The live bench compares like with like: in every world and record shape, the bridge, the twin
and the twin without its overwrite check are given records of equal fields and queue the same
events; the floor's replay from C makes the same calls as the Python replay."""
import collections
import dataclasses
import datetime
import enum
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from bench import live, nativeext  # noqa: E402
from pyvorn import records  # noqa: E402

# Fields the framework's constructors fill in themselves: a process-wide counter and the clock.
_MADE_BY_THE_FRAMEWORK = {"Trade": ("trade_id", "datetime")}
_PRIMITIVE = (int, float, str, bytes, bool, type(None), enum.Enum, datetime.datetime, datetime.date)


def canon(obj, depth=0):
    """A comparable form of an event and everything it holds, objects by class and fields."""
    if depth > 12:
        return "..."
    if isinstance(obj, _PRIMITIVE):
        return obj
    if isinstance(obj, dict):
        return {k: canon(v, depth + 1) for k, v in obj.items()}
    if isinstance(obj, (list, tuple, collections.deque)):
        return (type(obj).__name__, [canon(v, depth + 1) for v in obj])
    if isinstance(obj, slice):
        return ("slice", canon(obj.start, depth + 1), canon(obj.stop, depth + 1), canon(obj.step, depth + 1))
    fields = {}
    for cls in type(obj).__mro__:
        for name in getattr(cls, "__slots__", ()):
            if hasattr(obj, name):
                fields[name] = canon(getattr(obj, name), depth + 1)
    fields.update({k: canon(v, depth + 1) for k, v in getattr(obj, "__dict__", {}).items()})
    for name in _MADE_BY_THE_FRAMEWORK.get(type(obj).__name__, ()):
        fields.pop(name, None)
    return (type(obj).__name__, fields)


def _shapes():
    out = []
    for shape in live.SHAPES:
        marks = ()
        if shape == "getset" and nativeext.load() is None:
            marks = pytest.mark.skip(reason="bench extension not built: " + nativeext.why_not())
        out.append(pytest.param(shape, marks=marks))
    return out


@pytest.fixture
def saved_live_state():
    saved = {m: m.event_queue for m in live._modules()}
    yield
    live.restore_state(saved)


@pytest.mark.parametrize("make", live.CALLBACK_CASES, ids=lambda m: m.__name__)
@pytest.mark.parametrize("shape", _shapes())
@pytest.mark.parametrize("world", live.WORLDS)
def test_sides_queue_the_same_events(world, shape, make, saved_live_state):
    with live.world(world):
        case = make(world, shape)
        case.setup()
        for side in ("native", "twin", "plain"):
            case.loops[side](2)
        queues = case.queues()
        events = {side: [canon(e) for e in list(queues[side])] for side in ("native", "twin", "plain")}
        case.loops["floor"](2)
    assert events["native"], "the bridge queued no event"
    assert events["native"] == events["twin"]
    assert events["twin"] == events["plain"]


@pytest.mark.parametrize("shape", _shapes())
@pytest.mark.parametrize("cls", [records.Snapshot, records.Bar, records.TickOrder, records.TickTrade,
                                 records.OrderReport], ids=lambda c: c.__name__)
def test_record_shapes_hold_the_terminal_fields(shape, cls):
    rec = live.make_record("host", shape, cls, security_id="000009", market_type=records.MarketType.SSE)
    reference = cls(security_id="000009", market_type=records.MarketType.SSE)
    for f in dataclasses.fields(cls):
        assert getattr(rec, f.name) == getattr(reference, f.name), f.name
    twin_copy = live.copy_record(rec)
    assert type(twin_copy) is type(rec) and twin_copy is not rec
    assert all(getattr(twin_copy, f.name) == getattr(rec, f.name) for f in dataclasses.fields(cls))
    if shape == "getset":
        assert type(type(rec).__dict__["security_id"]).__name__ == "getset_descriptor"
    cheap = live.make_record("cheap", shape, cls, market_type=records.MarketType.SSE)
    assert cheap.market_type == records.MarketType.SSE.value and type(cheap.market_type) is int


@pytest.mark.skipif(nativeext.load() is None, reason="bench extension not built")
@pytest.mark.parametrize("kw", [None, {"b": 2}, {"b": 2, "c": [3]}])
def test_c_replay_makes_the_python_replay_calls(kw, monkeypatch):
    calls = []

    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return [len(calls)]
    steps = ((record, (1, "x"), kw or {}), (len, ("abc",), {}))
    keep_c = []
    live.replay(steps, 3, keep_c)
    from_c = list(calls)
    calls.clear()
    monkeypatch.setattr(nativeext, "load", lambda: None)
    keep_py = []
    live.replay(steps, 3, keep_py)
    assert from_c == calls and len(calls) == 3
    # New objects are kept alive by both; C leaves out results that live on elsewhere.
    assert keep_c == [r for r in keep_py if isinstance(r, list)] == [[1], [2], [3]]


def test_c_replay_refuses_malformed_steps():
    ext = nativeext.load()
    if ext is None:
        pytest.skip("bench extension not built")
    with pytest.raises(TypeError):
        ext.replay(((len, "abc", None),), 1, [])
    with pytest.raises(ValueError):
        ext.replay(((len, ("abc",), ("k", "j")),), 1, [])
    with pytest.raises(ZeroDivisionError):
        ext.replay(((divmod, (1, 0), None),), 2, [])


def test_readers_answer_alike(saved_live_state):
    for world in live.WORLDS:
        with live.world(world):
            for case in live.reader_cases(world):
                case.setup()
                mods = dict(zip(("native", "twin", "plain"), live._modules()))
                fn = "get_current_tick" if case.name == "get_current_tick" else "history_ticks"
                args = ("000001.SZ",) if fn == "get_current_tick" else ("000001.SZ", 10)
                answers = [getattr(m, fn)(*args) for m in mods.values()]
                assert answers[0] == answers[1] == answers[2] is not None


def _result(world, native, twin, floor, ir=None, case="on_snapshot"):
    r = live.Result(case, world, "slots")
    r.rounds = [{"native": native, "twin": twin, "plain": twin, "floor": floor}]
    r.ir = ir
    return r


@pytest.mark.parametrize("now, flagged", [
    # (native s, twin s, floor s, own Ir native): only a rise beyond noise is named
    ((1.0, 2.0, 0.5, 1000), []),
    ((1.05, 2.0, 0.5, 1020), []),                       # within noise
    ((1.2, 2.0, 0.5, 1000), ["slower than the baseline"]),
    ((1.0, 2.0, 0.5, 1100), ["more instructions than the baseline"]),
    ((1.3, 2.0, 0.5, 1200), ["slower than the baseline", "more instructions than the baseline"]),
])
def test_baseline_names_host_results_slower_than_before(tmp_path, now, flagged):
    path = str(tmp_path / "baseline.json")
    before = _result("host", 1.0, 2.0, 0.5, {"native": 1500, "twin": 5000, "plain": 4000, "floor": 500})
    live.write_baseline([before, _result("cheap", 1.0, 2.0, 0.5)], path=path)
    native, twin, floor, own_ir = now
    ir = {"native": 500 + own_ir, "twin": 5000, "plain": 4000, "floor": 500}
    # The cheap world has no baseline: a much slower cheap result is never named.
    lines = live.compare_baseline([_result("host", native, twin, floor, ir), _result("cheap", 9.0, 2.0, 0.5)], path)
    assert [line.split(":")[0] for line in lines] == flagged


@pytest.mark.parametrize("native, twin, floor, expected", [
    (1.0, 2.0, 0.5, 1 / 3),      # own 0.5 over the twin's own 1.5
    (0.5, 2.0, 0.5, 0.0),        # nothing beyond the floor
])
def test_own_cost_ratio_subtracts_the_floor_from_both_sides(native, twin, floor, expected):
    r = _result("cheap", native, twin, floor, {"native": native * 10, "twin": twin * 10, "floor": floor * 10})
    assert r.best() == pytest.approx(expected)
    assert r.ir_ratio() == pytest.approx(expected)
    assert r.total_ratio() == pytest.approx(native / twin)


@pytest.mark.skipif(nativeext.load() is None, reason="bench extension not built")
@pytest.mark.parametrize("action, error", [
    (lambda R: R(1), TypeError),                 # fields are keywords only
    (lambda R: R(nope=1), AttributeError),       # no such field
    (lambda R: R().a, AttributeError),           # never set
    (lambda R: R(a=1, b=2).__delattr__("a") or R(b=2).a, AttributeError),   # deleted
])
def test_getset_records_refuse_what_a_bound_struct_would(action, error):
    R = nativeext.load().record_type("Probe", ("a", "b"))
    with pytest.raises(error):
        action(R)
    rec = R(a=[1], b=2)
    del rec.a
    assert rec.b == 2 and not hasattr(rec, "a")
