"""A conversion that goes through a builtin reads it from builtins when it runs: a replaced
builtin is the one called, a removed one fails as the interpreter fails."""
import builtins

import pytest

from support_live import queued_events
from test_level2 import conversions, tick_order  # noqa: F401


def _removed(monkeypatch):
    monkeypatch.delattr(builtins, "chr")


def _replaced(monkeypatch):
    monkeypatch.setattr(builtins, "chr", lambda code: "<%s>" % code)


@pytest.mark.parametrize("change, side, outcome", [
    (_replaced, "1", "<1>"),              # a code the native conversion leaves to the builtin
    (_removed, "1", NameError("name 'chr' is not defined")),
])
def test_chr_is_read_when_used(live_bridge, conversions, monkeypatch, change, side, outcome):  # noqa: F811
    change(monkeypatch)
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome), match=str(outcome)):
            live_bridge.on_tick_order(tick_order(side=side))
        assert queued_events() == []
    else:
        live_bridge.on_tick_order(tick_order(side=side))
        assert conversions[1][1][0] == outcome
