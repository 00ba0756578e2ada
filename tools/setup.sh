#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12):
# the compiler, CMake, make and GoogleTest, and the packages given as
# arguments (a name ending in :i386 brings that architecture in first).
# --update refreshes the package lists even when nothing is missing.
#   bash tools/setup.sh [--update] [PACKAGE...]
set -euo pipefail
update=0
[ "${1:-}" = --update ] && { update=1; shift; }
need=()
for pkg in g++ cmake make libgtest-dev python3 "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && [ "$update" = 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
case " ${need[*]:-}" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
esac
# A mirror in the middle of a sync fails the update for a while: try again,
# and in the end go on with the lists there are (the install then names
# whatever it cannot find).
for try in 1 2 3 4 5; do
  $sudo apt-get update && break
  if [ "$try" = 5 ]; then
    echo "setup: apt-get update kept failing; going on with the package lists there are" >&2
  else
    echo "setup: apt-get update failed (try $try of 5); again in 30 s" >&2
    sleep 30
  fi
done
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}" >&2
$sudo apt-get install -y --no-install-recommends "${need[@]}"
