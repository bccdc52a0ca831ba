"""The replay's chart drawing as it was before the charts were sped up (one patch per bar,
one artist per fill, a new figure per chart, one chart after another), kept so that a
same-run comparison measures what the faster drawing saves.

Chart of one instrument of the replay: its recent day bars and the replayed day's
one-minute bars as candles over volume panels, with the fills marked.

Colours follow the exchange's convention: red for a bar that closed at or above its open,
green for one that closed below. A fill is a line at the fill price drawn behind its bar
and sticking out on both sides, and a triangle just outside the bar's range (below for a
buy, above for a sell), so nothing covers a wick or a body.
"""
import bisect
import datetime as _dt

UP, DOWN = "#d1403a", "#2e9e5b"
FILL_COLOURS = {("order", "BUY"): "#1f4fd1", ("order", "SELL"): "#e08a00",
                ("algo", "BUY"): "#8a2be2", ("algo", "SELL"): "#b8860b"}
LUNCH_COLOUR = "#9aa5b1"


def _candles(ax, opens, highs, lows, closes, width):
    colours = [UP if c >= o else DOWN for o, c in zip(opens, closes)]
    xs = range(len(opens))
    ax.vlines(xs, lows, highs, colors=colours, linewidth=0.8, zorder=2)
    bottoms = [min(o, c) for o, c in zip(opens, closes)]
    heights = [abs(c - o) or (h - lo) * 0.02 or 1e-6
               for o, c, h, lo in zip(opens, closes, highs, lows)]
    ax.bar(xs, heights, width, bottom=bottoms, color=colours, edgecolor=colours,
           linewidth=0.4, zorder=2)
    return colours


def _price_limits(ax, lows, highs, n):
    lo, hi = float(min(lows)), float(max(highs))
    pad = (hi - lo) * 0.05 or max(abs(hi) * 0.002, 0.01)
    ax.set_ylim(lo - 2.2 * pad, hi + 2.2 * pad)
    ax.set_xlim(-1, n)
    return pad


def _volume(ax, volumes, colours, width):
    from matplotlib.ticker import FuncFormatter
    ax.bar(range(len(volumes)), volumes, width, color=colours, linewidth=0, zorder=2)
    ax.yaxis.set_major_formatter(FuncFormatter(_shares))
    ax.set_ylabel("volume", fontsize=8)
    ax.tick_params(axis="y", labelsize=7)
    ax.grid(alpha=0.25)


def _mark_fills(ax, fills, position, lows, highs, pad):
    """Each fill at bar `position(time)`: a line behind the bar at its price and a triangle
    below the bar's low (buy) or above its high (sell)."""
    shown = set()
    for f in fills:
        x = position(f["time"])
        if x is None:
            continue
        key = (f["kind"], f["side"])
        colour = FILL_COLOURS.get(key, "black")
        ax.hlines(f["price"], x - 0.9, x + 0.9, colors=colour, linewidth=1.2, zorder=1)
        buy = f["side"] == "BUY"
        y = lows[x] - pad if buy else highs[x] + pad
        label = None if key in shown else "%s fill (%s)" % (
            "algo child" if f["kind"] == "algo" else "order", f["side"].lower())
        shown.add(key)
        ax.scatter([x], [y], marker="^" if buy else "v", s=30, color=colour,
                   edgecolors="black", linewidths=0.4, zorder=4, label=label)


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
    pad = _price_limits(ax, lows, highs, len(dates))
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


def draw_chart(path, data, result):
    """Draw the chart of `data` (a ChartData) with the fills of `result` into `path`."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fills = [f for f in result.fills if f["market_code"] == data.code]
    # a thin empty row keeps the day group and the minute group apart
    fig, axes = plt.subplots(5, 1, figsize=(13, 11),
                             gridspec_kw={"height_ratios": [3, 1, 0.45, 4, 1.2], "hspace": 0.08})
    ax_day, ax_day_vol, spacer, ax_min, ax_min_vol = axes
    spacer.set_visible(False)
    ax_day_vol.sharex(ax_day)
    ax_min_vol.sharex(ax_min)
    ax_day.tick_params(labelbottom=False)
    ax_min.tick_params(labelbottom=False)
    fig.suptitle("%s on %s: fills of the %s strategy (%d)"
                 % (data.code, result.day, result.strategy, len(fills)), fontsize=13)
    _day_panels(ax_day, ax_day_vol, data, result.day, fills)
    _minute_panels(ax_min, ax_min_vol, data, fills)
    fig.subplots_adjust(left=0.07, right=0.98, top=0.94, bottom=0.05)
    fig.savefig(path, dpi=100)
    plt.close(fig)
