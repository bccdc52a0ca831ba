"""The bridge's remembered lookups against an adversarial caller: classes and objects changed in
ways a cache keyed on the owning class alone would miss, and Python code that runs in the middle
of a lookup (a key's __eq__, a __del__) and calls back into the bridge. Each case states what
plain Python does; a case that could crash the interpreter runs in a child process."""
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.core.events import EVENT
from pyvorn import records
from pyvorn.enums import MarketType

import implementations
from support_live import bar, queued_events, snapshot

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STAMP = 20261208093001500
FIELDS = dict(security_id="600000", market_type=MarketType.SSE, trade_time=STAMP, biz_index=12,
              bid_appl_seq_num=101, offer_appl_seq_num=100, trade_price=8.25, trade_volume=200,
              value_trade=1650.0, trade_type=ord("F"))

# A child process with a bridge on a fresh environment; the case's code follows.
PRELUDE = """
import sys
sys.path.insert(0, {tests!r})
import corvane.tessara.utils.livefeed as lf
import pyvorn.strategy
from corvane.tessara.environment import Environment
from pyvorn import records
from pyvorn.enums import MarketType
from support_live import make_config, queued_events
env = Environment.install()
bridge = lf.VornStrategy(make_config())
bridge.context = pyvorn.strategy.Context(pyvorn.strategy.ManualScheduler())
STAMP = {stamp}
FIELDS = {fields}
"""


def run_child(body):
    """Runs `body` after PRELUDE in a fresh interpreter; its stdout, or a failure with its output."""
    fields = "dict(" + ", ".join("{}={!r}".format(k, v) for k, v in FIELDS.items() if k != "market_type") + \
             ", market_type=MarketType.SSE)"
    code = PRELUDE.format(tests=TESTS, stamp=STAMP, fields=fields) + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, "child ended with {}:\n{}\n{}".format(result.returncode, result.stdout,
                                                                       result.stderr[-3000:])
    return result.stdout.split()


def _last_trade():
    return queued_events()[-1].l2_transaction


class SetInInit:
    def __init__(self, **fields):
        for k, v in fields.items():
            setattr(self, k, v)


# --- Python code inside a lookup -------------------------------------------------------------

def test_method_removed_by_a_key_comparison_is_still_the_one_called():
    # The instance-dict check of a method call runs a colliding key's __eq__, which deletes the
    # method from the class: Python calls the function it had found, and fails on the next call.
    out = run_child("""
        class Proxy:
            def __init__(self, inner):
                self.inner = inner

        def make():
            def instruments(self, code):
                return "original " + code
            return instruments
        Proxy.instruments = make()
        size = sys.getsizeof(Proxy.instruments)
        junk = []

        class Colliding(str):
            armed = False
            def __hash__(self):
                return hash("instruments")
            def __eq__(self, other):
                if Colliding.armed:
                    Colliding.armed = False
                    del Proxy.instruments
                    # reuse the freed memory, so that a dangling pointer shows
                    junk.extend(b"\\xff" * (size - 33) for _ in range(64))
                return False

        proxy = Proxy(env.data_proxy)
        vars(proxy)[Colliding("other")] = 1
        env.data_proxy = proxy
        env.data_proxy.inner.add_instrument("000001.SZ")
        snap = records.Snapshot(security_id="000001", orig_time=STAMP)
        bridge.on_snapshot(snap)
        bridge.on_snapshot(snap)
        Colliding.armed = True
        bridge.on_snapshot(snap)
        print(queued_events()[-1].tick._instrument.replace(" ", "_"))
        try:
            bridge.on_snapshot(snap)
        except AttributeError:
            print("AttributeError")
    """)
    assert out == ["original_000001.SZ", "AttributeError"]


