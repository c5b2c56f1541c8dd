#!/usr/bin/env bash
# Whole-process start-up, timed side by side in one run with hyperfine: qzwmi enum, tree and get on
# the machine whose SMBIOS table is a captured dump, against dmidecode reading the same dump, and
# the first use of a fresh system root (module registration and MOF). Prints the median wall time
# and the CPU time of each, and their ratios to dmidecode. Installs hyperfine and dmidecode when
# they are missing. Usage: bench/start.sh [build folder] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-100}
for tool in hyperfine dmidecode; do
  command -v "$tool" > /dev/null && continue
  if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq "$tool" > /dev/null; else sudo apt-get install -y -qq "$tool" > /dev/null; fi
done
qzwmi=$(realpath "$build/tools/qzwmi/qzwmi")
work=$(mktemp -d /tmp/qzwmi-start-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QZWMI_ROOT=$work/root
machine=(--machine machines/real-dump.json)
module='QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:0-0"'
"$qzwmi" "${machine[@]}" enum QZ_MemoryModule > /dev/null  # the root is set up before the timing

hyperfine --shell=none --warmup 3 --runs "$runs" --export-csv "$work/times.csv" --style basic \
  -n dmidecode "dmidecode --from-dump machines/real-dump.bin -t 17" \
  -n enum "$qzwmi ${machine[*]} enum QZ_MemoryModule" \
  -n tree "$qzwmi ${machine[*]} tree --color never" \
  -n get "$qzwmi ${machine[*]} get '$module'" > "$work/hyperfine.log"
# The first use: a root that does not exist yet, made again before every run.
QZWMI_ROOT=$work/fresh hyperfine --shell=none --runs "$((runs < 30 ? runs : 30))" --export-csv "$work/first.csv" \
  --style basic --prepare "rm -rf $work/fresh" \
  -n "first use" "$qzwmi ${machine[*]} enum QZ_MemoryModule" >> "$work/hyperfine.log"

# command,mean,stddev,median,user,system,min,max (seconds)
tail -n +2 "$work/first.csv" >> "$work/times.csv"
awk -F, 'NR == 1 { next }
  { name[NR] = $1; wall[NR] = $4 * 1000; cpu[NR] = ($5 + $6) * 1000; if ($1 == "dmidecode") { w0 = wall[NR]; c0 = cpu[NR] } n = NR }
  END {
    printf "%-28s %10s %10s %9s %9s\n", "command", "wall ms", "cpu ms", "wall x", "cpu x"
    for (i = 2; i <= n; i++)
      printf "%-28s %10.2f %10.2f %9.2f %9.2f\n", name[i], wall[i], cpu[i], wall[i] / w0, cpu[i] / c0
  }' "$work/times.csv"
echo "(wall: median of the runs; cpu: mean user + system; x: against dmidecode --from-dump -t 17)"
