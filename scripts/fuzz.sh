#!/usr/bin/env bash
# Builds every fuzz target (tests/<subsystem>/fuzz/fuzz_<name>.cpp) with clang,
# libFuzzer and the address and undefined-behaviour sanitizers in build-fuzz,
# then runs each for SECONDS seconds on its seed corpus. New inputs go to
# build-fuzz/fuzz_work/<target>, never into the seeds; a crashing input is
# kept in build-fuzz/fuzz_artifacts. Fails when a target does not build or
# finds a crash. VT_FUZZ_JOBS targets run at once (default: half the cores);
# VT_FUZZ_BUILD names another build folder; CMAKE_BUILD_PARALLEL_LEVEL bounds
# the build.
#     bash scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 1 ] || ! [[ "$1" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
RUN_SECONDS=$1
bash scripts/install-deps.sh --fuzz

BUILD=${VT_FUZZ_BUILD:-build-fuzz}
JOBS=${VT_FUZZ_JOBS:-$(( $(nproc) / 2 > 0 ? $(nproc) / 2 : 1 ))}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVT_FUZZ=ON \
      -DCMAKE_CXX_COMPILER=clang++-14 \
      "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" >/dev/null

targets=()
for src in tests/*/fuzz/fuzz_*.cpp; do
  sub=${src#tests/}; sub=${sub%%/*}
  name=$(basename "$src" .cpp); name=${name#fuzz_}
  targets+=("$sub/$name")
done
exes=()
for t in "${targets[@]}"; do exes+=("fuzz_${t%/*}_${t#*/}"); done
cmake --build "$BUILD" --target "${exes[@]}"

mkdir -p "$BUILD/fuzz_artifacts" "$BUILD/fuzz_logs"
run_one() {
  local sub=${1%/*} name=${1#*/}
  local exe="fuzz_${sub}_${name}"
  local work="$BUILD/fuzz_work/$exe"
  mkdir -p "$work"
  if "$BUILD/tests/$exe" -max_total_time="$RUN_SECONDS" -print_final_stats=1 \
       -artifact_prefix="$BUILD/fuzz_artifacts/$exe-" "$work" "tests/$sub/fuzz/corpus/$name" \
       >"$BUILD/fuzz_logs/$exe.log" 2>&1; then
    echo "$exe: $(grep -o 'Done [0-9]* runs' "$BUILD/fuzz_logs/$exe.log" | tail -n 1), no crash"
  else
    echo "$exe: FAILED (log $BUILD/fuzz_logs/$exe.log, input in $BUILD/fuzz_artifacts)" >&2
    tail -n 40 "$BUILD/fuzz_logs/$exe.log" >&2
    return 1
  fi
}

failed=0
running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
if [ "$failed" -ne 0 ]; then
  echo "Fuzzing found a fault" >&2
  exit 1
fi
