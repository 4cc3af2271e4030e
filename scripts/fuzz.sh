#!/usr/bin/env bash
# Builds the fuzz targets as libFuzzer programs with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build/fuzz, and runs each for SECONDS (default 20). Stops at the
# first finding: the input that caused it is left in build/fuzz/findings/TARGET/, its report in
# build/fuzz/findings/TARGET/log. What each target learnt is kept in build/fuzz/corpus/TARGET.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKAN_LIBFUZZER=ON \
  -DPELKAN_SANITIZE=ON -DPELKAN_TESTS=OFF -DPELKAN_BENCH=OFF -DPELKAN_UI=OFF "${launcher[@]}" >/dev/null
cmake --build build/fuzz
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  findings=build/fuzz/findings/$name
  mkdir -p "$corpus" "$findings"
  echo "fuzzing $name for $seconds s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -artifact_prefix="$findings/" "$corpus" \
    >"$findings/log" 2>&1; then
    tail -n 60 "$findings/log"
    echo "$name found a fault: see $findings" >&2
    exit 1
  fi
  grep -E '^(Done|#[0-9]+ *DONE)' "$findings/log" | tail -n 1 || true
done
