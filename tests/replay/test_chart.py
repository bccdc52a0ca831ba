"""Charts stay readable with many fills and on a listing day, and are drawn the same way in
this process and in worker processes."""
import datetime as _dt

import pandas as pd
import pytest

from tessara_replay import chart
from tessara_replay.runner import ChartData

DAY = _dt.date(2024, 6, 17)


def _minutes(n=240, price=10.0):
    start = _dt.datetime(2024, 6, 17, 9, 31)
    times = [start + _dt.timedelta(minutes=k) for k in range(n)]
    return [{"orig_time": t, "open_price": price, "high_price": price + 0.05,
             "low_price": price - 0.05, "close_price": price + (0.01 if k % 2 else -0.01),
             "volume": 1000 + k} for k, t in enumerate(times)]


def _days(n):
    index = pd.bdate_range(end=pd.Timestamp(DAY), periods=n)
    return pd.DataFrame({"open": 10.0, "high": 10.3, "low": 9.8, "close": 10.1, "volume": 1e6},
                        index=index)


def _fills(n, code="600000.SH"):
    start = _dt.datetime(2024, 6, 17, 9, 35)
    return [{"time": start + _dt.timedelta(minutes=k), "market_code": code,
             "side": "BUY" if k % 2 else "SELL", "price": 10.0, "quantity": 100,
             "order_id": k, "kind": "order"} for k in range(n)]


class _Result:
    def __init__(self, fills):
        self.fills, self.day, self.strategy = fills, DAY, "demo"


@pytest.mark.parametrize("fills, price_lines", [(0, 0), (3, 3), (100, 0)])
def test_fill_lines_only_while_they_do_not_band(tmp_path, fills, price_lines):
    data = ChartData("600000.SH", "x", _days(40), _minutes())
    chart.draw_chart(str(tmp_path / "c.png"), data, _Result(_fills(fills)))
    fig, axes = chart._figure
    minute_axes = axes[3]
    from matplotlib.collections import LineCollection, PathCollection
    lines = sum(len(c.get_segments()) for c in minute_axes.collections
                if isinstance(c, LineCollection) and c.get_alpha() == 0.6)
    markers = sum(len(c.get_offsets()) for c in minute_axes.collections
                  if isinstance(c, PathCollection))
    assert (lines, markers) == (price_lines, fills)
    assert fig._suptitle.get_text().endswith(
        {0: "no fills", 3: "3 fills", 100: "100 fills"}[fills] + " of the demo strategy")
    assert (tmp_path / "c.png").read_bytes()[:4] == b"\x89PNG"


def test_a_listing_day_is_one_narrow_candle(tmp_path):
    data = ChartData("001872.SZ", "x", _days(1), _minutes())
    chart.draw_chart(str(tmp_path / "c.png"), data, _Result([]))
    day_axes = chart._figure[1][0]
    left, right = day_axes.get_xlim()
    assert right - left >= chart.MIN_DAY_SLOTS
    low, high = day_axes.get_ylim()
    assert high - low >= 10.3 * 0.0025 * 4          # not a sliver of price blown up


def test_worker_processes_draw_every_chart(tmp_path):
    jobs = [(str(tmp_path / ("%d.png" % k)), ChartData("600000.SH", "x", _days(5), _minutes(30)))
            for k in range(3)]
    chart.draw_charts(jobs, _Result(_fills(2)), workers=2)
    assert all((tmp_path / ("%d.png" % k)).read_bytes()[:4] == b"\x89PNG" for k in range(3))
