"""Replay of one trading day end to end through the live bridge, on a simulated clock.

`run_replay` (module runner) does the whole run and `tessara-replay` (module cli) is its
command line; `drive` plays any time-ordered feed of terminal callbacks (`FeedItem`s) into
the bridge; a strategy is a class constructed with a `ReplayContext` (module context).
"""
from .context import ReplayContext, StrategyError
from .feed import FeedItem, market_feed
from .runner import ReplayError, ReplayResult, drive, run_replay

__all__ = ["FeedItem", "ReplayContext", "ReplayError", "ReplayResult", "StrategyError",
           "drive", "market_feed", "run_replay"]
