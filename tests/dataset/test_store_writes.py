"""Every write of a store goes through the store's own save and read: an import refuses a
store the reader refuses, swaps the rebuilt folder in whole (or not at all), and keeps what is
not part of the store; a regenerated store carries no earlier import; making a store shows a
progress bar in a terminal and nothing in a pipe."""
import ast
import io
import json
import os
import pathlib
import sys

import pandas as pd
import pytest

from corvane import dataset as dataset_pkg
from corvane.dataset import generate, importer, load, provision
from corvane.dataset import store as store_mod
from corvane.dataset.progress import StoreProgress, wanted

CODE = "600000.SH"
MINUTE_DAY = "2024-06-17"


def _files(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def _minute_csv(store, tmp_path, volume_bump=100):
    bars = load(str(store)).minute_bars(CODE, pd.Timestamp(MINUTE_DAY)).reset_index()
    bars.insert(0, "market_code", CODE)
    bars["datetime"] = bars["datetime"].dt.strftime("%Y-%m-%d %H:%M")
    bars["volume"] = bars["volume"] + volume_bump
    path = tmp_path / "minutes.csv"
    bars[["market_code", "datetime", "open", "high", "low", "close", "volume",
          "total_turnover"]].to_csv(path, index=False)
    return path


def _drop_file(store, name):
    os.remove(store / name)


def _meta_without_seed(store, name):
    meta = json.loads((store / "meta.json").read_text())
    del meta["seed"]
    (store / "meta.json").write_text(json.dumps(meta))


def _garbage(store, name):
    (store / name).write_bytes(b"not parquet")


def _duplicate_instrument(store, name):
    table = pd.read_parquet(store / name)
    pd.concat([table, table.iloc[:1]]).to_parquet(store / name, index=False)


# Defects only the store's reader saw: the importer used to read three files by name and
# copy the rest, so it rebuilt (and blessed) a store that no replay could load.
@pytest.mark.parametrize("defect, name, message", [
    (_drop_file, "suspensions.parquet", "suspensions.parquet: missing"),
    (_garbage, "yield_curve.parquet", "yield_curve.parquet: not a readable Parquet file"),
    (_meta_without_seed, "meta.json", "meta.json: no seed"),
    (_duplicate_instrument, "instruments.parquet", "an instrument has more than one row"),
])
def test_import_refuses_a_store_the_reader_refuses(store, tmp_path, defect, name, message):
    bars = _minute_csv(store, tmp_path)
    defect(store, name)
    before = _files(store)
    with pytest.raises(importer.BarsImportError) as err:
        importer.import_bars(str(store), [str(bars)])
    assert "missing or corrupt" in str(err.value) and message in str(err.value)
    assert _files(store) == before


def test_imported_store_reads_back_and_keeps_other_files(store, tmp_path):
    (store / "notes.txt").write_text("mine")
    importer.import_bars(str(store), [str(_minute_csv(store, tmp_path))])
    assert (store / "notes.txt").read_text() == "mine"
    ds = load(str(store))
    assert ds.meta["imported"][-1]["kind"] == "minute"
    assert not [n for n in os.listdir(store.parent) if n.startswith(".") or "before" in n]


def test_history_of_earlier_imports_is_kept(store, tmp_path):
    bars = _minute_csv(store, tmp_path)
    importer.import_bars(str(store), [str(bars)])
    importer.import_bars(str(store), [str(bars)])
    assert [entry["file"] for entry in load(str(store)).meta["imported"]] == ["minutes.csv"] * 2


@pytest.mark.parametrize("failing_call", [1, 2])
def test_failed_swap_leaves_the_store_as_it_was(store, tmp_path, monkeypatch, failing_call):
    """The first rename moves the old store aside, the second the new one in: when either
    fails the store folder holds the old store and no scratch folder remains."""
    bars = _minute_csv(store, tmp_path)
    before = _files(store)
    real_rename, calls = os.rename, []

    def rename(src, dst):
        calls.append((src, dst))
        if len(calls) == failing_call:
            raise OSError(28, "No space left on device")
        return real_rename(src, dst)

    monkeypatch.setattr(os, "rename", rename)
    with pytest.raises(importer.BarsImportError, match="cannot write the store.*left as it was"):
        importer.import_bars(str(store), [str(bars)])
    monkeypatch.undo()
    assert _files(store) == before
    assert sorted(os.listdir(store.parent)) == sorted(["store", "minutes.csv"])


def test_import_that_would_not_read_back_is_refused(store, tmp_path, monkeypatch):
    bars = _minute_csv(store, tmp_path)
    before = _files(store)
    real_read = store_mod.read

    def read(path):
        if os.path.basename(path).startswith(".store.import-"):
            raise dataset_pkg.StoreError("day_bars.parquet: column 'open' holds object, not number values")
        return real_read(path)

    monkeypatch.setattr(store_mod, "read", read)
    with pytest.raises(importer.BarsImportError, match="cannot be read.*left as it was"):
        importer.import_bars(str(store), [str(bars)])
    assert _files(store) == before
    assert sorted(os.listdir(store.parent)) == sorted(["store", "minutes.csv"])


def test_saving_over_a_store_drops_its_imported_minutes(store, tmp_path):
    """A generated dataset saved over an imported-into store has no imported bars: the old
    file must not stay behind and be served as if it belonged to the new data."""
    importer.import_bars(str(store), [str(_minute_csv(store, tmp_path, volume_bump=7))])
    assert (store / store_mod.IMPORTED_MINUTES_FILE).exists()
    fresh = generate(start="2024-04-01", end="2024-06-28")
    fresh.save(str(store))
    assert not (store / store_mod.IMPORTED_MINUTES_FILE).exists()
    got = load(str(store)).minute_bars(CODE, pd.Timestamp(MINUTE_DAY))
    assert got["volume"].tolist() == fresh.minute_bars(CODE, pd.Timestamp(MINUTE_DAY))["volume"].tolist()


# Windows without a dividend, a split or both (one ends before the split's day, which made
# the generator index past its last day): their empty tables must still read back.
@pytest.mark.parametrize("start, end", [("2024-06-03", "2024-06-28"), ("2024-04-01", "2024-05-17"),
                                        ("2024-05-20", "2024-05-24")])
def test_short_windows_make_stores_that_read_back(tmp_path, start, end):
    made = generate(start=start, end=end)
    made.save(str(tmp_path / "s"))
    back = load(str(tmp_path / "s"))
    for name in ("dividends", "splits", "suspensions"):
        assert list(back.tables[name].columns) == list(made.tables[name].columns)
    assert back.meta["end"] == end


def test_replace_leaves_no_file_of_the_old_store_behind(store, tmp_path):
    """Minute bars the new dataset does not hold are not carried over from the old folder
    (only files that are not part of a store are)."""
    importer.import_bars(str(store), [str(_minute_csv(store, tmp_path))])
    (store / "notes.txt").write_text("mine")
    store_mod.replace(generate(start="2024-04-01", end="2024-06-28"), str(store))
    assert not (store / store_mod.IMPORTED_MINUTES_FILE).exists()
    assert (store / "notes.txt").read_text() == "mine"
    assert "imported" not in load(str(store)).meta


def _imports_of(path):
    names = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            names.update([node.module] if node.module else [a.name for a in node.names])
    return names


def test_dataset_modules_import_no_circle():
    folder = pathlib.Path(dataset_pkg.__file__).parent
    graph = {p.stem: _imports_of(p) for p in folder.glob("*.py") if p.stem not in ("__init__", "__main__")}

    def reaches(start, goal, seen=()):
        return any(n == goal or (n not in seen and reaches(n, goal, seen + (n,)))
                   for n in graph.get(start, ()))

    assert [m for m in graph if reaches(m, m)] == []


# progress --------------------------------------------------------------------------------
class _Terminal(io.StringIO):
    def isatty(self):
        return True


def test_wanted_only_for_a_terminal(tmp_path):
    master, slave = os.openpty()
    try:
        with os.fdopen(slave, "w", closefd=False) as tty:
            assert wanted(tty)
    finally:
        os.close(master)
        os.close(slave)
    read, write = os.pipe()
    with os.fdopen(read), os.fdopen(write, "w") as w:
        assert not wanted(w)
    closed = io.StringIO()
    closed.close()
    assert not wanted(closed) and not wanted(object())


@pytest.fixture
def small_generation(monkeypatch):
    """The default generation over one month (the bar's reports are the same)."""
    real = dataset_pkg.generate
    monkeypatch.setattr(dataset_pkg, "generate",
                        lambda progress=None: real(start="2024-06-01", end="2024-06-28", progress=progress))


@pytest.mark.parametrize("terminal", [False, True])
def test_generation_bar_in_a_terminal_only(tmp_path, monkeypatch, capsys, small_generation, terminal):
    if terminal:
        monkeypatch.setattr("sys.stderr", _Terminal())
    lines = []
    assert provision.ensure_store(str(tmp_path / "store"), lines.append, progress=True)
    assert lines == ["generating the data store in %s (first use; a few seconds)" % (tmp_path / "store")]
    shown = sys.stderr.getvalue() if terminal else capsys.readouterr().err
    if terminal:
        assert "data store: generating" in shown and "data store: writing" in shown
    else:
        assert shown == ""
    assert load(str(tmp_path / "store")).meta["end"] == "2024-06-28"


def test_bar_follows_the_stages(monkeypatch):
    out = _Terminal()
    monkeypatch.setattr("sys.stderr", out)
    with StoreProgress(True) as bar:
        bar("generating", 0, 4)
        bar("generating", 4, 4)
        assert bar._bar.n == 4 and bar._bar.total == 4
        bar("writing", 1, 13)
        assert bar._bar.n == 1 and bar._bar.total == 13
        bar("writing", 99, 13)          # never past the end
        assert bar._bar.n == 13
    assert "data store: writing" in out.getvalue()
