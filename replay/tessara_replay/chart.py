"""Chart of one instrument of the replay: its recent day bars and the replayed day's
one-minute bars as candles over volume panels, with the fills marked.

Colours follow the exchange's convention: red for a bar that closed at or above its open,
green for one that closed below. A fill is a line at the fill price drawn behind its bar
and sticking out on both sides, and a triangle just outside the bar's range (below for a
buy, above for a sell), so nothing covers a wick or a body.
"""
import bisect
import datetime as _dt
import os
from types import SimpleNamespace

UP, DOWN = "#d1403a", "#2e9e5b"
FILL_COLOURS = {("order", "BUY"): "#1f4fd1", ("order", "SELL"): "#e08a00",
                ("algo", "BUY"): "#8a2be2", ("algo", "SELL"): "#b8860b"}
LUNCH_COLOUR = "#9aa5b1"
MIN_DAY_SLOTS = 20      # the day panel is at least this many bars wide
MAX_WORKERS = 4         # chart-drawing processes at most (and no more than processors)
MIN_CPUS_FOR_WORKERS = 4


def _boxes(xs, bottoms, tops, width):
    """Rectangles centred on `xs`, as the vertices of one PolyCollection: hundreds of bars
    drawn as one object, not one patch each."""
    import numpy as np
    x = np.asarray(xs, float)
    lo, hi = np.asarray(bottoms, float), np.asarray(tops, float)
    left, right = x - width / 2, x + width / 2
    return np.stack([np.stack([left, lo], 1), np.stack([left, hi], 1),
                     np.stack([right, hi], 1), np.stack([right, lo], 1)], 1)


def _add_boxes(ax, verts, colours, edge=0.0):
    from matplotlib.collections import PolyCollection
    ax.add_collection(PolyCollection(verts, facecolors=colours, edgecolors=colours,
                                     linewidths=edge, zorder=2))


def _candles(ax, opens, highs, lows, closes, width):
    colours = [UP if c >= o else DOWN for o, c in zip(opens, closes)]
    xs = range(len(opens))
    ax.vlines(xs, lows, highs, colors=colours, linewidth=0.8, zorder=2)
    bottoms = [min(o, c) for o, c in zip(opens, closes)]
    heights = [abs(c - o) or (h - lo) * 0.02 or 1e-6
               for o, c, h, lo in zip(opens, closes, highs, lows)]
    tops = [b + h for b, h in zip(bottoms, heights)]
    _add_boxes(ax, _boxes(xs, bottoms, tops, width), colours, edge=0.4)
    return colours


def _price_limits(ax, lows, highs, n, min_slots=0):
    """Price range with room for the fill markers; at least `min_slots` bar places wide, so a
    lone bar (a listing day) is drawn as narrow as in a full panel; at least 1% of the price
    high, so a day that hardly moved is not blown up to fill the panel."""
    lo, hi = float(min(lows)), float(max(highs))
    pad = max((hi - lo) * 0.05, abs(hi) * 0.0025, 0.01)
    ax.set_ylim(lo - 2.2 * pad, hi + 2.2 * pad)
    ax.set_xlim(-1, max(n, min_slots))
    return pad


def _volume(ax, volumes, colours, width):
    from matplotlib.ticker import FuncFormatter
    xs = range(len(volumes))
    _add_boxes(ax, _boxes(xs, [0] * len(volumes), volumes, width), colours)
    ax.set_ylim(0, max(max(volumes, default=0), 1) * 1.05)
    ax.yaxis.set_major_formatter(FuncFormatter(_shares))
    ax.set_ylabel("volume", fontsize=8)
    ax.tick_params(axis="y", labelsize=7)
    ax.grid(alpha=0.25)


MANY_FILLS = 20          # beyond this, fills are markers only: price lines would band


