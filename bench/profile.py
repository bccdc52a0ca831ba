"""Runs one live case's total or floor loop for profiling under callgrind, e.g.

    valgrind --tool=callgrind .venv/bin/python -m bench.profile cheap/slots/on_snapshot native 20000

(key: world/shape/case of bench.live; side: native, twin, plain or floor). With BENCH_SO_DIR set to a build
directory, the module is loaded from there (build with symbols: RelWithDebInfo). Running the total and the floor with
the same count and subtracting the instruction counts gives the bridge's own instructions per
call, free of the timing noise of a shared machine."""
import gc
import importlib.util
import os
import sys


def _load_native(name, directory):
    """Imports the module `name` from the .so in `directory` (a build with symbols, for
    readable profiles) instead of the one installed in the host tree."""
    short = name.rsplit(".", 1)[1]
    so = [f for f in os.listdir(directory) if f.startswith(short + ".") and f.endswith(".so")][0]
    spec = importlib.util.spec_from_file_location(name, os.path.join(directory, so))
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)


if os.environ.get("BENCH_SO_DIR"):
    _load_native("corvane.tessara.utils.livefeed", os.environ["BENCH_SO_DIR"])

from . import live  # noqa: E402


def main(argv):
    key, side, n = argv[0], argv[1], int(argv[2])
    world_name = key.split("/", 1)[0]
    with live.world(world_name):
        case = next(c for c in live.all_cases(world_name) if "%s/%s/%s" % (c.world, c.shape, c.name) == key)
        fn = case.loops[side]
        case.setup()
        fn(100)          # warm-up: first-use caches, interned names
        case.setup()
        gc.disable()
        fn(n)
    print(key, side, n)


if __name__ == "__main__":
    main(sys.argv[1:])
