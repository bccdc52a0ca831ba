"""The reliability tests' fixtures of support_reliability: `env` (an environment over the
three-instrument universe) and `bridge` (a constructed bridge on fresh module state). Every test
id names the implementations of the bridge and the data source it ran on."""
import implementations
from support_reliability import bridge, env  # noqa: F401

implementation = implementations.mode_fixture("livefeed", "histsource")
