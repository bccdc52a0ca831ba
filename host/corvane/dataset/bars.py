"""Bar generation. Prices are worked in whole ticks so that one-minute bars aggregate to the
day bar exactly: the day's open, high, low and close are values of its minute bars, volumes
are whole lots split without remainder, and turnovers are whole currency units."""
import numpy as np

# Typical turnover of one day, by instrument type, which sets the volume scale.
_DAY_TURNOVER = {"stock": 8e8, "fund": 3e8, "index": 3e11, "Future": 4e9}
DAY_FIELDS = ["open", "close", "high", "low", "volume", "total_turnover", "prev_close",
              "limit_up", "limit_down"]
FUTURES_DAY_FIELDS = ["open_interest", "settlement", "prev_settlement"]
MINUTE_FIELDS = ["open", "close", "high", "low", "volume", "total_turnover"]
# Candidate timings drawn for a day's high and low, to find a pair far enough apart.
_TIMING_DRAWS = 8


def price_limit(ins_type, market_code, is_st):
    if ins_type == "stock":
        if is_st:
            return 0.05
        return 0.2 if market_code.startswith(("300", "688")) else 0.1
    return 0.1


def generate_day_bars(profile, dates, rng, suspended, st_days, ex_events, start_price=None):
    """Day bars of one instrument over `dates` (a DatetimeIndex).

    `suspended` and `st_days` are sets of Timestamps; `ex_events` maps an ex-date to
    (dividend yield, split ratio): the cash paid per share is that yield of the close before
    the ex-date, rounded to 0.001. Returns a dict of numpy arrays keyed by field, with
    `ex_factor` (the price factor of each day's corporate action, 1 on other days), and a
    dict of the cash per share paid on each ex-date.
    """
    n = len(dates)
    tick = float(profile["tick_size"])
    lot = int(profile["round_lot"])
    mult = float(profile["contract_multiplier"])
    sigma = float(profile["sigma"])
    price = float(start_price if start_price is not None else profile["start_price"])
    ins_type = profile["type"]
    is_future = ins_type == "Future"

    ret = rng.normal(0.0002, sigma, n)
    open_gap = rng.normal(0.0, sigma / 3, n)
    up_wick = np.abs(rng.normal(0.0, sigma / 2, n))
    down_wick = np.abs(rng.normal(0.0, sigma / 2, n))
    base_lots = max(10.0, _DAY_TURNOVER[ins_type] / (price * lot * mult))
    lots = np.maximum(1, np.round(base_lots * rng.lognormal(0.0, 0.35, n))).astype(np.int64)
    oi_steps = rng.normal(0.0, 0.03, n)

    out = {k: np.empty(n) for k in DAY_FIELDS + ["ex_factor"]}
    prev = max(1, int(round(price / tick)))
    oi = float(lots[0] * 3) if is_future else np.nan
    prev_settle = prev
    open_interest = np.full(n, np.nan)
    settlement = np.full(n, np.nan)
    prev_settlement = np.full(n, np.nan)
    cash_paid = {}
    for i, day in enumerate(dates):
        ref = prev
        if day in ex_events:
            yld, ratio = ex_events[day]
            cash = round(prev * tick * yld, 3)
            if cash > 0:
                cash_paid[day] = cash
            ref = max(1, int(round((prev * tick - cash) / ratio / tick)))
        limit = price_limit(ins_type, profile["market_code"], day in st_days)
        base = prev_settle if is_future else ref
        up = max(base + 1, int(round(base * (1 + limit))))
        down = max(1, min(base - 1, int(round(base * (1 - limit)))))
        if day in suspended:
            o = c = h = lo = ref
            vol = 0
        else:
            c = min(up, max(down, int(round(ref * (1 + ret[i])))))
            o = min(up, max(down, int(round(ref * (1 + open_gap[i])))))
            top, bottom = max(o, c), min(o, c)
            h = min(up, top + int(round(top * up_wick[i])))
            lo = max(down, bottom - int(round(bottom * down_wick[i])))
            vol = int(lots[i])
        volume = float(vol * lot)
        out["open"][i], out["close"][i], out["high"][i], out["low"][i] = o * tick, c * tick, h * tick, lo * tick
        out["volume"][i] = volume
        out["total_turnover"][i] = float(round(volume * (o + c + h + lo) / 4 * tick * mult))
        out["prev_close"][i] = ref * tick
        out["limit_up"][i], out["limit_down"][i] = up * tick, down * tick
        out["ex_factor"][i] = prev / ref
        if is_future:
            oi = max(float(vol), round(oi * (1 + oi_steps[i])))
            open_interest[i] = oi
            settle = int(round((o + c + h + lo) / 4))
            prev_settlement[i] = prev_settle * tick
            settlement[i] = settle * tick
            prev_settle = settle
        prev = c
    if is_future:
        out["open_interest"], out["settlement"], out["prev_settlement"] = open_interest, settlement, prev_settlement
    return out, cash_paid


