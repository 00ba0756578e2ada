#!/usr/bin/env bash
# The service's main job on a built-in default: a simulated u-blox 7 receiver
# on a pseudo-terminal, the service in a fresh platform root with the
# simulated clock, and a listener program showing the broadcasts. Runs for
# KESTA_DEMO_SECONDS (default 60) or until Ctrl-C, then prints a summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=${KESTA_BUILD_DIR:-build}
# The test command's settings, so that neither rebuilds after the other.
cmake -S . -B "$build" -DKESTA_WERROR=ON -DKESTA_SANITIZE="${KESTA_SANITIZE:-}" >/dev/null
buildlog=$(mktemp /tmp/kesta-demo-build-XXXXXX)
if ! cmake --build "$build" -j"$(nproc)" --target kesta-gps kesta-gps-sim kesta-gps-listen kesta-gps-ctl 2>&1 |
  tee "$buildlog" | awk -v dir="$build" '
    /^\[ *[0-9]+%\]/ { match($0, /[0-9]+%/); p = substr($0, RSTART, RLENGTH - 1) + 0; if (p > max) max = p
                         printf "\r== building the service and its tools in %s/: %3d%%", dir, max; fflush() }
    END { printf "\r== building the service and its tools in %s/: done\n", dir }'; then
  grep -E 'error|Error' "$buildlog" | head -40 >&2
  rm -f "$buildlog"
  echo "build failed" >&2
  exit 1
fi
rm -f "$buildlog"
bin=$(cd "$build" && pwd)
seconds=${KESTA_DEMO_SECONDS:-60}

root=$(mktemp -d /tmp/kesta-demo-XXXXXX)
# The root goes at exit, unless KESTA_DEMO_KEEP=1 keeps it to look at.
[ "${KESTA_DEMO_KEEP:-0}" = 1 ] || trap 'rm -rf "$root"' EXIT
mkdir "$root/DataStorage"
export KESTA_GPS_ROOT=$root
unset KESTA_GPS_CLOCK  # the simulated clock: this machine's clock is left alone
simlog=$root/.sim.log

"$bin/kesta-gps-sim" --void 5 --seconds $((seconds + 5)) >"$simlog" &
sim=$!
for _ in $(seq 50); do grep -q '^device ' "$simlog" 2>/dev/null && break; sleep 0.1; done
export KESTA_GPS_COM1=$(sed -n 's/^device //p' "$simlog")

cat <<INTRO
== KESTA_GPS demo ==
platform root   $root   ("\\" on the device)
receiver        simulated u-blox 7 on $KESTA_GPS_COM1, 9600 8N1, bytes at the line's pace
                a few at a time: 5 s without a fix, then driving
running for     ${seconds} s (Ctrl-C ends it early)
Lines: [service] the service's debug output (README.md explains each line),
       [broadcast] what a listening program receives, shown when it changes (wParam = speed in
       whole km/h, lParam = 1 for a valid fix; up to five broadcasts a second),
       [receiver] the frames the receiver got and its answers.

INTRO

# One line per change of the broadcast value, with how often the last one came.
changes() {
  local last="" n=0 day time name w l
  while read -r day time name w l; do
    echo "$day $time $name $w $l" >>"$root/.listen.log"
    n=$((n + 1))
    [ "$w $l" = "$last" ] && continue
    local fix="no fix"
    [ "$l" = "lParam=1" ] && fix="valid fix"
    if [ -n "$last" ]; then
      echo "[broadcast] ${time:0:8}  ${w#wParam=} km/h, $fix   (the previous value came $((n - 1)) times)"
    else
      echo "[broadcast] ${time:0:8}  ${w#wParam=} km/h, $fix"
    fi
    last="$w $l"
    n=1
  done
}
"$bin/kesta-gps" 2> >(tee "$root/.service.log" | sed -u 's/^/[service]   /' >&2) &
service=$!
# A listener is refused on a root where no service has run yet: it starts
# once the service has made its state folder.
for _ in $(seq 100); do [ -d "$root/.platform/ipc" ] && break; sleep 0.1; done
"$bin/kesta-gps-listen" 2>/dev/null > >(changes) &
listen=$!
tail --pid=$sim -n +2 -f "$simlog" > >(sed -u -n '/^tx rmc /d; s/^rx class=\(..\) id=\(..\) len=\([0-9]*\) ck=\(..*\) bytes=.*/[receiver]  got UBX class 0x\1 id 0x\2, \3 payload bytes, checksum \4/p; s/^tx /[receiver]  answered: /p') &
follow=$!

