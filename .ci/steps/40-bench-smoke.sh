#!/usr/bin/env bash
# The benchmark suite in its smoke mode: every case runs a few iterations, so a benchmark that no
# longer runs, a warm query whose answer differs from the straightforward path, or a query script
# that makes more remote calls than the caching rules allow fails the step. No time is asserted:
# CI machines are too noisy for that; the full run (`python -m bench`) reports the ratios.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
py="${VENV:-$top/.venv}/bin/python"
"$py" -m bench --smoke
