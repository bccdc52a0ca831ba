#!/usr/bin/env bash
# The behaviour suites of the three modules and the reliability suite once more, on the
# plain-Python twins (CORVANE_IMPL=twin loads twin/<module>.py under each module's name; a module
# without a twin stays native, and the test ids say which ran). Tests of native-only properties
# are marked and skipped there.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
suites=()
for d in tests/livefeed tests/histsource tests/index tests/reliability; do
  [ -d "$d" ] && suites+=("$d")
done
CORVANE_IMPL=twin ./run-tests -p no:cacheprovider "${suites[@]}"
