"""Preparation of the data client before its first call."""

_state = {"calls": 0}


def init_gid():
    """Prepare the data-gateway client. The stand-in gateway needs no session,
    so this only counts the call (`init_count()`); calling it again is
    harmless. Returns True."""
    _state["calls"] += 1
    return True


def init_count():
    return _state["calls"]
