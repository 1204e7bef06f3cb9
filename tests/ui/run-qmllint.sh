#!/usr/bin/env bash
# Lints every view of the Sonavert.Ui module as built (beside its qmldir and type
# information) and fails on any message at all, not only on qmllint's own errors.
# Usage: run-qmllint.sh QMLLINT IMPORT_DIR MODULE_DIR
set -euo pipefail
qmllint=$1 import_dir=$2 module_dir=$3
shopt -s nullglob
files=("$module_dir"/*.qml)
if [ ${#files[@]} -eq 0 ]; then
  echo "no QML files in $module_dir" >&2
  exit 1
fi
output=$("$qmllint" -I "$import_dir" "${files[@]}" 2>&1) || status=$?
if [ -n "$output" ] || [ "${status:-0}" -ne 0 ]; then
  printf '%s\n' "$output"
  exit 1
fi
echo "qmllint: ${#files[@]} files, no messages"
