"""The default data store: a folder generated on first use and shared by every entry point.

Generation writes into a scratch folder beside the store and renames it into place, so an
interrupted or failed generation leaves no half-written store, and of two first runs at once
the second finds the first's store and uses it.
"""
import os
import shutil
import tempfile

from .store import META_FILE

DEFAULT_STORE = os.path.join("data", "store")


def needs_generation(path):
    """True when `path` holds no store yet: it is missing or an empty folder. A folder with
    other content is left alone (reading it reports what is wrong)."""
    if os.path.isfile(os.path.join(path, META_FILE)):
        return False
    return not os.path.exists(path) or (os.path.isdir(path) and not os.listdir(path))


def ensure_store(path, announce=None, progress=False):
    """Generate the default dataset into `path` unless it holds a store already. `announce`
    (a callable taking one line) is told before the generation starts; with `progress` a
    progress bar follows it on stderr when that is a terminal. Returns True when this call
    generated the store."""
    if not needs_generation(path):
        return False
    from . import generate
    from .progress import StoreProgress, wanted
    if announce is not None:
        announce("generating the data store in %s (first use; a few seconds)" % path)
    parent = os.path.dirname(os.path.abspath(path))
    os.makedirs(parent, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix=".%s.generate-" % os.path.basename(path), dir=parent)
    try:
        with StoreProgress(progress and wanted()) as bar:
            generate(progress=bar).save(scratch, progress=bar)
        if os.path.isdir(path) and not os.listdir(path):
            os.rmdir(path)
        try:
            os.rename(scratch, path)
        except OSError:
            if needs_generation(path):      # not another run's store: a real failure
                raise
            return False
        return True
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
