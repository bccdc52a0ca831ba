"""scripts/check_deployment.py: the versions it accepts, the wheel and module files it refuses."""
import importlib.machinery
import importlib.util
import pathlib
import subprocess
import sys
import types

import pytest

TOP = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = TOP / "scripts" / "check_deployment.py"


@pytest.fixture(scope="module")
def check():
    spec = importlib.util.spec_from_file_location("check_deployment", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("numpy, pandas", [("1.26.4", "1.5.3"), ("2.1.3", "2.2.3"), ("2.4.0", "2.3.1"),
                                           ("2.5.5", "3.1.2"), ("2.5.0", "3.1.0"), ("2.3.0", "3.0.0")])
def test_tested_stacks_pass(check, numpy, pandas):
    assert check.check_versions({"numpy": numpy, "pandas": pandas}) == []


@pytest.mark.parametrize("numpy, pandas, expected", [
    ("2.5.5", "4.0.0", "pandas 4.0.0 is an untested major version (tested: 1.5.3, 2.2 and later 2.x, or 3.x)"),
    ("3.0.0", "3.1.2", "numpy 3.0.0 is an untested major version (tested: 1.26.x or 2.x)"),
    ("3.0.0", "2.2.3", "numpy 3.0.0 is an untested major version"),
    ("1.26.4", "3.1.2", "numpy 1.26.4 with pandas 3.1.2 is an untested pairing (tested: numpy 1.26 with pandas 1.5.3, "
                        "numpy 2 with pandas 2 or 3)"),
    ("2.1.3", "2.1.4", "pandas 2.1.4 is an untested version"),
    ("1.25.2", "1.5.3", "numpy 1.25.2 is an untested version"),
    ("1.26.4", "2.2.3", "untested pairing"),
    ("1.26.4", None, "pandas is not installed"),
])
def test_untested_versions_are_refused_by_name(check, numpy, pandas, expected):
    problems = check.check_versions({"numpy": numpy, "pandas": pandas})
    assert len(problems) == 1 and expected in problems[0], problems


def test_wheel_for_another_python_is_refused(check):
    other = "cp39" if sys.version_info[:2] != (3, 9) else "cp310"
    problems = check.check_wheel_tags(f"dist/corvane_tessara_native-0.1.0-{other}-{other}-linux_x86_64.whl")
    assert len(problems) == 1 and f"built for {other}" in problems[0]
    assert f"this interpreter is {check.interpreter_tag()}" in problems[0]
    tag = check.interpreter_tag()
    assert check.check_wheel_tags(f"dist/corvane_tessara_native-0.1.0-{tag}-{tag}-linux_x86_64.whl") == []


def test_module_file_for_another_python_is_refused(check, tmp_path, monkeypatch):
    (tmp_path / "livefeed.cpython-39-x86_64-linux-gnu.so").write_bytes(b"")
    (tmp_path / "livefeed.pyi").write_text("")
    folder = types.SimpleNamespace(submodule_search_locations=[str(tmp_path)])
    monkeypatch.setattr(check.importlib.util, "find_spec", lambda name: folder)
    problems = check.check_module_files(check.LIVEFEED)
    assert len(problems) == 1 and "livefeed.cpython-39-x86_64-linux-gnu.so" in problems[0]
    # one built for this interpreter beside it is what gets loaded
    (tmp_path / ("livefeed" + check.importlib.machinery.EXTENSION_SUFFIXES[0])).write_bytes(b"")
    assert check.check_module_files(check.LIVEFEED) == []


def test_script_reports_interpreter_and_stack():
    run = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True, cwd=TOP)
    lines = run.stdout.splitlines()
    assert lines[0].startswith(f"interpreter {sys.executable} ")
    import numpy
    import pandas
    assert lines[1] == f"found numpy {numpy.__version__}, pandas {pandas.__version__}"
    assert (run.returncode, lines[-1]) == (0, "deployment complete"), run.stdout


@pytest.mark.parametrize("beside, refused", [(False, True), (True, False)])
def test_other_python_build_with_twin_beside_falls_back(check, tmp_path, monkeypatch, beside, refused):
    """Extension files only for other interpreters refuse the module, unless its twin lies beside
    them: then the module imports as the twin, which the script reports instead."""
    (tmp_path / "livefeed.cpython-39-x86_64-linux-gnu.so").write_bytes(b"")
    if beside:
        (tmp_path / "livefeed.py").write_text("")
    folder = types.SimpleNamespace(submodule_search_locations=[str(tmp_path)])
    monkeypatch.setattr(check.importlib.util, "find_spec", lambda name: folder)
    assert bool(check.check_module_files(check.LIVEFEED)) is refused
    assert (check.twin_beside(check.LIVEFEED) is not None) is beside


@pytest.mark.parametrize("filename, expected", [
    ("livefeed" + importlib.machinery.EXTENSION_SUFFIXES[0], "native"),
    ("livefeed.py", "twin"),
    ("livefeed.pyc", "twin"),
])
def test_implementation_is_named_from_the_module_file(check, filename, expected):
    assert check.implementation_of(types.SimpleNamespace(__file__="/x/" + filename)) == expected


def test_script_warns_when_a_module_runs_on_its_twin(tmp_path):
    """A module whose extension is not importable runs on the twin: a warning line, still a
    complete deployment."""
    shadow = tmp_path / "corvane" / "tessara" / "utils"
    shadow.mkdir(parents=True)
    (shadow / "livefeed.py").write_bytes((TOP / "twin" / "livefeed.py").read_bytes())
    code = ("import sys, runpy; import corvane.tessara.utils as u; u.__path__.insert(0, %r); "
            "sys.argv = ['check']; runpy.run_path(%r, run_name='__main__')" % (str(shadow), str(SCRIPT)))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=TOP)
    lines = run.stdout.splitlines()
    warn = [line for line in lines if line.startswith("WARN corvane.tessara.utils.livefeed")]
    assert len(warn) == 1 and "plain-Python twin" in warn[0], run.stdout + run.stderr
    assert (run.returncode, lines[-1]) == (0, "deployment complete"), run.stdout + run.stderr


@pytest.mark.parametrize("module", ["LIVEFEED", "HISTSOURCE", "INDEX"])
def test_outside_names_are_read_from_the_twin_before_any_import(check, module):
    name = getattr(check, module)
    table = check.outside_table(name)
    assert table == importlib.import_module(name)._outside_names
    assert check.check_outside(name, table) == []


@pytest.mark.parametrize("row, expected", [
    (("gone", "json", "no_such_attr", (), ()), "json has no no_such_attr"),
    (("gone", "json", "*", (), ()), "json has no gone"),
    (("gone", "no_such_module_xyz", None, (), ()), "cannot import no_such_module_xyz: ModuleNotFoundError"),
    (("gone", ".no_such_sibling", "x", (), ()), "cannot import corvane.tessara.utils.no_such_sibling"),
])
def test_each_missing_outside_piece_is_named(check, row, expected):
    problems = check.check_outside(check.LIVEFEED, (row,))
    assert len(problems) == 1 and expected in problems[0], problems


def test_unreadable_outside_names_are_a_problem(check, tmp_path):
    twin = tmp_path / "livefeed.py"
    twin.write_text("_outside_names = tuple(x for x in ())\n")
    assert check.table_in_source(str(twin)) is None
    assert check.check_outside(check.LIVEFEED, None) == [f"cannot read the outside names of {check.LIVEFEED}"]
