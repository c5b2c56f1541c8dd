#!/usr/bin/env bash
# Builds once and runs every test in parallel; then the whole suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, and each fuzz target
# for a bounded time (QZ_FUZZ_SECONDS, 20 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# Clones of this tree in other folders share the compiler cache: ccache takes paths relative to
# the tree and leaves the working folder out of its hashes.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

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


# The plain build treats the warnings of the system's code as errors; the sanitizer builds, whose
# lighter optimisation changes what the compiler can prove, only report them.
run_suite build "tests" -DQZ_WERROR=ON
# The slow suites (the package test, the load test and the real Prometheus) run in the plain build only.
CTEST_ARGS="-LE package|load|prometheus" run_suite build-asan "tests under AddressSanitizer and UndefinedBehaviorSanitizer" -DQZ_SANITIZE=address
CTEST_ARGS="-L concurrency" run_suite build-tsan "concurrency tests under ThreadSanitizer" -DQZ_SANITIZE=thread
# The fuzz targets, built with clang; each starts from the captured tables where they fit.
fuzz_seconds=${QZ_FUZZ_SECONDS:-20}
echo "=== fuzz targets, ${fuzz_seconds} s each ==="
mkdir -p build-fuzz
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQZ_BUILD_FUZZ=ON \
  -DQZ_BUILD_BENCH=OFF > build-fuzz/configure.log 2>&1 || { cat build-fuzz/configure.log; exit 1; }
fuzz_targets=(path_fuzz smbios_fuzz lookup_fuzz wql_fuzz serve_fuzz)
ninja -C build-fuzz -j "$jobs" "${fuzz_targets[@]}"
for target in "${fuzz_targets[@]}"; do
  work=$(mktemp -d /tmp/qzwmi-fuzz-XXXXXX)
  mkdir -p "$work/corpus" "$work/root"
  if [ "$target" = smbios_fuzz ]; then
    cp tests/data/smbios/raw/*.DMI "$work/corpus/" 2>/dev/null || true
  elif [ "$target" = lookup_fuzz ]; then
    printf '%s' 'QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:2-3"' > "$work/corpus/path"
  elif [ "$target" = wql_fuzz ]; then
    printf '%s' 'SELECT Tag, Capacity FROM QZ_MemoryModule WHERE HealthState > 5 AND NOT Tag LIKE "%[1-3]_%"' > "$work/corpus/select"
    printf '%s' 'ASSOCIATORS OF {QZ_MemoryBoard.CreationClassName="QZ_MemoryBoard",Tag="VXN:QZ_MemoryBoard:2"} WHERE AssocClass = QZ_MemoryModuleSlotOnBoard ResultRole = PartComponent ClassDefsOnly' > "$work/corpus/associators"
  elif [ "$target" = serve_fuzz ]; then
    cp fuzz/serve_corpus/* "$work/corpus/"
  fi
  echo "--- $target"
  if ! QZWMI_ROOT="$work/root" "build-fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 \
       -rss_limit_mb=4096 -artifact_prefix="$work/" "$work/corpus" > /dev/null 2> "$work/log"; then
    tail -40 "$work/log"
    echo "$target found a fault; the input is in $work"
    exit 1
  fi
  grep -E "^Done [0-9]+ runs" "$work/log" || true
  rm -rf "$work"
done
echo "All test runs passed."