def _mark_fills(ax, fills, position, lows, highs, pad):
    """Each fill at bar `position(time)`: a triangle below the bar's low (buy) or above its
    high (sell) and, while there are few fills, a thin translucent line behind the bar at its
    price. One collection per kind of fill, not one artist per fill."""
    groups = {}
    for f in fills:
        x = position(f["time"])
        if x is not None:
            groups.setdefault((f["kind"], f["side"]), []).append((x, f["price"]))
    lines = len(fills) <= MANY_FILLS
    for key in sorted(groups):
        colour = FILL_COLOURS.get(key, "black")
        xs = [x for x, _ in groups[key]]
        prices = [p for _, p in groups[key]]
        if lines:
            ax.hlines(prices, [x - 0.9 for x in xs], [x + 0.9 for x in xs], colors=colour,
                      linewidth=0.9, alpha=0.6, zorder=1)
        buy = key[1] == "BUY"
        ys = [lows[x] - pad if buy else highs[x] + pad for x in xs]
        label = "%s fill (%s)" % ("algo child" if key[0] == "algo" else "order", key[1].lower())
        ax.scatter(xs, ys, marker="^" if buy else "v", s=30, color=colour, alpha=0.85,
                   edgecolors="black", linewidths=0.4, zorder=4, label=label)


def _count(n, noun):
    return "no %ss" % noun if n == 0 else "%d %s%s" % (n, noun, "" if n == 1 else "s")


def _shares(value, _pos):
    for scale, unit in ((1e6, "M"), (1e3, "k")):
        if abs(value) >= scale:
            return "%g%s" % (round(value / scale, 1), unit)
    return "%g" % value


def _colour_legend(ax):
    from matplotlib.patches import Patch
    handles, labels = ax.get_legend_handles_labels()
    handles = [Patch(color=UP), Patch(color=DOWN)] + handles
    labels = ["close >= open", "close < open"] + labels
    ax.legend(handles, labels, loc="upper left", fontsize=7, ncol=2, framealpha=0.85)


def _day_panels(ax, ax_vol, data, day, fills):
    bars = data.day_bars
    if bars is None or not len(bars):
        ax.set_title("no day bars", fontsize=10)
        return
    dates = [t.date() for t in bars.index]
    opens, highs = list(bars["open"]), list(bars["high"])
    lows, closes = list(bars["low"]), list(bars["close"])
    colours = _candles(ax, opens, highs, lows, closes, 0.6)
    pad = _price_limits(ax, lows, highs, len(dates), min_slots=MIN_DAY_SLOTS)
    _volume(ax_vol, list(bars["volume"]), colours, 0.6)
    step = max(1, len(dates) // 8)
    ax_vol.set_xticks(range(0, len(dates), step))
    ax_vol.set_xticklabels([d.strftime("%m-%d") for d in dates[::step]], fontsize=8)
    if day in dates:
        x = dates.index(day)
        ax.axvspan(x - 0.5, x + 0.5, color="#ffe9a8", zorder=0, label="replayed day")
        _mark_fills(ax, fills, lambda t: x, lows, highs, pad)
    _colour_legend(ax)
    ax.set_title("Day bars, last %d trading days (unadjusted)" % len(dates), fontsize=10)
    ax.set_ylabel("price")
    ax.grid(alpha=0.25)


def _minute_panels(ax, ax_vol, data, fills):
    bars = data.minute_bars
    if not bars:
        ax.set_title("no one-minute bars", fontsize=10)
        return
    times = [b["orig_time"] for b in bars]
    opens = [b["open_price"] for b in bars]
    highs = [b["high_price"] for b in bars]
    lows = [b["low_price"] for b in bars]
    closes = [b["close_price"] for b in bars]
    colours = _candles(ax, opens, highs, lows, closes, 0.7)
    pad = _price_limits(ax, lows, highs, len(bars))
    _volume(ax_vol, [b["volume"] for b in bars], colours, 0.7)
    ticks = [i for i, t in enumerate(times) if t.minute in (0, 30) or i == 0]
    ax_vol.set_xticks(ticks)
    ax_vol.set_xticklabels([times[i].strftime("%H:%M") for i in ticks], fontsize=8)
    ax_vol.set_xlabel("bar end time")
    # The lunch break: the first bar more than a minute after the one before.
    for i in range(1, len(times)):
        if times[i] - times[i - 1] > _dt.timedelta(minutes=1):
            label = "lunch break %s-%s" % (times[i - 1].strftime("%H:%M"),
                                           (times[i] - _dt.timedelta(minutes=1)).strftime("%H:%M"))
            ax.axvline(i - 0.5, color=LUNCH_COLOUR, linestyle="--", linewidth=1.2, zorder=1,
                       label=label)
            ax_vol.axvline(i - 0.5, color=LUNCH_COLOUR, linestyle="--", linewidth=1.2, zorder=1)
            break

    def position(t):
        # a fill is reported just after the bar it traded against: the last bar ended by then
        i = bisect.bisect_right(times, t) - 1
        return i if i >= 0 else None
    _mark_fills(ax, fills, position, lows, highs, pad)
    _colour_legend(ax)
    ax.set_title("One-minute bars of the day as the terminal delivered them (%d bars)"
                 % len(bars), fontsize=10)
    ax.set_ylabel("price")
    ax.grid(alpha=0.25)


_figure = None           # (figure, axes) of this process, reused chart after chart


def _blank_figure():
    """The process's one figure with its five rows, emptied: making a figure and its axes
    costs more than clearing them."""
    global _figure
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    if _figure is None:
        # a thin empty row keeps the day group and the minute group apart
        fig, axes = plt.subplots(5, 1, figsize=(13, 11),
                                 gridspec_kw={"height_ratios": [3, 1, 0.45, 4, 1.2], "hspace": 0.08})
        axes[1].sharex(axes[0])
        axes[4].sharex(axes[3])
        fig.subplots_adjust(left=0.07, right=0.98, top=0.94, bottom=0.05)
        _figure = fig, axes
    fig, axes = _figure
    for ax in axes:
        ax.cla()
    axes[2].set_visible(False)
    axes[0].tick_params(labelbottom=False)
    axes[3].tick_params(labelbottom=False)
    return fig, axes


def draw_chart(path, data, result):
    """Draw the chart of `data` (a ChartData) with the fills of `result` (anything with
    `fills`, `day` and `strategy`) into `path`."""
    fills = [f for f in result.fills if f["market_code"] == data.code]
    fig, (ax_day, ax_day_vol, _, ax_min, ax_min_vol) = _blank_figure()
    fig.suptitle("%s on %s: %s of the %s strategy"
                 % (data.code, result.day, _count(len(fills), "fill"), result.strategy),
                 fontsize=13)
    _day_panels(ax_day, ax_day_vol, data, result.day, fills)
    _minute_panels(ax_min, ax_min_vol, data, fills)
    fig.savefig(path, dpi=100)


def draw_charts(jobs, result, workers=None, progress=False):
    """Draw each (path, ChartData) of `jobs`; with more than one chart, in worker processes
    (at most `workers`, default one per processor), each drawing its share on one figure.
    `progress` shows a bar of the charts drawn (tqdm)."""
    if not jobs:
        return
    bar = _bar(progress, len(jobs))
    try:
        _draw_all(jobs, result, workers, bar)
    finally:
        bar.close()


class _NoBar:
    def update(self, n=1):
        pass

    def close(self):
        pass


def _bar(progress, total):
    if not progress:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, unit="chart", desc="charts", leave=False, dynamic_ncols=True)


