"""The batch on real clusters: an embedded LocalCluster gives the single runs' event streams
byte for byte; on a scheduler and workers started here (127.0.0.1 only) a killed worker's
day appears once, a failing day leaves the others complete, and the baseline gate finds a
changed day."""
import json
import os
import shutil
import subprocess
import sys
import time

import pandas as pd
import pytest

from corvane import harness
from tessara_replay import cli, run_replay

DAYS = ["2024-06-03", "2024-06-04", "2024-06-05", "2024-06-06", "2024-06-07"]


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    from corvane.dataset import generate
    path = tmp_path_factory.mktemp("store")
    generate(start="2024-04-01", end="2024-06-28").save(str(path))
    return str(path)


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """The address of a scheduler with two one-thread workers (under nannies, which restart a
    worker that dies), each a process of its own as on a cluster."""
    base = tmp_path_factory.mktemp("cluster")
    info = base / "scheduler.json"
    dask = [sys.executable, "-m", "dask"]
    procs = [subprocess.Popen(dask + ["scheduler", "--host", "127.0.0.1", "--port", "0",
                                      "--no-dashboard", "--scheduler-file", str(info)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        _wait(lambda: info.exists() and info.stat().st_size > 0, "the scheduler")
        procs.append(subprocess.Popen(
            dask + ["worker", "--scheduler-file", str(info), "--nworkers", "2", "--nthreads", "1",
                    "--host", "127.0.0.1", "--no-dashboard", "--local-directory", str(base)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        address = json.loads(info.read_text())["address"]
        from distributed import Client
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
        yield address
    finally:
        for proc in reversed(procs):
            proc.terminate()
        for proc in reversed(procs):
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def _wait(ready, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline:
            raise AssertionError("%s did not start" % what)
        time.sleep(0.2)


def _batch(store, out, *extra):
    return cli.main(["batch", "--store", store, "-o", str(out), "-q", "--fast", "--no-chart", *extra])


def _table(out):
    return pd.read_csv(out / "batch.csv", dtype={"day": str}, keep_default_na=False)


def _day_folders(out):
    return sorted(n for n in os.listdir(out) if os.path.isdir(out / n))


@pytest.fixture(scope="module")
def five_days(store, tmp_path_factory):
    """A five-day batch on an embedded two-worker LocalCluster."""
    out = tmp_path_factory.mktemp("five")
    assert _batch(store, out, "--days", "%s:%s" % (DAYS[0], DAYS[-1]), "--workers", "2") == 0
    return out


def test_a_batch_replays_each_day_as_the_single_run_does(store, five_days, tmp_path):
    assert _day_folders(five_days) == DAYS          # no scratch folder left beside them
    table = _table(five_days)
    assert list(table["day"]) == DAYS and set(table["status"]) == {"ok"}
    dataset = harness.use_store(store)
    for day, row in zip(DAYS, table.to_dict("records")):
        result = run_replay(day=day, dataset=dataset, out_dir=str(tmp_path / day), fast=True)
        assert (five_days / day / "events.jsonl").read_bytes() == \
               (tmp_path / day / "events.jsonl").read_bytes()
        assert (row["events"], row["fills"]) == (sum(result.events.values()), len(result.fills))
        orders = {k[len("orders_"):]: v for k, v in row.items() if k.startswith("orders_") and v}
        assert orders == result.orders
    assert pd.read_parquet(five_days / "batch.parquet")["day"].tolist() == DAYS


# strategies the faults are made with ------------------------------------------------------
_STRATEGIES = '''
import os, signal
from tessara_replay.strategy import DemoStrategy

class DiesOnce(DemoStrategy):
    """Kills its worker process the first time it replays DAY (MARKER notes that it did)."""
    def __init__(self, ctx):
        super().__init__(ctx)
        if str(ctx.day) == DAY and not os.path.exists(MARKER):
            open(MARKER, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)

class FailsOn(DemoStrategy):
    def open_auction(self, event):
        if str(self.ctx.day) == DAY:
            raise RuntimeError("no trading today")
        return super().open_auction(event)
'''


@pytest.fixture
def strategies(tmp_path):
    path = tmp_path / "faulty.py"
    marker = tmp_path / "died"
    path.write_text("DAY = %r\nMARKER = %r\n" % (DAYS[1], str(marker)) + _STRATEGIES)
    return path, marker


def test_a_killed_worker_s_day_is_rerun_and_written_once(store, scheduler, strategies, five_days, tmp_path):
    path, marker = strategies
    out = tmp_path / "out"
    assert _batch(store, out, "--days", ",".join(DAYS[:3]), "--scheduler", scheduler,
                  "--strategy", "%s:DiesOnce" % path) == 0
    assert marker.exists()                          # the worker did die on that day
    assert _day_folders(out) == DAYS[:3]
    table = _table(out)
    assert list(table["day"]) == DAYS[:3] and set(table["status"]) == {"ok"}
    for day in DAYS[:3]:
        assert (out / day / "events.jsonl").read_bytes() == (five_days / day / "events.jsonl").read_bytes()


def test_a_failing_day_leaves_the_others_complete(store, scheduler, strategies, capsys, tmp_path):
    path, _ = strategies
    out = tmp_path / "out"
    status = cli.main(["batch", "--store", store, "-o", str(out), "--fast", "--no-chart",
                       "--days", ",".join(DAYS[:3]), "--scheduler", scheduler,
                       "--strategy", "%s:FailsOn" % path])
    assert status == 1
    table = _table(out).set_index("day")
    assert list(table["status"]) == ["ok", "failed", "ok"]
    reason = table.loc[DAYS[1], "reason"]
    assert reason.startswith("strategy failed:") and "no trading today" in reason and "\n" not in reason
    assert _day_folders(out) == [DAYS[0], DAYS[2]]
    printed = capsys.readouterr().out
    assert "2 ok, 1 failed" in printed and "failed %s: strategy failed" % DAYS[1] in printed


def test_the_baseline_gate_finds_a_changed_day(store, scheduler, five_days, capsys, tmp_path):
    baseline = tmp_path / "baseline"
    shutil.copytree(five_days, baseline)
    stream = baseline / DAYS[1] / "events.jsonl"
    lines = stream.read_text().splitlines(keepends=True)
    event = json.loads(lines[40])
    event["at"] = "2024-06-04T09:31:00.000001"
    lines[40] = json.dumps(event, sort_keys=True, separators=(",", ":")) + "\n"
    stream.write_text("".join(lines))
    out = tmp_path / "out"
    assert cli.main(["batch", "--store", store, "-o", str(out), "--fast", "--no-chart",
                     "--days", ",".join(DAYS[:3]), "--scheduler", scheduler,
                     "--baseline", str(baseline)]) == 3
    table = _table(out)
    assert list(table["baseline"]) == ["identical", "differs", "identical"]
    printed = capsys.readouterr().out
    assert "baseline: 2 of 3 days identical" in printed
    assert "%s: event streams differ at event 40" % DAYS[1] in printed
    assert "at: " in printed                        # the differing field of that event
    # the unchanged batch passes the gate
    assert _batch(store, tmp_path / "again", "--days", ",".join(DAYS[:3]), "--scheduler",
                  scheduler, "--baseline", str(five_days)) == 0


@pytest.mark.parametrize("args, message", [
    (["--days", "2024-07-01"], "the data store covers 2024-04-01 to 2024-06-28"),
    (["--days", "2024-06-08"], "not a trading day"),
    (["--days", "2024-06-08:2024-06-09"], "no trading day from"),
    (["--recordings", "/nonexistent/rec"], "no such recording"),
    (["--days", "2024-06-03", "--strategy", "/nonexistent/mine.py:Mine"], "mine.py"),
])
def test_input_that_names_no_day_is_refused_on_the_cluster(store, scheduler, args, message, capsys, tmp_path):
    out = tmp_path / "out"
    assert _batch(store, out, "--scheduler", scheduler, *args) == 2
    assert message in capsys.readouterr().err
    assert not out.exists() or os.listdir(out) == []


def test_a_folder_of_recordings_replays_each_day_and_a_damaged_day_fails_alone(
        store, scheduler, tmp_path):
    rec, originals = tmp_path / "rec", tmp_path / "originals"
    dataset = harness.use_store(store)
    for day in DAYS[:2]:
        run_replay(day=day, dataset=dataset, out_dir=str(originals / day), fast=True,
                   codes=["600000.SH", "600519.SH"], record=str(rec))
    (rec / ("%s.000.arrows" % DAYS[2])).write_bytes(b"cut off before its header")
    (rec / "notes.arrows").write_bytes(b"not a recording")
    out = tmp_path / "out"
    assert _batch(store, out, "--recordings", str(rec), "--scheduler", scheduler) == 1
    table = _table(out)
    assert list(zip(table["day"], table["status"])) == [
        ("", "failed"), (DAYS[0], "ok"), (DAYS[1], "ok"), (DAYS[2], "failed")]
    assert table["source"].iloc[0] == str(rec / "notes.arrows")
    assert "not a recording" in table["reason"].iloc[3]
    assert _day_folders(out) == DAYS[:2]
    for day in DAYS[:2]:                  # a recorded day replays to the recorded run's stream
        assert (out / day / "events.jsonl").read_bytes() == (originals / day / "events.jsonl").read_bytes()


def test_ctrl_c_stops_the_cluster_and_leaves_only_complete_days(store, tmp_path):
    import signal
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [sys.executable, "-m", "tessara_replay", "batch", "--store", store, "-o", str(out), "-q",
         "--fast", "--no-chart", "--workers", "1", "--days", "2024-06-03:2024-06-28"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        # A shell started in the background (CI's second lane) ignores SIGINT and hands that on;
        # the batch gets the default handling a terminal's foreground job has.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        _wait(lambda: out.exists() and any(n.startswith("2024") for n in os.listdir(out)),
              "the first day", timeout=120)
        os.killpg(proc.pid, signal.SIGINT)      # as a terminal sends it: to the whole group
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 130 and err.strip().endswith("interrupted")
    days = os.listdir(out)
    assert days and all(n.startswith("2024-06-") for n in days)       # no scratch, no table
    for day in days:
        assert {"events.jsonl", "summary.json", "orders.csv"} <= set(os.listdir(out / day))
