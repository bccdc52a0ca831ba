"""Each outside name is bound at import as `from module import name` binds it: a name the module
lacks is the interpreter's ImportError naming module and name, never an AttributeError."""
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

