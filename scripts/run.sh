#!/usr/bin/env bash
# Runs Sonavert on this machine with no prior configuration: installs what is missing, builds,
# starts a private sonavert-cloud on a throwaway SQLite store with one account, and starts a
# headless device connected to it that prints its presence loop. Ctrl-C stops both; the
# device marks itself offline on the way out.
# Extra arguments go to sonavert (e.g. --name Kitchen).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target sonavert sonavert-cloud >/dev/null

work=$(mktemp -d -t sonavert-run.XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cloud=build/dev/server/app/sonavert-cloud
token=$("$cloud" account add me --data-dir "$work/cloud" | tail -n 1)
"$cloud" --listen 127.0.0.1:0 --data-dir "$work/cloud" >"$work/cloud.out" 2>"$work/cloud.log" &
server_pid=$!
for _ in $(seq 1 100); do
  url=$(head -n 1 "$work/cloud.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/cloud.log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$url" ] || { echo "sonavert-cloud did not start" >&2; exit 1; }
echo "sonavert-cloud: $url (data in $work/cloud)"

build/dev/src/app/sonavert --headless --verbose --profile "$work/device" \
  --cloud "$url" --token "$token" "$@"