def test_nested_learning_during_a_dict_lookup_leaves_no_mixed_state():
    # The read of trade_price on an int-subclass record with a class default runs a colliding
    # key's __eq__, which reads a __slots__ record through the same site. Both reads, and every
    # later one, give what Python gives.
    out = run_child("""
        class Slotted:
            __slots__ = tuple(FIELDS)
            def __init__(self, **fields):
                for k, v in fields.items():
                    setattr(self, k, v)

        class IntRecord(int):
            trade_price = 4.5

        slotted = Slotted(**FIELDS)
        nesting = []

        class Colliding(str):
            armed = False
            def __hash__(self):
                return hash("trade_price")
            def __eq__(self, other):
                if Colliding.armed and not nesting:
                    nesting.append(1)
                    bridge.on_tick_trade(slotted)
                    nesting.pop()
                return False

        record = IntRecord(2 ** 300 - 1)
        vars(record)[Colliding("other")] = 0
        vars(record).update({k: v for k, v in FIELDS.items() if k != "trade_price"})
        bridge.on_tick_trade(slotted)
        Colliding.armed = True
        bridge.on_tick_trade(record)
        Colliding.armed = False
        print(queued_events()[-1].l2_transaction.price)
        lf.event_queue = lf.RB(capacity=100, dtype=object)
        for _ in range(3):
            bridge.on_tick_trade(record)
            bridge.on_tick_trade(slotted)
        print(*[e.l2_transaction.price for e in queued_events()])
    """)
    assert out == ["4.5"] + ["4.5", "8.25"] * 3


def test_class_method_released_during_learning_pairs_each_function_with_its_class(live_bridge, monkeypatch):
    # Replacing a class method makes the site relearn and release the function it held; that
    # function's last reference holds an object whose __del__ calls the bridge with another
    # class. The outer call still calls the new function of its own class with that class.
    calls = []

    def from_create(tag):
        def make(cls, *args):
            calls.append((tag, cls.__name__))
            return args
        return make

    other = type("Other", (), {"__from_create__": classmethod(from_create("other"))})

    class Reenter:
        def __del__(self):
            monkeypatch.setattr(lf, "L2Transaction", other)
            live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
            monkeypatch.setattr(lf, "L2Transaction", mine)

    def first(cls, *args, _held=Reenter()):
        calls.append(("first", cls.__name__))
        return args

    mine = type("Mine", (), {"__from_create__": classmethod(first)})
    del first
    monkeypatch.setattr(lf, "L2Transaction", mine)
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    mine.__from_create__ = classmethod(from_create("second"))
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert calls == [("first", "Mine"), ("other", "Other"), ("second", "Mine"), ("second", "Mine")]


# --- changes the owning class's version tag does not show --------------------------------------

class Plain:
    """A class attribute's type: no __get__ or __set__ until a test gives it some."""


@pytest.fixture
def plain_kind():
    cls = type("Kind", (Plain,), {})
    yield cls


def test_record_field_overridden_by_a_descriptor_type_gaining_get_and_set(live_bridge, plain_kind):
    record_cls = type("Record", (SetInInit,), {"trade_price": plain_kind()})
    record = record_cls(**FIELDS)
    live_bridge.on_tick_trade(record)
    live_bridge.on_tick_trade(record)
    plain_kind.__get__ = lambda self, obj, owner=None: 42.0
    plain_kind.__set__ = lambda self, obj, value: None
    live_bridge.on_tick_trade(record)
    assert [e.l2_transaction.price for e in queued_events()] == [8.25, 8.25, 42.0]


def _universe_of_one(framework_env):
    framework_env.data_proxy.add_instrument("000001.SZ")
    framework_env.update_universe(["000001.SZ"])


def _bar_events():
    return [e for e in queued_events() if e.event_type == EVENT.BAR]


def test_bar_count_store_goes_through_a_set_the_type_gained(framework_env, plain_kind):
    _universe_of_one(framework_env)
    stored = []
    strategy_cls = type("Strategy", (lf.VornStrategy,), {"bar_cnt": plain_kind()})
    strategy = strategy_cls(None)
    for minute in range(3):
        strategy.on_bar(bar(end_time=20261208093100000 + minute * 100000))
    plain_kind.__set__ = lambda self, obj, value: stored.append(value)
    plain_kind.__get__ = lambda self, obj, owner=None: 0
    strategy.on_bar(bar(end_time=20261208093400000))
    assert stored and stored[0] == 1


