"""Charts: what each panel shows (bars, fills, titles, legends) chart after chart on the one
reused figure, readable with many fills and on a listing day, the legends laid over as drawn,
the PNG files, and the same drawing in worker processes."""
import datetime as _dt

import numpy as np
import pandas as pd
import pytest
from PIL import Image

from tessara_replay import chart
from tessara_replay.runner import ChartData

DAY = _dt.date(2024, 6, 17)


def _minutes(n=240, price=10.0, lunch=True):
    """`n` one-minute bars from 09:31, with the lunch break after 11:30 when `lunch`."""
    times, t = [], _dt.datetime(2024, 6, 17, 9, 31)
    for _ in range(n):
        times.append(t)
        t += _dt.timedelta(minutes=1)
        if lunch and t.time() == _dt.time(11, 31):
            t = _dt.datetime(2024, 6, 17, 13, 1)
    return [{"orig_time": t, "open_price": price, "high_price": price + 0.05,
             "low_price": price - 0.05, "close_price": price + (0.01 if k % 2 else -0.01),
             "volume": 1000 + k} for k, t in enumerate(times)]


def _days(n, end=DAY, high=10.3):
    index = pd.bdate_range(end=pd.Timestamp(end), periods=n)
    return pd.DataFrame({"open": 10.0, "high": high, "low": 9.8, "close": 10.1, "volume": 1e6},
                        index=index)


def _fills(n, code="600000.SH", kind="order", start=_dt.datetime(2024, 6, 17, 9, 35)):
    return [{"time": start + _dt.timedelta(minutes=k), "market_code": code,
             "side": "BUY" if k % 2 else "SELL", "price": 10.0, "quantity": 100,
             "order_id": k, "kind": kind} for k in range(n)]


class _Result:
    def __init__(self, fills, strategy="demo"):
        self.fills, self.day, self.strategy = fills, DAY, strategy


def _draw(tmp_path, data, fills=(), name="c.png"):
    chart.draw_chart(str(tmp_path / name), data, _Result(list(fills)))
    return chart._figure


def _markers(panel):
    return {key: len(m.get_offsets()) for key, m in panel.marks.items()
            if m.get_visible() and len(m.get_offsets())}


def _price_lines(panel):
    return sum(len(c.get_segments()) for c in panel.lines.values() if c.get_visible())


def _legend_labels(panel):
    legend = panel.ax.get_legend()
    return None if legend is None else [t.get_text() for t in legend.get_texts()]


