"""Memoising decorator of the framework."""
import functools as _std


def lru_cache(maxsize=128, typed=False):
    """Keep at most `maxsize` results, keyed by the call's arguments.

    Works on plain functions and on methods (the instance is part of the
    key). Also usable bare, as `@lru_cache`.
    """
    if callable(maxsize) and not isinstance(maxsize, int):
        return _std.lru_cache(128, typed)(maxsize)
    return _std.lru_cache(maxsize, typed)
