"""The report-callback fixtures of support_orders (a bare bridge, the queued events, the log
lines, private order and algorithmic-order maps, an environment with one instrument) for the
live bridge's tests. A module that needs the reliability tests' `env` or `bridge` imports it
from support_reliability, which takes precedence here. Every test id names the implementation
of the bridge it ran on."""
import implementations
from support_orders import algo_state, bridge, env, events, logs, orders  # noqa: F401

implementation = implementations.mode_fixture("livefeed")
