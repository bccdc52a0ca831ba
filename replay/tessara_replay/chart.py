"""Chart of one instrument of the replay: its recent day bars and the replayed day's
one-minute bars as candles over volume panels, with the fills marked.

Colours follow the exchange's convention: red for a bar that closed at or above its open,
green for one that closed below. A fill is a triangle just outside its bar's range (below
for a buy, above for a sell), so nothing covers a wick or a body, and, while there are few
fills, a thin translucent line at the fill price behind the bar.

Speed: a process draws all its charts on one figure made once. Each panel's artists (wicks,
bodies, volumes, fill markers, titles, legend) are made with it and only handed new data
chart after chart; clearing the axes instead would make every tick, label and grid line
anew, which costs more than drawing them.
"""
import bisect
import datetime as _dt
import os
from types import SimpleNamespace

UP, DOWN = "#d1403a", "#2e9e5b"
FILL_COLOURS = {("order", "BUY"): "#1f4fd1", ("order", "SELL"): "#e08a00",
                ("algo", "BUY"): "#8a2be2", ("algo", "SELL"): "#b8860b"}
FILL_KINDS = sorted(FILL_COLOURS)
LUNCH_COLOUR = "#9aa5b1"
DAY_COLOUR = "#ffe9a8"
MIN_DAY_SLOTS = 20      # the day panel is at least this many bars wide
MANY_FILLS = 20         # beyond this, fills are markers only: price lines would band
MAX_WORKERS = 4         # chart-drawing processes at most (and no more than processors)
MIN_CPUS_FOR_WORKERS = 4
PNG_COMPRESSION = 3     # zlib level: a smaller file costs more time than it saves
FIGURE_SIZE = (13, 11)  # inches, at 100 dots per inch
DPI = 100
# Axis titles at fixed places (points from the panel's edge), clear of the widest tick
# labels: placing them after the tick labels of each chart costs the axes a second layout.
YLABEL_OFFSET = 46
XLABEL_OFFSET = 20


def _plural(n, noun):
    return "%d %s%s" % (n, noun, "" if n == 1 else "s")


def _count(n, noun):
    return "no %ss" % noun if n == 0 else "%d %s%s" % (n, noun, "" if n == 1 else "s")


def _shares(value, _pos):
    for scale, unit in ((1e6, "M"), (1e3, "k")):
        if abs(value) >= scale:
            return "%g%s" % (round(value / scale, 1), unit)
    return "%g" % value


def _fill_label(key):
    return "%s fill (%s)" % ("algo child" if key[0] == "algo" else "order", key[1].lower())


def _boxes(xs, bottoms, tops, width):
    """Rectangles centred on `xs`, as the vertices of one PolyCollection: hundreds of bars
    drawn as one object, not one patch each."""
    import numpy as np
    x = np.asarray(xs, float)
    lo, hi = np.asarray(bottoms, float), np.asarray(tops, float)
    left, right = x - width / 2, x + width / 2
    return np.stack([np.stack([left, lo], 1), np.stack([left, hi], 1),
                     np.stack([right, hi], 1), np.stack([right, lo], 1)], 1)


def _sticks(xs, lows, highs):
    """Vertical segments at `xs` from `lows` to `highs`, as one LineCollection's segments."""
    import numpy as np
    x = np.asarray(xs, float)
    return np.stack([np.stack([x, np.asarray(lows, float)], 1),
                     np.stack([x, np.asarray(highs, float)], 1)], 1)


def price_range(lows, highs):
    """(bottom, top, pad) of a candle panel: the bars' range with room for the fill markers
    (`pad` beyond the bar); the pad is at least a quarter percent of the price, so a day that
    hardly moved is not blown up to fill the panel."""
    lo, hi = float(min(lows)), float(max(highs))
    pad = max((hi - lo) * 0.05, abs(hi) * 0.0025, 0.01)
    return lo - 2.2 * pad, hi + 2.2 * pad, pad


