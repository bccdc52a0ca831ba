#!/usr/bin/env bash
# Record-and-replay smoke run: a short replay recorded while it runs, then the recording
# replayed; both runs must write the same event stream.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
OUT="$work/live" "$top/scripts/main-job" -n 2 --quiet --no-chart --record "$work/rec"
OUT="$work/again" "$top/scripts/main-job" --quiet --no-chart --recording "$work/rec" \
  --compare "$work/live"
cmp "$work/live/events.jsonl" "$work/again/events.jsonl"
echo "recording smoke: $(wc -l < "$work/live/events.jsonl") events replayed identically"
