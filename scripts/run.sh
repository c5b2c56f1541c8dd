#!/usr/bin/env bash
# Builds the project and runs the main job: qzwmi on the bundled default server. Without arguments
# it lists every memory module (qzwmi enum QZ_MemoryModule); any arguments go to qzwmi instead:
#   scripts/run.sh enum QZ_MemoryModule
#   scripts/run.sh --format json get 'QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:1-1"'
#   scripts/run.sh --machine machines/smbios-only.json enum QZ_MemoryModule
# The system root is $QZWMI_ROOT, else /var/lib/qzwmi for root and $XDG_STATE_HOME/qzwmi
# (~/.local/state/qzwmi) for others; a fresh one sets itself up.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
ninja -C build -j "$(nproc)" qzwmi QZWmiMemory
if [ $# -eq 0 ]; then
  set -- enum QZ_MemoryModule
fi
exec build/tools/qzwmi/qzwmi "$@"
