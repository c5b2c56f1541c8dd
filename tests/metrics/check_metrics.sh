#!/usr/bin/env bash
# `promtool check metrics` on what `qzwmi metrics` prints for every bundled machine, each in a
# system root of its own. Usage: check_metrics.sh QZWMI MACHINES_DIR
set -euo pipefail
qzwmi=$1 machines=$2
work=$(mktemp -d /tmp/qzwmi-promtool-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
for machine in "$machines"/*.json; do
  name=$(basename "$machine" .json)
  QZWMI_ROOT=$work/$name "$qzwmi" --machine "$machine" metrics > "$work/$name.prom"
  if ! promtool check metrics < "$work/$name.prom"; then
    echo "promtool refused the metrics of $name"
    status=1
  fi
  grep -q '^qzwmi_build_info{' "$work/$name.prom" || { echo "$name: no build info"; status=1; }
done
exit $status
