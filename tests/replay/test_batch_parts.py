"""The parts of the batch that need no cluster: the days named on the command line, the days
of a recordings folder, placing a day's folder, the baseline lookup and comparison, the
account at the close, the table, and input refused before a cluster is started."""
import datetime as _dt
import json
import os
from types import SimpleNamespace

import pandas as pd
import pytest

from tessara_replay import batch_baseline as bb
from tessara_replay import cli
from tessara_replay.batch import _outcome, place_day
from tessara_replay.batch_days import BatchInputError, parse_days, recording_days, store_days
from tessara_replay.batch_report import batch_table
from tessara_replay.batch_task import DayJob, DayOutcome, _opening_account

D = _dt.date


@pytest.mark.parametrize("texts, expected", [
    (["2024-06-03:2024-06-07"], [("range", D(2024, 6, 3), D(2024, 6, 7))]),
    (["2024-06-03,2024-06-05"], [("day", D(2024, 6, 3), D(2024, 6, 3)),
                                 ("day", D(2024, 6, 5), D(2024, 6, 5))]),
    (["2024-06-03", " 2024-06-04 ,"], [("day", D(2024, 6, 3), D(2024, 6, 3)),
                                       ("day", D(2024, 6, 4), D(2024, 6, 4))]),
    (["2024-06-03:2024-06-03"], [("range", D(2024, 6, 3), D(2024, 6, 3))]),
])
def test_days_accepted(texts, expected):
    assert parse_days(texts) == expected


@pytest.mark.parametrize("text, message", [
    ("2024-6-3", "use YYYY-MM-DD"),
    ("20240603", "use YYYY-MM-DD"),
    ("2024-06-31", "not a date"),
    ("2024-06-07:2024-06-03", "ends before it begins"),
    ("2024-06-03:", "use YYYY-MM-DD"),
    ("2024-06-03:2024-06-04:2024-06-05", "use YYYY-MM-DD"),
    (",", "no days given"),
    ("", "no days given"),
])
def test_days_refused(text, message):
    with pytest.raises(BatchInputError, match=message):
        parse_days([text])


class _Calendar:
    meta = {"start": "2024-06-03", "end": "2024-06-28"}
    trading_dates = pd.bdate_range("2024-05-01", "2024-07-31").drop(pd.Timestamp("2024-06-10"))


@pytest.mark.parametrize("texts, expected", [
    (["2024-06-07:2024-06-11"], ["2024-06-07", "2024-06-11"]),       # a weekend and a holiday
    (["2024-06-05,2024-06-03:2024-06-05"], ["2024-06-05", "2024-06-03", "2024-06-04"]),
    (["2024-06-28"], ["2024-06-28"]),
])
def test_trading_days_of_the_store(texts, expected):
    assert store_days(_Calendar, parse_days(texts)) == expected


@pytest.mark.parametrize("text, message", [
    ("2024-06-10", "not a trading day"),
    ("2024-06-08:2024-06-09", "no trading day from"),
    ("2024-05-31:2024-06-04", "covers 2024-06-03 to 2024-06-28"),
    ("2024-07-01", "covers"),
])
def test_days_outside_the_store_refused(text, message):
    with pytest.raises(BatchInputError, match=message):
        store_days(_Calendar, parse_days([text]))


# recordings --------------------------------------------------------------------------------
def _recording_file(folder, name, day):
    """A minimal recording file of `day` (a header and no batch)."""
    import pyarrow as pa

    from tessara_replay.recording import reader
    schema = pa.schema([("x", pa.int8())], metadata={
        reader.FORMAT_KEY: reader.FORMAT_NAME, reader.VERSION_KEY: b"1", reader.DAY_KEY: day.encode()})
    with pa.ipc.new_stream(str(folder / name), schema):
        pass


