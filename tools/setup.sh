#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12):
# the compiler, CMake, make and GoogleTest, and the packages given as
# arguments (a name ending in :i386 brings that architecture in first).
# --update refreshes the package lists even when nothing is missing.
# --installable PACKAGE tells, installing nothing, whether PACKAGE is
# installed or could be: exit 0, or exit 1 with apt's reason on stdout. An
# architecture it brought in for the question is taken out again when the
# answer is no, so later updates do not keep failing on its lists.
# Nothing here removes or downgrades a package of the machine's own.
#   bash tools/setup.sh [--update] [PACKAGE...]
#   bash tools/setup.sh --installable PACKAGE
set -euo pipefail
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Another install running (a second checkout's set-up) holds apt's locks:
# wait for it rather than fail.
apt_get() { $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }

# A mirror in the middle of a sync fails the update for a while: try again,
# and in the end go on with the lists there are (the install then names
# whatever it cannot find).
update_lists() {
  local try
  for try in 1 2 3 4 5; do
    apt_get update && return 0
    if [ "$try" = 5 ]; then
      echo "setup: apt-get update kept failing; going on with the package lists there are" >&2
    else
      echo "setup: apt-get update failed (try $try of 5); again in 30 s" >&2
      sleep 30
    fi
  done
}

# Brings in the foreign architecture of any PACKAGE:ARCH given; says which
# it added, so that the caller can take them out again.
add_architectures() {
  local pkg arch
  for pkg in "$@"; do
    case "$pkg" in *:*) ;; *) continue ;; esac
    arch=${pkg##*:}
    [ "$arch" = "$(dpkg --print-architecture)" ] && continue
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    $sudo dpkg --add-architecture "$arch"
    echo "$arch"
  done
}

if [ "${1:-}" = --installable ]; then
  [ $# -eq 2 ] || { echo "usage: tools/setup.sh --installable PACKAGE" >&2; exit 2; }
  pkg=$2
  dpkg -s "$pkg" >/dev/null 2>&1 && exit 0
  added=$(add_architectures "$pkg")
  [ -n "$added" ] && update_lists >&2
  # --no-remove: an install that would take a package away is not one.
  if out=$(LC_ALL=C apt-get install -s --no-remove "$pkg" 2>&1); then
    exit 0
  fi
  reason=$(grep '^E:' <<<"$out" | tail -1 | sed 's/^E: //')
  echo "${reason:-apt-get install -s $pkg failed}"
  for arch in $added; do
    $sudo dpkg --remove-architecture "$arch" >&2 && update_lists >&2
  done
  exit 1
fi

update=0
[ "${1:-}" = --update ] && { update=1; shift; }
need=()
for pkg in g++ cmake make libgtest-dev python3 "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && [ "$update" = 0 ] && exit 0
add_architectures "${need[@]:-}" >/dev/null
update_lists
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}" >&2
apt_get install -y --no-install-recommends --no-remove "${need[@]}"
