#!/usr/bin/env bash
# What the dynamic loader and the first pages cost a single command: for `qzwmi --version` and
# `qzwmi enum QZ_MemoryModule` on the machine of the captured dump, the page faults (median of N
# runs) and the loader's relocation counts; and for each shipped library, the names it exports and
# its relocations by kind. Usage: bench/loader.sh [build folder] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-20}
qzwmi=$(realpath "$build/tools/qzwmi/qzwmi")
work=$(mktemp -d /tmp/qzwmi-loader-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QZWMI_ROOT=$work/root
machine=(--machine machines/real-dump.json)
"$qzwmi" "${machine[@]}" enum QZ_MemoryModule > /dev/null  # the root is set up first

faults() {  # the median of the minor page faults of `runs` runs of the command
  for _ in $(seq "$runs"); do /usr/bin/time -f %R "$@" 2>&1 > /dev/null | tail -n 1; done | sort -n |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
loader() {  # the loader's relocations, as LD_DEBUG=statistics counts them at the end of the process
  LD_DEBUG=statistics "$@" 2>&1 > /dev/null | awk -F: '
    /final number of relocations:/ { r = $3 } /final number of relocations from cache:/ { c = $3 }
    /number of relative relocations:/ { rel = $3 }
    END { gsub(/ /, "", r); gsub(/ /, "", c); gsub(/ /, "", rel); printf "%s %s %s", r, c, rel }'
}
printf "%-10s %8s %12s %12s %10s\n" command faults relocations "from cache" relative
for command in version enum; do
  case $command in
    version) args=(--version) ;;
    enum) args=("${machine[@]}" enum QZ_MemoryModule) ;;
  esac
  read -r relocations cached relative <<< "$(loader "$qzwmi" "${args[@]}")"
  printf "%-10s %8s %12s %12s %10s\n" "$command" "$(faults "$qzwmi" "${args[@]}")" "$relocations" "$cached" "$relative"
done
echo
printf "%-22s %8s %8s %8s %8s %10s\n" library exported symbolic lazy relative "relr bytes"
for library in "$build/platform/libqzplatform.so" "$build/module/QZWmiMemory.so" "$build/module/qzwmi-serve.so" "$qzwmi"; do
  exported=$(nm -D --defined-only "$library" | wc -l)
  kinds=$(readelf -rW "$library" | awk '$3 ~ /^R_X86_64_/ {
      if ($3 == "R_X86_64_JUMP_SLOT") lazy++; else if ($3 == "R_X86_64_RELATIVE") rel++; else sym++ }
    END { printf "%d %d %d", sym, lazy, rel }')
  relr=$(readelf -SW "$library" | sed -n 's/.*\.relr\.dyn  *RELR  *[0-9a-f]*  *[0-9a-f]*  *\([0-9a-f]*\) .*/\1/p')
  read -r symbolic lazy relative <<< "$kinds"
  printf "%-22s %8s %8s %8s %8s %10s\n" "$(basename "$library")" "$exported" "$symbolic" "$lazy" "$relative" "$((16#${relr:-0}))"
done
