"""Without --store every run replays the one default store (data/store, generated on first
use) and says which store it used, with its import history."""
import json
import os

import pytest

from tessara_replay import cli


@pytest.fixture
def in_empty_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("CORVANE_DATASET", raising=False)
    return tmp_path


def test_first_run_generates_data_store_and_names_it(in_empty_folder, capsys):
    argv = ["-o", "out", "--fast", "-n", "1"]
    assert cli.main(argv) == 0
    captured = capsys.readouterr()
    assert captured.err.startswith("tessara-replay: generating the data store in data/store")
    store_dir = in_empty_folder / "data" / "store"
    assert (store_dir / "meta.json").is_file()
    assert not [n for n in os.listdir(store_dir.parent) if n != "store"]
    summary = json.loads((in_empty_folder / "out" / "summary.json").read_text())
    assert summary["store"] == str(store_dir)
    assert summary["store_origin"]["imported"] == []
    assert "data store %s (generated with seed" % store_dir in captured.out
    # the second run uses it as it is, without a word about generating
    assert cli.main(argv + ["-o", "again"]) == 0
    assert "generating" not in capsys.readouterr().err


def test_store_from_the_environment_and_its_imports_are_named(in_empty_folder, store, monkeypatch, capsys):
    import shutil
    copy = in_empty_folder / "mine"
    shutil.copytree(store, copy)
    meta = json.loads((copy / "meta.json").read_text())
    meta["imported"] = [{"file": "days.csv", "kind": "day", "rows": 9, "codes": ["600000.SH"],
                         "first": "2024-06-03", "last": "2024-06-14", "at": "2026-12-01T10:00:00"}]
    (copy / "meta.json").write_text(json.dumps(meta))
    monkeypatch.setenv("CORVANE_DATASET", str(copy))
    assert cli.main(["-o", "out", "--fast", "-n", "1"]) == 0
    out = capsys.readouterr().out
    assert "1 imported file, the last days.csv at 2026-12-01T10:00:00" in out
    assert not (in_empty_folder / "data").exists()
    summary = json.loads((in_empty_folder / "out" / "summary.json").read_text())
    assert summary["store"] == str(copy) and summary["store_origin"]["imported"][0]["rows"] == 9


def test_a_folder_that_is_not_a_store_is_not_overwritten(in_empty_folder, capsys):
    (in_empty_folder / "data" / "store").mkdir(parents=True)
    (in_empty_folder / "data" / "store" / "notes.txt").write_text("mine")
    assert cli.main(["-o", "out", "--fast", "-n", "1", "-q"]) == 2
    assert "missing or corrupt" in capsys.readouterr().err
    assert os.listdir(in_empty_folder / "data" / "store") == ["notes.txt"]
