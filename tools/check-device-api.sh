#!/usr/bin/env bash
# Fails when the service's own objects (app/, serial/, nmea/, clock/, ubx/),
# built for Win32 with mingw-w64, call a function that the device's API list
# app/platform/device-api.txt does not name: such a call would first show on
# the device, as a program that does not load.
#   tools/check-device-api.sh BUILD_DIR [-v]   (a folder built with cmake/mingw-*.cmake;
#                                               -v lists every call)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/check-device-api.sh BUILD_DIR [-v]}
lib=$build/libkesta_service.a
list=app/platform/device-api.txt
[ -f "$lib" ] || { echo "check-device-api.sh: no $lib: build the service with a mingw toolchain first" >&2; exit 2; }
nm=$(sed -n 's/^CMAKE_NM:FILEPATH=//p' "$build/CMakeCache.txt")
[ -x "$nm" ] || { echo "check-device-api.sh: no nm recorded in $build/CMakeCache.txt" >&2; exit 2; }

# Symbols the library uses but does not define: what it calls outside itself.
defined=$("$nm" --defined-only "$lib" | awk 'NF == 3 { print $3 }' | sort -u)
used=$("$nm" -u "$lib" | awk 'NF == 2 { print $2 }' | sort -u)
external=$(comm -23 <(echo "$used") <(echo "$defined"))
# 32-bit Windows names carry one more leading underscore (and @N for
# stdcall); imports are reached through __imp_.
lead=""
grep -q '^__imp__[A-Z]' <<<"$external" && lead="_"
names=$(while read -r sym; do
  [ -n "$sym" ] || continue
  sym=${sym#__imp_}
  sym=${sym#"$lead"}
  sym=${sym%@*}
  case "$sym" in _Z*) sym=$(c++filt "$sym"); sym=${sym%%(*} ;; esac
  sym=${sym#Kesta}            # the Win32 backend's stand-ins for device calls
  sym=${sym#__mingw_}         # mingw's own strtod
  case "$sym" in
    SetWindowLongPtrW) sym=SetWindowLongW ;;  # 64-bit headers' name for the same call
    *chkstk_ms) sym=__chkstk_ms ;;
  esac
  echo "$sym"
done <<<"$external" | sort -u)

[ "${2:-}" = -v ] && sed 's/^/  /' <<<"$names"
listed=$(grep -v '^\s*#' "$list" | awk 'NF { print $1 }' | sort -u)
unknown=$(comm -23 <(echo "$names") <(echo "$listed"))
if [ "$(wc -l <<<"$names")" -lt 30 ]; then
  echo "check-device-api.sh: too few calls found in $lib; the symbol reading is broken" >&2
  exit 1
fi
if [ -n "$unknown" ]; then
  echo "check-device-api.sh: not in $list: $(echo $unknown)" >&2
  exit 1
fi
echo "device API: all $(wc -l <<<"$names") calls are on the list"