def test_recording_days_keep_a_damaged_file_with_its_day(tmp_path):
    _recording_file(tmp_path, "2024-06-03.000.arrows", "2024-06-03")
    _recording_file(tmp_path, "2024-06-03.001.arrows", "2024-06-03")
    _recording_file(tmp_path, "renamed.arrows", "2024-06-05")       # the header decides
    (tmp_path / "2024-06-04.000.arrows").write_bytes(b"not arrow at all")
    (tmp_path / "junk.arrows").write_bytes(b"garbage")
    (tmp_path / "2024-06-06.000.arrows").write_bytes(b"")    # nothing recorded: fails on replay
    (tmp_path / "later.arrows").write_bytes(b"")              # names no day: nothing to replay
    days, unplaced = recording_days(str(tmp_path))
    assert {d: [os.path.basename(f) for f in fs] for d, fs in days.items()} == {
        "2024-06-03": ["2024-06-03.000.arrows", "2024-06-03.001.arrows"],
        "2024-06-04": ["2024-06-04.000.arrows"], "2024-06-05": ["renamed.arrows"],
        "2024-06-06": ["2024-06-06.000.arrows"]}
    assert list(unplaced) == ["junk.arrows"] and "not a recording" in unplaced["junk.arrows"]


@pytest.mark.parametrize("make, message", [
    (lambda p: p, "holds no recording files"),
    (lambda p: p / "missing", "no such recording"),
    (lambda p: (p / "later.arrows").write_bytes(b"") or p, "files are empty"),
])
def test_recording_folders_refused(tmp_path, make, message):
    with pytest.raises(BatchInputError, match=message):
        recording_days(str(make(tmp_path)))


def test_a_single_recording_file_is_not_a_folder(tmp_path):
    _recording_file(tmp_path, "2024-06-03.000.arrows", "2024-06-03")
    with pytest.raises(BatchInputError, match="not a folder of recordings"):
        recording_days(str(tmp_path / "2024-06-03.000.arrows"))


# placing a day's folder --------------------------------------------------------------------
def _outcome_of(day, files):
    return DayOutcome({"day": day, "status": "ok"}, files)


def test_a_day_folder_replaces_an_earlier_one_whole(tmp_path):
    out, scratch = tmp_path / "out", tmp_path / "out" / ".batch-x"
    scratch.mkdir(parents=True)
    place_day(_outcome_of("2024-06-03", {"events.jsonl": b"old\n", "stale.png": b"x"}), str(scratch), str(out))
    final = place_day(_outcome_of("2024-06-03", {"events.jsonl": b"new\n", "sub/chart.png": b"p"}),
                      str(scratch), str(out))
    assert final == str(out / "2024-06-03")
    assert sorted(os.listdir(final)) == ["events.jsonl", "sub"]
    assert (out / "2024-06-03" / "events.jsonl").read_bytes() == b"new\n"
    assert (out / "2024-06-03" / "sub" / "chart.png").read_bytes() == b"p"
    assert sorted(os.listdir(out)) == [".batch-x", "2024-06-03"]
    assert oct(os.stat(final).st_mode & 0o777) != oct(0o700)        # not mkdtemp's private mode


def test_a_task_the_cluster_gave_up_on_is_a_failed_day():
    from distributed.scheduler import KilledWorker

    class Future:
        def result(self):
            raise KilledWorker("replay-2024-06-03-0", SimpleNamespace(address="tcp://127.0.0.1:1"), 3)

    outcome = _outcome(Future(), DayJob("2024-06-03"))
    assert outcome.row["status"] == "failed" and outcome.files == {}
    assert outcome.row["reason"] == "its worker process died on each of 4 attempts (the last on tcp://127.0.0.1:1)"


# the baseline ------------------------------------------------------------------------------
def _lines(day, kinds):
    return ["".join(json.dumps({"at": "%sT09:%02d:00" % (day, k), "fields": {"x": k}, "kind": kind,
                                "n": k}, sort_keys=True, separators=(",", ":")))
            for k, kind in enumerate(kinds)]


def _write(path, lines):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(line + "\n" for line in lines))


def _files(lines):
    return {"events.jsonl": "".join(line + "\n" for line in lines).encode()}


@pytest.fixture
def baselines(tmp_path):
    batch, single = tmp_path / "batch", tmp_path / "single"
    _write(batch / "2024-06-03" / "events.jsonl", _lines("2024-06-03", ["TICK", "BAR", "TRADE"]))
    _write(single / "events.jsonl", _lines("2024-06-04", ["TICK", "BAR"]))
    return batch, single


