"""The replay works on every trading day of its own store, and for single instruments on
the days that stress it: a listing day, the first day after a suspension, the first and
the last day of the store."""
import concurrent.futures
import multiprocessing
import os
import subprocess
import sys

import pandas as pd
import pytest

from tessara_replay import cli, run_replay

from every_day_worker import replay_days


def _workers():
    return max(1, int(os.environ.get("CORVANE_REPLAY_WORKERS", min(2, os.cpu_count() or 1))))


def _sampled(days):
    """Every day, or with CORVANE_REPLAY_DAY_STRIDE=k (the extra rows of the CI matrix, which
    run the same code on other interpreters) every k-th day and the last one."""
    stride = max(1, int(os.environ.get("CORVANE_REPLAY_DAY_STRIDE", "1")))
    return days if stride == 1 else days[::stride] + ([days[-1]] if (len(days) - 1) % stride else [])


CHUNK_DAYS = 25


class _NoBar:
    def update(self, n):
        pass

    def close(self):
        pass


def _terminal_bar(total):
    """A progress bar on the terminal the tests were started from; none when that is not a
    terminal."""
    if not sys.stderr.isatty():
        return _NoBar()
    from tqdm import tqdm
    return tqdm(total=total, unit="day", desc="every-day replay", leave=False, dynamic_ncols=True)


def test_every_trading_day_of_the_store(store, store_dataset, tmp_path, capsys):
    ds = store_dataset
    days = [str(d.date()) for d in ds.trading_dates_between(ds.meta["start"], ds.meta["end"])]
    assert days[0] == ds.meta["start"] and days[-1] == ds.meta["end"] and len(days) > 400
    days = _sampled(days)
    n = _workers()
    # runs of consecutive days: a day's warm-up then finds the days before in the dataset's
    # cache; runs of CHUNK_DAYS, so that the progress bar moves while the workers go on
    chunks = [days[k:k + CHUNK_DAYS] for k in range(0, len(days), CHUNK_DAYS)]
    with capsys.disabled():             # the bar goes to the terminal, past pytest's capture
        failures = _replay_chunks(store, chunks, n, tmp_path, _terminal_bar(len(days)))
    assert sorted(failures) == []


def _replay_chunks(store, chunks, n, tmp_path, bar):
    failures = []
    if n == 1 or len(chunks) == 1:
        for k, chunk in enumerate(chunks):
            failures += replay_days(store, chunk, str(tmp_path / str(k)))
            bar.update(len(chunk))
    else:
        # spawned, not forked: the parent's Parquet reader threads do not survive a fork
        with concurrent.futures.ProcessPoolExecutor(
                n, mp_context=multiprocessing.get_context("spawn")) as pool:
            futures = {pool.submit(replay_days, store, chunk, str(tmp_path / str(k))): len(chunk)
                       for k, chunk in enumerate(chunks)}
            for done in concurrent.futures.as_completed(futures):
                failures += done.result()
                bar.update(futures[done])
    bar.close()
    return failures


def _suspended_before(ds, code, day):
    previous = ds.previous_trading_date(pd.Timestamp(day))
    return previous in set(ds.suspended_days(code))


@pytest.mark.parametrize("code, day, why", [
    ("001872.SZ", "2024-04-08", "listing day"),
    ("001872.SZ", "2024-04-09", "second day after listing"),
    ("688111.SH", "2023-06-15", "listing day"),
    ("600000.SH", "2024-12-30", "after a suspension"),
    ("001872.SZ", "2024-12-17", "after a suspension"),
    ("601318.SH", "2023-03-30", "after a suspension"),
    ("000002.SZ", "2023-02-27", "after a suspension"),
    ("600000.SH", "2023-01-03", "first day of the store"),
    ("600000.SH", "2024-12-31", "last day of the store"),
    ("159915.SZ", "2024-12-31", "a fund, last day"),
])
def test_single_instrument_days(store, store_dataset, tmp_path, code, day, why):
    ds = store_dataset
    if why == "listing day":
        assert ds.profile(code)["listed_date"] == pd.Timestamp(day)
    if "after a suspension" in why:
        assert _suspended_before(ds, code, day)
    result = run_replay(day=day, codes=[code], dataset=ds, out_dir=str(tmp_path), fast=True)
    assert result.codes == [code] and result.events["BAR"] == 240
    assert result.checks == {"passed": 240}


@pytest.mark.parametrize("args", [
    ["--day", "2023-01-03"],
    ["--day", "2024-12-31", "--code", "600000.SH", "--no-chart"],
])
def test_first_and_last_day_from_the_command_line(store, tmp_path, args):
    """As a user runs it: a new interpreter, the console entry point, exit status 0."""
    out = tmp_path / "out"
    proc = subprocess.run(
        [sys.executable, "-m", "tessara_replay", "--store", store, "--out", str(out), "-q",
         "--fast"] + args, capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert {"summary.txt", "fills.csv", "orders.parquet"} <= set(os.listdir(out))


def test_fast_mode_leaves_out_level2_and_charts(store, tmp_path):
    assert cli.main(["--store", store, "--out", str(tmp_path), "-q", "--fast", "-n", "1"]) == 0
    names = os.listdir(tmp_path)
    assert not [n for n in names if n.endswith(".png")]
    import json
    with open(tmp_path / "summary.json") as f:
        summary = json.load(f)
    assert summary["fast"] is True
    assert "L2_ORDER" not in summary["events"] and summary["events"]["TICK"] == 240
