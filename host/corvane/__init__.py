"""Top-level package of the platform's Python side."""
import importlib


def __getattr__(name):
    # The gateway client is loaded on first use, so `corvane.gid` works after a bare
    # `import corvane` without making every import of the package load pandas.
    if name == "gid":
        return importlib.import_module(__name__ + ".gid")
    raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))
