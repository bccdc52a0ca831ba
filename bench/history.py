"""History queries: warm-cache history_bars against one DataFrame.reset_index() on the cached
frame (the pandas work the straightforward path would do), _ndarray_from_df against allocating
the result and copying its columns with numpy, and get_instruments over 5,000 instruments
against asking the stores directly. The same-run reference is the plain-Python twin of the module
(twin/histsource.py, loaded by bench.twins), a data source of its own over the same client."""
import contextlib
import datetime

import numpy as np

from corvane.tessara.mod.mod_quant_data.data_sources import histsource
from corvane.tessara.mod.mod_quant_data.data_sources.resample_helper import resample_bars
from corvane.tessara.utils.datetime_func import convert_dt_to_int

from . import datasets, twins
from .harness import versus_row

TARGET_WARM = 0.5          # a warm query costs at most half a reset_index() of the cached frame
TARGET_NDARRAY = 3.0       # _ndarray_from_df within 3x of its numpy copy floor
# native / plain-Python reference of the same design, same run
TARGET_VS_REFERENCE = {"1d": 0.05, "1m": 0.1, "5m": 0.2, "instruments": 0.5}

DAY_CASES = ((10, False), (250, False), (10, True), (250, True))
MINUTE_CASES = (("1m", 240), ("1m", 2400), ("5m", 48))
# (frequency, bars, skip_suspended): the bench's cases, and the default suspension-aware stock path
REFERENCE_CASES = (("1m", 240, False), ("1m", 2400, False), ("5m", 48, False), ("1m", 240, True))


_twin = []


def _twin_module():
    if not _twin:
        _twin.append(twins.load("histsource"))
    return _twin[0]


@contextlib.contextmanager
def twin_source():
    """A twin data source built in the current environment over the native module's client."""
    twin = _twin_module()
    saved = twin.ostradatac
    twin.ostradatac = histsource.ostradatac
    try:
        yield twin.OstraDataDataSource()
    finally:
        twin.ostradatac = saved


def _loop(fn):
    def run(n):
        for _ in range(n):
            fn()
    return run


def day_rows(report, source, dt):
    ins = source.get_instruments([datasets.STOCK]).__next__()
    with twin_source() as twin:
        twin_ins = twin.get_instruments([datasets.STOCK]).__next__()
        for count, skip in DAY_CASES:
            _day_case(report, source, ins, twin, twin_ins, count, skip, dt)


def _day_case(report, source, ins, twin, twin_ins, count, skip, dt):
    source._history_cache.clear()
    query = lambda: source.history_bars(ins, count, "1d", None, dt, skip_suspended=skip)
    first = query()                      # cold: fills the cache
    cached = source._history_cache[(ins.market_code, "pre")]
    report.check(datasets.same_array(query(), first), "1d %d: warm answer differs from cold" % count)
    report.check(datasets.same_array(first, datasets.day_bars_reference(source, ins, count, None, dt, skip)),
                 "1d %d skip_suspended=%s: differs from the straightforward path" % (count, skip))
    closes = source.history_bars(ins, count, "1d", "close", dt, skip_suspended=skip)
    report.check(datasets.same_array(closes, datasets.day_bars_reference(source, ins, count, "close", dt, skip)),
                 "1d %d close: differs from the straightforward path" % count)
    row = versus_row("history", '1d %d bars%s' % (count, " skip_suspended" if skip else ""), _loop(query),
                     _loop(cached.reset_index), "query/reset_index", report.settings, target=TARGET_WARM,
                     note="cached frame %d rows" % len(cached))
    report.add(row)
    # The warm answer of the twin, from its own cache filled by the same query.
    twin._history_cache.clear()
    plain = lambda: twin.history_bars(twin_ins, count, "1d", None, dt, skip_suspended=skip)
    report.check(datasets.same_array(plain(), first), "1d %d: differs from the reference" % count)
    report.add(versus_row("history", '1d %d bars%s' % (count, " skip_suspended" if skip else ""), _loop(query),
                          _loop(plain), "native/reference", report.settings, target=TARGET_VS_REFERENCE["1d"]))


