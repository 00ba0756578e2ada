#!/usr/bin/env bash
# The service's sources as a real Win32 program: builds it with mingw-w64
# into build-win32/ and runs the end-to-end session under Wine against
# kesta-gps-sim on a pseudo-terminal (built natively in build/):
#   - exactly the version poll and the three CFG frames, byte-exact, each
#     CFG frame after the acknowledgement of the one before;
#   - the markers, the 16 bytes of BackupTime, the NAND record;
#   - broadcasts heard by kesta-gps-listen.exe: void first, then the
#     simulator's speeds;
#   - a second instance exits 0 at once; kesta-gps-ctl.exe destroy ends the
#     service with 0;
#   - the executable's icon group and version resource;
#   - mapping COM1 anew names the Windows programs the restart ends;
#   - SIGTERM to tools/wine-run.sh at start-up, in both pauses of the
#     first-fix record and after the configuration ends the service with 0;
#   - the platform contract (tests/contract) against the Win32 backend, with
#     COM1 on a pseudo-terminal that echoes (tools/pty-echo.py). Wine's comm
#     event wait needs the modem lines, which a pseudo-terminal has not:
#     tools/wine-serial-shim.c, preloaded, answers for them.
# It keeps its own Wine prefix in the build folder, whatever WINEPREFIX says.
# Installs what it needs (Debian 12), like tools/test.sh.
#   KESTA_WIN32_ARCH  i686 (default: 32-bit handles, like the target) or x86_64
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${KESTA_WIN32_ARCH:-i686}
case "$arch" in x86_64|i686) ;; *) echo "wine-test.sh: KESTA_WIN32_ARCH must be x86_64 or i686" >&2; exit 2;; esac
packages=("g++-mingw-w64-${arch//_/-}" wine wine64 icoutils python3 gcc libgtest-dev)
[ "$arch" = i686 ] && packages+=(wine32:i386)  # 32-bit Windows programs need 32-bit Wine
bash tools/setup.sh "${packages[@]}"

echo "== building the simulator (native) and the Win32 programs ($arch)"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target kesta-gps-sim >/dev/null
win=build-win32
[ "$arch" = i686 ] || win=build-win64
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DKESTA_WERROR=ON >/dev/null
cmake --build "$win" -j"$(nproc)" >/dev/null
cmake --build "$win" -j"$(nproc)" --target kesta-contract-test >/dev/null
file "$win/kesta-gps.exe"
# The shim for both Wine process kinds (it needs no C library headers).
gcc -shared -fPIC -O2 -nostdlib -o "$win/wine-serial-shim64.so" tools/wine-serial-shim.c
gcc -m32 -shared -fPIC -O2 -nostdlib -o "$win/wine-serial-shim32.so" tools/wine-serial-shim.c
unset WINEPREFIX KESTA_WINEPREFIX

