#!/usr/bin/env bash
# The whole test suite against the three modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The sanitized modules are built in their own directory and put in
# front of the installed ones: a copy of the installed `corvane` package with the sanitized .so
# files in place of the normal ones, first on PYTHONPATH. Python's allocator is switched to
# malloc so the sanitizer sees every allocation; any report stops the run (halt_on_error) and
# fails the step. The replay of the store's days takes every tenth day here (the main row takes
# them all).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
py="${VENV:-$top/.venv}/bin/python"
work="$top/build/ci-sanitize"
build="$work/build"
overlay="$work/site"

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$top" -B "$build" "${gen[@]}" -DCORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" --target livefeed histsource index -j "$(nproc)"

# The package as the environment imports it, copied, with the sanitized modules dropped in.
pkg=$("$py" -c 'import corvane, os; print(os.path.dirname(corvane.__file__))')
rm -rf "$overlay"
mkdir -p "$overlay"
cp -a "$pkg" "$overlay/corvane"
declare -A dest=(
  [livefeed]=corvane/tessara/utils
  [histsource]=corvane/tessara/mod/mod_quant_data/data_sources
  [index]=corvane/tessara/datac/services
)
for t in livefeed histsource index; do
  so=$(ls "$build"/$t.*.so)
  rm -f "$overlay/${dest[$t]}"/$t.*.so
  cp "$so" "$overlay/${dest[$t]}/"
done

asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
# Make sure the suite really runs the sanitized build.
env PYTHONPATH="$overlay" LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 "$py" - "$overlay" <<'EOF'
import sys
import corvane.tessara.utils.livefeed as lf
import corvane.tessara.mod.mod_quant_data.data_sources.histsource as hs
import corvane.tessara.datac.services.index as ix
for m in (lf, hs, ix):
    assert m.__file__.startswith(sys.argv[1]), m.__file__
print("sanitized modules:", lf.__file__, hs.__file__, ix.__file__, sep="\n  ")
EOF

# --capture=sys leaves file descriptor 2 alone, so a sanitizer report reaches the log even when
# it ends the process in the middle of a test.
env PYTHONPATH="$overlay" LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  CORVANE_SANITIZED=1 CORVANE_REPLAY_DAY_STRIDE=10 "$py" -m pytest -q --capture=sys -p no:cacheprovider tests
