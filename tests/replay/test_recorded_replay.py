"""A replay recorded while it runs replays to the identical event stream; recordings that
cannot be replayed are refused before anything is written; --compare shows the first
event where two runs part."""
import json
import os

import pytest

from corvane import harness
from tessara_replay import cli
from tessara_replay.recording import writer

DAY = "2024-06-17"


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    from corvane.dataset import generate
    path = tmp_path_factory.mktemp("store")
    generate(start="2024-04-01", end="2024-06-28").save(str(path))
    return str(path)


@pytest.fixture(autouse=True)
def keep_client_dataset():
    with harness.dataset_restored():
        yield


def _replay(store, out, *extra):
    return cli.main(["--store", store, "-o", str(out), "-q", "--no-chart", *extra])


@pytest.fixture(scope="module")
def recorded(store, tmp_path_factory):
    """A replay of the data store's day, recorded while it ran."""
    base = tmp_path_factory.mktemp("recorded")
    with harness.dataset_restored():
        assert _replay(store, base / "out", "--day", DAY, "-n", "3", "--record", str(base / "rec")) == 0
    return base / "rec", base / "out"


def test_a_recorded_replay_replays_to_the_identical_event_stream(store, recorded, tmp_path, capsys):
    rec, original = recorded
    assert _replay(store, tmp_path / "a", "--recording", str(rec), "--compare", str(original)) == 0
    assert _replay(store, tmp_path / "b", "--recording", str(rec),
                   "--compare", str(tmp_path / "a" / "events.jsonl")) == 0
    out = capsys.readouterr().out
    first = (original / "events.jsonl").read_bytes()
    assert (tmp_path / "a" / "events.jsonl").read_bytes() == first
    assert (tmp_path / "b" / "events.jsonl").read_bytes() == first
    assert out.count("event streams are identical") == 2
    kinds = {json.loads(line)["kind"] for line in first.decode().splitlines()}
    assert {"TICK", "BAR", "L2_ORDER", "TRADE", "BEFORE_TRADING", "AFTER_TRADING",
            "PARENT_ORDER_UPDATE", "QUERY_POSITION"} <= kinds
    summary = json.loads((tmp_path / "a" / "summary.json").read_text())
    assert summary["recording"] == os.path.abspath(rec)
    assert summary["orders"] == json.loads((original / "summary.json").read_text())["orders"]


def test_compare_prints_the_first_differing_event(store, recorded, tmp_path, capsys):
    rec, original = recorded
    lines = (original / "events.jsonl").read_text().splitlines()
    k = next(i for i, line in enumerate(lines) if '"kind":"TRADE"' in line)
    event = json.loads(lines[k])
    event["fields"]["trade"]["price"] += 0.01
    lines[k] = json.dumps(event, sort_keys=True, separators=(",", ":"))
    other = tmp_path / "other.jsonl"
    other.write_text("\n".join(lines) + "\n")
    assert _replay(store, tmp_path / "a", "--recording", str(rec), "--compare", str(other)) == 3
    out = capsys.readouterr().out
    assert "event streams differ at event %d" % k in out
    assert "fields.trade.price:" in out


def _cut(rec, tmp_path):
    folder = tmp_path / "cut"
    folder.mkdir()
    name = sorted(os.listdir(rec))[0]
    data = (rec / name).read_bytes()
    (folder / name).write_bytes(data[: len(data) - 200])     # into the last batch
    return folder, name


def _newer(rec, tmp_path, monkeypatch):
    from tessara_replay.recording import Recorder, layouts
    monkeypatch.setattr(writer, "FORMAT_VERSION", 7)
    r = Recorder(tmp_path / "newer", fsync=False)
    r.add(layouts.CALLBACK_NAMES.index("on_initialize"), ())
    r.close()
    monkeypatch.undo()
    return tmp_path / "newer", r.paths[0]


