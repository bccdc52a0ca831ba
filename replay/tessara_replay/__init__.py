"""Replay of one trading day end to end through the live bridge, on a simulated clock.

`run_replay` (module runner) does the whole run and `tessara-replay` (module cli) is its
command line; `drive` plays any time-ordered feed of terminal callbacks (`FeedItem`s) into
the bridge; a strategy is a class constructed with a `ReplayContext` (module context).

The names below are loaded on first use, so the command line starts (and answers Ctrl-C)
before pandas and the native modules are imported.
"""
import importlib

_EXPORTS = {"FeedItem": "feed", "market_feed": "feed", "ReplayContext": "context",
            "StrategyError": "context", "ReplayError": "runner", "ReplayResult": "runner",
            "drive": "runner", "run_replay": "runner", "cli": None}

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    if name not in _EXPORTS:
        raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))
    module = importlib.import_module("." + (_EXPORTS[name] or name), __name__)
    return module if _EXPORTS[name] is None else getattr(module, name)
