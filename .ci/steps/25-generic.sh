#!/usr/bin/env bash
# The behaviour suites of the three modules and the reliability tests (the adversarial tests of
# the caches among them), with every fast path switched off (CORVANE_GENERIC=1,
# docs/fast-paths.md): the generic paths must give the same answers on their own. The modules
# must report no fast path in use.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
py="${VENV:-$top/.venv}/bin/python"
CORVANE_GENERIC=1 "$py" - <<'PY'
import importlib
for name in ("corvane.tessara.utils.livefeed", "corvane.tessara.mod.mod_quant_data.data_sources.histsource",
             "corvane.tessara.datac.services.index"):
    paths = importlib.import_module(name).fast_paths
    assert paths == (), "{} still reports fast paths {} with CORVANE_GENERIC=1".format(name, paths)
PY
CORVANE_GENERIC=1 CORVANE_REPLAY_DAY_STRIDE="${CORVANE_REPLAY_DAY_STRIDE:-10}" ./run-tests -q -p no:cacheprovider \
  tests/livefeed tests/histsource tests/index tests/reliability
