"""Replay of one trading day end to end through the live bridge, on a simulated clock.

`run_replay` (module runner) does the whole run; `tessara-replay` (module cli) is its
command line.
"""
from .runner import ReplayError, ReplayResult, run_replay

__all__ = ["ReplayError", "ReplayResult", "run_replay"]