class _Panel:
    """A candle panel over its volume panel, with every artist a chart may show made once
    and emptied or hidden when a chart has nothing for it."""

    def __init__(self, ax, ax_vol, width, extra_label_artist):
        from matplotlib.collections import LineCollection, PolyCollection
        from matplotlib.patches import Patch
        from matplotlib.ticker import FuncFormatter
        self.ax, self.ax_vol, self.width = ax, ax_vol, width
        self.wicks = LineCollection([], linewidths=0.8, zorder=2)
        self.bodies = PolyCollection([], linewidths=0.4, zorder=2)
        self.volumes = PolyCollection([], linewidths=0.0, zorder=2)
        for artist, axes in ((self.wicks, ax), (self.bodies, ax), (self.volumes, ax_vol)):
            axes.add_collection(artist, autolim=False)
        self.lines, self.marks = {}, {}
        for key in FILL_KINDS:
            colour = FILL_COLOURS[key]
            self.lines[key] = LineCollection([], colors=colour, linewidths=0.9, alpha=0.6,
                                             zorder=1)
            ax.add_collection(self.lines[key], autolim=False)
            buy = key[1] == "BUY"
            self.marks[key] = ax.scatter([], [], marker="^" if buy else "v", s=30, color=colour,
                                         alpha=0.85, edgecolors="black", linewidths=0.4,
                                         zorder=4, label=_fill_label(key))
        self.extra = extra_label_artist          # replayed day span or lunch break line
        self.colour_handles = [Patch(color=UP), Patch(color=DOWN)]
        self.legends = {}                        # _Legend by its labels, made once each
        self.legend = None                       # the _Legend of the chart drawn
        ax_vol.yaxis.set_major_formatter(FuncFormatter(_shares))
        ax_vol.set_ylabel("volume", fontsize=8)
        for axes in (ax, ax_vol):
            axes.yaxis.set_label_coords(0, 0.5, transform=_shifted(axes, -YLABEL_OFFSET, 0))
        ax_vol.tick_params(axis="y", labelsize=7)
        self.rules = [_Rules(axes) for axes in (ax, ax_vol)]
        self.title = ax.set_title(" ", fontsize=10, y=1.0)   # placed once: nothing sits above
        self.ylabel = "price"

    def show_empty(self, title):
        """No bars: an empty panel with `title`."""
        self._candles([], [], [], [])
        self.volumes.set_verts([])
        self._fills({}, [], [], 0)
        self.extra.set_visible(False)
        self.ax.set_xlim(0, 1)
        self.ax.set_ylim(0, 1)
        self.ax_vol.set_ylim(0, 1)
        self.ax_vol.set_xticks([])
        self.rule([])
        self.ax.set_ylabel("")
        self._legend(False)
        self.title.set_text(title)

    def show(self, opens, highs, lows, closes, volumes, min_slots=0):
        """Candles and volumes of the bars; returns the pad of the fill markers."""
        colours = self._candles(opens, highs, lows, closes)
        n = len(opens)
        self.volumes.set_verts(_boxes(range(n), [0] * n, volumes, self.width))
        self.volumes.set_facecolor(colours)
        self.volumes.set_edgecolor(colours)
        bottom, top, pad = price_range(lows, highs)
        self.ax.set_ylim(bottom, top)
        # at least `min_slots` bar places wide, so a lone bar (a listing day) is as narrow
        # as in a full panel; the bars keep to the right, the latest last, as in a full
        # panel, clear of the legend in the upper left corner
        self.ax.set_xlim(n - max(n, min_slots) - 1, n)
        self.ax_vol.set_ylim(0, max(max(volumes, default=0), 1) * 1.05)
        self.ax.set_ylabel(self.ylabel)
        return pad

    def rule(self, xlocs):
        """Tick marks and grid lines at `xlocs` (the bar places labelled below) and at the
        price and volume ticks of the panels' limits."""
        for rules in self.rules:
            rules.set(xlocs)

    def _candles(self, opens, highs, lows, closes):
        colours = [UP if c >= o else DOWN for o, c in zip(opens, closes)]
        xs = range(len(opens))
        self.wicks.set_segments(_sticks(xs, lows, highs))
        self.wicks.set_color(colours)
        bottoms = [min(o, c) for o, c in zip(opens, closes)]
        heights = [abs(c - o) or (h - lo) * 0.02 or 1e-6
                   for o, c, h, lo in zip(opens, closes, highs, lows)]
        tops = [b + h for b, h in zip(bottoms, heights)]
        self.bodies.set_verts(_boxes(xs, bottoms, tops, self.width))
        self.bodies.set_facecolor(colours)
        self.bodies.set_edgecolor(colours)
        return colours

    def _fills(self, groups, lows, highs, pad, lines=True):
        """`groups` maps a kind of fill to its (bar position, price) pairs: one marker per
        fill just outside its bar and, with `lines`, a price line behind the bar."""
        import numpy as np
        for key in FILL_KINDS:
            points = groups.get(key, ())
            xs = [x for x, _ in points]
            buy = key[1] == "BUY"
            ys = [lows[x] - pad if buy else highs[x] + pad for x in xs]
            self.marks[key].set_offsets(np.column_stack([xs, ys]) if xs else np.empty((0, 2)))
            self.marks[key].set_visible(bool(xs))
            self.lines[key].set_segments(
                [[(x - 0.9, p), (x + 0.9, p)] for x, p in points] if lines else [])
            self.lines[key].set_visible(lines and bool(xs))

    def mark_fills(self, fills, position, lows, highs, pad):
        """Each fill at bar `position(time)` (None: not on this panel)."""
        groups = {}
        for f in fills:
            x = position(f["time"])
            if x is not None:
                groups.setdefault((f["kind"], f["side"]), []).append((x, f["price"]))
        self._fills(groups, lows, highs, pad, lines=len(fills) <= MANY_FILLS)
        return groups

    def finish(self, title, groups):
        self.title.set_text(title)
        self._legend(True, groups)

    def _legend(self, shown, groups=()):
        """The colour legend, then the span or line of the panel, then the kinds of fill
        shown; one legend per set of labels, made and drawn alone the first time it is
        needed, its pixels laid over each chart that shows it (a legend lays itself out
        anew at every drawing, which costs as much as the panel it sits on)."""
        self.legend = None
        self.ax.legend_ = None
        if not shown:
            return
        handles = list(self.colour_handles)
        labels = ["close >= open", "close < open"]
        if self.extra.get_visible():
            handles.append(self.extra)
            labels.append(self.extra.get_label())
        for key in FILL_KINDS:
            if key in groups:
                handles.append(self.marks[key])
                labels.append(_fill_label(key))
        legend = self.legends.get(tuple(labels))
        if legend is None:
            legend = _Legend(self.ax.legend(handles, labels, loc="upper left", fontsize=7,
                                            ncol=2, framealpha=0.85))
            self.legends[tuple(labels)] = legend
        self.ax.legend_ = legend.artist        # what the axes answer, not drawn with them
        self.legend = legend


