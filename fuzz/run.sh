#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ and runs each for SECONDS
# (default 60), seeded from the receiver captures and fuzz/seeds, with the
# dictionary. Prints each harness's executions and executions per second.
# fuzz-state-folders lays out files in a state folder per input, and
# fuzz-reader-drain writes through a pseudo-terminal, so they run far fewer
# executions a second than the others.
#   bash fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "fuzz/run.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2;; esac
bash tools/setup.sh clang libclang-rt-14-dev
build=${KESTA_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKESTA_FUZZ=ON -DKESTA_SANITIZE=address,undefined \
  -DBUILD_TESTING=OFF -DKESTA_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz-byte-path fuzz-ipc-receiver fuzz-state-folders fuzz-reader-drain >/dev/null
status=0
run() {
  local name=$1 dict=$2; shift 2
  local corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  local log="$build/$name.log"
  # -reload=0: each corpus has this one process; rereading it every second
  # costs a file status per entry, thousands of them.
  local args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=1024 -reload=0)
  [ -n "$dict" ] && args+=(-dict="$dict")
  local options=() dirs=()
  for a in "$@"; do case "$a" in -*) options+=("$a");; *) dirs+=("$a");; esac; done
  if "$build/$name" "${args[@]}" "${options[@]}" "$corpus" "${dirs[@]}" >"$log" 2>&1; then
    local runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    local secs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$name: $runs executions in ${seconds} s, $secs per second, no fault"
  else
    echo "$name: FAILED (the input is in $build; its log follows)"
    tail -n 40 "$log"
    status=1
  fi
}
# A sentence is at most 82 bytes and a watched frame 128: 256 bytes hold a
# frame and a sentence, or three sentences, with room for the splits; the
# time of an execution grows with its bytes (one posted message each), and
# at 512 the harness made half as many.
run fuzz-byte-path fuzz/nmea_ubx.dict -max_len=256 tests/data/captures
run fuzz-ipc-receiver "" fuzz/seeds/ipc
run fuzz-state-folders "" -max_len=1024
run fuzz-reader-drain "" -max_len=256
exit $status
