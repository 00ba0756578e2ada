#!/usr/bin/env bash
# The live cost, side by side in one run: one real capture replayed at 9600
# baud, one RMC cycle a second, handed over 14 bytes at a time like a UART
# FIFO, each consumer fed by its own simulated receiver on a pseudo-terminal:
#   service   kesta-gps with one kesta-gps-listen
#   peer      gpsd (read-only, fixed at 9600 baud) with one gpspipe -w
# For ROUNDS windows of SECONDS each (default 3 of 60), each pair's CPU (the
# kernel's nanosecond run time of every thread, /proc/PID/task/*/schedstat)
# and voluntary wake-ups; then the ratio of the service's median to the
# peer's. A benchmark, not a test: it prints figures and judges nothing.
#   bash bench/live.sh [SECONDS] [ROUNDS] [CAPTURE]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
rounds=${2:-3}
capture=${3:-tests/data/captures/ublox-lea-4h.raw}
for v in "$seconds" "$rounds"; do
  case "$v" in ''|*[!0-9]*|0) echo "bench/live.sh: SECONDS and ROUNDS must be whole numbers above 0, not '$v'" >&2; exit 2;; esac
done
[ -r "$capture" ] || { echo "bench/live.sh: cannot read the capture '$capture'" >&2; exit 2; }
if ! command -v gpsd >/dev/null || ! command -v gpspipe >/dev/null; then
  echo "gpsd and gpspipe are not installed, so there is nothing to compare with: apt-get install gpsd gpsd-clients"
  exit 0
fi
build=${KESTA_BUILD_DIR:-build}
bash tools/setup.sh
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kesta-gps kesta-gps-sim kesta-gps-listen >/dev/null
bin=$(cd "$build" && pwd)

work=$(mktemp -d /tmp/kesta-live-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The capture repeated until it lasts the whole run and a little more.
cycles=$(grep -c 'RMC' "$capture" || true)
[ "$cycles" -gt 0 ] || { echo "bench/live.sh: the capture '$capture' holds no RMC sentence" >&2; exit 2; }
need=$((seconds * rounds + 30))
input=$work/input.nmea
for _ in $(seq $(( (need + cycles - 1) / cycles ))); do cat "$capture"; done >"$input"

# Starts a simulated receiver replaying the input; prints its device.
receiver() {
  local log=$work/sim-$1.log
  shift
  "$bin/kesta-gps-sim" --replay "$input" "$@" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^device ' "$log" && break; sleep 0.1; done
  sed -n 's/^device //p' "$log"
}

export KESTA_GPS_ROOT=$work/root
mkdir -p "$KESTA_GPS_ROOT/DataStorage"
unset KESTA_GPS_CLOCK  # the simulated clock: this machine's clock is left alone
dev=$(receiver service)
KESTA_GPS_COM1=$dev "$bin/kesta-gps" >/dev/null 2>&1 &
service=$!
pids+=($service)
for _ in $(seq 100); do ls "$KESTA_GPS_ROOT/.platform/win/" 2>/dev/null | grep -q . && break; sleep 0.1; done
"$bin/kesta-gps-listen" >"$work/listen.out" 2>&1 &
listen=$!
pids+=($listen)

port=$(( 20000 + RANDOM % 20000 ))
peerdev=$(receiver peer --no-wait)
gpsd -N -n -b -s 9600 -S "$port" -F "$work/gpsd.sock" "$peerdev" >"$work/gpsd.log" 2>&1 &
gpsd=$!
pids+=($gpsd)
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
gpspipe -w "127.0.0.1:$port" >"$work/gpspipe.out" 2>&1 &
gpspipe=$!
pids+=($gpspipe)

# "<ns> <voluntary switches>" of every thread of the given processes.
usage() {
  local ns=0 vol=0 p t
  for p in "$@"; do
    [ -d "/proc/$p" ] || { echo "bench/live.sh: process $p has gone" >&2; exit 1; }
    for t in /proc/"$p"/task/*; do
      read -r run _ <"$t/schedstat" || continue
      ns=$((ns + run))
      vol=$((vol + $(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null || echo 0)))
    done
  done
  echo "$ns $vol"
}

sleep 5  # both past their start and configuration
echo "capture: $capture ($cycles cycles, replayed at 9600 baud, 1 Hz, 14-byte chunks); $rounds windows of $seconds s"
printf '%-8s %22s %22s %12s %12s\n' window "service CPU %, wake/s" "peer CPU %, wake/s" "CPU ratio" "wake ratio"
results=$work/results
for r in $(seq "$rounds"); do
  read -r s0 sv0 < <(usage "$service" "$listen")
  read -r p0 pv0 < <(usage "$gpsd" "$gpspipe")
  t0=$(date +%s%N)
  sleep "$seconds"
  read -r s1 sv1 < <(usage "$service" "$listen")
  read -r p1 pv1 < <(usage "$gpsd" "$gpspipe")
  t1=$(date +%s%N)
  awk -v r="$r" -v s=$((s1 - s0)) -v sv=$((sv1 - sv0)) -v p=$((p1 - p0)) -v pv=$((pv1 - pv0)) -v t=$((t1 - t0)) 'BEGIN {
    printf "%-8s %13.3f %8.1f %13.3f %8.1f %12.2f %12.2f\n", r, 100 * s / t, sv * 1e9 / t, 100 * p / t, pv * 1e9 / t,
      p ? s / p : 0, pv ? sv / pv : 0
    print (p ? s / p : 0), (pv ? sv / pv : 0) >> "'"$results"'"
  }'
done
sort -n -k1,1 "$results" | awk '{ c[NR] = $1 } END { printf "median CPU ratio, service to peer:        %.2f\n", c[int((NR + 1) / 2)] }'
sort -n -k2,2 "$results" | awk '{ w[NR] = $2 } END { printf "median wake-up ratio, service to peer:    %.2f\n", w[int((NR + 1) / 2)] }'
echo "broadcasts heard by kesta-gps-listen: $(wc -l <"$work/listen.out"); reports from gpspipe: $(grep -c TPV "$work/gpspipe.out" || true)"