class _Legend:
    """A legend drawn once on a transparent canvas of the figure's size: its pixels
    (straight alpha, as the drawing keeps them) and their place in the figure."""

    def __init__(self, artist):
        artist.set_visible(False)
        self.artist, self.pixels, self.top, self.left = artist, None, 0, 0

    def paste(self, image, dpi):
        """Lay the legend over `image`, the drawn figure as an RGB array."""
        import numpy as np
        if self.pixels is None:
            self._draw_alone(image.shape[1], image.shape[0], dpi)
        height, width = self.pixels.shape[:2]
        region = image[self.top:self.top + height, self.left:self.left + width]
        alpha = self.pixels[..., 3:4].astype(np.float32) / 255
        region[...] = (self.pixels[..., :3] * alpha + region * (1 - alpha) + 0.5).astype(np.uint8)

    def _draw_alone(self, width, height, dpi):
        import numpy as np
        from matplotlib.backends.backend_agg import RendererAgg
        renderer = RendererAgg(width, height, dpi)
        self.artist.set_visible(True)
        try:
            self.artist.draw(renderer)
            box = self.artist.get_window_extent(renderer)
        finally:
            self.artist.set_visible(False)
        # margin for the frame's line and its antialiased edge; rows count from the top
        margin = 3
        left = max(int(box.x0) - margin, 0)
        right = min(int(np.ceil(box.x1)) + margin, width)
        top = max(height - int(np.ceil(box.y1)) - margin, 0)
        bottom = min(height - int(box.y0) + margin, height)
        self.pixels = np.array(np.asarray(renderer.buffer_rgba())[top:bottom, left:right])
        self.top, self.left = top, left


def png_bytes(image, dpi):
    """An RGB image (rows of pixels, top first) as a PNG file's bytes, each row stored as its
    difference from the row above: a chart's rows repeat, so that compresses well and fast."""
    import struct
    import zlib

    import numpy as np
    height, width = image.shape[:2]
    flat = image.reshape(height, width * 3)
    rows = np.empty((height, width * 3 + 1), np.uint8)
    rows[:, 0] = 2                                  # filter type "up"
    rows[0, 1:] = flat[0]
    np.subtract(flat[1:], flat[:-1], out=rows[1:, 1:])    # modulo 256, as the filter is

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    per_metre = int(round(dpi / 0.0254))
    return b"".join((b"\x89PNG\r\n\x1a\n",
                     chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)),
                     chunk(b"pHYs", struct.pack(">IIB", per_metre, per_metre, 1)),
                     chunk(b"IDAT", zlib.compress(rows.tobytes(), PNG_COMPRESSION)),
                     chunk(b"IEND", b"")))