def test_bar_count_is_read_back_after_the_store(framework_env):
    # A data descriptor that keeps nothing: `bar_cnt == len(universe)` compares what reading
    # bar_cnt gives (0), so no BAR event is queued.
    _universe_of_one(framework_env)

    class Forgetful:
        def __get__(self, obj, owner=None):
            return 0

        def __set__(self, obj, value):
            pass

    strategy = type("Strategy", (lf.VornStrategy,), {"bar_cnt": Forgetful()})(None)
    strategy.on_bar(bar(end_time=20261208093100000))
    assert _bar_events() == []


def test_current_trade_dt_is_read_back_for_the_bar_event(framework_env):
    _universe_of_one(framework_env)

    class Shifted:
        def __get__(self, obj, owner=None):
            return obj.__dict__.get("_t", 0) and 20240102093000.0

        def __set__(self, obj, value):
            obj.__dict__["_t"] = value

    strategy = type("Strategy", (lf.VornStrategy,), {"current_trade_dt": Shifted()})(None)
    strategy.on_bar(bar(end_time=20261208093100000))
    (event,) = _bar_events()
    assert str(event.calendar_dt.date()) == "2024-01-02"


@pytest.mark.parametrize("gains", ["__get__", "__get__ and __set__"])
def test_enum_member_whose_type_gains_get(live_bridge, monkeypatch, plain_kind, gains):
    member = plain_kind()
    monkeypatch.setattr(lf, "EVENT", type("Kinds", (), {"L2_TRANSACTION": member}))
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    plain_kind.__get__ = lambda self, obj, owner=None: "through __get__"
    if "__set__" in gains:
        plain_kind.__set__ = lambda self, obj, value: None
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert [e.event_type for e in queued_events()] == [member, member, "through __get__"]


def test_metaclass_attribute_whose_type_gains_set(live_bridge, monkeypatch, plain_kind):
    meta = type("Meta", (type,), {"L2_TRANSACTION": plain_kind()})
    kinds = meta("Kinds", (), {"L2_TRANSACTION": "member"})
    monkeypatch.setattr(lf, "EVENT", kinds)
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    plain_kind.__get__ = lambda self, obj, owner=None: "from the metaclass"
    plain_kind.__set__ = lambda self, obj, value: None
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert [e.event_type for e in queued_events()] == ["member", "member", "from the metaclass"]


# --- the module itself ------------------------------------------------------------------------

MODULES = ["corvane.tessara.utils.livefeed", "corvane.tessara.mod.mod_quant_data.data_sources.histsource",
           "corvane.tessara.datac.services.index"]