def _draw_all(jobs, result, workers, bar):
    cpus = os.cpu_count() or 1
    if workers is None:
        # a spawned worker takes seconds to import the drawing library: only worth it
        # when there are processors to spare
        workers = MAX_WORKERS if cpus >= MIN_CPUS_FOR_WORKERS else 1
    workers = min(len(jobs), workers, cpus)
    fills = SimpleNamespace(fills=result.fills, day=result.day, strategy=result.strategy)
    if workers <= 1 or not _main_is_importable():
        for job in jobs:
            _draw_share([job], fills)
            bar.update(1)
        return
    import concurrent.futures
    import multiprocessing
    shares = [jobs[k::workers] for k in range(workers)]
    # spawned, not forked: the parent's Parquet reader threads do not survive a fork
    with concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=multiprocessing.get_context("spawn")) as pool:
        futures = {pool.submit(_draw_share, share, fills): len(share) for share in shares}
        for done in concurrent.futures.as_completed(futures):
            done.result()
            bar.update(futures[done])


def _main_is_importable():
    """True when a spawned worker may import the main module again without side effects: it
    was run with -m (its main part is skipped then), is interactive, or guards its main part
    with `if __name__ == "__main__"`. A script without the guard would replay again in every
    worker, so its charts are drawn in this process."""
    import sys
    main = sys.modules.get("__main__")
    if getattr(getattr(main, "__spec__", None), "name", None):
        return True
    path = getattr(main, "__file__", None)
    if not path:
        return True
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "__main__" in f.read()
    except OSError:
        return False


def _draw_share(jobs, result):
    for path, data in jobs:
        draw_chart(path, data, result)
