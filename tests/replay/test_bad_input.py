"""Whatever the command line is given, the user gets one line on stderr and an exit status,
never a traceback; a defective store is reported like a corrupt one."""
import json
import os
import shutil
import subprocess
import sys

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from tessara_replay import cli


def _edit_table(path, name, edit):
    file = os.path.join(path, name + ".parquet")
    frame = pq.read_table(file).to_pandas()
    pq.write_table(pa.Table.from_pandas(edit(frame), preserve_index=False), file)


def _edit_meta(path, edit):
    file = os.path.join(path, "meta.json")
    with open(file) as f:
        meta = json.load(f)
    with open(file, "w") as f:
        f.write(edit(meta))


STORE_DEFECTS = {
    "day bars without close": lambda p: _edit_table(p, "day_bars", lambda f: f.drop(columns="close")),
    "close as text": lambda p: _edit_table(p, "day_bars", lambda f: f.assign(close=f["close"].astype(str))),
    "dates as text": lambda p: _edit_table(p, "day_bars", lambda f: f.assign(date=f["date"].astype(str))),
    "missing prices": lambda p: _edit_table(p, "day_bars", lambda f: f.assign(open=float("nan"))),
    "instrument row missing": lambda p: _edit_table(
        p, "instruments", lambda f: f[f["market_code"] != "600000.SH"]),
    "no instruments": lambda p: _edit_table(p, "instruments", lambda f: f.iloc[:0]),
    "instrument twice": lambda p: _edit_table(p, "instruments", lambda f: f.iloc[[0] + list(range(len(f)))]),
    "round lot as text": lambda p: _edit_table(
        p, "instruments", lambda f: f.assign(round_lot=f["round_lot"].astype(str))),
    "weights without weight": lambda p: _edit_table(
        p, "index_weights", lambda f: f.drop(columns="weight")),
    "calendar without dates": lambda p: _edit_table(
        p, "trading_dates", lambda f: f.rename(columns={"date": "day"})),
    "table file missing": lambda p: os.remove(os.path.join(p, "suspensions.parquet")),
    "table not parquet": lambda p: open(os.path.join(p, "day_bars.parquet"), "wb").write(b"PAR1junk"),
    "meta not json": lambda p: _edit_meta(p, lambda m: "{not json"),
    "meta without end": lambda p: _edit_meta(p, lambda m: json.dumps({k: v for k, v in m.items() if k != "end"})),
    "meta with bad start": lambda p: _edit_meta(p, lambda m: json.dumps(dict(m, start="someday"))),
    "meta a list": lambda p: _edit_meta(p, lambda m: "[1, 2]"),
}