@pytest.mark.parametrize("module", MODULES)
def test_second_initialisation_is_refused_and_the_first_module_keeps_working(module):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import importlib, sys
        first = importlib.import_module({m!r})
        del sys.modules[{m!r}]
        try:
            importlib.import_module({m!r})
        except ImportError as e:
            print("ImportError:", e)
        sys.modules[{m!r}] = first
        print(importlib.import_module({m!r}) is first)
    """).format(m=module)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    lines = out.stdout.splitlines()
    assert lines[0].startswith("ImportError:") and "already initialised" in lines[0]
    assert lines[1] == "True"


def test_first_module_bridge_queues_into_its_own_queue_after_a_refused_reimport():
    out = run_child("""
        del sys.modules["corvane.tessara.utils.livefeed"]
        try:
            import corvane.tessara.utils.livefeed
        except ImportError:
            pass
        other = lf.VornStrategy(make_config())
        other.on_tick_trade(records.TickTrade(**FIELDS))
        print(len(queued_events()))
    """)
    assert out == ["1"]


LIVE_PATHS = {"attribute_reads", "attribute_stores", "method_calls", "class_attributes", "class_methods",
              "module_globals", "queue_fullness", "market_codes", "record_reads"}
LAYOUT_PATHS = {"instance_values", "dict_templates"}


def _generic():
    return os.environ.get("CORVANE_GENERIC", "") not in ("", "0")


@pytest.mark.parametrize("generic", [False, True])
def test_switch_empties_fast_paths_in_every_module(generic):
    env = dict(os.environ)
    env.pop("CORVANE_GENERIC", None)
    if generic:
        env["CORVANE_GENERIC"] = "1"
    code = "import importlib\n" + "".join(
        "print(repr(importlib.import_module({!r}).fast_paths))\n".format(m) for m in MODULES)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    live, hist, index = (eval(line) for line in out.stdout.splitlines())
    assert index == ()
    if generic:
        assert live == hist == ()
    else:
        assert LIVE_PATHS <= set(live) <= LIVE_PATHS | LAYOUT_PATHS
        # the layout-dependent paths are those of 3.11 to 3.13 builds with the GIL
        layout = (3, 11) <= sys.version_info[:2] <= (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED")
        assert (set(live) & LAYOUT_PATHS == LAYOUT_PATHS) == layout
        assert set(hist) == {"frame_views", "native_dates", "own_methods", "byte_join"}


def test_this_run_uses_the_mode_its_environment_asks_for():
    # the plain-Python twin has no fast paths at all
    assert all(isinstance(name, str) for name in lf.fast_paths)
    assert (lf.fast_paths == ()) == (_generic() or implementations.twin_loaded("livefeed"))


# --- threads ----------------------------------------------------------------------------------

def test_class_method_pairs_hold_under_thread_switches_inside_learning():
    # Two classes alternate at one class-method site while a third thread keeps replacing their
    # class methods; a released function runs a __del__ that hands the interpreter to the other
    # threads in the middle of the site's learning step. Each function must only ever be called
    # with its own class, as a bound method pairs them.
    out = run_child("""
        import threading, time
        mismatched = []
        sys.setswitchinterval(1e-6)

        class Noisy:
            def __del__(self):
                time.sleep(0.0001)

        def method(owner_name):
            def make(cls, *args, _noisy=Noisy()):
                if cls.__name__ != owner_name:
                    mismatched.append((owner_name, cls.__name__))
                return args
            return classmethod(make)

        classes = [type(name, (), {"__from_create__": method(name)}) for name in ("First", "Second")]
        stop = threading.Event()

        def churn():
            while not stop.is_set():
                for cls in classes:
                    # The replaced method is released after the assignment: one freed inside it
                    # could run its __del__ before the interpreter marks the class changed.
                    old = cls.__dict__["__from_create__"]
                    cls.__from_create__ = method(cls.__name__)
                    del old

        def work(cls):
            record = records.TickTrade(**FIELDS)
            for _ in range(3000):
                lf.L2Transaction = cls
                bridge.on_tick_trade(record)

        churner = threading.Thread(target=churn)
        workers = [threading.Thread(target=work, args=(cls,)) for cls in classes]
        churner.start()
        for t in workers:
            t.start()
        for t in workers:
            t.join()
        stop.set()
        churner.join()
        print(len(mismatched))
    """)
    assert out == ["0"]


# --- static methods at the class-method sites ---------------------------------------------------

WRAPS = {"staticmethod": staticmethod, "classmethod": classmethod, "function": lambda f: f}


def _getter(env, calls, tag):
    def get_instance(*args):
        calls.append((tag,) + tuple(a.__name__ for a in args))
        return env
    return get_instance


def _env_class(name, kind, env, calls, tag):
    """A class whose get_instance (of the given kind) logs the tag and the classes it got."""
    return type(name, (), {"get_instance": WRAPS[kind](_getter(env, calls, tag))})


@pytest.fixture
def snapshot_env(framework_env):
    framework_env.data_proxy.add_instrument("000001.SZ")
    return framework_env


@pytest.mark.parametrize("first", sorted(WRAPS))
@pytest.mark.parametrize("then", sorted(WRAPS))
def test_environment_lookup_follows_its_kind_and_replacement(live_bridge, snapshot_env, monkeypatch, first, then):
    # The site learns one kind, then the class attribute is replaced by another kind, then the
    # module name is bound to another class: each call gets what cls.get_instance gives.
    calls = []
    env_cls = _env_class("Env", first, snapshot_env, calls, "a")
    monkeypatch.setattr(lf, "Environment", env_cls)
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    env_cls.get_instance = WRAPS[then](_getter(snapshot_env, calls, "b"))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    monkeypatch.setattr(lf, "Environment", _env_class("Third", then, snapshot_env, calls, "c"))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))

    def got(kind, tag, cls):
        return (tag, cls) if kind == "classmethod" else (tag,)
    assert calls == [got(first, "a", "Env")] * 2 + [got(then, "b", "Env")] + [got(then, "c", "Third")] * 2


def test_static_method_removed_or_made_not_callable_raises_as_python_does(live_bridge, snapshot_env, monkeypatch):
    calls = []
    env_cls = _env_class("Env", "staticmethod", snapshot_env, calls, "s")
    monkeypatch.setattr(lf, "Environment", env_cls)
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    del env_cls.get_instance
    with pytest.raises(AttributeError):
        live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    env_cls.get_instance = staticmethod(42)
    with pytest.raises(TypeError):
        live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    assert calls == [("s",)] * 2


def test_static_method_released_during_learning_is_never_called_with_a_class(live_bridge, snapshot_env,
                                                                             monkeypatch):
    # The released static method's last reference runs a __del__ that calls the bridge through a
    # class with a class method; the outer call must still call the new static method without a
    # class, and the nested one its class method with its class.
    calls = []
    with_class = _env_class("WithClass", "classmethod", snapshot_env, calls, "nested")

    class Reenter:
        def __del__(self):
            monkeypatch.setattr(lf, "Environment", with_class)
            live_bridge.on_snapshot(snapshot(orig_time=STAMP))
            monkeypatch.setattr(lf, "Environment", static)

    def first(_held=Reenter()):
        calls.append(("first",))
        return snapshot_env

    static = type("Static", (), {"get_instance": staticmethod(first)})
    del first
    monkeypatch.setattr(lf, "Environment", static)
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    static.get_instance = staticmethod(_getter(snapshot_env, calls, "second"))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    assert calls == [("first",), ("nested", "WithClass"), ("second",), ("second",)]


# --- market codes made once per text -------------------------------------------------------------

class Text(str):
    """Text of a subclass: `+` of str, but not an exact str."""


class Joined(str):
    def __radd__(self, other):
        return "joined:" + other + str(self)


class Loud(str):
    """A history key equal to the plain code, whose comparison rebinds the suffix function."""

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        lf.get_exchane_from_vorn_mdtype = lambda market_type: "XX"
        return str.__eq__(self, other)


def _tick_codes():
    return [record["market_code"] for records_ in lf.history_tick.values() for record in records_]


@pytest.mark.parametrize("security_id, suffix, code", [
    ("000001", "SZ", "000001.SZ"),
    ("000001", Text("SZ"), "000001.SZ"),
    (Text("000001"), "SZ", "000001.SZ"),
    ("00000\u00e9", "SZ", "00000\u00e9.SZ"),
    ("000001", "\u6df1", "000001.\u6df1"),
    ("000001", Joined("SZ"), "joined:000001.SZ"),
    ("", "", "."),
])
def test_market_code_is_what_plain_concatenation_gives(live_bridge, monkeypatch, security_id, suffix, code):
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", lambda market_type: suffix)
    monkeypatch.setattr(lf, "Environment", _env_class("Env", "staticmethod", None, [], ""))
    for _ in range(3):
        with pytest.raises(AttributeError):   # the environment is None: after the history step
            live_bridge.on_snapshot(snapshot(security_id=security_id, orig_time=STAMP))
    assert list(lf.history_tick) == [code]
    assert [type(c) for c in _tick_codes()] == [type(security_id + "." + suffix)] * 3
    assert _tick_codes() == [code] * 3


def test_suffix_function_patched_mid_stream_takes_effect_on_the_next_call(live_bridge, snapshot_env, monkeypatch):
    snapshot_env.data_proxy.add_instrument("000001.XX")
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", lambda market_type: "XX")
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    monkeypatch.undo()
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    assert _tick_codes() == ["000001.SZ", "000001.SZ", "000001.XX"]
    assert [e.tick.market_code for e in queued_events()] == ["000001.SZ", "000001.XX", "000001.SZ"]


def test_history_key_comparison_rebinding_the_suffix_function(live_bridge, snapshot_env, monkeypatch):
    # A str-subclass key with the code's hash: the history lookup runs its __eq__, which rebinds
    # the suffix function; the call in progress keeps its code, the next one uses the new suffix.
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", lf.get_exchane_from_vorn_mdtype)
    snapshot_env.data_proxy.add_instrument("000001.XX")
    lf.history_tick[Loud("000001.SZ")] = __import__("collections").deque(maxlen=60)
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    assert [e.tick.market_code for e in queued_events()] == ["000001.SZ", "000001.XX"]
    assert sorted(map(len, lf.history_tick.values())) == [1, 1]


def test_many_codes_sharing_slots_each_keep_their_own_text(live_bridge, monkeypatch):
    # More codes than the remembered ones, in two rounds: every record and every history key has
    # its own code, whichever codes met before.
    monkeypatch.setattr(lf, "Environment", _env_class("Env", "staticmethod", None, [], ""))
    ids = ["%06d" % i for i in range(3000)]
    for _ in range(2):
        for security_id in ids:
            with pytest.raises(AttributeError):
                live_bridge.on_snapshot(snapshot(security_id=security_id, orig_time=STAMP))
    assert sorted(lf.history_tick) == [i + ".SZ" for i in ids]
    assert all([r["market_code"] for r in d] == [code] * 2 for code, d in lf.history_tick.items())


# --- the ring buffer's fullness read from its fields ---------------------------------------------

def _instance_capacity(monkeypatch, q):
    q._capacity = 1


def _dict_made(monkeypatch, q):
    vars(q)                     # the attributes move to a dict object of the instance's own
    q._capacity = 1


def _capacity_property(monkeypatch, q):
    monkeypatch.setattr(lf.RB, "_capacity", property(lambda self: 1), raising=False)


def _len_replaced(monkeypatch, q):
    monkeypatch.setattr(lf.RB, "__len__", lambda self: 0)


def _left_index_moved(monkeypatch, q):
    q._left_index, q._right_index = 7, 7    # empty, at other indices


@pytest.mark.parametrize("change, overwrites", [
    (None, 1),
    (_instance_capacity, 3),
    (_dict_made, 3),
    (_capacity_property, 3),
    (_len_replaced, 0),
    (_left_index_moved, 1),
])
def test_fullness_follows_the_instance_and_its_class(monkeypatch, snapshot_env, live_bridge, change, overwrites):
    # The check is warmed on one ring; a second one (capacity 3) is changed, then takes four
    # appends: each counts when len(queue) >= queue.maxlen before it, as plain code has it.
    monkeypatch.setattr(lf, "system_log", __import__("types").SimpleNamespace(warning=len))
    monkeypatch.setattr(lf, "event_queue", lf.RB(capacity=100, dtype=object))
    for _ in range(3):
        live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    q = lf.RB(capacity=3, dtype=object)
    monkeypatch.setattr(lf, "event_queue", q)
    monkeypatch.setattr(lf, "overwritten_events", 0)
    if change:
        change(monkeypatch, q)
    for _ in range(4):
        live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    assert lf.overwritten_events == overwrites


def test_fullness_of_a_ring_missing_a_field_raises_as_its_len_does(monkeypatch, snapshot_env, live_bridge):
    q = lf.RB(capacity=3, dtype=object)
    monkeypatch.setattr(lf, "event_queue", q)
    live_bridge.on_snapshot(snapshot(orig_time=STAMP))
    del q._left_index
    with pytest.raises(AttributeError, match="_left_index"):
        live_bridge.on_snapshot(snapshot(orig_time=STAMP))


# --- record fields read through one check per record ---------------------------------------------

def _gains_property(rec, kind):
    type(rec).open_price = property(lambda self: 99.0)


def _default_gains_get_and_set(rec, kind):
    kind.__get__ = lambda self, obj, owner=None: 42.0
    kind.__set__ = lambda self, obj, value: None


def _value_deleted(rec, kind):
    del rec.open_price          # the class's default answers now


def _value_in_dict(rec, kind):
    vars(rec)["open_price"] = 5.0


def _other_class(rec, kind):
    return __import__("types").SimpleNamespace(**dict(vars(rec), open_price=7.0))


def _raising_field(rec, kind):
    type(rec).high_price = property(lambda self: 1 / 0)


@pytest.mark.parametrize("change, expected", [
    (None, (1.5, 8.25)),
    (_gains_property, (99.0, 8.25)),
    (_default_gains_get_and_set, (1.5, 42.0)),
    (_value_deleted, (0.0, 8.25)),
    (_value_in_dict, (5.0, 8.25)),
    (_other_class, (7.0, 8.25)),
    (_raising_field, ZeroDivisionError),
])
def test_record_fields_follow_the_record_and_its_class(live_bridge, snapshot_env, plain_kind, change, expected):
    # A snapshot class whose last_price default is an object whose type may gain __get__/__set__;
    # the record is read twice (the reader learns), changed, then read again.
    cls = type("Snap", (records.Snapshot,), {"last_price": plain_kind()})
    rec = cls(security_id="000001", orig_time=STAMP, open_price=1.5, last_price=8.25, high_price=2.0)
    live_bridge.on_snapshot(rec)
    live_bridge.on_snapshot(rec)
    if change:
        rec = change(rec, plain_kind) or rec
    if isinstance(expected, type):
        with pytest.raises(expected):
            live_bridge.on_snapshot(rec)
        assert len(lf.history_tick["000001.SZ"]) == 2
        return
    live_bridge.on_snapshot(rec)
    tick = lf.history_tick["000001.SZ"][-1]
    assert (tick["open_price"], tick["last_price"]) == expected
    assert tick["high_price"] == 2.0 and tick["market_code"] == "000001.SZ"


class SlotsPosition:
    __slots__ = ("security_id", "market_id", "init_qty", "leaves_qty", "available_qty", "cost_price", "last_price",
                 "market_value", "profit_loss")

    def __init__(self, **fields):
        for k, v in fields.items():
            setattr(self, k, v)


POSITION = dict(security_id="000001", market_id=MarketType.SZSE, init_qty=100, leaves_qty=100, available_qty=50,
                cost_price=9.5, last_price=10.0, market_value=1000.0, profit_loss=50.0)


@pytest.mark.parametrize("make", [SlotsPosition, __import__("types").SimpleNamespace])
def test_position_state_read_through_a_learnt_record_after_a_slot_is_emptied(live_bridge, framework_env, make):
    # Warm the reader on full positions, then one with a field unset: the read raises
    # AttributeError as plain attribute access does; that position alone is left out (logged).
    framework_env.data_proxy.add_instrument("000001.SZ")
    full = [make(**POSITION) for _ in range(2)]
    live_bridge.on_query_position(full, 1, 0, "")
    live_bridge.on_query_position(full, 2, 0, "")
    holed = make(**POSITION)
    del holed.cost_price
    live_bridge.on_query_position([holed, make(**POSITION)], 3, 0, "")
    answers = [e for e in queued_events() if getattr(e, "positions", None) is not None]
    assert [len(e.positions) for e in answers] == [2, 2, 1]
    assert answers[-1].positions[0].avg_price == 9.5
