# shellcheck shell=bash
# Sourced by the script tests: $work, a scratch directory removed on exit;
# fail MESSAGE... counts a failure; finish NAME prints the count and ends the
# test, with status 0 only when nothing failed.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { printf 'FAIL: %s\n' "$@"; failures=$((failures + 1)); }
finish() {
  echo "$1: $failures failed"
  [ "$failures" -eq 0 ]
  exit
}
