# Type-checks a usage file against the stubs installed from the wheel (mypy comes with the test
# extras). Runs from typing/, so that only the installed copy is seen.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top/typing"
"${VENV:-$top/.venv}/bin/python" -m mypy --config-file mypy.ini --no-incremental --cache-dir "$top/build/mypy-cache" usage_check.py
