"""Deterministic market dataset for the data-client and gateway stand-ins.

`Dataset.generate(seed)` builds it in memory; `save(path)` / `load(path)` keep it on disk as
Parquet files so a replay can ship a fixed dataset.
"""
from .dataset import Dataset, as_timestamp, load
from .generator import DEFAULT_END, DEFAULT_SEED, DEFAULT_START
from .schema import TABLE_NAMES, StoreError
from .store import save

__all__ = ["Dataset", "StoreError", "TABLE_NAMES", "as_timestamp", "generate", "load", "save",
           "DEFAULT_SEED", "DEFAULT_START", "DEFAULT_END"]


def generate(seed=DEFAULT_SEED, start=DEFAULT_START, end=DEFAULT_END, universe=None, progress=None):
    return Dataset.generate(seed, start, end, universe, progress)
