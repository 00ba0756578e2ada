#!/usr/bin/env bash
# Runs a Windows program of the project under Wine, in the project's own
# prefix, with the device's mappings:
#   tools/wine-run.sh PROGRAM.exe [ARGS...]
# COM1 is $KESTA_GPS_COM1 (a pseudo-terminal such as kesta-gps-sim's; a real
# serial device is refused), "\" is the folder $KESTA_GPS_ROOT (made when
# missing), and the program starts inside the prefix, so that no path can
# reach the host's "/" through the current drive. The clock is always the
# backend's simulated one: this never changes the host's clock. SIGTERM and
# SIGINT end the service through kesta-gps-ctl.exe destroy, so that it ends
# with its own exit code 0, which the script then exits with; they kill any
# other program. The prefix is $WINEPREFIX when set, else
# $KESTA_WINEPREFIX, else wineprefix/ in the program's folder; a new one is
# made headless on first use, and said. Mapping COM1 anew restarts the
# prefix's Wine server, which ends the Windows programs running in it: they
# are named first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "wine-run.sh: $*" >&2; exit 2; }
[ $# -ge 1 ] || die "usage: tools/wine-run.sh PROGRAM.exe [ARGS...]"
program=$(readlink -f "$1")
shift
[ -f "$program" ] || die "no program $program"
command -v wine >/dev/null || die "wine is not installed (apt-get install wine wine64)"
[ -n "${KESTA_GPS_COM1:-}" ] || die "KESTA_GPS_COM1 is not set: name the pseudo-terminal to map as COM1"
device=$(readlink -f "$KESTA_GPS_COM1")
case "$device" in
  /dev/ttyS*|/dev/ttyUSB*|/dev/ttyACM*|/dev/ttyAMA*) die "KESTA_GPS_COM1=$KESTA_GPS_COM1 is a real serial device; refused" ;;
esac
[ -c "$device" ] || die "KESTA_GPS_COM1=$KESTA_GPS_COM1 is not a character device"
[ -n "${KESTA_GPS_ROOT:-}" ] || die "KESTA_GPS_ROOT is not set: name the folder that \\ maps to"
mkdir -p "$KESTA_GPS_ROOT"

export WINEPREFIX=${WINEPREFIX:-${KESTA_WINEPREFIX:-$(dirname "$program")/wineprefix}}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY KESTA_GPS_CLOCK
if [ ! -f "$WINEPREFIX/.kesta-ready" ]; then
  echo "wine-run.sh: preparing the Wine prefix $WINEPREFIX (headless; the first time takes a while)" >&2
  # wineboot now and then stops half way, leaving a prefix without its
  # system files that every later start refuses. A prefix this script made
  # is then made again from nothing, once; one it did not make is left as
  # it is. What wineboot said is shown if it fails.
  fresh=0
  [ -e "$WINEPREFIX" ] || fresh=1
  mkdir -p "$WINEPREFIX"
  boot=$(mktemp)
  if ! wineboot -i >"$boot" 2>&1; then
    [ "$fresh" = 1 ] || { tail -5 "$boot" >&2; rm -f "$boot"; die "cannot make the Wine prefix $WINEPREFIX"; }
    echo "wine-run.sh: wineboot failed ($(tail -1 "$boot")); making the prefix again" >&2
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >"$boot" 2>&1 || { tail -5 "$boot" >&2; rm -f "$boot"; die "cannot make the Wine prefix $WINEPREFIX"; }
  fi
  rm -f "$boot"
  # Windows without a display: window creation works, nothing is shown.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  touch "$WINEPREFIX/.kesta-ready"
fi

# The Windows programs running in this prefix (Wine's own services left out).
running_programs() {
  local environ pid name
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    tr '\0' '\n' 2>/dev/null <"$environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    name=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" | grep -m1 -ioE '[^\\/]+\.exe$' || true)
    case "${name,,}" in
      ""|wineserver*|services.exe|winedevice.exe|plugplay.exe|explorer.exe|svchost.exe|rpcss.exe|conhost.exe|start.exe|wineboot.exe) ;;
      *) echo "$name ($pid)" ;;
    esac
  done | sort -u | xargs
}

# COM1: the link and the registry's port table; Wine reads them when its
# server starts, so a changed mapping restarts the server. A mapping that is
# already right keeps the server and whatever runs in the prefix.
link=$WINEPREFIX/dosdevices/com1
if [ "$(readlink "$link" 2>/dev/null)" != "$device" ]; then
  others=$(running_programs)
  if [ -n "$others" ]; then
    echo "wine-run.sh: COM1 moves to $device; restarting the Wine server of $WINEPREFIX ends: $others" >&2
  fi
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  ln -sfn "$device" "$link"
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$device" /f >/dev/null 2>&1
  wineserver -w 2>/dev/null || true
  ln -sfn "$device" "$link"
fi
[ "$(readlink "$link")" = "$device" ] || die "COM1 is not mapped to $device in $WINEPREFIX"

root=$(winepath -w "$KESTA_GPS_ROOT" 2>/dev/null) || die "cannot map $KESTA_GPS_ROOT into Wine"
[ -n "$root" ] || die "cannot map $KESTA_GPS_ROOT into Wine"
export KESTA_GPS_ROOT=$root

cd "$WINEPREFIX/drive_c"
wine "$program" "$@" &
child=$!
signalled=0
# Only the service is ended through its window (the request would reach the
# service whichever program's runner took the signal); any other program is
# killed. A signal that comes before the service's window exists (Wine still
# starting it) asks again for a while; a service that never makes its window
# is then killed.
stop() {
  signalled=1
  if [ "$(basename "$program")" != kesta-gps.exe ]; then kill "$child" 2>/dev/null || true; return 0; fi
  local end=$((SECONDS + 15))
  until wine "$(dirname "$program")/kesta-gps-ctl.exe" destroy >/dev/null 2>&1; do
    kill -0 "$child" 2>/dev/null || return 0
    if [ $SECONDS -ge $end ]; then kill "$child" 2>/dev/null || true; return 0; fi
    sleep 0.5
  done
}
trap stop TERM INT
# A trapped signal ends a wait with 128 + its number while the program may
# still run; its own code comes from the next wait. That wait is made even
# when the program has ended meanwhile: bash keeps a reaped child's code for
# it, and asking whether the child still runs would race with its end.
code=0
wait "$child" || code=$?
while [ "$signalled" = 1 ]; do
  signalled=0
  code=0
  wait "$child" || code=$?
done
exit "$code"