def _largest_remainder(total, weights):
    """Whole-unit shares of `total` in proportion to `weights`, summing exactly to `total`;
    zero weights get zero."""
    parts = np.zeros(len(weights), dtype=np.int64)
    wsum = weights.sum()
    if total <= 0 or wsum <= 0:
        return parts
    exact = total * (weights / wsum)
    parts = np.floor(exact).astype(np.int64)
    left = int(total - parts.sum())
    if left > 0:
        positive = np.flatnonzero(weights > 0)
        order = positive[np.argsort(-(exact[positive] - parts[positive]), kind="stable")]
        parts[order[:left]] += 1
    return parts


def _volume_profile(session_starts, n, rng):
    """Intraday volume weights: heavier at the start and end of each session."""
    bounds = list(session_starts) + [n]
    weights = np.empty(n)
    for a, b in zip(bounds[:-1], bounds[1:]):
        k = np.arange(b - a, dtype=float)
        m = max(1, b - a)
        weights[a:b] = 1.0 + 2.0 * np.exp(-k / (0.08 * m)) + 1.5 * np.exp(-(m - 1 - k) / (0.08 * m))
    return weights * rng.lognormal(0.0, 0.4, n)


def _fold(values, lo, hi):
    """Reflect `values` back into [lo, hi] at its edges (a triangle wave), so a path that
    would leave the range bounces off it instead of running flat along it."""
    span = hi - lo
    x = np.mod(values - lo, 2.0 * span)
    return lo + np.where(x > span, 2.0 * span - x, x)


def _price_path(o, c, h, lo, n, rng):
    """Minute closes (whole ticks) of a day that opens at `o` and closes at `c`, and whose
    own path reaches the day's high `h` and low `lo` (unless the open or close already is
    that extreme).

    The path is a Brownian bridge pinned at the open, at the minutes where it touches the
    high and the low, and at the close; it is folded into the day's range, so the extremes
    are the tops of ordinary moves rather than single-minute spikes.
    """
    inner = n - 1  # the last close is pinned at `c`
    span = float(h - lo)
    levels, shares = [], []
    for level in (h, lo):
        if level != max(o, c) and level != min(o, c):
            # A walk reaches a level in time growing with the square of its distance: an
            # extreme near the open comes early, one near the close comes late, and none
            # is reached faster than a three-sigma run of the walk below allows.
            to_open, to_close = float(level - o) ** 2, float(level - c) ** 2
            earliest = to_open / span ** 2 * 4.0 / 9.0
            latest = 1.0 - to_close / span ** 2 * 4.0 / 9.0
            likely = min(latest, max(earliest, to_open / (to_open + to_close)))
            levels.append(level)
            shares.append(rng.triangular(earliest, likely, latest, _TIMING_DRAWS))
    if len(levels) == 2:
        # Going from one extreme to the other takes time too: take the first draw that
        # keeps them a quarter of the day apart, or else the one that parts them most.
        gaps = np.abs(shares[0] - shares[1])
        pick = int(np.argmax(gaps >= 0.25)) if (gaps >= 0.25).any() else int(np.argmax(gaps))
    else:
        pick = 0
    pins = sorted([int(round(u[pick] * (inner - 1))), level] for u, level in zip(shares, levels))
    if len(pins) == 2 and (inner < 2 or pins[0][0] == pins[1][0]):
        if inner < 2:
            pins = pins[:1]
        else:
            # Two extremes cannot share a minute.
            if pins[1][0] < inner - 1:
                pins[1][0] += 1
            else:
                pins[0][0] -= 1
    times = np.array([-1] + [t for t, _ in pins] + [n - 1], dtype=float)
    levels = np.array([o] + [v for _, v in pins] + [c], dtype=float)
    steps = np.arange(n, dtype=float)
    # A free walk whose range over the day is about the day's range, less its values
    # interpolated between the pins: a Brownian bridge through every pin.
    step = span / (2.0 * np.sqrt(n))
    walk = np.cumsum(rng.normal(0.0, step, n))
    at_pins = np.interp(times, np.append(-1.0, steps), np.append(0.0, walk))
    noise = walk - np.interp(steps, times, at_pins)
    path = _fold(np.interp(steps, times, levels) + noise, lo, h)
    closes = np.clip(np.round(path), lo, h).astype(np.int64)
    closes[-1] = c
    return closes, step


