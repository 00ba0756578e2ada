#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12).
set -euo pipefail
need=()
for pkg in g++ cmake make libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${need[@]}"