@pytest.mark.parametrize("which, day, kinds, status, first", [
    ("batch", "2024-06-03", ["TICK", "BAR", "TRADE"], bb.IDENTICAL, None),
    ("batch", "2024-06-03", ["TICK", "TICK", "TRADE"], bb.DIFFERS, "differ at event 1"),
    ("batch", "2024-06-03", ["TICK", "BAR"], bb.DIFFERS, "differ at event 2"),       # one short
    ("batch", "2024-06-03", ["TICK", "BAR", "TRADE", "BAR"], bb.DIFFERS, "differ at event 3"),
    ("batch", "2024-06-04", ["TICK"], bb.MISSING, "no event stream of 2024-06-04"),
    ("single", "2024-06-04", ["TICK", "BAR"], bb.IDENTICAL, None),
    ("single", "2024-06-03", ["TICK", "BAR"], bb.MISSING, "no event stream of 2024-06-03"),
])
def test_a_day_against_the_baseline(baselines, which, day, kinds, status, first):
    folder = baselines[0] if which == "batch" else baselines[1]
    got, lines = bb.compare_day(str(folder), day, _files(_lines(day, kinds)))
    assert got == status
    assert (lines == []) if first is None else (first in lines[0])


def test_an_empty_stream_differs_from_a_baseline_with_events(baselines):
    assert bb.compare_day(str(baselines[0]), "2024-06-03", {})[0] == bb.DIFFERS


@pytest.mark.parametrize("make, message", [
    (lambda p: p / "nothing", "no such folder"),
    (lambda p: p, "holds no event stream"),
])
def test_a_baseline_without_streams_is_refused(tmp_path, make, message):
    (tmp_path / "2024-06-03").mkdir()
    with pytest.raises(BatchInputError, match=message):
        bb.check_baseline(str(make(tmp_path)))


# the account at the close ------------------------------------------------------------------
def _event(kind, fields):
    return json.dumps({"kind": kind, "fields": fields, "n": 0, "at": ""})


@pytest.mark.parametrize("lines, expected", [
    ([], (0.0, {})),
    ([_event("QUERY_ACCOUNT", {"asset": {"cash": 1000.5}})], (1000.5, {})),
    ([_event("QUERY_ACCOUNT", {"asset": None})], (0.0, {})),
    ([_event("QUERY_POSITION", {"positions": [{"market_code": "A.SH", "quantity": 100},
                                              {"market_code": "A.SH", "quantity": 50},
                                              {"market_code": None, "quantity": 7}]})],
     (0.0, {"A.SH": 150})),
    ([_event("TICK", {"note": "QUERY_ACCOUNT"})], (0.0, {})),
])
def test_the_opening_account_from_the_event_stream(lines, expected):
    assert _opening_account(lines) == expected


def test_the_table_fills_order_statuses_a_day_did_not_have():
    rows = [{"day": "2024-06-03", "source": "", "status": "ok", "reason": "", "events": 5,
             "callbacks": 4, "fills": 1, "orders_FILLED": 2, "cash": 1.0, "position_value": 2.0,
             "value": 3.0, "wall_s": 0.5, "worker": "w"},
            {"day": "2024-06-04", "source": "", "status": "failed", "reason": "boom",
             "worker": "w", "wall_s": 0.1}]
    table = batch_table(rows)
    assert list(table["orders_FILLED"]) == [2, 0] and list(table["fills"]) == [1, 0]
    assert "baseline" not in table
    assert batch_table([dict(rows[0], baseline="identical")])["baseline"].tolist() == ["identical"]


