#!/usr/bin/env bash
# Whole-process start-up, timed side by side in one run with hyperfine: qzwmi enum, tree and get on
# the machine whose SMBIOS table is a captured dump, against dmidecode reading the same dump, and
# the first use of a fresh system root (module registration and MOF). Prints the median wall time
# and the CPU time of each, and their ratios to dmidecode. With a second build folder, its commands
# are timed in the same runs ("... other"), each build on a root of its own set up the same way (a
# root's saved compiled MOF belongs to the build that made it), and the last column gives the time
# of each command of the first build against the other's. Installs hyperfine and dmidecode when they
# are missing. Usage: bench/start.sh [build folder] [runs] [other build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-100}
other=${3:-}
for tool in hyperfine dmidecode; do
  command -v "$tool" > /dev/null && continue
  if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq "$tool" > /dev/null; else sudo apt-get install -y -qq "$tool" > /dev/null; fi
done
work=$(mktemp -d /tmp/qzwmi-start-XXXXXX)
trap 'rm -rf "$work"' EXIT
machine=(--machine machines/real-dump.json)
module='QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:0-0"'

# name suffix, binary and root of each build
suffixes=("") binaries=("$(realpath "$build/tools/qzwmi/qzwmi")")
[ -n "$other" ] && suffixes+=(" other") binaries+=("$(realpath "$other/tools/qzwmi/qzwmi")")
# One build runs with its root in the environment, exactly as a user runs it. Two builds need a root
# each, so their commands run under env (both alike; their ratios to dmidecode then include env's
# own start, and so read a little high).
commands=(-n dmidecode "dmidecode --from-dump machines/real-dump.bin -t 17")
first=()
export QZWMI_ROOT=$work/root0
for i in "${!binaries[@]}"; do
  qzwmi=${binaries[$i]} name=${suffixes[$i]} root=$work/root$i fresh=$work/fresh$i
  QZWMI_ROOT=$root "$qzwmi" "${machine[@]}" enum QZ_MemoryModule > /dev/null  # set up before the timing
  if [ -n "$other" ]; then run="env QZWMI_ROOT=$root $qzwmi" start="env QZWMI_ROOT=$fresh $qzwmi"
  else run=$qzwmi start=$qzwmi; fi
  commands+=(-n "enum$name" "$run ${machine[*]} enum QZ_MemoryModule" -n "tree$name" "$run ${machine[*]} tree --color never"
             -n "get$name" "$run ${machine[*]} get '$module'")
  # The first use: a root that does not exist yet, made again before every run.
  first+=(-n "first use$name" "$start ${machine[*]} enum QZ_MemoryModule")
done

hyperfine --shell=none --warmup 3 --runs "$runs" --export-csv "$work/times.csv" --style basic \
  "${commands[@]}" > "$work/hyperfine.log"
QZWMI_ROOT=$work/fresh0 hyperfine --shell=none --runs "$((runs < 30 ? runs : 30))" --export-csv "$work/first.csv" --style basic \
  --prepare "rm -rf $work/fresh0 $work/fresh1" "${first[@]}" >> "$work/hyperfine.log"

# command,mean,stddev,median,user,system,min,max (seconds)
tail -n +2 "$work/first.csv" >> "$work/times.csv"
awk -F, 'NR == 1 { next }
  { name[NR] = $1; wall[NR] = $4 * 1000; cpu[NR] = ($5 + $6) * 1000; row[$1] = NR
    if ($1 == "dmidecode") { w0 = wall[NR]; c0 = cpu[NR] } n = NR }
  END {
    printf "%-22s %9s %9s %8s %8s %16s\n", "command", "wall ms", "cpu ms", "wall x", "cpu x", "vs other wall/cpu"
    for (i = 2; i <= n; i++) {
      versus = ""
      if ((name[i] " other") in row) { o = row[name[i] " other"]; versus = sprintf("%7.2f %7.2f", wall[i] / wall[o], cpu[i] / cpu[o]) }
      printf "%-22s %9.2f %9.2f %8.2f %8.2f %16s\n", name[i], wall[i], cpu[i], wall[i] / w0, cpu[i] / c0, versus
    }
  }' "$work/times.csv"
echo "(wall: median of the runs; cpu: mean user + system; x: against dmidecode --from-dump -t 17)"
