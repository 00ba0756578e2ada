#!/usr/bin/env bash
# Line coverage of each fuzz harness over the code it targets: first with its
# seeds alone, then with the corpus fuzz/run.sh grew in build-fuzz/corpus.
# Builds the harnesses with clang's source-based coverage into
# build-fuzz-cov/ (no sanitizers: they would only slow the replay).
#   bash fuzz/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh clang libclang-rt-14-dev llvm
build=build-fuzz-cov
flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DKESTA_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
harnesses=(fuzz-byte-path fuzz-ipc-receiver fuzz-state-folders fuzz-reader-drain)
cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]}" >/dev/null
work=$(mktemp -d /tmp/kesta-fuzz-cov-XXXXXX)
trap 'rm -rf "$work"' EXIT
targets() {  # the sources each harness is aimed at
  case "$1" in
    fuzz-byte-path) echo nmea/*.cpp ubx/*.cpp clock/*.cpp serial/byte_queue.cpp;;
    fuzz-ipc-receiver) echo app/platform/posix/ipc.cpp;;
    fuzz-state-folders) echo app/platform/posix/registry.cpp app/platform/posix/listeners.cpp app/platform/posix/paths.cpp app/platform/posix/text.cpp;;
    fuzz-reader-drain) echo serial/gps_thread.cpp serial/serial_port.cpp app/platform/posix/serial.cpp;;
  esac
}
seeds() {
  case "$1" in
    fuzz-byte-path) echo tests/data/captures;;
    fuzz-ipc-receiver) echo fuzz/seeds/ipc;;
    *) echo "";;
  esac
}
percent() {  # percent HARNESS INPUT-DIR...
  local name=$1; shift
  rm -f "$work"/*.profraw
  LLVM_PROFILE_FILE="$work/%p.profraw" "$build/$name" -runs=0 "$@" >/dev/null 2>&1 || true
  ls "$work"/*.profraw >/dev/null 2>&1 || { echo "n/a"; return; }
  llvm-profdata merge -sparse "$work"/*.profraw -o "$work/merged.profdata"
  # shellcheck disable=SC2046
  llvm-cov report "$build/$name" -instr-profile="$work/merged.profdata" $(targets "$name") |
    awk '/^TOTAL/ { print $(NF-3) }'
}
for name in "${harnesses[@]}"; do
  empty="$work/empty-$name"
  mkdir -p "$empty"
  printf 'x' >"$empty/one"
  seed=$(seeds "$name")
  before=$(percent "$name" "$empty" ${seed:+"$seed"})
  corpus=build-fuzz/corpus/$name
  after="n/a (run fuzz/run.sh first)"
  [ -d "$corpus" ] && after=$(percent "$name" "$corpus" ${seed:+"$seed"})
  echo "$name: line coverage of $(targets "$name" | wc -w) target files: seeds $before, with the fuzzed corpus $after"
done