work=$(mktemp -d /tmp/kesta-wine-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  WINEPREFIX=$(cd "$win" && pwd)/wineprefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export KESTA_GPS_ROOT=$work/root
mkdir -p "$KESTA_GPS_ROOT/DataStorage"

passed=0 failed=0
check() {  # check LEGEND COMMAND...
  local legend=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok      $legend"; else failed=$((failed + 1)); echo "FAILED  $legend"; fi
}
wait_for() {  # wait_for SECONDS FILE TEXT
  local end=$((SECONDS + $1))
  while [ $SECONDS -lt $end ]; do grep -aqF -- "$3" "$2" 2>/dev/null && return 0; sleep 0.2; done
  return 1
}
run() { bash tools/wine-run.sh "$win/$1" "${@:2}"; }

echo "== the executable: resources"
check "icon group 101 and version 1.0.0.1 in kesta-gps.exe" bash tools/check-resources.sh "$win/kesta-gps.exe"

echo "== preparing the Wine prefix (the first time takes a while)"
build/kesta-gps-sim --void 3 --seconds 90 >"$work/sim.log" &
pids+=($!)
wait_for 10 "$work/sim.log" "device " || { echo "the simulator did not start" >&2; exit 1; }
export KESTA_GPS_COM1=$(sed -n 's/^device //p' "$work/sim.log")
run kesta-gps-ctl.exe --help >/dev/null

echo "== the session"
run kesta-gps-listen.exe --json >"$work/listen.out" 2>"$work/listen.err" &
pids+=($!)
# Under load a Wine program's start can take long: the deadline is generous,
# and a listener that is not up is shown at once.
if ! check "the listener is up" wait_for 180 "$work/listen.err" "listening"; then
  echo "--- listener (stderr)" && cat "$work/listen.err"
  echo "--- listener (stdout)" && head -5 "$work/listen.out"
fi
run kesta-gps.exe >"$work/service.out" 2>"$work/service.err" &
service=$!
check "the service configures the receiver" wait_for 60 "$work/service.err" "ACK : UBLOX_Heading_enabled"
check "and sets the clock from a valid fix" wait_for 30 "$work/service.err" "RMC Date Field [ A ]"
sleep 2

start=$SECONDS
code=0
timeout 30 bash tools/wine-run.sh "$win/kesta-gps.exe" >/dev/null 2>&1 || code=$?
check "a second instance exits 0 at once" test "$code" = 0 -a $((SECONDS - start)) -le 10

frames=$(sed -n 's/^rx class=.* ck=ok bytes=//p' "$work/sim.log")
expected=$(sed -n 's/^[a-z0-9-]* \(B5 62 .*\)/\1/p' tests/data/ubx-frames.txt)
check "exactly the poll and the three CFG frames, byte-exact" test "$frames" = "$expected"
order=$(grep -E '^(rx class=06|tx ack)' "$work/sim.log" | cut -c1-6 | tr '\n' ' ')
check "each CFG frame after the acknowledgement of the one before" test "$order" = "rx cla tx ack rx cla tx ack rx cla tx ack "
check "marker UBLOX_GPS_VER7_NO_PATCH" test -f "$KESTA_GPS_ROOT/UBLOX_GPS_VER7_NO_PATCH"
check "marker UBLOX_ANA_enabled" test -f "$KESTA_GPS_ROOT/UBLOX_ANA_enabled"
check "no marker UBLOX_ANA_failed" test ! -e "$KESTA_GPS_ROOT/UBLOX_ANA_failed"
check "BackupTime holds 16 bytes" test "$(stat -c %s "$KESTA_GPS_ROOT/DataStorage/BackupTime" 2>/dev/null)" = 16
check "the NAND record has its magic" test "$(od -An -tx1 -N4 "$KESTA_GPS_ROOT/.platform/nand/area4.bin" 2>/dev/null | xargs)" = "a4 21 d3 32"
first=$(grep -m1 '"lParam"' "$work/listen.out" || true)
check "the first broadcast is void" grep -q '"wParam":0,"lParam":0' <<<"$first"
# Every valid broadcast carries a speed the simulator sent, in whole km/h.
speeds=$(sed -n 's/^tx rmc \$GPRMC,[^,]*,A,[^,]*,[^,]*,[^,]*,[^,]*,\([^,]*\),.*/\1/p' "$work/sim.log" |
  awk '{printf "%d\n", $1 * 1.852}' | sort -u)
heard=$(sed -n 's/.*"wParam":\([0-9]*\),"lParam":1.*/\1/p' "$work/listen.out" | sort -u)
check "valid fixes were heard" test -n "$heard"
check "every speed heard was sent" test -z "$(comm -13 <(echo "$speeds") <(echo "$heard"))"

code=0
run kesta-gps-ctl.exe destroy || code=$?
check "kesta-gps-ctl.exe destroy is taken" test "$code" = 0
code=0
wait "$service" || code=$?
check "the service ends with 0" test "$code" = 0

# COM1 mapped anew: the restart of the Wine server is said, naming the
# listener it ends.
build/kesta-gps-sim --seconds 240 >"$work/sim2.log" &
pids+=($!)
wait_for 10 "$work/sim2.log" "device " || { echo "the second simulator did not start" >&2; exit 1; }
KESTA_GPS_COM1=$(sed -n 's/^device //p' "$work/sim2.log") run kesta-gps-ctl.exe --help >/dev/null 2>"$work/remap.err" || true
check "a new COM1 mapping names the programs its restart ends" grep -q "ends: kesta-gps-listen.exe" "$work/remap.err"

echo "== SIGTERM to the runner at moments of a session: the service's own 0 every time"
# Each in a fresh root, so that the first-fix record is written, with its
# two pauses: the first after "RMC Date Field" (the area being read), the
# second after "- Write" (the area being written).
com1=$(sed -n 's/^device //p' "$work/sim2.log")
n=0
for moment in "GPSThread START" "RMC Date Field" "- Write" "ACK : UBLOX_Heading_enabled"; do
  n=$((n + 1))
  mkdir -p "$work/term$n/DataStorage"
  KESTA_GPS_ROOT=$work/term$n KESTA_GPS_COM1=$com1 bash tools/wine-run.sh "$win/kesta-gps.exe" >/dev/null 2>"$work/term$n.err" &
  runner=$!
  if wait_for 120 "$work/term$n.err" "$moment"; then
    kill -TERM "$runner"
    code=0
    wait "$runner" || code=$?
  else
    kill -TERM "$runner" 2>/dev/null || true
    wait "$runner" 2>/dev/null || true
    code="never reached"
  fi
  check "SIGTERM at \"$moment\" ends the runner with 0 (got $code)" test "$code" = 0
  [ "$code" = 0 ] || { echo "--- service"; cat "$work/term$n.err"; }
done

echo "== the platform contract against the Win32 backend ($arch, under Wine)"
python3 tools/pty-echo.py 600 >"$work/echo.log" &
pids+=($!)
wait_for 10 "$work/echo.log" "device " || { echo "the echoing line did not start" >&2; exit 1; }
mkdir -p "$work/contract"
code=0
KESTA_GPS_COM1=$(sed -n 's/^device //p' "$work/echo.log") KESTA_CONTRACT_LINE=echo \
  KESTA_CONTRACT_TMP=$(WINEPREFIX=$(cd "$win" && pwd)/wineprefix winepath -w "$work/contract" 2>/dev/null) \
  LD_PRELOAD="$(pwd)/$win/wine-serial-shim64.so $(pwd)/$win/wine-serial-shim32.so" \
  timeout 600 bash tools/wine-run.sh "$win/kesta-contract-test.exe" >"$work/contract.out" 2>&1 || code=$?
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$work/contract.out")
ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$work/contract.out")
echo "platform contract (win32 $arch, Wine): ${ran:-0} cases run, ${ok:-0} passed, $(grep -c '^\[  SKIPPED \] .*(' "$work/contract.out" || true) skipped"
# Each skipped case with the reason it gives (the line before its verdict).
awk '/^\[  SKIPPED \] .*\(/ {print "  skipped " $4 ": " prev} {prev = $0}' "$work/contract.out"
check "the platform contract passes on the Win32 backend" test "$code" = 0
[ "$code" = 0 ] || grep -vE 'wrong ELF class' "$work/contract.out" | tail -60

echo "wine: $passed passed, $failed failed"
if [ "$failed" -ne 0 ]; then
  echo "--- service" && cat "$work/service.err"
  echo "--- simulator" && grep -v '^tx rmc' "$work/sim.log"
  echo "--- listener" && head -5 "$work/listen.out"
  exit 1
fi
