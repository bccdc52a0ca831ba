"""The replay's first line of output names what it is about to do, before the libraries and
the data store load (seconds), in a terminal and in a pipe alike."""
import sys

import pytest

import tessara_replay
from tessara_replay import cli


@pytest.mark.parametrize("argv, line", [
    ([], "Replaying 2024-06-17 (6 instruments) into out ..."),
    (["-n", "1", "-o", "x"], "Replaying 2024-06-17 (1 instrument) into x ..."),
    (["--day", "2024-06-18", "--code", "600000.SH", "--code", "000001.SZ"],
     "Replaying 2024-06-18 (600000.SH, 000001.SZ) into out ..."),
    (["--recording", "rec", "-o", "b"], "Replaying the recording rec into b ..."),
    (["--recording", "rec", "--day", "2024-06-18", "--code", "600000.SH"],
     "Replaying the recording rec of 2024-06-18 (600000.SH) into out ..."),
])
def test_first_line_comes_before_the_libraries_load(monkeypatch, capsys, argv, line):
    # the replay cannot be loaded at all: the line must be out already
    monkeypatch.setitem(sys.modules, "tessara_replay.runner", None)
    monkeypatch.delattr(tessara_replay, "runner", raising=False)
    assert cli.main(argv) == 2
    out, err = capsys.readouterr()
    assert out == line + "\n"
    assert "cannot load the replay" in err


@pytest.mark.parametrize("argv", [["-q"], ["--quiet", "--day", "2024-06-18"]])
def test_quiet_runs_print_no_first_line(monkeypatch, capsys, argv):
    monkeypatch.setitem(sys.modules, "tessara_replay.runner", None)
    monkeypatch.delattr(tessara_replay, "runner", raising=False)
    assert cli.main(argv) == 2
    assert capsys.readouterr().out == ""


def test_the_command_lines_defaults_are_the_replays():
    from tessara_replay import runner
    assert (cli.DEFAULT_DAY, cli.DEFAULT_INSTRUMENTS) == (runner.DEFAULT_DAY,
                                                          runner.DEFAULT_INSTRUMENTS)
