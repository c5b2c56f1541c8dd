#!/usr/bin/env bash
# Builds the project and runs the main job. Until the qzwmi command exists, the main job is the
# provider spine measured end to end: logging, CMutex and a cached enumeration through the
# provider pattern, in a system root of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
ninja -C build -j "$(nproc)"
root=$(mktemp -d /tmp/qzwmi-run-XXXXXX)
trap 'rm -rf "$root"' EXIT
QZWMI_ROOT="$root" build/bench/qzbench "$@"
