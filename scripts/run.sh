#!/usr/bin/env bash
# Runs Sonavert on this machine with no prior configuration: installs what is missing, builds,
# makes sure a sonavert-cloud runs here on its SQLite store (starting one unless one already
# answers on 127.0.0.1:8470), and starts this device on it. A device that is not signed in
# creates the server's first account, "me", through the server's first-run call and keeps the
# sign-in; no token is typed or passed (on a server that has an account already it says how to
# sign in with a code from another computer). It drives whichever MPRIS player runs (e.g. mpv, VLC, Rhythmbox) and
# indexes your XDG music folder. Ctrl-C stops the device (which marks itself offline on the
# way out) and the server if this script started it.
# Extra arguments go to sonavert (e.g. --name Kitchen --player mpv --library ~/Music).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/local-cloud.sh

build_sonavert sonavert sonavert-cloud sonavertctl sonavert-shortcuts
trap stop_local_cloud EXIT
trap 'exit 130' INT TERM
ensure_local_cloud

headless=()
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  headless=(--headless)
fi
# Earlier versions of this script created the account themselves and passed its token on
# every run; such a token is still passed, in the environment (an argument would show in
# every user's process list).
legacy_token_file="$CLOUD_DATA/me.token"
# A server without the first-run call (it answers 404 there) gets its account the old way.
first_run_status=$(python3 - "$CLOUD_URL/setup/1/first-account" <<'PY' || true
import sys, urllib.request, urllib.error
request = urllib.request.Request(sys.argv[1], data=b"{}", method="POST",
                                 headers={"Content-Type": "application/json"})
try:
    print(urllib.request.urlopen(request, timeout=10).status)
except urllib.error.HTTPError as error:
    print(error.code)
PY
)
if [ "$first_run_status" = 404 ] && [ ! -s "$legacy_token_file" ]; then
  (umask 077 && "$cloud_bin" account add me --data-dir "$CLOUD_DATA" | tail -n 1 \
    >"$legacy_token_file") || rm -f "$legacy_token_file"
fi
if [ -s "$legacy_token_file" ]; then
  export SONAVERT_CLOUD_TOKEN
  SONAVERT_CLOUD_TOKEN=$(cat "$legacy_token_file")
fi
"$sonavert_bin" "${headless[@]}" --verbose --cloud "$CLOUD_URL" --first-account me "$@"