class _Rules:
    """A panel's tick marks and grid lines, one line artist each per direction: the axes'
    own make a tick mark and a grid line artist per tick, which costs more to draw than the
    labels beside them. The vertical ticks are those the axes would choose, kept to the
    ones within the limits, so the axes make and label no others."""

    def __init__(self, ax):
        import matplotlib
        from matplotlib.lines import Line2D
        from matplotlib.ticker import AutoLocator
        ax.tick_params(which="major", tick1On=False, tick2On=False)
        ax.grid(False)
        self.ax, self.auto = ax, AutoLocator()
        self.auto.set_axis(ax.yaxis)
        rc = matplotlib.rcParams
        # as the axes draw them: with the axis, below the bars (zorder 1.5)
        mark = dict(linestyle="None", color=rc["xtick.color"], markersize=rc["xtick.major.size"],
                    markeredgewidth=rc["xtick.major.width"], clip_on=False, zorder=1.5)
        grid = dict(color=rc["grid.color"], linewidth=rc["grid.linewidth"], alpha=0.25,
                    zorder=1.5)
        x_side, y_side = ax.get_xaxis_transform(), ax.get_yaxis_transform()
        self.x_marks = Line2D([], [], marker=3, transform=x_side, **mark)     # ticks down
        self.y_marks = Line2D([], [], marker=0, transform=y_side, **mark)     # ticks left
        self.x_grid = Line2D([], [], transform=x_side, **grid)
        self.y_grid = Line2D([], [], transform=y_side, **grid)
        for line in (self.x_grid, self.y_grid, self.x_marks, self.y_marks):
            ax.add_line(line)

    def set(self, xlocs):
        import numpy as np
        from matplotlib.ticker import FixedLocator
        low, high = sorted(self.ax.get_ylim())
        slack = (high - low) * 1e-10
        ylocs = [v for v in self.auto() if low - slack <= v <= high + slack]
        self.ax.yaxis.set_major_locator(FixedLocator(ylocs))
        xlocs = np.asarray(xlocs, float)
        ylocs = np.asarray(ylocs, float)
        across = np.array([0.0, 1.0, np.nan])
        self.x_marks.set_data(xlocs, np.zeros(len(xlocs)))
        self.x_grid.set_data(np.repeat(xlocs, 3), np.tile(across, len(xlocs)))
        self.y_marks.set_data(np.zeros(len(ylocs)), ylocs)
        self.y_grid.set_data(np.tile(across, len(ylocs)), np.repeat(ylocs, 3))


def _shifted(ax, x_points, y_points):
    """The panel's own coordinates moved by a fixed distance in points."""
    from matplotlib.transforms import offset_copy
    return offset_copy(ax.transAxes, fig=ax.figure, x=x_points, y=y_points, units="points")


