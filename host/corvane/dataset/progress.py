"""A progress bar for the steps of making a data store, shown only in a terminal.

The bar follows `progress(stage, done, total)` reports (see `generate` and `save`): one bar
whose label names the stage and whose count restarts when the stage changes. It is drawn
with tqdm when that is installed, on stderr, and cleared when done (as the replay's own bar).
"""
import sys


def wanted(stream=None):
    """True when `stream` (default: stderr) is a terminal: a bar in a pipe or a log file
    would only fill it with carriage returns."""
    stream = sys.stderr if stream is None else stream
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):     # no isatty, or a closed stream
        return False


class StoreProgress:
    """A callable `progress(stage, done, total)` drawing one bar; does nothing when not
    `enabled` or without tqdm. Use as a context manager, or call `close`."""

    def __init__(self, enabled, label="data store"):
        self._tqdm = None
        self._bar = None
        self._stage = None
        self._label = label
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._tqdm = tqdm

    @property
    def shown(self):
        return self._tqdm is not None

    def __call__(self, stage, done, total):
        if self._tqdm is None:
            return
        if stage != self._stage:
            self._stage = stage
            desc = "%s: %s" % (self._label, stage)
            if self._bar is None:       # drawn from the first report on, with its label
                self._bar = self._tqdm(total=total, unit="step", leave=False, desc=desc,
                                       dynamic_ncols=True, file=sys.stderr)
            else:
                self._bar.set_description(desc, refresh=False)
                self._bar.reset(total=total)        # draws the bar with its new label
        self._bar.update(max(0, min(done, total) - self._bar.n))

    def close(self):
        if self._bar is not None:
            self._bar.close()
        self._bar = self._tqdm = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
