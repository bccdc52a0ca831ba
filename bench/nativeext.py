"""The benchmarks' own small C extension (bench/ext/benchext.c): natively bound getset records,
the cheapest outside call, and a replay of a callback's outside calls from C.

Built on demand with the interpreter's own C compiler into build/bench-ext/, outside the
modules' wheel, and rebuilt when its source is newer. `load()` returns the module, or None when
it cannot be built; `why_not()` then says why, for the one line the bench prints."""
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

_HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(_HERE, "ext", "benchext.c")
BUILD_DIR = os.path.join(os.path.dirname(_HERE), "build", "bench-ext")
_state = {}


def _target():
    return os.path.join(BUILD_DIR, "benchext" + sysconfig.get_config_var("EXT_SUFFIX"))


def _compile(target):
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if shutil.which(cc[0]) is None:
        raise RuntimeError("no C compiler ({}) to build the bench extension".format(cc[0]))
    os.makedirs(BUILD_DIR, exist_ok=True)
    include = sysconfig.get_paths()["include"]
    partial = target + ".part"
    cmd = cc + ["-O2", "-shared", "-fPIC", "-Wall", "-I" + include, SOURCE, "-o", partial]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if proc.returncode != 0:
        raise RuntimeError("building the bench extension failed: " + proc.stdout.decode()[-2000:].strip())
    os.replace(partial, target)     # never a half-written library for a concurrent loader


def load():
    """The extension module, built first when needed; None when it cannot be."""
    if "module" in _state:
        return _state["module"]
    target = _target()
    module = None
    try:
        if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(SOURCE):
            _compile(target)
        spec = importlib.util.spec_from_file_location("benchext", target)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    except Exception as exc:
        module = None
        _state["why"] = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    _state["module"] = module
    return module


def why_not():
    load()
    return _state.get("why", "")


if __name__ == "__main__":
    m = load()
    print(m.__file__ if m else "not built: " + why_not())
    sys.exit(0 if m else 1)
