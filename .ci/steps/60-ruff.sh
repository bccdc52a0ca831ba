# Lint of the Python code (tests, bench, scripts, the host stand-ins, the typing check) with the
# ruff pinned in the test extras; the rules are in pyproject.toml.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
"${VENV:-$top/.venv}/bin/python" -m ruff check tests bench scripts host replay typing twin
