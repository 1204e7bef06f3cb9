#!/usr/bin/env bash
# Runs clang-tidy with the committed .clang-tidy over every translation unit of src/, server/
# and tools/ of a configured build tree; any finding fails. Usage: scripts/clang-tidy.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/clang-tidy.sh BUILD_DIR}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# clang does not know g++'s -fcoroutines (C++20 enables coroutines there by itself).
python3 - "$build/compile_commands.json" "$scratch/compile_commands.json" <<'PY'
import json, sys
commands = json.load(open(sys.argv[1]))
for entry in commands:
    entry["command"] = entry["command"].replace(" -fcoroutines", "")
json.dump(commands, open(sys.argv[2], "w"))
PY
root=$(pwd)
python3 - "$scratch/compile_commands.json" "$root" > "$scratch/files" <<'PY'
import json, os, sys
root = sys.argv[2]
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.realpath(entry["file"]), root)
    if path.split("/")[0] in ("src", "server", "tools") and "_autogen" not in path:
        print(path)
PY
count=$(wc -l < "$scratch/files")
echo "clang-tidy: $count files"
# Headers of the repository only: generated ones (D-Bus proxies, moc) are not ours to fix.
if ! xargs -P "$(nproc)" -n 4 clang-tidy -p "$scratch" --quiet \
    --header-filter="^$root/(src|server|tools)/" < "$scratch/files" \
    > "$scratch/out" 2> "$scratch/err"; then
  grep -E 'warning:|error:' -A3 "$scratch/out" || cat "$scratch/err"
  echo "clang-tidy: findings above"
  exit 1
fi
echo "clang-tidy: no findings"
