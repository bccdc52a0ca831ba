"""Frame shapes the client hands out."""
import collections

import pandas as pd

_KEY_TYPES = {}


def _key_type(names):
    names = tuple(names)
    kind = _KEY_TYPES.get(names)
    if kind is None:
        kind = _KEY_TYPES[names] = collections.namedtuple("BarKey", names)
    return kind


class BarIndex(pd.MultiIndex):
    """The (market_code, orig_time) row index of bar tables. A single entry is a named tuple,
    so callers may read `frame.index[-1].orig_time`; everything else is a plain MultiIndex."""

    def __getitem__(self, key):
        item = super().__getitem__(key)
        if type(item) is tuple and None not in self.names:
            return _key_type(self.names)(*item)
        return item


def bar_frame(frame):
    """Index a frame with columns market_code and orig_time by those two."""
    index = BarIndex.from_arrays([frame.pop("market_code").values, frame.pop("orig_time").values],
                                 names=["market_code", "orig_time"])
    frame.index = index
    return frame
