#!/usr/bin/env bash
# Smoke run of the main job: a short replay (two instruments) into a scratch folder; the
# summary, the fills and orders and a chart per instrument must be there afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
OUT="$out" "$top/scripts/main-job" -n 2 --quiet
for f in summary.txt summary.json fills.csv fills.parquet orders.csv orders.parquet \
         chart_600000.SH_20240617.png chart_600519.SH_20240617.png; do
  [ -s "$out/$f" ] || { echo "replay smoke: $f missing" >&2; exit 1; }
done
"${VENV:-$top/.venv}/bin/python" - "$out/summary.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
assert s["events"]["BAR"] == 240 and s["events"]["TICK"] == 480, s["events"]
assert s["accessor_checks"].get("failed", 0) == 0, s["accessor_checks"]
print("replay smoke: %d events, %.0f callbacks/s" % (sum(s["events"].values()), s["callbacks_per_second"]))
PY
