#!/usr/bin/env bash
# `qzwmi serve` on a host at rest: the CPU time the whole service uses over N seconds (default 60)
# while nothing changes, with its watcher looking at the EDAC counters every interval (default 5 s).
# Usage: bench/host_watch.sh [build folder] [seconds] [host tree] [interval]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
tree=${3:-tests/data/hosts/ghes-two-socket}
interval=${4:-5}
root=$(mktemp -d /tmp/qzwmi-bench-XXXXXX)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$root"' EXIT
export QZWMI_ROOT=$root QZWMI_HOST_ROOT=$tree
"$build/tools/qzwmi/qzwmi" serve --no-auth --machine host --listen 127.0.0.1:0 --watch-interval "$interval" 2> "$root/log" &
pid=$!
until grep -q "listening on" "$root/log"; do sleep 0.1; done
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
hz=$(getconf CLK_TCK)
echo "CPU time of qzwmi serve over ${seconds} s at rest (look every ${interval} s): $(( (after - before) * 1000 / hz )) ms"
