"""Generated bad input for every callback of the live bridge: terminal records
with missing attributes, wrong types, None, huge and negative integers,
non-text codes and odd enum values. Every call either returns or raises an
ordinary exception, and the module state keeps its invariants.

CORVANE_LONG=1 raises the number of examples per callback from 100 to 3000.
"""
import dataclasses
import enum
import math
import os

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import corvane.tessara.utils.livefeed as lf
from pyvorn import records
from pyvorn.enums import AlgoControlType, MarketType, MDType, OrderStatusType, SideType

from support_reliability import CALLS, QuietLog, check_invariants, fresh_state, make_bridge

EXAMPLES = 3000 if os.environ.get("CORVANE_LONG") else 100
MISSING = object()


class Odd(enum.Enum):
    """An enum the terminal never sends: equal to nothing the bridge knows."""
    Sended = 1
    Pause = 1.5


class Record:
    """A terminal record built from a dict; absent keys are absent attributes."""

    def __init__(self, values):
        for k, v in values.items():
            setattr(self, k, v)

    def __repr__(self):
        return "Record(%r)" % (vars(self),)


class Exploding:
    """Fails in every operation a converter might try."""

    def __eq__(self, other):
        raise ArithmeticError("eq")

    def __hash__(self):
        raise ArithmeticError("hash")

    def __str__(self):
        raise ArithmeticError("str")

    __repr__ = __str__

    def __gt__(self, other):
        raise ArithmeticError("gt")

    __lt__ = __ge__ = __le__ = __gt__

    def __truediv__(self, other):
        raise ArithmeticError("div")

    def __index__(self):
        raise ArithmeticError("index")


BAD = st.one_of(
    st.just(MISSING), st.none(),
    st.integers(min_value=-(2 ** 80), max_value=2 ** 80),
    st.sampled_from([0, -1, 1, 2 ** 31, 2 ** 63 - 1, 2 ** 63, -(2 ** 63), 2 ** 64, 0x110000, True]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=6), st.binary(max_size=4),
    st.sampled_from(list(MarketType) + list(OrderStatusType) + list(AlgoControlType) + list(Odd)
                    + [SideType.Buy, MDType.AMD]),
    st.lists(st.one_of(st.none(), st.integers(), st.floats()), max_size=4),
    st.builds(Exploding),
    st.just(math.nan),
)


def mutated(record):
    """A strategy of records like `record` with some attributes replaced or dropped."""
    good = dataclasses.asdict(record) if dataclasses.is_dataclass(record) else dict(record)
    # keep the original value three times out of four per attribute
    per_key = {k: st.one_of(st.just(v), st.just(v), st.just(v), BAD) for k, v in good.items()}

    def build(values):
        return Record({k: v for k, v in values.items() if v is not MISSING})

    return st.fixed_dictionaries(per_key).map(build)


def keep_originals(record):
    # dataclasses.asdict deep-copies lists and keeps enum members: the good values as sent.
    return {f.name: getattr(record, f.name) for f in dataclasses.fields(record)}


def args_strategy(name):
    args = CALLS[name](7)
    first = args[0]
    if name == "on_query_position":
        pos = st.lists(mutated(keep_originals(first[0])), max_size=4)
        first_st = st.one_of(pos, pos, pos, BAD)
    else:
        first_st = mutated(keep_originals(first))
    rest = [st.one_of(st.just(a), BAD.filter(lambda v: v is not MISSING)) for a in args[1:]]
    return st.tuples(first_st, *rest)


@pytest.fixture
def fuzz_bridge(monkeypatch, env):  # noqa: F811
    fresh_state(monkeypatch)
    monkeypatch.setattr(lf, "system_log", QuietLog())
    b = make_bridge()
    for k in range(3):
        lf.orders_dict["C%d" % k] = __import__("support_reliability").new_order("C%d" % k)
    lf.algo_parent_id.extend([1, 2, 3])
    return b


@pytest.mark.parametrize("name", sorted(CALLS))
def test_callback_survives_bad_records(name, fuzz_bridge):
    method = getattr(fuzz_bridge, name)
    outcomes = {"ok": 0, "raised": 0}

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
    @given(args_strategy(name))
    @example(tuple(CALLS[name](7)))  # the well-formed call the bad ones are made from
    def run(args):
        before = len(lf.event_queue)
        try:
            method(*args)
            outcomes["ok"] += 1
        except SystemError:
            raise  # an error the bridge set no exception for: a fault, not a refusal
        except Exception:
            outcomes["raised"] += 1
        assert len(lf.event_queue) >= before
        check_invariants(since=before)

    run()
    # the well-formed example went through, and every generated input was run to an outcome
    assert outcomes["ok"] >= 1
    assert outcomes["ok"] + outcomes["raised"] >= EXAMPLES // 2


@pytest.mark.parametrize("name", sorted(CALLS))
def test_well_formed_records_still_work_after_bad_ones(name, fuzz_bridge):
    """A bad record leaves nothing behind that breaks the next good one."""
    method = getattr(fuzz_bridge, name)
    bad = Record({})
    try:
        method(bad, *CALLS[name](0)[1:])
    except SystemError:
        raise
    except Exception:
        pass
    for i in range(12):
        method(*CALLS[name](i))
    check_invariants()


def test_bar_count_survives_bad_end_time(fuzz_bridge):
    """A bar whose time cannot be converted raises; the count and history stay usable."""
    b = fuzz_bridge
    with pytest.raises(Exception):
        b.on_bar(records.Bar(security_id="000001", end_time="20261208"))
    for i in range(3):
        b.on_bar(CALLS["on_bar"](i)[0])
    check_invariants()