@pytest.mark.parametrize("case", ["missing", "empty folder", "foreign", "truncated", "newer"])
def test_bad_recording_is_refused_and_nothing_is_written(store, recorded, tmp_path, capsys,
                                                         monkeypatch, case):
    rec, _ = recorded
    if case == "missing":
        folder, expect = tmp_path / "nowhere", "nowhere: no such recording"
    elif case == "empty folder":
        folder = tmp_path / "empty"
        folder.mkdir()
        expect = "empty: holds no recording files"
    elif case == "foreign":
        folder = tmp_path / "foreign"
        folder.mkdir()
        (folder / "2024-06-17.000.arrows").write_text("market_code,date\n")
        expect = "2024-06-17.000.arrows: not a recording (not an Arrow IPC stream"
    elif case == "truncated":
        folder, name = _cut(rec, tmp_path)
        expect = name + ": truncated after "
    else:
        folder, path = _newer(rec, tmp_path, monkeypatch)
        expect = "%s: recording format version 7 is newer than this build understands " \
                 "(version %d or older)" % (path, writer.FORMAT_VERSION)
    out = tmp_path / "out"
    assert _replay(store, out, "--recording", str(folder)) == 2
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and err.startswith("tessara-replay: error: ")
    assert expect in err
    assert not out.exists()


def test_salvage_replays_the_complete_batches(store, recorded, tmp_path):
    rec, _ = recorded
    folder, _ = _cut(rec, tmp_path)
    assert _replay(store, tmp_path / "out", "--recording", str(folder), "--salvage") == 0
    assert (tmp_path / "out" / "events.jsonl").stat().st_size > 0


@pytest.mark.parametrize("case,message", [
    ("record twice", "already holds a recording of 2024-06-17"),
    ("unreadable compare", "no event stream (events.jsonl) to compare with"),
])
def test_refused_before_the_run(store, recorded, tmp_path, capsys, case, message):
    rec, _ = recorded
    extra = ["--record", str(rec)] if case == "record twice" else ["--compare", str(tmp_path)]
    assert _replay(store, tmp_path / "out", "--day", DAY, *extra) == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_help_lists_the_recording_options(capsys):
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    text = capsys.readouterr().out
    for option in ("--record DIR", "--recording DIR", "--salvage", "--compare DIR_OR_FILE"):
        assert option in text


@pytest.mark.parametrize("codes", [["600519.SH"], ["600000.SH", "601318.SH"]])
def test_code_narrows_a_recording_to_its_instruments(store, recorded, tmp_path, codes):
    """Only the named instruments' market data reach the strategy: one BAR event a minute
    and their ticks alone, however many instruments were recorded."""
    rec, original = recorded
    extra = [a for code in codes for a in ("--code", code)]
    assert _replay(store, tmp_path / "o", "--recording", str(rec), *extra) == 0
    lines = [json.loads(line) for line in (tmp_path / "o" / "events.jsonl").read_text().splitlines()]
    everything = [json.loads(line) for line in (original / "events.jsonl").read_text().splitlines()]
    ticks = [e for e in lines if e["kind"] == "TICK"]
    assert ticks and {e["fields"]["tick"]["instrument"]["market_code"] for e in ticks} == set(codes)
    assert sum(e["kind"] == "BAR" for e in lines) == 240
    assert len(ticks) == 240 * len(codes) < sum(e["kind"] == "TICK" for e in everything)
    summary = json.loads((tmp_path / "o" / "summary.json").read_text())
    assert summary["instruments"] == codes


def test_a_day_in_another_form_is_refused_before_the_recording_is_read(store, recorded, tmp_path, capsys):
    rec, _ = recorded
    assert _replay(store, tmp_path / "o", "--recording", str(rec), "--day", "17/06/2024") == 2
    assert capsys.readouterr().err == ("tessara-replay: error: unknown day '17/06/2024': not a "
                                       "date in the form YYYY-MM-DD\n")
