"""Each outside name is bound at import as `from module import name` binds it: a name the module
lacks is the interpreter's ImportError naming module and name, never an AttributeError."""
import ast
import functools
import importlib
import importlib.util
import subprocess
import sys
import textwrap

import pytest

import implementations

HISTSOURCE = "corvane.tessara.mod.mod_quant_data.data_sources.histsource"
INDEX = "corvane.tessara.datac.services.index"


@pytest.mark.parametrize("extension, module, name", [
    (HISTSOURCE, "corvane.tessara.utils.logger", "system_log"),
    (HISTSOURCE, "lru", "LRU"),
    (HISTSOURCE, "corvane.tessara.mod.mod_quant_data.data_sources.resample_helper", "resample_bars"),
    (INDEX, "corvane.data.wkclient.commons", "ApiRspCode"),
    (INDEX, "corvane.tessara.datac.validators", "ensure_date_str"),
])
def test_a_name_missing_at_import_is_an_import_error(extension, module, name):
    # A fresh interpreter: an extension module is initialised once per process.
    script = textwrap.dedent(f"""
        import importlib, sys
        sys.path.insert(0, {implementations.TESTS_DIR!r})
        import implementations
        mod = importlib.import_module({module!r})
        delattr(mod, {name!r})
        try:
            implementations.import_module({extension!r})
        except ImportError as outer:
            e = outer.__cause__ or outer
            print(type(e).__name__, e.name, e)
        """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith(f"ImportError {module} cannot import name {name!r} from {module!r} ("), \
        out.stdout + out.stderr



# --- the table of outside names --------------------------------------------------------------

def _table_in_twin_source(name):
    tree = ast.parse((implementations.TWIN_DIR / (name + ".py")).read_text())
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["_outside_names"]:
            return ast.literal_eval(node.value)
    raise AssertionError("twin/%s.py states no _outside_names" % name)


@pytest.mark.parametrize("name", sorted(implementations.MODULES))
def test_module_and_twin_source_state_the_same_outside_names(name):
    module = importlib.import_module(implementations.MODULES[name])
    assert module._outside_names == _table_in_twin_source(name)


@pytest.mark.parametrize("name", sorted(implementations.MODULES))
def test_each_outside_name_is_bound_as_its_row_states(name):
    dotted = implementations.MODULES[name]
    module = importlib.import_module(dotted)
    table = module._outside_names
    assert type(table) is tuple and all(type(row) is tuple and len(row) == 5 for row in table)
    assert len({row[0] for row in table}) == len(table), "a name listed twice"
    for bound, source, attr, pristine, readers in table:
        origin = importlib.import_module(importlib.util.resolve_name(source, dotted.rpartition(".")[0]))
        expected = origin if attr is None else getattr(origin, bound if attr == "*" else attr)
        assert getattr(module, bound) is expected, bound
        assert all(type(text) is str for text in pristine + readers), bound
        for expr in pristine:
            # an expression read through the module from the row's own name
            first, *rest = expr.split(".")
            assert first == bound, expr
            functools.reduce(getattr, rest, expected)
        if name != "livefeed":
            assert readers == (), bound

