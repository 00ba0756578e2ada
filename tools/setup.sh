#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12):
# the compiler, CMake, make and GoogleTest, and the packages given as
# arguments (a name ending in :i386 brings that architecture in first).
#   bash tools/setup.sh [PACKAGE...]
set -euo pipefail
need=()
for pkg in g++ cmake make libgtest-dev python3 "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
case " ${need[*]}" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
esac
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${need[@]}"
