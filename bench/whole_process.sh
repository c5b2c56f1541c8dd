#!/usr/bin/env bash
# Whole-process timing: `qzwmi enum QZ_MemoryModule` on the machine whose SMBIOS table is a captured
# dump, against `dmidecode --from-dump` of the same dump, each run N times (default 50) after one
# warm-up run. Usage: bench/whole_process.sh [build folder] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-50}
dump=tests/data/smbios/srv-16slot-a.bin
root=$(mktemp -d /tmp/qzwmi-bench-XXXXXX)
trap 'rm -rf "$root"' EXIT
export QZWMI_ROOT=$root
qzwmi=("$build/tools/qzwmi/qzwmi" --machine machines/real-dump.json enum QZ_MemoryModule)
"${qzwmi[@]}" > /dev/null  # the first run sets the root up
time_runs() {
  local start end
  start=$(date +%s%N)
  for _ in $(seq "$runs"); do "$@" > /dev/null 2>&1; done
  end=$(date +%s%N)
  echo $(( (end - start) / runs / 1000 ))
}
ours=$(time_runs "${qzwmi[@]}")
theirs=$(time_runs dmidecode --from-dump "$dump" -t 17)
echo "qzwmi enum QZ_MemoryModule (real dump): ${ours} us per run"
echo "dmidecode --from-dump -t 17:            ${theirs} us per run"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "ratio: %.2f\n", a / b }'