class _Figure:
    """The process's one chart figure: five rows (day candles, day volumes, a thin empty row
    that keeps the two groups apart, minute candles, minute volumes)."""

    def __init__(self):
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
        from matplotlib.patches import Rectangle
        # a figure of its own, not pyplot's: nothing of the caller's plotting state changes
        self.fig = Figure(figsize=FIGURE_SIZE, dpi=DPI)
        self.canvas = FigureCanvasAgg(self.fig)
        axes = self.fig.subplots(5, 1, gridspec_kw={"height_ratios": [3, 1, 0.45, 4, 1.2],
                                                    "hspace": 0.08})
        self.axes = axes
        ax_day, ax_day_vol, spacer, ax_min, ax_min_vol = axes
        spacer.set_visible(False)
        ax_day_vol.sharex(ax_day)
        ax_min_vol.sharex(ax_min)
        ax_day.tick_params(labelbottom=False)
        ax_min.tick_params(labelbottom=False)
        self.fig.subplots_adjust(left=0.07, right=0.98, top=0.94, bottom=0.05)
        self.suptitle = self.fig.suptitle(" ", fontsize=13)

        span = Rectangle((0, 0), 1, 1, transform=ax_day.get_xaxis_transform(), color=DAY_COLOUR,
                         zorder=0, label="replayed day")
        ax_day.add_patch(span)
        self.day = _Panel(ax_day, ax_day_vol, 0.6, span)
        self.day.span = span

        self.lunch = []
        for ax in (ax_min, ax_min_vol):
            line = Line2D([0, 0], [0, 1], transform=ax.get_xaxis_transform(),
                          color=LUNCH_COLOUR, linestyle="--", linewidth=1.2, zorder=1)
            ax.add_line(line)
            self.lunch.append(line)
        self.minute = _Panel(ax_min, ax_min_vol, 0.7, self.lunch[0])
        ax_min_vol.set_xlabel("bar end time")
        ax_min_vol.xaxis.set_label_coords(0.5, 0, transform=_shifted(ax_min_vol, 0, -XLABEL_OFFSET))

    def draw(self, path, data, result):
        fills = [f for f in result.fills if f["market_code"] == data.code]
        self.suptitle.set_text("%s on %s: %s of the %s strategy"
                               % (data.code, result.day, _count(len(fills), "fill"),
                                  result.strategy))
        self._day(data, result.day, fills)
        self._minute(data, fills)
        self._save(path)

    def _save(self, path):
        """The drawn figure with its legends laid over, as an RGB PNG (the figure is opaque:
        its alpha says nothing)."""
        import numpy as np
        self.canvas.draw()
        image = np.array(np.asarray(self.canvas.buffer_rgba())[..., :3])
        for panel in (self.day, self.minute):
            if panel.legend is not None:
                panel.legend.paste(image, self.fig.dpi)
        with open(path, "wb") as f:
            f.write(png_bytes(image, self.fig.dpi))

    def _day(self, data, day, fills):
        panel, bars = self.day, data.day_bars
        if bars is None or not len(bars):
            panel.show_empty("no day bars")
            return
        dates = [t.date() for t in bars.index]
        lows, highs = list(bars["low"]), list(bars["high"])
        pad = panel.show(list(bars["open"]), highs, lows, list(bars["close"]),
                         list(bars["volume"]), min_slots=MIN_DAY_SLOTS)
        step = max(1, len(dates) // 8)
        panel.ax_vol.set_xticks(range(0, len(dates), step),
                                [d.strftime("%m-%d") for d in dates[::step]], fontsize=8)
        panel.rule(range(0, len(dates), step))
        groups = {}
        panel.span.set_visible(day in dates)
        if day in dates:
            x = dates.index(day)
            panel.span.set_x(x - 0.5)
            groups = panel.mark_fills(fills, lambda t: x, lows, highs, pad)
        else:
            panel.mark_fills([], None, lows, highs, pad)
        panel.finish("Day bars, last %s (unadjusted)" % _plural(len(dates), "trading day"),
                     groups)

    def _minute(self, data, fills):
        panel, bars = self.minute, data.minute_bars
        for line in self.lunch:
            line.set_visible(False)
        if not bars:
            panel.show_empty("no one-minute bars")
            return
        times = [b["orig_time"] for b in bars]
        lows = [b["low_price"] for b in bars]
        highs = [b["high_price"] for b in bars]
        pad = panel.show([b["open_price"] for b in bars], highs, lows,
                         [b["close_price"] for b in bars], [b["volume"] for b in bars])
        ticks = [i for i, t in enumerate(times) if t.minute in (0, 30) or i == 0]
        panel.ax_vol.set_xticks(ticks, [times[i].strftime("%H:%M") for i in ticks], fontsize=8)
        panel.rule(ticks)
        # The lunch break: the first bar more than a minute after the one before.
        for i in range(1, len(times)):
            if times[i] - times[i - 1] > _dt.timedelta(minutes=1):
                for line in self.lunch:
                    line.set_xdata([i - 0.5, i - 0.5])
                    line.set_visible(True)
                self.lunch[0].set_label("lunch break %s-%s" % (
                    times[i - 1].strftime("%H:%M"),
                    (times[i] - _dt.timedelta(minutes=1)).strftime("%H:%M")))
                break

        def position(t):
            # a fill is reported just after the bar it traded against: the last bar ended by then
            i = bisect.bisect_right(times, t) - 1
            return i if i >= 0 else None
        groups = panel.mark_fills(fills, position, lows, highs, pad)
        panel.finish("One-minute bars of the day as the terminal delivered them (%d bars)"
                     % len(bars), groups)


_figure = None           # the process's _Figure, reused chart after chart


def _the_figure():
    global _figure
    if _figure is None:
        _figure = _Figure()
    return _figure


def draw_chart(path, data, result):
    """Draw the chart of `data` (a ChartData) with the fills of `result` (anything with
    `fills`, `day` and `strategy`) into `path`."""
    _the_figure().draw(path, data, result)


def draw_charts(jobs, result, workers=None, progress=False):
    """Draw each (path, ChartData) of `jobs`; with more than one chart and processors to
    spare, in worker processes (at most `workers`), each drawing its share on one figure.
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
