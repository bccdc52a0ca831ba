"""Type-checked (mypy, .ci/steps) against the installed stubs: how the framework and strategies
use the three modules. Every line must check cleanly, and each `type: ignore[...]` line must
fail with exactly that error code, so a stub that loses a parameter or a name shows."""
import datetime
from typing import Any, Optional

import pandas

from corvane.tessara.datac.services.index import index_components, index_weights
from corvane.tessara.mod.mod_quant_data.data_sources.histsource import OstraDataDataSource
from corvane.tessara.utils import livefeed
from corvane.tessara.utils.livefeed import VornStrategy, get_current_bar, get_current_tick, history_bars, history_ticks


def latest_price(market_code: str) -> Optional[float]:
    tick = get_current_tick(market_code)
    if tick is None:
        return None
    return float(tick["last"])


def recent(market_code: str) -> int:
    ticks = history_ticks(market_code, 5) or []
    bars = history_bars(market_code, 0) or []
    bar = get_current_bar(market_code)
    return len(ticks) + len(bars) + (0 if bar is None else 1)


def drive(strategy: VornStrategy, config: Any, record: Any) -> None:
    strategy.initialize(config)
    strategy.on_initialize()
    strategy.on_snapshot(record)
    strategy.on_bar(record)
    strategy.on_query_asset(record, 1, 0, "")
    strategy.on_query_position(query_position_res=record, request_id=2, code=0, msg="")
    strategy.on_order(record)
    strategy.send_before_trading_event()
    livefeed.orders_dict["client-1"] = record


def history(source: OstraDataDataSource, instrument: Any, dt: datetime.datetime) -> object:
    source.get_instruments(id_or_syms=["000001.SZ"])
    source.get_yield_curve(dt, dt)
    return source.history_bars(instrument, 10, "1d", ["close"], dt, skip_suspended=False)


def constituents(day: datetime.date) -> int:
    frames: list[Optional[pandas.DataFrame]] = [
        index_components("000300.SH"),
        index_components("000300.SH", day),
        index_weights(market_code="000300.SH", date=datetime.datetime(2024, 1, 5, 9, 30)),
    ]
    return sum(0 if f is None else len(f) for f in frames)


def readers_of(name: str) -> tuple[str, ...]:
    for row_name, _source, _attr, _pristine, used_by in livefeed._outside_names:
        if row_name == name:
            return used_by
    return ()


# Mistakes the stubs must catch.
get_current_tick()  # type: ignore[call-arg]
history_ticks("000001.SZ", "5")  # type: ignore[arg-type]
index_weights("000300.SH", date="2024-01-05")  # type: ignore[arg-type]
livefeed.no_such_name  # type: ignore[attr-defined]
livefeed._outside_names[0][2].upper()  # type: ignore[union-attr]


def wrong_calls(strategy: VornStrategy, source: OstraDataDataSource) -> None:
    strategy.on_query_asset(None, 1)  # type: ignore[call-arg]
    source.history_bars()  # type: ignore[call-arg]
