#!/usr/bin/env bash
# The long run of the endpoint's load test: 16 clients enumerate the memory modules for 60 s (or
# the seconds given) while the memory-event counter moves every second; every answer must be whole
# and the server's memory flat. Then the throughput benchmark against a minimal cpp-httplib server
# answering the same bytes, at 1, 4 and 16 clients, and the latency of one client while 500 slow
# connections are held. Usage: bench/serve_load.sh [build folder] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
ninja -C "$build" serve_load_tests qzwmi QZWmiMemory
QZ_LOAD_SECONDS=$seconds "$build/tests/serve/serve_load_tests" --gtest_brief=1
if [ -x "$build/bench/serve_bench" ]; then
  for clients in 1 4 16; do "$build/bench/serve_bench" "$build/tools/qzwmi/qzwmi" 10 "$clients"; done
  "$build/bench/serve_bench" "$build/tools/qzwmi/qzwmi" 10 1 500
fi
