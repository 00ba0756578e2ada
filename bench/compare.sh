#!/usr/bin/env bash
# CPU per MB of the service's decoding, side by side with gpsd's general
# decoder in the same run:
#   kesta-gps-bench   the main thread's whole per-byte path (queue, line
#                     assembler, decoder, parser, one posted message per byte,
#                     UBX watcher)
#   kesta-gps-replay  the same code as an offline decoder printing JSON
#   gpsdecode         gpsd-clients' decoder, every sentence to JSON
# on one input built from the receiver captures, interleaved, ROUNDS each
# (default 9); each program's least, median and greatest CPU per MB, and the
# ratio of its least to gpsdecode's least.
#   bash bench/compare.sh [ROUNDS] [MB]
# KESTA_BENCH_BIN names a folder of already built programs to measure
# instead (an older build, say); otherwise they are built in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-9}
mb=${2:-20}
if [ -n "${KESTA_BENCH_BIN:-}" ]; then
  bin=$(cd "$KESTA_BENCH_BIN" && pwd)
else
  build=${KESTA_BUILD_DIR:-build}
  bash tools/setup.sh
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target kesta-gps-bench kesta-gps-replay >/dev/null
  bin=$(cd "$build" && pwd)
fi

work=$(mktemp -d /tmp/kesta-compare-XXXXXX)
trap 'rm -rf "$work"' EXIT
input=$work/input.nmea
captures=tests/data/captures
while [ "$(stat -c %s "$input" 2>/dev/null || echo 0)" -lt $((mb * 1000000)) ]; do
  for c in gr601-w ublox-lea-4h garmin48 com-1289 magellan-ec10 ublox8-uniqid-monhw vk162-ublox7-cold-start; do
    cat "$captures/$c.raw"
  done >>"$input"
done
size=$(stat -c %s "$input")
echo "input: $size bytes from the captures in $captures; $rounds rounds, interleaved"

programs=(kesta-gps-bench kesta-gps-replay)
have_gpsdecode=0
if command -v gpsdecode >/dev/null; then
  programs+=(gpsdecode)
  have_gpsdecode=1
else
  echo "gpsdecode is not installed, so there is nothing to compare with: apt-get install gpsd-clients"
fi

run() {
  case "$1" in
    kesta-gps-bench) "$bin/kesta-gps-bench" 1 "$input" ;;
    kesta-gps-replay) "$bin/kesta-gps-replay" "$input" ;;
    gpsdecode) gpsdecode <"$input" ;;
  esac
}

TIMEFORMAT='%U %S'
for ((r = 1; r <= rounds; r++)); do
  for p in "${programs[@]}"; do
    { time run "$p" >/dev/null 2>&1; } 2>>"$work/$p.times"
  done
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
declare -A med
printf '\n%-18s %14s %14s %14s %12s\n' program "min ms/MB" "median ms/MB" "max ms/MB" "vs gpsdecode"
for p in "${programs[@]}"; do
  awk -v mb="$(awk -v s="$size" 'BEGIN {print s / 1000000}')" \
    '{printf "%.3f\n", ($1 + $2) * 1000 / mb}' "$work/$p.times" >"$work/$p.msmb"
  med[$p]=$(median <"$work/$p.msmb")
done
for p in "${programs[@]}"; do
  lo=$(sort -n "$work/$p.msmb" | head -1)
  hi=$(sort -n "$work/$p.msmb" | tail -1)
  ratio="-"
  # Other work on a shared machine only ever adds CPU time, and in bursts
  # that can double a short run, so each program's least is the closest to
  # its own cost: their ratio holds steady where the medians' does not.
  [ "$have_gpsdecode" = 1 ] && ratio=$(awk -v a="$lo" -v b="$(sort -n "$work/gpsdecode.msmb" | head -1)" \
    'BEGIN {printf "%.2f", a / b}')
  printf '%-18s %14.1f %14.1f %14.1f %12s\n' "$p" "$lo" "${med[$p]}" "$hi" "$ratio"
done
