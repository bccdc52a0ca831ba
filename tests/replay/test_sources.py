"""The runner replays whatever a source gives it: the day, the instruments and the terminal
with its feed come from the source alone, and its name is what the summary reports. The
first run's generation of the store shows its bar only in a terminal."""
import datetime as _dt
import io
import json

import pytest

from tessara_replay import cli, runner

DAY = "2024-06-18"
CODE = "600000.SH"
NOON = _dt.time(11, 30)


class MorningOnly:
    """A third kind of source, built on the interface: the store's market of one
    instrument, cut at the midday break."""

    name = "morning feed"
    record = None

    def __init__(self):
        self._inner = runner.StoreSource(day=DAY, codes=[CODE])
        self.asked = []

    def day(self):
        self.asked.append("day")
        return self._inner.day()

    def instruments(self, dataset, day):
        self.asked.append("instruments")
        return self._inner.instruments(dataset, day)

    def terminal(self, clock, data_source, log, instruments, fast):
        self.asked.append("terminal")
        terminal, feed, end_ns = self._inner.terminal(clock, data_source, log, instruments, fast)
        return terminal, (item for item in feed if item.time.time() <= NOON), end_ns


def test_a_source_alone_decides_what_is_replayed(store_dataset, tmp_path):
    source = MorningOnly()
    result = runner.replay_source(source, out_dir=str(tmp_path / "out"), dataset=store_dataset,
                                  fast=True)
    assert source.asked == ["day", "instruments", "terminal"]
    assert str(result.day) == DAY and result.codes == [CODE]
    bars = [json.loads(line) for line in result.event_lines]
    bars = [line["at"][11:19] for line in bars if line["kind"] == "BAR"]
    assert bars and max(bars) <= "11:30:00"
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["recording"] == "morning feed" and summary["day"] == DAY
    full = runner.run_replay(day=DAY, codes=[CODE], dataset=store_dataset,
                             out_dir=str(tmp_path / "full"), fast=True)
    assert full.callbacks > result.callbacks
    assert json.loads((tmp_path / "full" / "summary.json").read_text())["recording"] is None


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("terminal, extra, shown", [
    (True, [], True),
    (False, [], False),
    (True, ["-q"], False),
])
def test_store_generation_bar_only_in_a_terminal(tmp_path, monkeypatch, terminal, extra, shown):
    from corvane.dataset import provision
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("CORVANE_DATASET", raising=False)
    calls = []

    def ensure_store(path, announce=None, progress=False):
        calls.append(progress)
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(provision, "ensure_store", ensure_store)
    err = _Terminal() if terminal else io.StringIO()
    monkeypatch.setattr("sys.stderr", err)
    assert cli.main(["-o", "out", "--fast", "-n", "1"] + extra) == 2
    assert calls == [shown]
    assert "cannot generate the data store in data/store: No space left on device" in err.getvalue()
