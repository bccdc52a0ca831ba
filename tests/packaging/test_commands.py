"""The user-facing commands without their set-up, and interrupts of the data generation."""
import os
import pathlib
import signal
import subprocess
import time

import pytest

import corvane.dataset.__main__ as dataset_main

TOP = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("command", ["run-tests", "scripts/main-job"])
def test_command_without_setup_says_run_first(command, tmp_path):
    env = dict(os.environ, VENV=str(tmp_path / "no-venv"))
    run = subprocess.run([str(TOP / command)], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert run.returncode == 2
    assert "run ./run first" in run.stderr and "Traceback" not in run.stderr


def test_main_job_interrupted_during_generation_leaves_no_store(tmp_path):
    # A stand-in interpreter that starts writing the store and is then interrupted.
    venv = tmp_path / "venv"
    (venv / "bin").mkdir(parents=True)
    fake = venv / "bin" / "python"
    fake.write_text('#!/bin/sh\nmkdir -p "$3" && touch "$3/partial" "$3/../started"\nexec sleep 30\n')
    fake.chmod(0o755)
    store = tmp_path / "data" / "store"
    store.parent.mkdir()
    env = dict(os.environ, VENV=str(venv), CORVANE_DATASET=str(store))
    # A shell started in the background (CI's second lane) ignores SIGINT and hands that on;
    # the job gets the default handling a terminal's foreground job has.
    job = subprocess.Popen([str(TOP / "scripts/main-job")], env=env, cwd=tmp_path, start_new_session=True,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 20
        while not (store.parent / "started").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        os.killpg(job.pid, signal.SIGINT)  # Ctrl-C reaches the whole foreground group
        _, err = job.communicate(timeout=20)
    finally:
        if job.poll() is None:
            os.killpg(job.pid, signal.SIGKILL)
            job.communicate()
    assert job.returncode == 130
    assert sorted(p.name for p in store.parent.iterdir()) == ["started"]
    assert "Traceback" not in err


@pytest.mark.parametrize("when", ["generating", "writing"])
def test_dataset_interrupted_removes_its_folder(tmp_path, monkeypatch, capsys, when):
    out = tmp_path / "store"

    class Partial:
        def save(self, path, include_minutes=False, progress=None):
            os.makedirs(path)
            (pathlib.Path(path) / "day_bars.parquet").write_bytes(b"")
            raise KeyboardInterrupt

    def generate(*args, **kwargs):
        if when == "generating":
            raise KeyboardInterrupt
        return Partial()

    monkeypatch.setattr(dataset_main, "generate", generate)
    assert dataset_main.main([str(out)]) == 130
    assert not out.exists()
    assert capsys.readouterr().err == "interrupted: no data store written\n"


def test_dataset_interrupted_keeps_a_folder_it_did_not_make(tmp_path, monkeypatch):
    (tmp_path / "mine.txt").write_text("x")
    monkeypatch.setattr(dataset_main, "generate", lambda *a, **k: (_ for _ in ()).throw(KeyboardInterrupt))
    assert dataset_main.main([str(tmp_path)]) == 130
    assert (tmp_path / "mine.txt").read_text() == "x"
