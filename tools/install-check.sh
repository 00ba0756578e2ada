#!/usr/bin/env bash
# Installs the service into a temporary prefix and checks what landed there,
# the systemd unit with systemd-analyze verify included.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh systemd pkg-config gcc
tmp=$(mktemp -d /tmp/kesta-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/usr
# The prefix is given at install time only: what names installed paths must
# follow it.
cmake -S . -B "$tmp/build" -DBUILD_TESTING=OFF -DKESTA_WERROR=ON -DKESTA_PYTHON_DIR=lib/python3/dist-packages >/dev/null
cmake --build "$tmp/build" -j"$(nproc)" >/dev/null
cmake --install "$tmp/build" --prefix "$prefix" >/dev/null
for f in bin/kesta-gps bin/kesta-gps-listen bin/kesta-gps-ctl bin/kesta-gps-sim bin/kesta-gps-replay; do
  [ -x "$prefix/$f" ] || { echo "install-check: $f was not installed" >&2; exit 1; }
done
unit=$prefix/lib/systemd/system/kesta-gps.service
pc=$(find "$prefix" -name kesta-gps-client.pc)
for f in "$unit" "$prefix/lib/sysusers.d/kesta-gps.conf" "$prefix/share/doc/kesta_gps/99-kesta-gps.rules" \
         "$prefix/include/kesta_gps_client.h" "$prefix/lib/python3/dist-packages/kesta_gps.py" "$pc"; do
  [ -f "$f" ] || { echo "install-check: $f was not installed" >&2; exit 1; }
done
grep -qx "prefix=$prefix" "$pc" || { echo "install-check: the pkg-config file names another prefix" >&2; exit 1; }
# A program built against the installed library and header alone.
printf '#include <kesta_gps_client.h>\nint main(void) { return kesta_gps_fd(0) == -1 ? 0 : 1; }\n' >"$tmp/probe.c"
gcc -o "$tmp/probe" "$tmp/probe.c" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs kesta-gps-client) \
  -Wl,-rpath,"$(dirname "$(dirname "$pc")")"
"$tmp/probe" || { echo "install-check: a program built against the installed library failed" >&2; exit 1; }
PYTHONPATH=$prefix/lib/python3/dist-packages python3 -c 'import kesta_gps' ||
  { echo "install-check: the installed Python module does not import" >&2; exit 1; }
grep -q "^ExecStart=$prefix/bin/kesta-gps\$" "$unit" || { echo "install-check: ExecStart does not name the installed service" >&2; exit 1; }
"$prefix/bin/kesta-gps-ctl" --help >/dev/null
# The installed listening tool finds its library without LD_LIBRARY_PATH:
# it runs, and refuses a root where no service ran.
mkdir "$tmp/empty-root"
if out=$(env -u LD_LIBRARY_PATH KESTA_GPS_ROOT="$tmp/empty-root" "$prefix/bin/kesta-gps-listen" --seconds 1 2>&1) ||
   ! echo "$out" | grep -q "no KESTA_GPS service has run on this root"; then
  echo "install-check: the installed kesta-gps-listen did not run from the prefix: $out" >&2
  exit 1
fi
# verify only warns about an unknown key: any word from it but one about
# the receiver's device (absent on this machine) fails the check.
out=$(systemd-analyze verify "$unit" 2>&1) || { echo "$out" >&2; exit 1; }
if echo "$out" | grep -v -e 'dev-gps0.device' -e '^$' >&2; then
  echo "install-check: systemd-analyze verify complained about the unit" >&2
  exit 1
fi
echo "install-check: installed into $prefix and the unit verifies"
