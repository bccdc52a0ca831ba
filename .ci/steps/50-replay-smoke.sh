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

# The README's strategy example, as a user saves and runs it.
"${VENV:-$top/.venv}/bin/python" - "$top/README.md" "$out/dip_buyer.py" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
code = re.search(r"<!-- strategy example -->\n```python\n(.*?)```", text, re.S).group(1)
open(sys.argv[2], "w").write(code)
PY
OUT="$out/example" "$top/scripts/main-job" --quiet --no-chart --strategy "$out/dip_buyer.py:DipBuyer"
orders=$(($(wc -l < "$out/example/orders.csv") - 1))
[ "$orders" -ge 1 ] || { echo "replay smoke: the README example placed no order" >&2; exit 1; }
echo "replay smoke: README strategy example placed $orders orders"

# Chart drawing before and after, as a same-run ratio (printed, no time target).
(cd "$top" && "${VENV:-$top/.venv}/bin/python" -m bench.chart -n 2 --repeat 1)