trap 'echo; echo "(stopping)"' INT
end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ] && kill -0 $service 2>/dev/null; do sleep 1 || break; done
trap - INT
"$bin/kesta-gps-ctl" destroy 2>/dev/null || true
wait $service 2>/dev/null; code=$?
sleep 0.3
kill $listen $sim 2>/dev/null || true
wait $listen $sim $follow 2>/dev/null || true

names() {  # class/id of a UBX frame in words
  case "$1 $2" in
    "0A 04") echo "MON-VER poll (PollVersion)";;
    "06 23") echo "CFG-NAVX5, AssistNow Autonomous on (SetANAEnable)";;
    "06 24") echo "CFG-NAV5, 30 cm/s static hold (Set30Cm)";;
    "06 17") echo "CFG-NMEA, course output (SetHeading)";;
    *) echo "class 0x$1 id 0x$2";;
  esac
}
field() { od -An -tu2 -w16 "$1" | awk -v i="$2" '{print $i}'; }
byte() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }

echo
echo "== Summary =="
echo "service exit code     $code"
heard=$(wc -l < "$root/.listen.log" 2>/dev/null || echo 0)
echo "broadcasts heard      $heard, the last: $(tail -n 1 "$root/.listen.log" 2>/dev/null | awk '{print $4, $5}')"
echo "clock (UTC) set to:"
grep -a 'RMC Date Field' "$root/.service.log" |
  sed 's/.*\[ \(.\) \].*-- \[\([0-9]*\)\.\([0-9]*\)\.\([0-9]*\)\] \([0-9]*\):\([0-9]*\):\([0-9]*\).*/\1 \2 \3 \4 \5 \6 \7/' |
  while read -r st y mo d h mi se; do
    printf '  %04d-%02d-%02d %02d:%02d:%02d  from a sentence with status %s\n' "$y" "$mo" "$d" "$h" "$mi" "$se" "$st"
  done || true
grep -aq 'RMC Date Field' "$root/.service.log" || echo "  (never: no dated sentence arrived)"
backup=$root/DataStorage/BackupTime
if [ -f "$backup" ]; then
  printf '\\DataStorage\\BackupTime  %s bytes: %s\n' "$(stat -c %s "$backup")" "$(od -An -tx1 "$backup" | xargs)"
  printf '  = %04d-%02d-%02d %02d:%02d:%02d UTC (day of week %d, ms %d)\n' "$(field "$backup" 1)" "$(field "$backup" 2)" \
    "$(field "$backup" 4)" "$(field "$backup" 5)" "$(field "$backup" 6)" "$(field "$backup" 7)" "$(field "$backup" 3)" "$(field "$backup" 8)"
else
  echo '\DataStorage\BackupTime  missing'
fi
area=$root/.platform/nand/area4.bin
if [ -f "$area" ]; then
  printf 'NAND area 4 record     %s\n' "$(od -An -tx1 -N 12 "$area" | xargs)"
  if [ "$(od -An -tx1 -N 4 "$area" | xargs)" = "a4 21 d3 32" ]; then
    printf '  = first fix ever at %04d-%02d-%02d %02d:%02d local time\n' \
      $(( $(byte "$area" 4) + 256 * $(byte "$area" 5) )) "$(byte "$area" 6)" "$(byte "$area" 7)" "$(byte "$area" 8)" "$(byte "$area" 9)"
  fi
fi
printf 'marker files:         '
for m in "$root"/UBLOX_*; do [ -e "$m" ] && printf ' \\%s' "$(basename "$m")" || true; done
echo
echo "frames the receiver got, and its answers:"
sed -n 's/^rx class=\(..\) id=\(..\) len=\([0-9]*\) ck=\(..*\) bytes=.*/\1 \2 \4/p; s/^tx \(ack-[a-z]*\) .*/=\1/p' "$simlog" |
  while read -r a b c; do
    case "$a" in
      =*) echo "    answered ${a#=}";;
      *) echo "  - $(names "$a" "$b"), checksum $c";;
    esac
  done || true
if [ "${KESTA_DEMO_KEEP:-0}" = 1 ]; then
  echo "platform root left at $root"
else
  echo "platform root $root removed at exit (KESTA_DEMO_KEEP=1 keeps it)"
fi
