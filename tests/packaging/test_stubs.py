"""The checked-in type stubs: current with the modules, and declaring the public interface."""
import ast
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

TOP = pathlib.Path(__file__).resolve().parents[2]
STUBS = {
    "livefeed": TOP / "stubs/corvane/tessara/utils/livefeed.pyi",
    "histsource": TOP / "stubs/corvane/tessara/mod/mod_quant_data/data_sources/histsource.pyi",
    "index": TOP / "stubs/corvane/tessara/datac/services/index.pyi",
}


def _signatures(stub):
    """{qualified name: [parameter names]} of the functions and methods a stub declares."""
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.FunctionDef):
                args = node.args
                found[prefix + node.name] = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
            elif isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")

    visit(tree.body, "")
    return found


@pytest.mark.skipif(importlib.util.find_spec("nanobind") is None, reason="needs nanobind's stub generator")
def test_checked_in_stubs_match_the_modules():
    # A changed signature, a new public name or a removed one all show here.
    result = subprocess.run([str(TOP / "scripts/gen-stubs"), "--check"], capture_output=True, text=True,
                            env={**os.environ, "PYTHON": sys.executable}, timeout=300)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]


@pytest.mark.parametrize("module, name, params", [
    ("livefeed", "get_current_tick", ["market_code"]),
    ("livefeed", "get_current_bar", ["market_code"]),
    ("livefeed", "history_ticks", ["market_code", "count"]),
    ("livefeed", "history_bars", ["market_code", "count"]),
    ("livefeed", "VornStrategy.__init__", ["self", "config"]),
    ("livefeed", "VornStrategy.on_query_position", ["self", "query_position_res", "request_id", "code", "msg"]),
    ("livefeed", "VornStrategy.on_algo_child_order_trade", ["self", "child_trade"]),
    ("histsource", "OstraDataDataSource.__init__", ["self"]),
    ("histsource", "OstraDataDataSource.get_instruments", ["self", "id_or_syms", "types"]),
    ("histsource", "OstraDataDataSource.history_bars",
     ["self", "instrument", "bar_count", "frequency", "fields", "dt", "skip_suspended", "include_now",
      "adjust_type", "adjust_orig"]),
    ("index", "index_components", ["market_code", "date"]),
    ("index", "index_weights", ["market_code", "date"]),
])
def test_stub_declares_public_interface(module, name, params):
    assert _signatures(STUBS[module]).get(name) == params


@pytest.mark.parametrize("module", sorted(STUBS))
def test_stub_keeps_private_helpers_out(module):
    # internal methods stay out of the editor's view; dunder methods are public protocol
    private = [n for n in _signatures(STUBS[module])
               if any(p.startswith("_") and not p.startswith("__") for p in n.split("."))]
    assert private == []