@pytest.mark.parametrize("defect", sorted(STORE_DEFECTS))
def test_store_defects_are_one_line_and_exit_2(store, tmp_path, capsys, defect):
    bad = tmp_path / "store"
    shutil.copytree(store, bad)
    STORE_DEFECTS[defect](str(bad))
    out = tmp_path / "out"
    assert cli.main(["--store", str(bad), "--out", str(out), "-q", "--fast"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("tessara-replay: error: data store at %s is missing or corrupt (" % bad)
    assert err.count("\n") == 1
    assert not out.exists() or os.listdir(out) == []


STRATEGY_FILES = {
    "raises_on_import.py": "import os\nraise RuntimeError('no config')\n",
    "bad_syntax.py": "class A(:\n",
    "strategies.py": (
        "class Broken:\n"
        "    def __init__(self, ctx):\n"
        "        raise ValueError('needs a parameter')\n"
        "class FailsOnBar:\n"
        "    def __init__(self, ctx):\n"
        "        self.ctx = ctx\n"
        "    def on_bar(self, event):\n"
        "        return 1 / 0\n"
        "not_a_class = 3\n"),
}


@pytest.mark.parametrize("args, message", [
    (["--day", ""], "unknown day ''"),
    (["--day", "2024-02-30"], "unknown day '2024-02-30'"),
    (["--day", "99999-01-01"], "unknown day '99999-01-01'"),
    (["--day", "2024-06-16"], "not a trading day"),
    (["--day", "2022-12-30"], "no market data for 2022-12-30"),
    (["-n", "0"], "at least 1"),
    (["-n", "-3"], "at least 1"),
    (["--code", ""], "no such instrument: "),
    (["--code", "600000"], "no such instrument: 600000"),
    (["--code", "RB2410.SHF"], "is not a stock or fund"),
    (["--code", "001872.SZ", "--day", "2024-04-03"], "did not trade on 2024-04-03"),
    (["--strategy", "nocolon"], "expected module:Class"),
    (["--strategy", ":X"], "expected module:Class"),
    (["--strategy", "no_such_module_here:X"], "no module named no_such_module_here"),
    (["--strategy", "os:NoSuchThing"], "os has no NoSuchThing"),
    (["--strategy", "{dir}/strategies.py:not_a_class"], "not_a_class is not a class"),
    (["--strategy", "{dir}/missing.py:X"], "no file"),
    (["--strategy", "{dir}/raises_on_import.py:X"], "RuntimeError: no config (raises_on_import.py:2)"),
    (["--strategy", "{dir}/bad_syntax.py:A"], "SyntaxError"),
    (["--strategy", "{dir}/strategies.py:Broken"],
     "strategy failed: {dir}/strategies.py:Broken (constructing it) (strategies.py:3) raised "
     "ValueError: needs a parameter"),
    (["--strategy", "{dir}/strategies.py:FailsOnBar"],
     "strategy failed: {dir}/strategies.py:FailsOnBar.on_bar (strategies.py:8) raised "
     "ZeroDivisionError"),
])
def test_bad_input_is_one_line_and_exit_2(store, tmp_path, capsys, args, message):
    for name, text in STRATEGY_FILES.items():
        (tmp_path / name).write_text(text)
    args = [a.format(dir=tmp_path) for a in args]
    out = tmp_path / "out"
    assert cli.main(["--store", store, "--out", str(out), "-q", "--fast"] + args) == 2
    err = capsys.readouterr().err
    assert err.startswith("tessara-replay: error: ") and err.count("\n") == 1
    assert message.format(dir=tmp_path) in err
    assert not out.exists() or os.listdir(out) == []


def test_unexpected_failure_is_one_line_unless_asked(store, tmp_path, capsys, monkeypatch):
    import tessara_replay.report as report

    def broken(*args, **kwargs):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(report, "write_outputs", broken)
    argv = ["--store", store, "--out", str(tmp_path / "out"), "-q", "--fast", "-n", "1"]
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "unexpected failure: OSError" in err and "--traceback" in err
    with pytest.raises(OSError):
        cli.main(argv + ["--traceback"])


def test_interrupt_exits_130_and_leaves_nothing(store, tmp_path, capsys):
    (tmp_path / "interrupting.py").write_text(
        "class Stop:\n"
        "    def __init__(self, ctx):\n"
        "        pass\n"
        "    def on_bar(self, event):\n"
        "        raise KeyboardInterrupt\n")
    out = tmp_path / "out"
    argv = ["--store", store, "--out", str(out), "-q", "--fast", "-n", "1",
            "--strategy", str(tmp_path / "interrupting.py") + ":Stop"]
    assert cli.main(argv) == 130
    assert capsys.readouterr().err == "tessara-replay: interrupted\n"
    assert sorted(os.listdir(tmp_path)) == ["interrupting.py"]      # no folder, no scratch
    import datetime

    import corvane.tessara.utils.livefeed as lf
    assert lf.datetime is datetime.datetime


@pytest.mark.parametrize("args", [["-n", "abc"], ["--no-such-option"], ["--day"]])
def test_usage_errors_from_the_console_script(tmp_path, args):
    proc = subprocess.run([sys.executable, "-m", "tessara_replay"] + args, capture_output=True,
                          text=True, timeout=120, cwd=tmp_path)
    assert proc.returncode == 2 and "Traceback" not in proc.stderr
    assert proc.stderr.splitlines()[-1].startswith("tessara-replay: error: ")


# A strategy that tells the test the replay has begun (its marker file) and then takes its time,
# so that Ctrl-C lands in the middle of the replay however fast the machine is.
SLOW_STRATEGY = """
import os, pathlib, time

class Slow:
    def __init__(self, ctx):
        pass

    def before_trading(self, event):
        pathlib.Path(os.environ["REPLAY_TEST_MARKER"]).touch()

    def on_bar(self, event):
        time.sleep(0.05)
"""


@pytest.mark.parametrize("moment", ["loading", "replaying"])
def test_ctrl_c_from_the_console_exits_130_without_traceback(store, tmp_path, moment):
    """Ctrl-C while the command loads its modules, and while it replays."""
    import signal
    import time
    out, marker, strategy = tmp_path / "out", tmp_path / "begun", tmp_path / "slow.py"
    strategy.write_text(SLOW_STRATEGY)
    env = dict(os.environ, REPLAY_TEST_MARKER=str(marker))
    proc = subprocess.Popen([sys.executable, "-m", "tessara_replay", "--store", store, "--out",
                             str(out), "-q", "--strategy", "%s:Slow" % strategy], stderr=subprocess.PIPE,
                            text=True, env=env)
    if moment == "loading":
        time.sleep(1.0)
    else:
        deadline = time.monotonic() + 120
        while not marker.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        assert marker.exists(), "the replay never began"
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (130, "tessara-replay: interrupted\n")
    assert not out.exists() or os.listdir(out) == []
