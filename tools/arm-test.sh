#!/usr/bin/env bash
# Cross-builds the service, its tools and the tests for 32-bit ARM into
# build-armhf/ and runs the whole suite under qemu-user.
#   KESTA_ARM_BUILD_DIR  build folder (default build-armhf)
#   KESTA_TESTS          a ctest -R pattern to run only some tests
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot=/usr/arm-linux-gnueabihf
bash tools/setup.sh g++-arm-linux-gnueabihf qemu-user binfmt-support googletest
build=${KESTA_ARM_BUILD_DIR:-build-armhf}
mkdir -p "$build"
build=$(cd "$build" && pwd)
toolchain=$PWD/cmake/arm-linux-gnueabihf.cmake

# GoogleTest from Debian's sources, built once with the cross compiler.
gtest=$build/googletest
if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== building GoogleTest for armhf"
  cmake -S /usr/src/googletest -B "$gtest/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$gtest/install" -DBUILD_GMOCK=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$gtest/build" -j"$(nproc)" >/dev/null
  cmake --install "$gtest/build" >/dev/null
fi

echo "== cross-building for armhf in $build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$gtest/install/lib/cmake/GTest" \
  -DKESTA_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
file "$build/kesta-gps"

# The tests start the service and its tools as programs of their own: the
# kernel runs ARM programs through qemu when binfmt_misc knows it, otherwise
# the tests put the emulator in front of every program they start.
export QEMU_LD_PREFIX=$sysroot
runs_directly() { "$build/kesta-gps-ctl" --help >/dev/null 2>&1; }
if ! runs_directly && [ "$(id -u)" -eq 0 ]; then
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
  update-binfmts --enable qemu-arm 2>/dev/null || true
fi
if runs_directly; then
  echo "== ARM programs run through binfmt_misc and qemu-arm"
  unset KESTA_TEST_EMULATOR
else
  echo "== no binfmt_misc for ARM here: the tests start ARM programs through qemu-arm -L $sysroot"
  export KESTA_TEST_EMULATOR="qemu-arm -L $sysroot"
fi

cd "$build"
args=(-j "$(( $(nproc) * 3 ))" --output-on-failure --timeout 600)
[ -n "${KESTA_TESTS:-}" ] && args+=(-R "$KESTA_TESTS")
ctest "${args[@]}"
if [ -z "${KESTA_TESTS:-}" ]; then
  cd - >/dev/null
  bash tools/contract-summary.sh "$build" "posix, armhf under qemu-arm"
fi