# refused before a cluster starts -----------------------------------------------------------
@pytest.mark.parametrize("args, message", [
    (["--days", "2024-6-3"], "use YYYY-MM-DD"),
    (["--days", "2024-06-03", "--workers", "0"], "number of workers must be at least 1"),
    (["--days", "2024-06-03", "-n", "0"], "number of instruments must be at least 1"),
    (["--days", "2024-06-03", "--baseline", "/nonexistent/base"], "no such folder"),
    (["--days", "2024-06-03", "--scheduler", "nonsense://127.0.0.1:1"], "cannot reach the scheduler"),
])
def test_bad_input_ends_with_status_2_and_one_line(args, message, capsys, tmp_path):
    assert cli.main(["batch", "-o", str(tmp_path / "out"), *args]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("statuses, chart, names", [
    (["ok", "failed", "ok"], True, ["batch.csv", "batch.parquet", "batch_value.png"]),
    (["ok", "ok"], False, ["batch.csv", "batch.parquet"]),
    (["failed"], True, ["batch.csv", "batch.parquet"]),          # no completed day to draw
])
def test_the_batch_files(tmp_path, statuses, chart, names):
    from tessara_replay.batch_report import write_batch_files
    rows = [{"day": "2024-06-%02d" % (3 + k), "source": "", "status": s, "reason": "" if s == "ok" else "x",
             "events": 9, "callbacks": 9, "fills": 1, "cash": 5.0, "position_value": 6.0,
             "value": 11.0 + k, "wall_s": 1.0, "worker": "w"} for k, s in enumerate(statuses)]
    files = write_batch_files(batch_table(rows), str(tmp_path), values_chart=chart)
    assert sorted(os.listdir(tmp_path)) == names                  # no partial file left
    assert sorted(os.path.basename(p) for p in files.values()) == names
    back = pd.read_parquet(tmp_path / "batch.parquet")
    assert list(back["status"]) == statuses and list(back["day"]) == [r["day"] for r in rows]


def test_the_cluster_is_a_dependency_of_the_replay_only():
    import importlib.metadata as md

    from packaging.requirements import Requirement

    def requirements(dist):
        return {r.name: r for r in map(Requirement, md.requires(dist) or ())}

    assert not {"dask", "distributed"} & set(requirements("corvane-tessara-native"))
    replay = requirements("tessara-replay")
    for name in ("dask", "distributed"):
        bounds = {spec.operator for spec in replay[name].specifier}
        assert bounds == {">=", "<"}, replay[name]


# a day's files written by the worker -------------------------------------------------------
def _replayed_files(folder):
    """Files as a single replay leaves them: some at the top, a chart one folder down."""
    paths = {}
    for name, data in (("events.jsonl", b"e\n"), ("summary.json", b"{}"), ("charts/day.png", b"p")):
        path = folder / "run" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        paths[name] = str(path)
    return paths


def test_the_worker_stages_the_day_s_files_in_the_scratch_folder(tmp_path):
    from tessara_replay.batch_task import stage_files
    scratch = tmp_path / "out" / ".batch-x"
    scratch.mkdir(parents=True)
    paths = _replayed_files(tmp_path / "tmp")
    staged = stage_files(paths.values(), str(scratch), "2024-06-03")
    assert os.path.dirname(staged) == str(scratch)
    assert oct(os.stat(staged).st_mode & 0o777) != oct(0o700)
    assert (tmp_path / "out" / ".batch-x" / os.path.basename(staged) / "charts" / "day.png").read_bytes() == b"p"
    assert not any(os.path.exists(p) for p in paths.values())        # moved, not copied
    final = place_day(DayOutcome({"day": "2024-06-03"}, staged=staged), str(scratch), str(tmp_path / "out"))
    assert sorted(os.listdir(final)) == ["charts", "events.jsonl", "summary.json"]
    assert os.listdir(scratch) == []


def test_a_vanished_scratch_folder_is_not_made_again(tmp_path):
    from tessara_replay.batch_task import stage_files
    paths = _replayed_files(tmp_path / "tmp")
    with pytest.raises(FileNotFoundError):
        stage_files(paths.values(), str(tmp_path / "out" / ".batch-gone"), "2024-06-03")
    assert not (tmp_path / "out").exists()


def test_only_a_folder_of_the_batch_s_scratch_is_put_in_place(tmp_path):
    scratch, elsewhere = tmp_path / "out" / ".batch-x", tmp_path / "elsewhere"
    scratch.mkdir(parents=True)
    elsewhere.mkdir()
    with pytest.raises(ValueError, match="not in the scratch folder"):
        place_day(DayOutcome({"day": "2024-06-03"}, staged=str(elsewhere)), str(scratch), str(tmp_path / "out"))
    assert elsewhere.is_dir() and not (tmp_path / "out" / "2024-06-03").exists()


@pytest.fixture
def fake_replay(monkeypatch, tmp_path):
    """replay_day with the single replay replaced by one that writes a few files; `fail`
    makes the day's figures raise after the files are written."""
    from tessara_replay import batch_task
    state = {"fail": False}

    def single_replay(job, tmp):
        from pathlib import Path
        files = _replayed_files(Path(tmp))
        return SimpleNamespace(files=files), None

    def figures(result, dataset):
        if state["fail"]:
            raise RuntimeError("no close")
        return {"events": 1}

    monkeypatch.setattr(batch_task, "_single_replay", single_replay)
    monkeypatch.setattr(batch_task, "figures", figures)
    return state


@pytest.mark.parametrize("marker, sees", [
    ("mark", True),        # the worker sees the batch's scratch folder: it stages the files
    ("other", False),      # a folder of that path, but not the batch's: the files go back
    ("", False),           # a job made without a scratch folder
])
def test_the_files_go_back_unless_the_worker_sees_the_scratch_folder(fake_replay, tmp_path, marker, sees):
    from tessara_replay.batch_task import replay_day
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    (scratch / "mark").write_bytes(b"")
    job = DayJob("2024-06-03", scratch=str(scratch) if marker else "", marker=marker)
    outcome = replay_day(job)
    assert outcome.row["status"] == "ok" and outcome.row["cpu_s"] >= 0
    if sees:
        assert outcome.files == {} and os.path.dirname(outcome.staged) == str(scratch)
        assert sorted(os.listdir(outcome.staged)) == ["charts", "events.jsonl", "summary.json"]
    else:
        assert outcome.staged == "" and os.listdir(scratch) == ["mark"]
        assert outcome.files == {"events.jsonl": b"e\n", "summary.json": b"{}",
                                 os.path.join("charts", "day.png"): b"p"}


def test_a_day_failing_after_its_files_are_staged_leaves_none(fake_replay, tmp_path):
    from tessara_replay.batch_task import replay_day
    fake_replay["fail"] = True
    (tmp_path / "mark").write_bytes(b"")
    outcome = replay_day(DayJob("2024-06-03", scratch=str(tmp_path), marker="mark"))
    assert (outcome.row["status"], outcome.row["reason"]) == ("failed", "RuntimeError: no close")
    assert outcome.staged == "" and outcome.files == {} and os.listdir(tmp_path) == ["mark"]


def test_the_scratch_folder_is_removed_while_a_late_task_still_writes_into_it(tmp_path):
    import threading
    import time

    from tessara_replay.batch import _remove_scratch
    scratch = tmp_path / ".batch-x"
    scratch.mkdir()
    started = threading.Event()

    def late_tasks():              # stage days into the scratch folder until it is gone
        for k in range(100):
            try:
                os.mkdir(scratch / ("d%d" % k))
                for n in range(20):
                    (scratch / ("d%d" % k) / ("f%d" % n)).write_bytes(b"x" * 100)
            except FileNotFoundError:
                return
            started.set()
            time.sleep(0)             # let the batch run between two days

    writer = threading.Thread(target=late_tasks)
    writer.start()
    started.wait(10)
    time.sleep(0.01)
    _remove_scratch(str(scratch))
    writer.join(10)
    assert not scratch.exists()


# the store, once per worker ----------------------------------------------------------------
@pytest.mark.parametrize("change, loads", [
    (lambda store, other: store, 1),                                   # the same store: cached
    (lambda store, other: (store / "meta.json").write_text('{"v": 22}') or store, 2),   # rewritten
    (lambda store, other: (store / "meta.json").unlink() or store, 2),  # no meta: not cached
    (lambda store, other: other, 2),                                   # another store
])
def test_the_store_is_loaded_once_per_worker_while_it_is_unchanged(monkeypatch, tmp_path, change, loads):
    from tessara_replay import batch_task, runner
    loaded = []
    monkeypatch.setattr(runner, "open_dataset", lambda store: loaded.append(store) or object())
    monkeypatch.setattr(batch_task, "_store_cache", None)
    store, other = tmp_path / "store", tmp_path / "other"
    for folder in (store, other):
        folder.mkdir()
        (folder / "meta.json").write_text('{"v": 1}')
    first = batch_task._dataset(str(store))
    again = batch_task._dataset(str(change(store, other)))
    assert len(loaded) == loads and (again is first) == (loads == 1)
