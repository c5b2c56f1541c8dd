#!/usr/bin/env bash
# Builds once and runs every test in parallel; then the whole suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1 label=$2
  shift 2
  echo "=== $label ==="
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja "$@" > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
  ninja -C "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 ${CTEST_ARGS:-}
}


run_suite build "tests"
run_suite build-asan "tests under AddressSanitizer and UndefinedBehaviorSanitizer" -DQZ_SANITIZE=address
CTEST_ARGS="-L concurrency" run_suite build-tsan "concurrency tests under ThreadSanitizer" -DQZ_SANITIZE=thread
echo "All test runs passed."
