"""What a batch leaves beside its day folders: `batch.parquet` and `batch.csv` with a row per
day, a chart of the strategy's value at each day's close, and the summary table printed at
the end. The files are written under scratch names and renamed into place together."""
import math
import os

LEADING = ["day", "source", "status", "reason", "events", "callbacks", "fills"]
TRAILING = ["cash", "position_value", "value", "wall_s", "cpu_s", "worker", "baseline"]
CHART = "batch_value.png"


def batch_table(rows):
    """The rows as a DataFrame: the fixed columns, then one `orders_<STATUS>` column per final
    order status seen on any day (0 where a day has none)."""
    import pandas as pd
    orders = sorted({k for r in rows for k in r if k.startswith("orders_")})
    columns = LEADING + orders + [c for c in TRAILING if c != "baseline" or
                                  any("baseline" in r for r in rows)]
    table = pd.DataFrame(rows, columns=columns)
    for name in ["events", "callbacks", "fills"] + orders:
        table[name] = table[name].fillna(0).astype("int64")
    for name in ("reason", "source", "worker") + (("baseline",) if "baseline" in table else ()):
        table[name] = table[name].fillna("").astype(str)
    return table


def write_batch_files(table, out_dir, values_chart=True):
    """batch.parquet, batch.csv (and the value chart) in `out_dir`; {kind: path}."""
    names = {"parquet": "batch.parquet", "csv": "batch.csv"}
    if values_chart and (table["status"] == "ok").any():
        names["chart"] = CHART
    staged = {kind: os.path.join(out_dir, ".%s.partial" % name) for kind, name in names.items()}
    try:
        table.to_parquet(staged["parquet"], index=False)
        table.to_csv(staged["csv"], index=False)
        if "chart" in names:
            draw_value_chart(staged["chart"], table)
        final = {}
        for kind, name in names.items():
            final[kind] = os.path.join(out_dir, name)
            os.replace(staged[kind], final[kind])
        return final
    finally:
        for path in staged.values():
            if os.path.exists(path):
                os.remove(path)


def draw_value_chart(path, table):
    """The value at the close (cash and positions) of each completed day. Cash alone is left
    out: the simulated account does not limit buying, so it can swing far below zero while the
    value moves little, and would flatten the value's line."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd
    from matplotlib.ticker import FuncFormatter
    done = table[table["status"] == "ok"]
    days = pd.to_datetime(done["day"])
    fig, ax = plt.subplots(figsize=(10, 4.5), dpi=100)
    try:
        ax.plot(days, done["value"], marker="o", markersize=3, linewidth=1.4)
        ax.set_title("Strategy value at the close (cash and positions), %d days" % len(done))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: "{:,.0f}".format(v)))
        ax.grid(alpha=0.3)
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)


def _money(v):
    return "" if v is None or (isinstance(v, float) and math.isnan(v)) else "{:,.2f}".format(v)


def summary_text(table, result):
    """The table printed at the end: a line per day, then the totals and the days that failed
    or differ from the baseline, with their reasons."""
    has_baseline = "baseline" in table
    head = "%-10s %-7s %8s %9s %6s %7s %16s %9s  %s" % (
        "day", "status", "events", "callbacks", "fills", "orders", "value", "wall s", "worker")
    if has_baseline:
        head += "  baseline"
    out = [head]
    orders = [c for c in table.columns if c.startswith("orders_")]
    for _, r in table.iterrows():
        line = "%-10s %-7s %8d %9d %6d %7d %16s %9.2f  %s" % (
            r["day"] or "?", r["status"], r["events"], r["callbacks"], r["fills"],
            sum(int(r[c]) for c in orders), _money(r["value"]), r["wall_s"], r["worker"])
        if has_baseline:
            line += "  " + r["baseline"]
        out.append(line.rstrip())
    n, failed = len(table), int((table["status"] != "ok").sum())
    rate = n / result.elapsed if result.elapsed > 0 else float("inf")
    out.append("")
    out.append("%d day%s on %d worker%s in %.1f s (%.2f days per second): %d ok, %d failed"
               % (n, "" if n == 1 else "s", result.workers, "" if result.workers == 1 else "s",
                  result.elapsed, rate, n - failed, failed))
    for _, r in table[table["status"] != "ok"].iterrows():
        out.append("  failed %s: %s" % (r["day"] or r["source"], r["reason"]))
    if has_baseline:
        same = int((table["baseline"] == "identical").sum())
        out.append("baseline: %d of %d days identical" % (same, n))
        for day, lines in sorted(result.differences.items()):
            out.append("  %s: %s" % (day, lines[0]))
            out.extend("  " + line for line in lines[1:])
    return "\n".join(out) + "\n"
