#!/usr/bin/env bash
# Runs the platform contract (tests/contract) of a built tree again on its
# own and says how many cases ran, passed and were skipped, with the reason
# each skipped case gives:
#   tools/contract-summary.sh BUILD_DIR LABEL
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: tools/contract-summary.sh BUILD_DIR LABEL" >&2; exit 2; }
cd "$1"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
code=0
ctest -R '^Contract' -j "$(nproc)" --timeout 300 --output-on-failure >"$log" 2>&1 || code=$?
total=$(grep -c 'Test *#[0-9]*: Contract' "$log" || true)
skipped=$(grep -E 'Test *#[0-9]*: Contract.*\*\*\*Skipped' "$log" | sed 's/.*: \(Contract[^ ]*\).*/\1/' || true)
failed=$(grep -E 'Test *#[0-9]*: Contract.*\*\*\*(Failed|Timeout|Exception)' "$log" | sed 's/.*: \(Contract[^ ]*\).*/\1/' || true)
n_skipped=$(grep -c . <<<"$skipped" || true)
n_failed=$(grep -c . <<<"$failed" || true)
echo "platform contract ($2): $total cases run, $((total - n_skipped - n_failed)) passed, $n_skipped skipped, $n_failed failed"
for name in $skipped; do
  why=$(ctest -R "^$name\$" -V 2>/dev/null | grep -A1 'Skipped$' | tail -1 | sed 's/^[0-9]*: //')
  echo "  skipped $name: $why"
done
for name in $failed; do echo "  FAILED $name"; done
[ "$code" = 0 ] || { cat "$log"; exit 1; }
