# The same wheel on today's numpy 2 and pandas 2: a fresh environment standing for a framework
# installation on the current lines, deployed and checked as the README says, then the whole suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
wheel=$(ls dist/corvane_tessara_native-*.whl)
venv="$top/build/venv-current"
rm -rf "$venv"
"${PYTHON:-python3}" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
# the framework side: the stand-ins with the current lines of the shared dependencies, plus the
# test tools (the test extras of pyproject.toml, less mypy: the stubs are type-checked once)
"${pip[@]}" install "numpy>=2,<3" "pandas>=2.2,<3" "numpy-ringbuffer==0.2.2" "lru-dict>=1.3" "six>=1.16" \
  "pytest>=8" "hypothesis>=6" "nanobind==3.1.0" ./host
# deployment: the wheel's metadata pins the tested stack, so it goes in without its dependencies
"${pip[@]}" install --no-deps "$wheel"
"$venv/bin/python" scripts/check_deployment.py
"$venv/bin/python" -c 'import numpy, pandas; print("current stack: numpy", numpy.__version__, "pandas", pandas.__version__)'
"$venv/bin/python" -m pytest -q -p no:cacheprovider
