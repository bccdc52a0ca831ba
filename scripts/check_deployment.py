"""Checks a deployment of the three native modules in the interpreter that runs it.

Run it with the framework installation's own interpreter:

    /path/to/framework/bin/python check_deployment.py [--wheel dist/corvane_tessara_native-*.whl]

It needs nothing but the standard library. It names the interpreter and the numpy and pandas it
finds and refuses versions outside the tested stacks, and refuses a wheel (given with --wheel, or
installed) or a module file built for another Python version. For each module it then checks,
name by name, that the installation provides every outside name the module binds when it is
imported (so a missing framework piece is named, not hidden behind one import error), imports the
module and checks that the module holds those names and its own public ones. Prints one line per
module, naming the implementation it runs: the native extension, or the plain-Python twin that the
wheel installs beside it and that the import system takes where no extension matches this
interpreter (a warning: correct, but slower). Exits with status 0 when every module imports and
holds its names (on either implementation), 1 otherwise.
"""
import argparse
import ast
import importlib
import importlib.machinery
import importlib.metadata
import importlib.util
import os
import platform
import re
import sys

LIVEFEED = "corvane.tessara.utils.livefeed"
HISTSOURCE = "corvane.tessara.mod.mod_quant_data.data_sources.histsource"
INDEX = "corvane.tessara.datac.services.index"

MODULES = (LIVEFEED, HISTSOURCE, INDEX)

# The outside names each module binds at import are the module's own table `_outside_names`:
# rows (name, module it comes from, attribute or None for the module itself or "*" for a name of
# a star import, ...). The table is read from the plain-Python twin installed beside the module
# without importing anything, so that every missing piece is named before the module is imported.
TABLE = "_outside_names"

# Names the framework or the module reads on the objects it is handed, beyond the module imports:
# (source module, dotted attribute path).
OUTSIDE_ATTRIBUTES = [
    ("corvane.tessara.data.base_data_source.data_source", "BaseDataSource.DEFAULT_INS_TYPES"),
    ("corvane.tessara.environment", "Environment.get_instance"),
    ("pyvorn.strategy", "VornStrategy"),
]

# The names each module offers to the framework and the terminal.
PUBLIC_NAMES = {
    LIVEFEED: ["VornStrategy", "get_current_tick", "get_current_bar", "history_ticks", "history_bars",
               "event_queue", "orders_dict", "vorn_params", "history_tick", "history_bar",
               "algo_parent_orders", "algo_child_orders", "strategy", "np", "deque", "copy",
               "datetime", "time", "timedelta"],
    HISTSOURCE: ["OstraDataDataSource", "_is_valid_order_book_ie", "_is_suspended", "_get_tick_size",
                 "datetime", "groupby", "np", "pd", "ostradatac"],
    INDEX: ["index_components", "index_weights", "warnings", "datetime", "pd"],
}

CLASS_METHODS = {
    (LIVEFEED, "VornStrategy"): [
        "initialize", "on_initialize", "on_switch_day", "on_snapshot", "on_bar", "on_tick_order",
        "on_tick_trade", "on_login", "on_query_asset", "on_query_position", "on_order", "on_trade",
        "on_order_action_error", "on_algo_login", "on_create_algo_parent_order_res",
        "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res",
        "on_algo_parent_order_update", "on_algo_child_order_update", "on_algo_child_order_trade",
        "send_before_trading_event", "send_open_auction_event", "send_after_trading_event",
        "send_next_day_event"],
    (HISTSOURCE, "OstraDataDataSource"): [
        "get_trading_calendars", "get_instruments", "is_st_stock", "is_suspended", "get_dividend",
        "get_split", "get_share_transformation", "get_yield_curve", "get_commission_info",
        "get_futures_trading_parameters", "available_data_range", "history_bars", "get_bar",
        "get_last_price", "get_settle_price", "current_snapshot", "get_trading_minutes_for",
        "get_trading_dates", "get_previous_trading_date"],
}


DISTRIBUTION = "corvane-tessara-native"

# The tested lines of each library, as [first, past-the-end) version ranges, and the pairings
# tested together.
TESTED_VERSIONS = {
    "numpy": [((1, 26), (1, 27)), ((2, 0), (3, 0))],
    "pandas": [((1, 5, 3), (1, 6)), ((2, 2), (3, 0)), ((3, 0), (4, 0))],
}
TESTED_LINES = {"numpy": "1.26.x or 2.x", "pandas": "1.5.3, 2.2 and later 2.x, or 3.x"}
TESTED_PAIRS = {(1, 1), (2, 2), (2, 3)}  # (numpy major, pandas major)
PAIRS_TEXT = "numpy 1.26 with pandas 1.5.3, numpy 2 with pandas 2 or 3"


