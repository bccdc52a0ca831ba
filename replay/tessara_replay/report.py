"""What a replay leaves behind: the summary table (printed and written as text and
JSON), the fills and orders (CSV and Parquet) and a chart per instrument. Files are
written into a scratch folder first, which replaces the output folder as a whole at the
end, so an interrupted run leaves no partial results and no earlier run's files stay."""
import json
import os


def _rows(result):
    yield "Replay of %s: %s (%s)" % (result.day, plural(len(result.codes), "instrument"),
                                     ", ".join(result.codes))
    yield store_line(result.store, result.store_info)
    yield "strategy %s%s" % (result.strategy, "; fast mode (no level-2 records)" if result.fast else "")
    if result.source:
        yield "terminal callbacks from the recording %s%s" % (
            result.source, "; %d of them raised" % result.callback_errors if result.callback_errors else "")
    yield "simulated 00:00 to 15:31 in %.2f s of wall-clock time" % result.elapsed
    yield ""
    yield "Events by kind"
    for kind, n in sorted(result.events.items(), key=lambda kv: (-kv[1], kv[0])):
        yield "  %-28s %8d" % (kind, n)
    yield "  %-28s %8d" % ("total", sum(result.events.values()))
    yield ""
    yield "%-30s %8d" % ("Terminal callbacks", result.callbacks)
    yield "%-30s %8.0f" % ("Callbacks per second", result.callbacks_per_second)
    yield "%-30s %8d" % ("Event queue high-water mark", result.high_water)
    yield "%-30s %8d   %s" % ("Remote data-client calls", sum(result.data_calls.values()),
                              _counts(result.data_calls))
    yield "%-30s %8d   %s" % ("Remote gateway calls", sum(result.gateway_calls.values()),
                              _counts(result.gateway_calls))
    yield "%-30s %8d   of %d history queries" % ("History cache hits", result.cache_hits,
                                                  result.history_queries)
    yield "%-30s %s" % ("Day events", ", ".join("%s %s" % (k, v.strftime("%H:%M:%S"))
                                             for k, v in sorted(result.day_events.items(),
                                                                key=lambda kv: kv[1])))
    yield ""
    yield "Orders by final status"
    for status, n in sorted(result.orders.items()):
        yield "  %-28s %8d" % (status, n)
    if result.algo:
        yield "Algorithmic order %d: %s, %d of %d filled" % (
            result.algo["id"], result.algo["status"], result.algo["filled"],
            result.algo["quantity"])
    yield "Fills: %d (%s)" % (len(result.fills), _counts(_by_side(result.fills)))
    if result.checks:
        yield "Accessor checks on bars: %s" % _counts(result.checks)


def store_line(path, info):
    """Which data the run replayed: the store folder, its generation and its imports."""
    where = "data store %s" % path if path else "in-memory dataset"
    if not info:
        return where
    text = "%s (generated with seed %s, %s to %s" % (where, info.get("seed"), info.get("start"),
                                                       info.get("end"))
    imports = info.get("imported") or []
    if imports:
        last = imports[-1]
        text += "; %s, the last %s at %s" % (plural(len(imports), "imported file"),
                                             last.get("file"), last.get("at"))
    else:
        text += "; nothing imported"
    return text + ")"


def plural(n, noun):
    """"1 instrument", "2 instruments", "1 fill", "0 fills"."""
    return "%d %s%s" % (n, noun, "" if n == 1 else "s")


def _counts(counter):
    return ", ".join("%s %d" % kv for kv in sorted(counter.items())) or "none"


def _by_side(fills):
    out = {}
    for fill in fills:
        key = fill["side"] if fill["kind"] == "order" else "%s %s" % (fill["kind"], fill["side"])
        out[key] = out.get(key, 0) + 1
    return out


def summary_text(result):
    return "\n".join(_rows(result)) + "\n"


def _json(result):
    return {
        "day": str(result.day), "instruments": result.codes, "strategy": result.strategy,
        "fast": result.fast, "store": result.store, "store_origin": result.store_info,
        "elapsed_s": result.elapsed, "recording": result.source or None,
        "callbacks": result.callbacks, "callbacks_per_second": result.callbacks_per_second,
        "events": result.events, "queue_high_water": result.high_water,
        "data_client_calls": result.data_calls, "gateway_calls": result.gateway_calls,
        "history_queries": result.history_queries, "cache_hits": result.cache_hits,
        "day_events": {k: v.isoformat() for k, v in result.day_events.items()},
        "orders": result.orders, "algo": result.algo, "accessor_checks": result.checks,
        "fills": [dict(f, time=f["time"].isoformat()) for f in result.fills],
    }


def _tables(result, scratch):
    """fills and orders, each as CSV and Parquet; returns {kind: file name}."""
    names = {}
    for kind, table in (("fills", result.fill_table), ("orders", result.order_table)):
        names[kind + "_csv"] = kind + ".csv"
        table.to_csv(os.path.join(scratch, kind + ".csv"), index=False)
        names[kind + "_parquet"] = kind + ".parquet"
        table.to_parquet(os.path.join(scratch, kind + ".parquet"), index=False)
    return names


def write_outputs(result, scratch, out_dir, chart=True, before_move=None, publish=None,
                  progress=False):
    """Write everything into `scratch`, then (after `before_move()`, which may raise to stop
    it) put it in place: `publish()` replaces `out_dir` by the scratch folder as a whole;
    without it the files are moved into `out_dir`. Returns the final paths by kind."""
    names = {"summary": "summary.txt", "json": "summary.json"}
    with open(os.path.join(scratch, names["summary"]), "w", encoding="utf-8") as f:
        f.write(summary_text(result))
    with open(os.path.join(scratch, names["json"]), "w", encoding="utf-8") as f:
        json.dump(_json(result), f, indent=1)
    names.update(_tables(result, scratch))
    from .events import EVENTS_FILE
    names["events"] = EVENTS_FILE
    with open(os.path.join(scratch, EVENTS_FILE), "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in result.event_lines))
    if chart:
        from . import chart as _chart
        jobs = []
        for data in result.charts:
            name = "chart_%s_%s.png" % (data.code, result.day.strftime("%Y%m%d"))
            names["chart_" + data.code] = name
            jobs.append((os.path.join(scratch, name), data))
        _chart.draw_charts(jobs, result, progress=progress)
    if before_move is not None:
        before_move()
    final = {kind: os.path.join(out_dir, name) for kind, name in names.items()}
    if publish is not None:
        publish()
        return final
    for kind, name in names.items():
        os.replace(os.path.join(scratch, name), final[kind])
    return final
