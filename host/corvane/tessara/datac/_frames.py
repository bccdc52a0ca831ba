"""Frame shapes the client hands out."""
import pandas as pd


def bar_frame(frame):
    """Index a frame with columns market_code and orig_time by those two: a plain two-level
    MultiIndex, whose single entries are plain tuples, as the real client hands out."""
    index = pd.MultiIndex.from_arrays([frame.pop("market_code").values, frame.pop("orig_time").values],
                                      names=["market_code", "orig_time"])
    frame.index = index
    return frame
