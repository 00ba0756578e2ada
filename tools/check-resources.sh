#!/usr/bin/env bash
# Reads the resources of a built kesta-gps.exe back, with icoutils (a reader
# that is not ours): icon group 101 with its eight images in order, and the
# version resource's file and product versions 1.0.0.1.
#   tools/check-resources.sh kesta-gps.exe
set -euo pipefail
exe=${1:?usage: tools/check-resources.sh kesta-gps.exe}
[ -f "$exe" ] || { echo "check-resources.sh: no file $exe" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

wrestool -x -t14 -n101 "$exe" >"$work/group.ico" 2>/dev/null || true
images=$(icotool -l "$work/group.ico" 2>/dev/null | sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\) --bit-depth=\([0-9]*\).*/\1x\2@\3/p' | xargs)
want="32x32@4 16x16@4 48x48@8 32x32@8 16x16@8 48x48@32 32x32@32 16x16@32"
if [ "$images" = "$want" ]; then echo "ok      icon group 101: $images"
else echo "FAILED  icon group 101 holds '$images', not '$want'"; failed=1; fi

wrestool -x --raw -t16 "$exe" >"$work/version.bin" 2>/dev/null || true
# VS_FIXEDFILEINFO follows its signature FEEF04BD: struct version, then the
# file version (MS, LS) and the product version (MS, LS), 32-bit LE words.
versions=$(python3 - "$work/version.bin" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    print("none")
else:
    fms, fls, pms, pls = struct.unpack_from("<4I", data, at + 8)
    v = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    text = "1.0.0.1".encode("utf-16-le") in data
    print("file %s product %s %s" % (v(fms, fls), v(pms, pls), "text" if text else "no-text"))
PY
)
if [ "$versions" = "file 1.0.0.1 product 1.0.0.1 text" ]; then echo "ok      version resource: $versions"
else echo "FAILED  version resource: $versions"; failed=1; fi
exit $failed
