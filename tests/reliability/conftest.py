"""The reliability tests' fixtures of support_reliability: `env` (an environment over the
three-instrument universe) and `bridge` (a constructed bridge on fresh module state)."""
from support_reliability import bridge, env  # noqa: F401
