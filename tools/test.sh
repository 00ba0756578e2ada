#!/usr/bin/env bash
# Builds the service, its tools and tests, and runs the whole test suite.
#   KESTA_BUILD_DIR  build folder (default build)
#   KESTA_SANITIZE   empty, address,undefined or thread
#   KESTA_TESTS      a ctest -R pattern to run only some tests
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=${KESTA_BUILD_DIR:-build}
cmake -S . -B "$build" -DKESTA_WERROR=ON -DKESTA_SANITIZE="${KESTA_SANITIZE:-}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Most tests wait on real pauses rather than compute, so run more than one
# per core.
args=(-j "$(( $(nproc) * 3 ))" --output-on-failure --timeout 300)
[ -n "${KESTA_TESTS:-}" ] && args+=(-R "$KESTA_TESTS")
ctest "${args[@]}"
# The platform contract's count on this backend, said apart from the rest.
if [ -z "${KESTA_TESTS:-}" ]; then
  cd - >/dev/null
  bash tools/contract-summary.sh "$build" "posix, $(uname -m)${KESTA_SANITIZE:+, $KESTA_SANITIZE}"
fi
