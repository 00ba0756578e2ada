#!/usr/bin/env bash
# The device build, checked here: compiles every service source (the list
# CMake builds), the device entry and the device's platform files
# (app/platform/ce/) in the device configuration, as Visual Studio 2008's
# compiler sees them (clang-cl as MSVC 15.00, _MSC_VER 1500, C++03, for
# 32-bit ARM Windows), with no warning; then links the objects against
# import libraries made from app/platform/device-api.txt alone, so that any
# call the list does not name fails.
#
# Refused: warnings of any kind; C++11 constructs (auto, enum class, long
# long, nullptr, static_assert ...); a call outside the list, such as
# CreateFileA or SetWindowLongPtrW; a C++-linkage NKDbgPrintfW or NAND call.
#
# What it cannot catch:
#   - mingw-w64's desktop headers stand in for the device SDK's (with the
#     few differences in tools/device-stand-in/): a declaration the SDK
#     lacks but mingw has, or a macro the two define differently, passes;
#   - clang is not the device's code generator: it makes Thumb-2 ARMNT
#     hard-float objects, the device runs ARMv4I-compatible soft-float code
#     linked with corelibc, which lld cannot read; nothing built here runs
#     on the device, and the compiler helpers it names may differ from the
#     device compiler's;
#   - the C run-time start-up (WinMainCRTStartup) is not linked: the entry
#     for this link is WinMain itself;
#   - whether the device's coredll really exports each listed function.
#   tools/check-device.sh [-v]   (-v lists every imported function)
set -euo pipefail
cd "$(dirname "$0")/.."
verbose=${1:-}

tool() {  # tool NAME: the versioned Debian name when the plain one is missing
  local t
  for t in "$1" "$1-14"; do command -v "$t" >/dev/null && { echo "$t"; return; }; done
  return 1
}
if ! tool clang-cl >/dev/null || ! tool lld-link >/dev/null || ! tool llvm-dlltool >/dev/null \
   || [ ! -f /usr/share/mingw-w64/include/windows.h ]; then
  bash tools/setup.sh clang lld llvm mingw-w64-common
fi
cl=$(tool clang-cl) link=$(tool lld-link) dlltool=$(tool llvm-dlltool)
nm=$(tool llvm-nm)
sdk=/usr/share/mingw-w64/include
list=app/platform/device-api.txt

# The service's sources, as CMake lists them, and the device's own files.
service=$(sed -n '/^set(KESTA_SERVICE_SOURCES/,/)/p' CMakeLists.txt | tr ' ()' '\n\n\n' | grep '\.cpp$')
[ "$(wc -l <<<"$service")" -ge 10 ] || { echo "check-device.sh: cannot read the service's sources from CMakeLists.txt" >&2; exit 1; }
sources="$service $(ls app/platform/ce/*.cpp)"

work=$(mktemp -d /tmp/kesta-device-XXXXXX)
trap 'rm -rf "$work"' EXIT

flags=(--target=thumbv7-pc-windows-msvc -fms-compatibility-version=15.00
       /clang:-std=c++03 /clang:-Werror=c++11-extensions /clang:-Werror=c++11-long-long
       # clang takes static_assert silently in C++03; VS2008 has none.
       -Dstatic_assert=static_assert_is_not_in_VS2008
       /W4 /WX /O2 /GS- /Zl /c
       -D_WIN32_WCE=0x700 -DUNDER_CE -DWINCE -DARM -D_ARM_ -DUNICODE -D_UNICODE
       # Not mingw's own printf: the device's C run-time's.
       -D__USE_MINGW_ANSI_STDIO=0 /clang:-fgnuc-version=4.2.1
       /imsvc tools/device-stand-in /imsvc "$sdk" -I.)
status=0
objects=()
for f in $sources; do
  o=$work/$(echo "$f" | tr '/' '_').obj
  # Warnings are errors (/WX); any other word from the compiler fails too.
  if ! "$cl" "${flags[@]}" "/Fo$o" "$f" >"$work/out" 2>&1 || [ -s "$work/out" ]; then
    cat "$work/out" >&2
    echo "check-device.sh: $f does not compile for the device" >&2
    status=1
    continue
  fi
  objects+=("$o")
done
[ $status = 0 ] || exit 1

# Import libraries from the list: coredll (with the run-time and the
# compiler helpers), and the IOControl library.
{ echo "LIBRARY coredll.dll"; echo "EXPORTS"
  grep -v '^\s*#' "$list" | awk 'NF && $2 != "ioctl" { print "  " $1 }'; } >"$work/coredll.def"
{ echo "LIBRARY IOControl.dll"; echo "EXPORTS"
  grep -v '^\s*#' "$list" | awk 'NF && $2 == "ioctl" { print "  " $1 }'; } >"$work/iocontrol.def"
"$dlltool" -m arm -d "$work/coredll.def" -l "$work/coredll.lib"
"$dlltool" -m arm -d "$work/iocontrol.def" -l "$work/iocontrol.lib"

if ! "$link" /nologo /nodefaultlib /machine:arm /subsystem:windows,7.00 /entry:WinMain \
     "/out:$work/kesta-gps.exe" "${objects[@]}" "$work/coredll.lib" "$work/iocontrol.lib" >"$work/link" 2>&1; then
  grep -v '^>>>' "$work/link" >&2 || true
  echo "check-device.sh: the objects call what $list does not list" >&2
  exit 1
fi

# What the objects take from outside: imports by name, and the direct
# calls (the debug print, IOControl, the helpers).
calls=$("$nm" -u "${objects[@]}" 2>/dev/null | awk 'NF >= 2 { print $NF }' | sed 's/^__imp_//' | sort -u)
defined=$("$nm" --defined-only "${objects[@]}" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u)
calls=$(comm -23 <(echo "$calls") <(echo "$defined"))
if grep -q '^?' <<<"$calls"; then
  echo "check-device.sh: C++ names called outside the objects: $(grep '^?' <<<"$calls" | tr '\n' ' ')" >&2
  exit 1
fi
grep -qx NKDbgPrintfW <<<"$calls" || { echo "check-device.sh: NKDbgPrintfW is not called by its C name" >&2; exit 1; }
[ "$verbose" = -v ] && sed 's/^/  /' <<<"$calls"
echo "device check: ${#objects[@]} sources compile as MSVC 15.00 C++03 for ARM without warnings; all $(wc -l <<<"$calls") outside calls are on $list"
