"""The plain-Python twins of the native modules, as the benchmarks' same-run reference.

`load(name)` executes the twin of module `name` ("livefeed", "histsource" or "index") as a
private module of the same dotted name, registered nowhere, so it runs beside the native module
without replacing it: the copy installed beside the extension when there is one, else the one in
the repository's twin/ folder."""
import importlib
import importlib.util
import os

DOTTED = {
    "livefeed": "corvane.tessara.utils.livefeed",
    "histsource": "corvane.tessara.mod.mod_quant_data.data_sources.histsource",
    "index": "corvane.tessara.datac.services.index",
}
_REPO_TWINS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "twin")


def source_of(name):
    """The twin's file: beside the installed package of the module, else in the repository."""
    parent, _, leaf = DOTTED[name].rpartition(".")
    package = importlib.import_module(parent)
    for folder in getattr(package, "__path__", ()):
        candidate = os.path.join(folder, leaf + ".py")
        if os.path.exists(candidate):
            return candidate
    return os.path.join(_REPO_TWINS, name + ".py")


def load(name):
    spec = importlib.util.spec_from_file_location(DOTTED[name], source_of(name))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
