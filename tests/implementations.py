"""Chooses which implementation of the three modules the tests run against.

Modes (one per test run, chosen by the environment):

- ``native-fast``: the installed extension modules (the default);
- ``native-generic``: the same extensions with ``CORVANE_GENERIC=1`` in the environment, which turns
  their fast paths off (the module attribute ``fast_paths`` is then an empty tuple);
- ``twin``: ``CORVANE_IMPL=twin`` loads the plain-Python twin of each module (``twin/<name>.py`` at
  the top of the repository) under the real module name before any test imports it.

`install()` runs first thing in tests/conftest.py. Each test folder's conftest adds an autouse
fixture from `mode_fixture`, so every test id names the implementation it ran on, and tests marked
``native_only`` are skipped where a twin stands in.
"""
import importlib
import importlib.util
import os
import sys
from pathlib import Path

import pytest

# Short name -> the dotted name each implementation is imported under.
MODULES = {
    "livefeed": "corvane.tessara.utils.livefeed",
    "histsource": "corvane.tessara.mod.mod_quant_data.data_sources.histsource",
    "index": "corvane.tessara.datac.services.index",
}

TWIN_DIR = Path(__file__).resolve().parent.parent / "twin"

_loaded_twins = set()


def requested_mode():
    """The mode the environment asks for (the twin wins over the generic switch)."""
    if os.environ.get("CORVANE_IMPL", "").strip().lower() == "twin":
        return "twin"
    if os.environ.get("CORVANE_GENERIC", "") == "1":
        return "native-generic"
    return "native-fast"


def mode_of(*names):
    """The implementation the named modules run on; modules on different implementations give
    their modes joined with '+' (a twin that is not written yet leaves its module native)."""
    native = "native-generic" if os.environ.get("CORVANE_GENERIC", "") == "1" else "native-fast"
    modes = sorted({"twin" if n in _loaded_twins else native for n in names})
    return "+".join(modes)


def twin_loaded(name):
    return name in _loaded_twins


def load_twin(name):
    """Executes twin/<name>.py as the module itself: registered in sys.modules under the dotted
    name and bound on its parent package, so `import a.b.name` and `from a.b import name` both
    find it."""
    dotted = MODULES[name]
    parent_name, _, attr = dotted.rpartition(".")
    if dotted in sys.modules and name not in _loaded_twins:
        raise RuntimeError(dotted + " was imported before the twin could replace it")
    parent = importlib.import_module(parent_name)
    spec = importlib.util.spec_from_file_location(dotted, TWIN_DIR / (name + ".py"))
    module = importlib.util.module_from_spec(spec)
    sys.modules[dotted] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[dotted]
        raise
    setattr(parent, attr, module)
    _loaded_twins.add(name)
    return module


def import_module(dotted):
    """Imports `dotted` as this run does: its twin in twin mode (when the twin exists), else the
    installed module. For fresh interpreters that tests start (`sys.path` must hold tests/)."""
    short = dotted.rpartition(".")[2]
    if requested_mode() == "twin" and MODULES.get(short) == dotted and (TWIN_DIR / (short + ".py")).exists():
        return load_twin(short)
    return importlib.import_module(dotted)


TESTS_DIR = str(Path(__file__).resolve().parent)


def install():
    """In twin mode, loads every twin that exists; the others stay native."""
    if requested_mode() != "twin":
        return
    for name in MODULES:
        if name not in _loaded_twins and (TWIN_DIR / (name + ".py")).exists():
            load_twin(name)


def mode_fixture(*names):
    """An autouse fixture whose single parameter id is the implementation of `names`."""
    mode = mode_of(*names)

    @pytest.fixture(autouse=True, params=[mode], ids=[mode])
    def implementation(request):
        return request.param

    return implementation


def skip_native_only(items):
    """Skips the tests marked native_only when any module runs on its twin."""
    if not _loaded_twins:
        return
    reason = "native-only property; the twin runs " + ", ".join(sorted(_loaded_twins))
    for item in items:
        if item.get_closest_marker("native_only") is not None:
            item.add_marker(pytest.mark.skip(reason=reason))
