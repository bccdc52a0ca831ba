"""The output folder of one run: results never mix.

A run writes into a scratch folder beside the output folder and, only when it completes,
puts the scratch in the output folder's place as a whole: the files of an earlier run do not
stay beside the new ones, and a run that fails or is interrupted leaves the earlier results
as they were and nothing of its own. One run at a time may write to a folder: a lock file
beside it is held for the run, and a second run is refused. A folder holding anything but
replay results is never replaced.
"""
import fcntl
import fnmatch
import os
import shutil
import tempfile

# what a run writes; a folder holding only these (or nothing) may be replaced
RESULT_PATTERNS = ("summary.txt", "summary.json", "events.jsonl", "fills.csv", "fills.parquet",
                   "orders.csv", "orders.parquet", "chart_*.png")


class OutputError(Exception):
    """The output folder cannot take this run's results; one line of text."""


def _is_result(name):
    return any(fnmatch.fnmatchcase(name, p) for p in RESULT_PATTERNS)


class OutputFolder:
    """`with OutputFolder(path) as out:` write into `out.scratch`, then `out.publish()`."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.parent, self.name = os.path.split(self.path)
        self.scratch = None
        self._lock = None
        self._lock_path = os.path.join(self.parent, ".%s.lock" % self.name)

    def __enter__(self):
        self._check_replaceable()
        try:
            os.makedirs(self.parent, exist_ok=True)
            self._acquire()
            self.scratch = tempfile.mkdtemp(prefix=".%s.partial-" % self.name, dir=self.parent)
        except OSError as exc:
            self._release()
            raise OutputError("cannot write to output folder %s: %s"
                              % (self.path, exc.strerror or exc)) from None
        return self

    def _check_replaceable(self):
        if os.path.exists(self.path) and not os.path.isdir(self.path):
            raise OutputError("cannot write to output folder %s: it is a file" % self.path)
        if os.path.isdir(self.path):
            foreign = sorted(n for n in os.listdir(self.path) if not _is_result(n))
            if foreign:
                raise OutputError("output folder %s holds %s, which is not a replay result; "
                                  "the folder is replaced by each run, so choose another -o"
                                  % (self.path, foreign[0]))

    def _acquire(self):
        self._lock = open(self._lock_path, "a")
        try:
            fcntl.flock(self._lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._lock.close()
            self._lock = None
            raise OutputError("another replay is writing to %s; wait for it to finish or "
                              "choose another -o" % self.path) from None

    def _release(self):
        if self._lock is not None:
            try:
                os.unlink(self._lock_path)
            except OSError:
                pass
            self._lock.close()
            self._lock = None

    def publish(self):
        """Put the scratch folder in the output folder's place. The earlier results are
        renamed aside first and removed after, so at every moment the folder holds one
        run's results."""
        aside = None
        if os.path.isdir(self.path):
            aside = tempfile.mkdtemp(prefix=".%s.old-" % self.name, dir=self.parent)
            os.rename(self.path, os.path.join(aside, "results"))
        try:
            os.rename(self.scratch, self.path)
        except OSError:
            if aside is not None:     # put the earlier results back; kept aside if that fails
                os.rename(os.path.join(aside, "results"), self.path)
                os.rmdir(aside)
            raise
        if aside is not None:
            shutil.rmtree(aside, ignore_errors=True)
        self.scratch = None

    def __exit__(self, *exc):
        if self.scratch is not None:
            shutil.rmtree(self.scratch, ignore_errors=True)
        self._release()
        return False
