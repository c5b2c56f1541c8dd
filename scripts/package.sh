#!/usr/bin/env bash
# Builds the Debian package of qzwmi: build/package/qzwmi_<version>_<arch>.deb. Install it with
#   sudo apt install ./build/package/qzwmi_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
ninja -C build -j "$(nproc)" qzwmi QZWmiMemory qzwmi_docs
cpack --config build/CPackConfig.cmake -B build/package > build/package.log || { cat build/package.log; exit 1; }
ls build/package/*.deb
