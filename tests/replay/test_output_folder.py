"""Results never mix: a run replaces its output folder as a whole when it completes, leaves
it as it was when it fails, refuses a folder another run is writing, and never replaces a
folder holding other files."""
import os
import subprocess
import sys

import pytest

from tessara_replay import cli, run_replay
from tessara_replay.output import OutputFolder

DAY = "2024-06-17"


def _run(store, out, *extra):
    return cli.main(["--store", store, "-o", str(out), "-q", "--fast", "-n", "1", *extra])


def _leftovers(folder):
    """Hidden scratch, lock or set-aside entries a run left beside its output folder."""
    return [n for n in os.listdir(folder) if n.startswith(".")]


def test_earlier_results_do_not_stay_beside_new_ones(store, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    for stale in ("chart_600519.SH_20240617.png", "fills.csv", "summary.json"):
        (out / stale).write_text("from an earlier run")
    assert _run(store, out) == 0
    names = set(os.listdir(out))
    assert "chart_600519.SH_20240617.png" not in names
    assert {"fills.csv", "summary.json", "events.jsonl"} <= names
    assert (out / "fills.csv").read_text() != "from an earlier run"
    assert _leftovers(tmp_path) == []


@pytest.mark.parametrize("content", [["notes.txt"], ["fills.csv", "thesis.tex"], ["subdir/"]])
def test_a_folder_with_other_files_is_never_replaced(store, tmp_path, capsys, content):
    out = tmp_path / "mine"
    out.mkdir()
    for name in content:
        if name.endswith("/"):
            (out / name).mkdir()
        else:
            (out / name).write_text("keep me")
    before = sorted(os.listdir(out))
    assert _run(store, out) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "which is not a replay result" in err
    assert sorted(os.listdir(out)) == before and _leftovers(tmp_path) == []


def test_a_second_run_into_a_busy_folder_is_refused(store, tmp_path, capsys):
    out = tmp_path / "out"
    with OutputFolder(str(out)):                 # another run holds it
        assert _run(store, out) == 2
    err = capsys.readouterr().err
    assert err == "tessara-replay: error: another replay is writing to %s; wait for it to " \
                  "finish or choose another -o\n" % out
    assert not out.exists() and _leftovers(tmp_path) == []
    assert _run(store, out) == 0                 # free again once it is done


def test_a_failed_run_leaves_the_earlier_results_whole(store, tmp_path, monkeypatch):
    out = tmp_path / "out"
    assert _run(store, out) == 0
    before = {n: (out / n).read_bytes() for n in os.listdir(out)}
    import tessara_replay.report as report

    def broken(*args, **kwargs):
        raise RuntimeError("disk trouble")
    monkeypatch.setattr(report, "summary_text", broken)
    with pytest.raises(RuntimeError):
        run_replay(day=DAY, instruments=1, out_dir=str(out), store=store, fast=True)
    assert {n: (out / n).read_bytes() for n in os.listdir(out)} == before
    assert _leftovers(tmp_path) == []


def test_output_path_that_is_a_file_is_refused(store, tmp_path, capsys):
    (tmp_path / "out").write_text("a file")
    assert _run(store, tmp_path / "out") == 2
    assert "it is a file" in capsys.readouterr().err
    assert (tmp_path / "out").read_text() == "a file"


def test_no_progress_bars_or_loading_line_in_a_pipe(store, tmp_path, capsys):
    """Not a terminal (captured): the first line and the summary on stdout, nothing on
    stderr."""
    assert cli.main(["--store", store, "-o", str(tmp_path / "out"), "-n", "1"]) == 0
    captured = capsys.readouterr()
    first, summary = captured.out.split("\n", 1)
    assert first == "Replaying 2024-06-17 (1 instrument) into %s ..." % (tmp_path / "out")
    assert captured.err == "" and summary.startswith("Replay of 2024-06-17: 1 instrument (")


def test_a_reader_that_closes_the_pipe_leaves_whole_results_and_no_traceback(store, tmp_path):
    # `tessara-replay | head -1`: the summary meets a closed pipe after the results are written
    out = tmp_path / "out"
    code = "import sys; from tessara_replay import cli; sys.exit(cli.main(sys.argv[1:]))"
    proc = subprocess.Popen([sys.executable, "-c", code, "--store", store, "-o", str(out), "--fast", "-n", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline().startswith(b"Replaying ")
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=300) == 141
    assert "Traceback" not in err and "BrokenPipeError" not in err
    assert (out / "summary.json").exists() and (out / "events.jsonl").exists()