def minute_rows(report, source, dt):
    ins = source.get_instruments([datasets.STOCK]).__next__()
    days = source.get_trading_dates(datasets.START, dt)
    for freq, count in MINUTE_CASES:
        query = lambda: source.history_bars(ins, count, freq, None, dt, skip_suspended=False)
        first = query()
        report.check(first is not None and len(first) == count, "%s %d: wrong length" % (freq, count))
        report.check(datasets.same_array(query(), first), "%s %d: warm answer differs from cold" % (freq, count))
        # The client's frame over as many of the last days as hold the bars asked for (a
        # suspended day has none).
        n_days = max(1, -(-count * int(freq[:-1]) // 240))
        frame = datasets.minute_frame(ins.market_code, days[-n_days:])
        while len(frame) < count * int(freq[:-1]):
            n_days += 1
            frame = datasets.minute_frame(ins.market_code, days[-n_days:])
        if freq == "1m":
            ref = datasets.ndarray_from_df_reference(frame.droplevel(0), None)[-count:]
            report.check(datasets.same_array(first, ref), "%s %d: differs from the client's bars" % (freq, count))
        row = versus_row("history", "%s %d bars" % (freq, count), _loop(query), _loop(frame.reset_index),
                         "query/reset_index", report.settings, target=TARGET_WARM,
                         note="client frame %d rows" % len(frame))
        report.add(row)


def _walked_parts(source, ins, freq, count, dt):
    """The cache keys a warm query reads and the arrays it joins (the floors' inputs)."""
    days = source.get_trading_dates(max(ins.listed_date, dt - datetime.timedelta(days=365)), dt)
    keys, parts, need = [], [], count
    for day in reversed(days):
        key = (ins.market_code, day, "pre")
        keys.append(key)
        bars = source._minute_bar_cache[key]
        if bars is None:
            continue
        parts.append(bars)
        need -= len(resample_bars(ins, bars, None, int(freq[:-1])) if freq != "1m" else bars)
        if need <= 0:
            break
    return keys, parts[::-1]


def reference_rows(report, source, dt):
    """Warm minute queries against the plain-Python module of the same design, and against the
    floors every implementation pays: the cache reads, the resampler calls, the final copy."""
    ins = source.get_instruments([datasets.STOCK]).__next__()
    with twin_source() as plain:
        _reference_cases(report, source, ins, plain, plain.get_instruments([datasets.STOCK]).__next__(), dt)


def _reference_cases(report, source, ins, plain, plain_ins, dt):
    for freq, count, skip in REFERENCE_CASES:
        native = lambda: source.history_bars(ins, count, freq, None, dt, skip_suspended=skip)
        ref = lambda: plain.history_bars(plain_ins, count, freq, None, dt, skip_suspended=skip)
        first, expected = native(), ref()
        case = "%s %d bars%s" % (freq, count, " skip_suspended" if skip else "")
        report.check(datasets.same_array(first, expected), "%s: differs from the reference" % case)
        report.check(set(plain._minute_bar_cache.keys()) <= set(source._minute_bar_cache.keys()),
                     "%s: the reference cached keys the module did not" % case)
        report.add(versus_row("history", case, _loop(native), _loop(ref), "native/reference", report.settings,
                              target=TARGET_VS_REFERENCE[freq]))
        if skip:
            continue
        keys, parts = _walked_parts(source, ins, freq, count, dt)
        cache, resample = source._minute_bar_cache, int(freq[:-1])

        def lookups():
            for k in keys:
                if k in cache:
                    cache[k]
        report.add(versus_row("history", "%s %d bars" % (freq, count), _loop(native), _loop(lookups),
                              "native/LRU reads", report.settings, note="%d cache reads" % len(keys)))
        if resample != 1:
            resampled = lambda: [resample_bars(ins, p, None, resample) for p in parts]
            report.add(versus_row("history", "%s %d bars" % (freq, count), _loop(native), _loop(resampled),
                                  "native/resampler", report.settings, note="%d resampler calls" % len(parts)))
        joined = np.hstack(parts) if resample == 1 else first
        report.add(versus_row("history", "%s %d bars" % (freq, count), _loop(native), _loop(joined.copy),
                              "native/copy", report.settings, note="one copy of %d bars" % len(joined)))


def ndarray_row(report, source, dt):
    days = source.get_trading_dates(datasets.START, dt)
    frame = datasets.minute_frame(datasets.STOCK, days[-42:]).droplevel(0).iloc[-10000:]
    to_array = type(source)._ndarray_from_df
    result = to_array(frame, None)
    report.check(datasets.same_array(result, datasets.ndarray_from_df_reference(frame, None)),
                 "_ndarray_from_df: differs from the straightforward conversion")
    columns = [frame[c].values for c in frame.columns]
    times = np.array([convert_dt_to_int(t) for t in frame.index], dtype=np.uint64)
    dtype, names = result.dtype, list(frame.columns)

    def floor(n):
        for _ in range(n):
            out = np.empty(len(times), dtype=dtype)
            out["orig_time"] = times
            for name, col in zip(names, columns):
                out[name] = col

    def total(n):
        for _ in range(n):
            to_array(frame, None)
    report.add(versus_row("history", "_ndarray_from_df 10,000 rows", total, floor, "total/numpy copy",
                          report.settings, target=TARGET_NDARRAY,
                          note="%d columns; orig_time given ready-made to the floor" % (len(names) + 1)))

    # The same floor when numpy must also compute orig_time (YYYYMMDDHHMMSS) from the bar times,
    # vectorised: what a numpy-only conversion of this frame costs at the least.
    stamps = frame.index.values.view(np.int64)

    def floor_with_times(n):
        for _ in range(n):
            s = stamps // 1000000000
            d = s // 86400
            sod = s - d * 86400
            dd = d.astype("datetime64[D]")
            month_start = dd.astype("datetime64[M]")
            ymd = ((dd.astype("datetime64[Y]").astype(np.int64) + 1970) * 10000
                   + (month_start.astype(np.int64) % 12 + 1) * 100 + (dd - month_start).astype(np.int64) + 1)
            out = np.empty(len(stamps), dtype=dtype)
            out["orig_time"] = ymd * 1000000 + sod // 3600 * 10000 + sod // 60 % 60 * 100 + sod % 60
            for name, col in zip(names, columns):
                out[name] = col
    report.add(versus_row("history", "_ndarray_from_df 10,000 rows", total, floor_with_times,
                          "total/numpy convert+copy", report.settings, target=TARGET_NDARRAY,
                          note="floor computes orig_time from the bar times with numpy"))


def instruments_rows(report):
    with datasets.sized_data_source(5000) as (source, codes):
        stores = list(source._instruments_stores.values())
        report.check(len(list(source.get_instruments())) == 5000, "get_instruments(): not 5,000 instruments")
        report.check(sorted(i.market_code for i in source.get_instruments(codes)) == sorted(codes),
                     "get_instruments(ids): not the instruments asked for")

        def all_total(n):
            for _ in range(n):
                for _i in source.get_instruments():
                    pass

        def all_floor(n):
            for _ in range(n):
                for s in stores:
                    for _i in s.get_instruments(None):
                        pass
        report.add(versus_row("instruments", "get_instruments() 5,000", all_total, all_floor,
                              "total/stores", report.settings))
        store = source._instruments_stores["stock"]

        def ids_total(n):
            for _ in range(n):
                for _i in source.get_instruments(codes):
                    pass

        def ids_floor(n):
            for _ in range(n):
                for _i in store.get_instruments(codes):
                    pass
        report.add(versus_row("instruments", "get_instruments(5,000 ids)", ids_total, ids_floor,
                              "total/store", report.settings))
        some = codes[::100]
        with twin_source() as plain:
            for label, args in (("get_instruments(50 of 5,000 ids)", (some,)), ("get_instruments() 5,000", ())):
                native = lambda: list(source.get_instruments(*args))
                ref = lambda: list(plain.get_instruments(*args))
                report.check([i.market_code for i in native()] == [i.market_code for i in ref()],
                             "%s: differs from the reference" % label)
                report.add(versus_row("instruments", label, _loop(native), _loop(ref), "native/reference",
                                      report.settings, target=TARGET_VS_REFERENCE["instruments"]))


def run(report):
    with datasets.data_source() as (source, env):
        dt = datasets.last_trading_day()
        day_rows(report, source, dt)
        minute_rows(report, source, dt)
        reference_rows(report, source, dt)
        ndarray_row(report, source, dt)
    instruments_rows(report)
