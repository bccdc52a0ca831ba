"""Loading the user's strategy class named on the command line as `module:Class`.

`module` is an importable module name (found on sys.path, with the current folder first)
or the path of a .py file; `Class` may be dotted (`Outer.Inner`).
"""
import importlib
import importlib.util
import os
import sys


class StrategyLoadError(Exception):
    """The named strategy cannot be loaded; the message says why, in one line."""


def load_strategy_class(target):
    module_name, sep, class_name = str(target).rpartition(":")
    if not sep or not module_name or not class_name:
        raise StrategyLoadError("strategy %r: expected module:Class" % (target,))
    module = _import(module_name, target)
    obj = module
    for part in class_name.split("."):
        obj = getattr(obj, part, None)
        if obj is None:
            raise StrategyLoadError("strategy %s: %s has no %s" % (target, module_name, class_name))
    if not isinstance(obj, type):
        raise StrategyLoadError("strategy %s: %s is not a class" % (target, class_name))
    return obj


def _import(module_name, target):
    try:
        if module_name.endswith(".py") or os.sep in module_name:
            return _import_file(module_name, target)
        if "" not in sys.path and os.getcwd() not in sys.path:
            sys.path.insert(0, os.getcwd())
        return importlib.import_module(module_name)
    except StrategyLoadError:
        raise
    except ModuleNotFoundError as exc:
        if exc.name and module_name.startswith(exc.name):
            raise StrategyLoadError("strategy %s: no module named %s" % (target, exc.name)) from None
        raise StrategyLoadError("strategy %s: importing it failed: %s" % (target, _one_line(exc))) from None
    except BaseException as exc:      # SyntaxError, errors raised at import, SystemExit
        if isinstance(exc, KeyboardInterrupt):
            raise
        raise StrategyLoadError("strategy %s: importing it failed: %s" % (target, _one_line(exc))) from None


def _import_file(path, target):
    if not os.path.isfile(path):
        raise StrategyLoadError("strategy %s: no file %s" % (target, path))
    name = "_replay_strategy_" + os.path.splitext(os.path.basename(path))[0]
    location = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(location)
    sys.modules[name] = module
    location.loader.exec_module(module)
    return module


def _one_line(exc):
    where = ""
    if isinstance(exc, SyntaxError) and exc.filename:
        where = " (%s:%s)" % (os.path.basename(exc.filename), exc.lineno)
    else:
        tb, last = exc.__traceback__, None
        while tb is not None:
            last = tb
            tb = tb.tb_next
        if last is not None:
            where = " (%s:%d)" % (os.path.basename(last.tb_frame.f_code.co_filename), last.tb_lineno)
    text = str(exc).splitlines()[0] if str(exc) else ""
    return "%s%s%s" % (type(exc).__name__, ": " + text if text else "", where)
