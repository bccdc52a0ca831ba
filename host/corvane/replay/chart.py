"""Chart of the replay's first instrument: recent day bars and the replayed day's
one-minute bars as candles, with the strategy's fills marked on both."""
import bisect
import datetime as _dt

UP, DOWN = "#d1403a", "#2e9e5b"          # rising and falling candles
FILL_STYLE = {                           # side -> (marker, colour, label)
    "BUY": ("^", "#1f4fd1", "buy fill"),
    "SELL": ("v", "#e08a00", "sell fill"),
    "ALGO_BUY": ("^", "#8a2be2", "algo child fill (buy)"),
    "ALGO_SELL": ("v", "#8a2be2", "algo child fill (sell)"),
}


def _candles(ax, opens, highs, lows, closes, width=0.6):
    # Limits set here: bar bottoms are sticky edges that would clip the wicks.
    lo_all, hi_all = float(min(lows)), float(max(highs))
    pad = (hi_all - lo_all) * 0.06 or 0.01
    ax.set_ylim(lo_all - pad, hi_all + pad)
    ax.set_xlim(-1, len(opens))
    for x, (o, h, lo, c) in enumerate(zip(opens, highs, lows, closes)):
        colour = UP if c >= o else DOWN
        ax.vlines(x, lo, h, color=colour, linewidth=0.8, zorder=1)
        body = abs(c - o) or (h - lo) * 0.02 or 1e-6
        ax.bar(x, body, width, bottom=min(o, c), color=colour, edgecolor=colour,
               linewidth=0.5, zorder=2)


def _mark(ax, points):
    done = set()
    for side, xs, ys in points:
        marker, colour, label = FILL_STYLE.get(side, ("o", "black", side))
        ax.scatter(xs, ys, marker=marker, s=46, color=colour, edgecolors="black",
                   linewidths=0.5, zorder=3, label=None if side in done else label)
        done.add(side)


def _int_date(value):
    v = int(value) // 1000000
    return _dt.date(v // 10000, v // 100 % 100, v % 100)


def draw_chart(path, result):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    code, _symbol, day_bars, minute_bars = result.chart_data
    fills = [f for f in result.fills if f[1] == code]
    fig, (ax_day, ax_min) = plt.subplots(
        2, 1, figsize=(13, 9), gridspec_kw={"height_ratios": [1, 1.3]})
    fig.suptitle("%s: the demo strategy's fills on %s" % (code, result.day), fontsize=13)

    # day bars ------------------------------------------------------------------------------
    if day_bars is not None and len(day_bars):
        dates = [_int_date(t) for t in day_bars["orig_time"]]
        _candles(ax_day, day_bars["open"], day_bars["high"], day_bars["low"], day_bars["close"])
        step = max(1, len(dates) // 8)
        ax_day.set_xticks(range(0, len(dates), step))
        ax_day.set_xticklabels([d.strftime("%m-%d") for d in dates[::step]])
        if result.day in dates:
            x = dates.index(result.day)
            ax_day.axvspan(x - 0.5, x + 0.5, color="#ffe9a8", zorder=0, label="replayed day")
            _mark(ax_day, _points(fills, lambda t: x))
        ax_day.legend(loc="best", fontsize=8)
    ax_day.set_title("Day bars, last %d trading days (unadjusted)" % (0 if day_bars is None else len(day_bars)),
                     fontsize=10)
    ax_day.set_ylabel("price")
    ax_day.grid(alpha=0.25)

    # minute bars of the day -------------------------------------------------------------------
    bars = list(minute_bars or ())
    if bars:
        times = [b["orig_time"] for b in bars]
        _candles(ax_min, [b["open_price"] for b in bars], [b["high_price"] for b in bars],
                 [b["low_price"] for b in bars], [b["close_price"] for b in bars], width=0.7)
        ticks = [i for i, t in enumerate(times) if t.minute in (0, 30) or i == 0]
        ax_min.set_xticks(ticks)
        ax_min.set_xticklabels([times[i].strftime("%H:%M") for i in ticks])

        def index_of(t):
            return max(0, bisect.bisect_right(times, t) - 1)
        _mark(ax_min, _points(fills, index_of))
        ax_min.legend(loc="best", fontsize=8)
    ax_min.set_title("One-minute bars of %s as the terminal delivered them (%d bars)"
                     % (result.day, len(bars)), fontsize=10)
    ax_min.set_ylabel("price")
    ax_min.set_xlabel("bar end time")
    ax_min.grid(alpha=0.25)

    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _points(fills, position):
    by_side = {}
    for t, _code, side, price, _amount in fills:
        xs, ys = by_side.setdefault(side, ([], []))
        xs.append(position(t))
        ys.append(price)
    return [(side, xs, ys) for side, (xs, ys) in sorted(by_side.items())]
