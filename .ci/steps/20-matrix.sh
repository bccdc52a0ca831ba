# The supported matrix beyond the main row (.ci/run's own set-up: Python 3.11, numpy 1.26,
# pandas 1.5.3): one wheel per interpreter, each installed into a fresh venv with the host
# stand-ins, checked with scripts/check_deployment.py, then the whole suite (and, on 3.10, 3.12 and
# 3.13, the behaviour and reliability suites again with the fast paths off:
# .ci/steps/25-generic.sh; on 3.10 and 3.13 on the plain-Python twins too: .ci/steps/25-twin.sh).
#
#   3.10  numpy 1.26 / pandas 1.5.3   PYTHON=... scripts/setup (the metadata's pins)
#   3.11  numpy 2 / pandas 2.x        the main row's wheel deployed with --no-deps into a
#                                     framework-like venv on numpy 2 / pandas 2 (docs/deploying.md, step 1)
#   3.12  numpy 2.5 / pandas 3.1      PYTHON=... scripts/setup (the metadata's range for 3.12+,
#   3.13  numpy 2.5 / pandas 3.1      held to these lines by a pip constraints file)
#
# Rows run one after another: each builds with both cores or runs the suite, and the suite's
# thread and soak tests are best left alone on the machine. MATRIX_ROWS="3.10 3.13" picks rows.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
pyroot=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
declare -A interpreter=([3.10]=3.10.13 [3.11]=3.11.7 [3.12]=3.12.1 [3.13]=3.13.0)
work="$top/build/matrix"
mkdir -p "$work"
results=()

python_for() {
  local py="$pyroot/versions/${interpreter[$1]}/bin/python3"
  [ -x "$py" ] || { echo "matrix: no interpreter $py" >&2; return 1; }
  echo "$py"
}

# PYTHON=<version> scripts/setup into the row's own venv and wheel folder, as a user would. A
# row on the current lines holds pip to them, so that the row tests what it names even when a
# later numpy or pandas release is out.
setup_row() {
  local version=$1 venv=$2 dist=$3 stack=$4
  rm -rf "$venv" "$dist"
  local held=()
  if [ "$stack" = current ]; then
    printf '%s\n' "numpy>=2.5,<2.6" "pandas>=3.1,<3.2" >"$work/constraints-current.txt"
    held=("PIP_CONSTRAINT=$work/constraints-current.txt")
  fi
  env "${held[@]}" PYTHON="$(python_for "$version")" VENV="$venv" DIST="$dist" scripts/setup
}

# A framework installation on numpy 2 / pandas 2 (the stand-ins and the test tools), with the
# main row's wheel deployed into it without its dependencies.
deploy_row() {
  local version=$1 venv=$2
  rm -rf "$venv"
  "$(python_for "$version")" -m venv "$venv"
  local pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
  "${pip[@]}" install "numpy>=2,<3" "pandas>=2.2,<3" "numpy-ringbuffer==0.2.2" "lru-dict>=1.3" \
    "six>=1.16" "pytest>=8" "hypothesis>=6" "nanobind==3.1.0" ./host ./replay
  "${pip[@]}" install --no-deps dist/corvane_tessara_native-*.whl
}

# One row, in its own process so that its first failure ends it (set -e) and the next row runs.
row() {
  local version=$1 stack=$2
  local name="py${version/./}-$stack" dist
  local venv="$work/venv-$name"
  if [ "$stack" = deploy ]; then
    dist="$top/dist"
    deploy_row "$version" "$venv"
  else
    dist="$work/dist-$name"
    setup_row "$version" "$venv" "$dist" "$stack"
  fi
  "$venv/bin/python" scripts/check_deployment.py
  # The suite against the installed copy; the packaging tests read this row's wheel. The main
  # row replays every day of the store; these rows replay every tenth day.
  CORVANE_REPLAY_DAY_STRIDE=10 CORVANE_DIST="$dist" VENV="$venv" ./run-tests -p no:cacheprovider
  # 3.10, 3.12 and 3.13 lay out dicts and instances differently from the main row's 3.11: their
  # rows also run the behaviour and reliability suites with every fast path off.
  case "$version" in
    3.10|3.12|3.13) VENV="$venv" bash .ci/steps/25-generic.sh ;;
  esac
  # The plain-Python twins follow the oldest and the newest lines too: on 3.10 and 3.13 the live,
  # data-source, index and reliability suites run once more on them (about a minute each).
  case "$version" in
    3.10|3.13) VENV="$venv" bash .ci/steps/25-twin.sh ;;
  esac
}

declare -A stack_of=([3.10]=pinned [3.11]=deploy [3.12]=current [3.13]=current)
if [ "${1:-}" = --row ]; then
  row "$2" "${stack_of[$2]}"
  exit 0
fi

failed=0
for version in ${MATRIX_ROWS:-3.10 3.11 3.12 3.13}; do
  echo "== matrix row: Python $version (${stack_of[$version]})"
  start=$SECONDS
  if bash "$0" --row "$version"; then outcome=passed; else outcome=FAILED; failed=1; fi
  venv="$work/venv-py${version/./}-${stack_of[$version]}"
  stack=$("$venv/bin/python" -c 'import numpy, pandas; print("numpy", numpy.__version__, "pandas", pandas.__version__)' 2>/dev/null || echo "stack not installed")
  results+=("$(printf 'Python %-5s %-32s %-6s %4d s' "$version" "$stack" "$outcome" $((SECONDS - start)))")
  echo "== matrix row: Python $version: $outcome in $((SECONDS - start)) s"
done
echo "== matrix:"
printf '   %s\n' "${results[@]}"
exit "$failed"