@pytest.mark.parametrize("fills, price_lines, title_end", [
    (0, 0, "no fills of the demo strategy"),
    (1, 1, "1 fill of the demo strategy"),
    (3, 3, "3 fills of the demo strategy"),
    (chart.MANY_FILLS, chart.MANY_FILLS, "%d fills of the demo strategy" % chart.MANY_FILLS),
    (100, 0, "100 fills of the demo strategy"),      # markers alone: lines would band
])
def test_each_fill_is_one_marker_and_lines_only_while_few(tmp_path, fills, price_lines,
                                                         title_end):
    figure = _draw(tmp_path, ChartData("600000.SH", "x", _days(40), _minutes()), _fills(fills))
    for panel in (figure.minute, figure.day):
        assert sum(_markers(panel).values()) == fills
        assert _price_lines(panel) == price_lines
    assert figure.suptitle.get_text() == "600000.SH on 2024-06-17: " + title_end
    assert (tmp_path / "c.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_fills_of_other_instruments_and_before_the_first_bar_are_left_out(tmp_path):
    fills = (_fills(2, code="600519.SH")
             + _fills(1, start=_dt.datetime(2024, 6, 17, 9, 0))     # before 09:31
             + _fills(2, start=_dt.datetime(2024, 6, 17, 10, 0)))
    figure = _draw(tmp_path, ChartData("600000.SH", "x", _days(40), _minutes()), fills)
    assert sum(_markers(figure.minute).values()) == 2
    assert sum(_markers(figure.day).values()) == 3    # the day bar holds the early one too
    assert figure.suptitle.get_text().startswith("600000.SH on 2024-06-17: 3 fills")


def test_a_fill_marks_the_last_bar_ended_by_then_outside_its_range(tmp_path):
    bars = _minutes()
    bars[4]["low_price"], bars[4]["high_price"] = 9.5, 10.5       # the bar of 09:35
    fills = [dict(f, time=_dt.datetime(2024, 6, 17, 9, 35, 30)) for f in _fills(2)]
    figure = _draw(tmp_path, ChartData("600000.SH", "x", _days(40), bars), fills)
    sell = figure.minute.marks[("order", "SELL")].get_offsets()
    buy = figure.minute.marks[("order", "BUY")].get_offsets()
    assert sell[0][0] == buy[0][0] == 4
    assert buy[0][1] < 9.5 and sell[0][1] > 10.5
    bottom, top = figure.minute.ax.get_ylim()
    assert bottom < buy[0][1] and sell[0][1] < top                 # inside the panel


def test_legends_name_what_the_chart_shows_in_order(tmp_path):
    fills = _fills(2) + _fills(1, kind="algo", start=_dt.datetime(2024, 6, 17, 13, 30))
    figure = _draw(tmp_path, ChartData("600000.SH", "x", _days(40), _minutes()), fills)
    colours = ["close >= open", "close < open"]
    kinds = ["algo child fill (sell)", "order fill (buy)", "order fill (sell)"]
    assert _legend_labels(figure.day) == colours + ["replayed day"] + kinds
    assert _legend_labels(figure.minute) == colours + ["lunch break 11:30-13:00"] + kinds


def test_nothing_of_one_chart_stays_on_the_next(tmp_path):
    """The figure is reused: a chart with fills, a lunch break and the replayed day, then
    one without any of them, then the first again."""
    full = ChartData("600000.SH", "x", _days(40), _minutes())
    bare = ChartData("600519.SH", "y", _days(30, end=DAY - _dt.timedelta(days=7), high=20.0),
                     _minutes(60, price=20.0, lunch=False))
    fills = _fills(4)
    first = _draw(tmp_path, full, fills, "a.png")
    expected = (_legend_labels(first.day), _legend_labels(first.minute), first.day.ax.get_ylim(),
                first.minute.title.get_text(), sum(_markers(first.minute).values()))
    figure = _draw(tmp_path, bare, fills, "b.png")
    assert figure is first
    assert _markers(figure.day) == _markers(figure.minute) == {}
    assert _price_lines(figure.day) == _price_lines(figure.minute) == 0
    assert not figure.day.span.get_visible()          # the replayed day is not among its bars
    assert not any(line.get_visible() for line in figure.lunch)
    assert _legend_labels(figure.day) == ["close >= open", "close < open"]
    assert _legend_labels(figure.minute) == ["close >= open", "close < open"]
    assert figure.minute.title.get_text().endswith("(60 bars)")
    assert figure.day.title.get_text() == "Day bars, last 30 trading days (unadjusted)"
    assert len(figure.minute.bodies.get_paths()) == len(figure.minute.volumes.get_paths()) == 60
    assert figure.day.ax.get_ylim()[1] > 20
    figure = _draw(tmp_path, full, fills, "c.png")
    assert (_legend_labels(figure.day), _legend_labels(figure.minute), figure.day.ax.get_ylim(),
            figure.minute.title.get_text(), sum(_markers(figure.minute).values())) == expected


@pytest.mark.parametrize("day_bars, minute_bars, day_title, minute_title", [
    (None, _minutes(), "no day bars", None),
    (_days(0), _minutes(), "no day bars", None),
    (_days(40), [], None, "no one-minute bars"),
    (None, [], "no day bars", "no one-minute bars"),
])
def test_a_panel_without_bars_is_empty_and_says_so(tmp_path, day_bars, minute_bars, day_title,
                                                   minute_title):
    _draw(tmp_path, ChartData("600000.SH", "x", _days(40), _minutes()), _fills(3), "full.png")
    figure = _draw(tmp_path, ChartData("600000.SH", "x", day_bars, minute_bars), _fills(3))
    for panel, title in ((figure.day, day_title), (figure.minute, minute_title)):
        if title is None:
            assert len(panel.bodies.get_paths()) > 0
            continue
        assert panel.title.get_text() == title
        assert len(panel.bodies.get_paths()) == len(panel.volumes.get_paths()) == 0
        assert _markers(panel) == {} and _legend_labels(panel) is None
    assert (tmp_path / "c.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("days", [1, 2, 5])
def test_a_short_history_is_drawn_narrow(tmp_path, days):
    """A listing day's one huge candle (or a few days' candles) keep the width of a bar in a
    full panel, and the price range is not a sliver blown up to fill the panel."""
    bars = _days(days)
    bars.loc[bars.index[-1], ["open", "high", "low", "close"]] = [10.0, 44.0, 10.0, 40.0]
    figure = _draw(tmp_path, ChartData("001872.SZ", "x", bars, _minutes()),
                   _fills(3, code="001872.SZ"))
    left, right = figure.day.ax.get_xlim()
    assert right - left >= chart.MIN_DAY_SLOTS
    assert right - (days - 1) < (right - left) / 4      # the latest bar on the right, clear
    low, high = figure.day.ax.get_ylim()                # of the legend in the upper left
    assert low < 10.0 and high > 44.0 and high - low < 2 * (44.0 - 10.0)
    assert sum(_markers(figure.day).values()) == 3
    assert figure.day.title.get_text() == "Day bars, last %d trading day%s (unadjusted)" % (
        days, "" if days == 1 else "s")


@pytest.mark.parametrize("lows, highs", [([10.0], [10.0]), ([10.0, 10.01], [10.02, 10.02]),
                                         ([0.5], [0.5]), ([1500.0], [1500.0])])
def test_a_day_that_hardly_moved_is_not_blown_up(lows, highs):
    bottom, top, pad = chart.price_range(lows, highs)
    assert bottom < min(lows) - pad and top > max(highs) + pad
    assert top - bottom >= max(highs) * 0.0025 * 4


def test_drawing_leaves_the_plotting_state_alone(tmp_path):
    import matplotlib
    import matplotlib.pyplot as plt
    backend, figures = matplotlib.get_backend(), plt.get_fignums()
    _draw(tmp_path, ChartData("600000.SH", "x", _days(40), _minutes()), _fills(3))
    assert (matplotlib.get_backend(), plt.get_fignums()) == (backend, figures)


@pytest.mark.parametrize("fills", [0, 5])
def test_legends_laid_over_match_legends_drawn_in_place(tmp_path, fills):
    figure = _draw(tmp_path, ChartData("600000.SH", "x", _days(40), _minutes()), _fills(fills))
    laid = np.asarray(Image.open(tmp_path / "c.png").convert("RGB")).astype(int)
    for panel in (figure.day, figure.minute):
        panel.legend.artist.set_visible(True)
    try:
        figure.canvas.draw()
        direct = np.asarray(figure.canvas.buffer_rgba())[..., :3].astype(int)
    finally:
        for panel in (figure.day, figure.minute):
            panel.legend.artist.set_visible(False)
    assert np.abs(laid - direct).max() <= 2          # rounding of the blend alone


@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (5, 1), (64, 33), (300, 200)])
def test_png_bytes_decode_to_the_image(shape):
    import io
    rng = np.random.default_rng(len(shape) * shape[0] + shape[1])
    image = rng.integers(0, 256, size=shape + (3,), dtype=np.uint8)
    image[shape[0] // 2:] = 255                       # runs, and differences that wrap
    decoded = Image.open(io.BytesIO(chart.png_bytes(image, 100)))
    assert decoded.mode == "RGB"
    assert np.array_equal(np.asarray(decoded), image)
    assert round(decoded.info["dpi"][0]) == 100


def test_worker_processes_draw_every_chart(tmp_path):
    jobs = [(str(tmp_path / ("%d.png" % k)), ChartData("600000.SH", "x", _days(5), _minutes(30)))
            for k in range(3)]
    chart.draw_charts(jobs, _Result(_fills(2)), workers=2)
    for k in range(3):
        image = Image.open(tmp_path / ("%d.png" % k))
        assert image.size == (1300, 1100)