def generate_minute_bars(day_bar, profile, session_starts, n, rng, prev_open_interest=None):
    """One-minute bars of one trading day that aggregate exactly to `day_bar`.

    Returns a dict of numpy arrays (fields of MINUTE_FIELDS, and `open_interest` for futures).
    """
    tick = float(profile["tick_size"])
    lot = int(profile["round_lot"])
    mult = float(profile["contract_multiplier"])
    o, c, h, lo = (int(round(day_bar[f] / tick)) for f in ("open", "close", "high", "low"))

    if h == lo or n == 1:
        closes, step = np.full(n, c, dtype=np.int64), 0.0
    else:
        closes, step = _price_path(o, c, h, lo, n, rng)
    opens = np.empty(n, dtype=np.int64)
    opens[0] = o
    opens[1:] = closes[:-1]
    top = np.maximum(opens, closes)
    bottom = np.minimum(opens, closes)
    # Wicks of a fraction of a minute's typical move, kept inside the day's range.
    wick = max(step, 0.5) * 0.6
    highs = np.minimum(h, top + np.round(np.abs(rng.normal(0.0, wick, n))).astype(np.int64))
    lows = np.maximum(lo, bottom - np.round(np.abs(rng.normal(0.0, wick, n))).astype(np.int64))
    # Only a day too short to walk (one or two minutes) can miss an extreme: put it on the
    # minute nearest to it.
    if highs.max() < h:
        highs[np.argmax(top)] = h
    if lows.min() > lo:
        lows[np.argmin(bottom)] = lo

    day_lots = int(round(day_bar["volume"] / lot))
    weights = _volume_profile(session_starts, n, rng)
    lots = rng.multinomial(day_lots, weights / weights.sum()) if day_lots > 0 else np.zeros(n, dtype=np.int64)
    volume = lots * lot
    typical = (opens + closes + highs + lows) / 4.0
    turnover = _largest_remainder(int(day_bar["total_turnover"]), volume * typical)

    bars = {
        "open": opens * tick, "close": closes * tick, "high": highs * tick, "low": lows * tick,
        "volume": volume.astype(float), "total_turnover": turnover.astype(float),
    }
    if profile["type"] == "Future":
        end_oi = float(day_bar["open_interest"])
        start_oi = end_oi if prev_open_interest is None or np.isnan(prev_open_interest) else float(prev_open_interest)
        oi = np.round(start_oi + (end_oi - start_oi) * np.arange(1, n + 1) / n)
        oi[-1] = end_oi
        bars["open_interest"] = oi
    return bars