def parse_version(text):
    """(major, minor, micro) of a version string; None when it does not start with digits."""
    m = re.match(r"(\d+)\.(\d+)(?:\.(\d+))?", text)
    return tuple(int(g or 0) for g in m.groups()) if m else None


def installed_version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return None


def check_versions(versions):
    """Problems with the numpy and pandas versions found ({name: version string or None})."""
    problems = []
    majors = {}
    for name, text in versions.items():
        if text is None:
            problems.append(f"{name} is not installed (tested: {TESTED_LINES[name]})")
            continue
        version = parse_version(text)
        if version is None:
            problems.append(f"{name} {text}: cannot read the version (tested: {TESTED_LINES[name]})")
            continue
        majors[name] = version[0]
        if any(low <= version < high for low, high in TESTED_VERSIONS[name]):
            continue
        tested_majors = {low[0] for low, _ in TESTED_VERSIONS[name]}
        what = "major version" if version[0] not in tested_majors else "version"
        problems.append(f"{name} {text} is an untested {what} (tested: {TESTED_LINES[name]}); "
                        f"install a tested one")
    pair = (majors.get("numpy"), majors.get("pandas"))
    if not problems and pair not in TESTED_PAIRS:
        problems.append(f"numpy {versions['numpy']} with pandas {versions['pandas']} is an untested "
                        f"pairing (tested: {PAIRS_TEXT})")
    return problems


def interpreter_tag():
    return "cp%d%d" % sys.version_info[:2]


def check_wheel_tags(wheel_path):
    """Problems with the Python tag of the wheel file given and of the installed wheel."""
    problems = []
    here = interpreter_tag()
    if wheel_path:
        parts = os.path.basename(wheel_path)[:-len(".whl")].split("-")
        tags = parts[-3].split(".") if len(parts) >= 5 else []
        if here not in tags:
            problems.append(f"{os.path.basename(wheel_path)} is built for {', '.join(tags) or 'an unknown Python'}, "
                            f"this interpreter is {here}: build the wheel with this interpreter")
    try:
        wheel_info = importlib.metadata.distribution(DISTRIBUTION).read_text("WHEEL") or ""
    except importlib.metadata.PackageNotFoundError:
        wheel_info = ""
    tags = [line.split(":", 1)[1].strip() for line in wheel_info.splitlines() if line.startswith("Tag:")]
    if tags and not any(t.split("-")[0] == here for t in tags):
        problems.append(f"the installed {DISTRIBUTION} is built for {', '.join(tags)}, "
                        f"this interpreter is {here}: reinstall a wheel built with this interpreter")
    return problems


def twin_beside(module_name):
    """The plain-Python twin installed in the module's folder, or None."""
    package, _, short = module_name.rpartition(".")
    try:
        spec = importlib.util.find_spec(package)
    except Exception:
        return None
    for folder in (spec.submodule_search_locations or ()) if spec else ():
        path = os.path.join(folder, short + ".py")
        if os.path.exists(path):
            return path
    return None


def implementation_of(module):
    """"native" for an extension module, "twin" for the plain-Python one."""
    path = getattr(module, "__file__", None) or ""
    return "native" if path.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)) else "twin"


def check_module_files(module_name):
    """A problem when the module's folder holds only extension files for other interpreters and
    no twin to fall back on (with the twin there, the module runs on it and is reported so)."""
    package, _, short = module_name.rpartition(".")
    try:
        spec = importlib.util.find_spec(package)
    except Exception:
        return []  # the missing package is reported by the name checks
    folders = list(spec.submodule_search_locations or ()) if spec else []
    ours = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    found = [f for d in folders for f in sorted(os.listdir(d))
             if f.startswith(short + ".") and f.endswith(".so")]
    if not found or any(f[len(short):] in ours for f in found) or twin_beside(module_name):
        return []
    return [f"{', '.join(found)} in {folders[0]} is built for another Python; this interpreter "
            f"({platform.python_implementation()} {platform.python_version()}) loads "
            f"{short}{ours[0]}: copy the files of a wheel built with this interpreter"]


