#!/usr/bin/env bash
# run-fuzzer.sh <fuzzer> <target dir> <seconds>
# Replays the seeds and regression inputs, then fuzzes for a bounded time on
# a scratch copy of the seeds so the committed corpus never changes. Any
# crash fails the test; the crashing input is left in the scratch directory.
# Scheduling favours inputs that run fast, so the slow targets get through
# more inputs in the bounded time.
set -euo pipefail
fuzzer=$1 dir=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
cp -r "$dir/seeds/." "$work/corpus/" 2>/dev/null || true
"$fuzzer" -runs=0 "$dir/seeds" "$dir/regress"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -entropic_scale_per_exec_time=1 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" 2>&1 | tail -n 20
exit "${PIPESTATUS[0]}"
