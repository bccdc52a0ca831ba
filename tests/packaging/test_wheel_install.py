"""The wheel in dist/ (made by scripts/setup; $CORVANE_DIST names another folder) and the
installed copy the suite runs against."""
import importlib
import importlib.metadata
import os
import pathlib
import re
import sys
import zipfile

import pytest

TOP = pathlib.Path(__file__).resolve().parents[2]
DIST = pathlib.Path(os.environ.get("CORVANE_DIST") or TOP / "dist")
DISTRIBUTION = "corvane-tessara-native"
MODULE_DIRS = {
    "corvane.tessara.utils.livefeed": "corvane/tessara/utils",
    "corvane.tessara.mod.mod_quant_data.data_sources.histsource": "corvane/tessara/mod/mod_quant_data/data_sources",
    "corvane.tessara.datac.services.index": "corvane/tessara/datac/services",
}


def _short(module):
    return module.rpartition(".")[2]


@pytest.fixture(scope="module")
def wheel_path():
    wheels = sorted(DIST.glob("corvane_tessara_native-*.whl"))
    if not wheels:
        pytest.skip(f"no wheel in {DIST} (scripts/setup builds it)")
    assert len(wheels) == 1, f"more than one wheel in {DIST}: {wheels}"
    return wheels[0]


@pytest.fixture(scope="module")
def wheel_names(wheel_path):
    with zipfile.ZipFile(wheel_path) as zf:
        return {name: zf.read(name) for name in zf.namelist()}


def test_wheel_is_built_for_this_interpreter(wheel_path, wheel_names):
    tag = "cp%d%d" % sys.version_info[:2]
    python_tag, abi_tag = wheel_path.name.split("-")[2:4]
    assert (python_tag, abi_tag) == (tag, tag)
    suffix = f".cpython-{sys.version_info[0]}{sys.version_info[1]}-"
    extensions = [n for n in wheel_names if n.endswith(".so")]
    assert extensions and all(suffix in n for n in extensions), extensions


def test_wheel_holds_only_the_three_modules_their_twins_and_stubs(wheel_names):
    payload = {n for n in wheel_names if ".dist-info/" not in n}
    expected_stubs = set()
    for module, folder in MODULE_DIRS.items():
        short = _short(module)
        extensions = [n for n in payload if re.fullmatch(rf"{folder}/{short}\.[\w.-]+\.so", n)]
        assert len(extensions) == 1, f"{module}: {extensions}"
        payload.discard(extensions[0])
        # the plain-Python twin beside it, the very file of the repository
        twin = TOP / "twin" / f"{short}.py"
        if twin.exists():
            assert wheel_names.get(f"{folder}/{short}.py") == twin.read_bytes(), module
            payload.discard(f"{folder}/{short}.py")
        expected_stubs.add(f"{folder}/{short}.pyi")
        expected_stubs.add(f"{folder.replace('corvane/', 'corvane-stubs/', 1)}/{short}.pyi")
    expected_stubs.add("corvane-stubs/py.typed")
    # nothing else: no stand-in, no package __init__, no other Python source claiming a framework package
    assert payload == expected_stubs


def test_stub_package_is_partial(wheel_names):
    # "partial" keeps type checkers reading the framework's own packages for everything else
    assert wheel_names["corvane-stubs/py.typed"].decode().split() == ["partial"]


@pytest.mark.parametrize("module", sorted(MODULE_DIRS))
def test_wheel_stubs_are_the_checked_in_ones(wheel_names, module):
    rel = f"{MODULE_DIRS[module]}/{_short(module)}.pyi"
    checked_in = (TOP / "stubs" / rel).read_bytes()
    assert wheel_names[rel] == checked_in
    assert wheel_names[rel.replace("corvane/", "corvane-stubs/", 1)] == checked_in


@pytest.mark.skipif(os.environ.get("CORVANE_SANITIZED") == "1",
                    reason="the sanitizer run puts its own build in front of the installed copy")
@pytest.mark.native_only
@pytest.mark.parametrize("module", sorted(MODULE_DIRS))
def test_suite_imports_the_installed_copy(module):
    try:
        dist = importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("modules not installed from the wheel (development venv)")
    imported = pathlib.Path(importlib.import_module(module).__file__).resolve()
    installed = {pathlib.Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    assert imported in installed, f"{module} imported from {imported}, not from the installed wheel"
    # not a copy that scripts/dev-build left in the stand-ins
    assert TOP / "host" not in imported.parents
