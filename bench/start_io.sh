#!/usr/bin/env bash
# What a read-only command asks of the kernel: `qzwmi enum QZ_MemoryModule` on the machine whose
# SMBIOS table is a captured dump, in a root that is set up already. Prints the number of system
# calls of each kind (strace -c), the minor page faults, and every call that changes a file in the
# system root or the runtime area. The minor faults also count the heap pages that the platform
# makes present in one call as it loads; with perf installed, the faults the process actually took
# are printed beside them. With a second build folder, both are run on the same root, one
# after the other. Installs strace when it is missing.
# Usage: bench/start_io.sh [build folder] [other build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
builds=("${1:-build}")
[ $# -ge 2 ] && builds+=("$2")
if ! command -v strace > /dev/null; then
  if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq strace > /dev/null; else sudo apt-get install -y -qq strace > /dev/null; fi
fi
work=$(mktemp -d /tmp/qzwmi-io-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QZWMI_ROOT=$work/root
args=(--machine machines/real-dump.json enum QZ_MemoryModule)
"${builds[0]}/tools/qzwmi/qzwmi" "${args[@]}" > /dev/null  # the root is set up before the count
changes=pwrite64,pwritev,write,ftruncate,fallocate,mkdir,mkdirat,chmod,fchmod,fchown,unlink,unlinkat,rmdir,rename,renameat,renameat2

for build in "${builds[@]}"; do
  qzwmi=$(realpath "$build/tools/qzwmi/qzwmi")
  "$qzwmi" "${args[@]}" > /dev/null  # once more, so that no run pays for the one before
  echo "== $qzwmi"
  strace -f -c -o "$work/count" "$qzwmi" "${args[@]}" > /dev/null
  awk 'NR > 2 && $0 !~ /^-/ { calls = ($4 ~ /^[0-9]+$/) ? $4 : $3; name = $NF; if (name != "total") printf "%s=%s ", name, calls; else total = calls }
       END { printf "\ntotal system calls: %s\n", total }' "$work/count"
  /usr/bin/time -f "minor page faults: %R" -o "$work/faults" "$qzwmi" "${args[@]}" > /dev/null
  cat "$work/faults"
  if command -v perf > /dev/null; then
    perf stat -x, -e page-faults -o "$work/taken" "$qzwmi" "${args[@]}" > /dev/null 2>&1 &&
      awk -F, '/page-faults/ { print "page faults taken: " $1 }' "$work/taken"
  fi
  strace -f -y -o "$work/trace" -e trace="$changes" "$qzwmi" "${args[@]}" > /dev/null
  echo "calls that change files:"
  grep -E "$QZWMI_ROOT|/qzwmi/" "$work/trace" | grep -v ' = -1 ' | sed -E 's/^[0-9]+ +//; /^(write|pwrite64)/ s/, "[^"]*"(\.\.\.)?/, "..."/' || true
done
