# Format check of the native sources with the clang-format pinned in the test extras: any file
# under src/ that differs from its formatted self fails the step. To fix: scripts/format.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
git ls-files -z 'src/*.c' 'src/*.cpp' 'src/*.h' |
  xargs -0 "${VENV:-$top/.venv}/bin/clang-format" --dry-run --Werror
echo "format: native sources are formatted"