def table_in_source(path):
    """The literal `_outside_names` of a module's source file, or None."""
    try:
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
    except (OSError, SyntaxError, ValueError):
        return None
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == TABLE for t in node.targets):
            try:
                return ast.literal_eval(node.value)
            except ValueError:
                return None
    return None


def outside_table(module_name):
    """The module's outside names as its twin's source states them, else as the imported module
    holds them; None when neither can be read."""
    twin = twin_beside(module_name)
    table = table_in_source(twin) if twin else None
    if table is None:
        try:
            table = getattr(importlib.import_module(module_name), TABLE, None)
        except Exception:  # the import failure itself is reported by check_module
            table = None
    return table


def absolute(source, module_name):
    """A row's source module with a relative name (leading dots) resolved from the module's package."""
    return importlib.util.resolve_name(source, module_name.rpartition(".")[0])


def check_outside(module_name, table):
    """Problems with what the installation must provide for `module_name`."""
    if table is None:
        return [f"cannot read the outside names of {module_name}"]
    problems = []
    sources, checked = {}, set()
    for name, source, attr, *_ in table:
        source = absolute(source, module_name)
        if source not in sources:
            try:
                sources[source] = importlib.import_module(source)
            except Exception as exc:  # any failure to import is a deployment fault to report
                sources[source] = None
                problems.append(f"cannot import {source}: {type(exc).__name__}: {exc}")
        wanted = name if attr == "*" else attr
        checked.add((source, wanted))
        if sources[source] is not None and wanted is not None and not hasattr(sources[source], wanted):
            problems.append(f"{source} has no {wanted}")
    for source, path in OUTSIDE_ATTRIBUTES:
        holder, where = sources.get(source), source
        for i, part in enumerate(path.split(".")):
            if holder is None or not hasattr(holder, part):
                # an outside name that is missing is reported above
                if holder is not None and (i > 0 or (source, part) not in checked):
                    problems.append(f"{where} has no {part}")
                break
            holder, where = getattr(holder, part), f"{where}.{part}"
    return problems


def check_module(module_name, table):
    """Problems with the deployed module itself; empty when it imports and holds its names."""
    try:
        module = importlib.import_module(module_name)
    except Exception as exc:
        return [f"cannot import {module_name}: {type(exc).__name__}: {exc}"], None
    problems = []
    held = getattr(module, TABLE, None)
    if table is not None and held is not None and tuple(held) != tuple(table):
        problems.append(f"{module_name} holds other outside names than its twin beside it")
    expected = [row[0] for row in held or table or ()] + PUBLIC_NAMES[module_name]
    problems += [f"{module_name} has no {name}" for name in expected if not hasattr(module, name)]
    for (owner_module, cls_name), methods in CLASS_METHODS.items():
        cls = getattr(module, cls_name, None) if owner_module == module_name else None
        if cls is not None:
            problems += [f"{cls_name} has no {m}" for m in methods if not callable(getattr(cls, m, None))]
    return problems, module


def main(argv=None):
    parser = argparse.ArgumentParser(description="Check a deployment of the native modules.")
    parser.add_argument("--wheel", help="a wheel file to check against this interpreter before installing it")
    args = parser.parse_args(argv)

    print(f"interpreter {sys.executable} ({platform.python_implementation()} {platform.python_version()}, "
          f"{interpreter_tag()})")
    versions = {name: installed_version(name) for name in ("numpy", "pandas")}
    print("found " + ", ".join(f"{name} {v or '(not installed)'}" for name, v in versions.items()))
    failed = False
    for problem in check_versions(versions) + check_wheel_tags(args.wheel):
        failed = True
        print(f"FAIL {problem}")
    for module_name in MODULES:
        table = outside_table(module_name)
        problems = check_module_files(module_name) + check_outside(module_name, table)
        module_problems, module = check_module(module_name, table)
        problems += module_problems
        if problems:
            failed = True
            print(f"FAIL {module_name}")
            for problem in problems:
                print(f"     {problem}")
        elif implementation_of(module) == "native":
            print(f"ok   {module_name}  native ({module.__file__})")
        else:
            print(f"WARN {module_name}  runs the plain-Python twin ({module.__file__}): no native build "
                  f"for this interpreter ({interpreter_tag()}); same behaviour, slower; install a wheel "
                  f"built with this interpreter for the native module")
    print("deployment incomplete" if failed else "deployment complete")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
