#!/usr/bin/env bash
# Runs Sonavert on this machine with no prior configuration: installs what is missing, builds,
# makes sure a sonavert-cloud runs here on its SQLite store (starting one unless one already
# answers on 127.0.0.1:8470; the first run creates the local account), and starts this device
# connected to it. It drives whichever MPRIS player runs (e.g. mpv, VLC, Rhythmbox) and
# indexes your XDG music folder. Ctrl-C stops the device (which marks itself offline on the
# way out) and the server if this script started it.
# Extra arguments go to sonavert (e.g. --name Kitchen --player mpv --library ~/Music).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/local-cloud.sh

build_sonavert sonavert sonavert-cloud sonavertctl sonavert-shortcuts
trap stop_local_cloud EXIT
trap 'exit 130' INT TERM
ensure_local_cloud me

headless=()
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  headless=(--headless)
fi
# The token goes in the environment: an argument would show in every user's process list.
SONAVERT_CLOUD_TOKEN="$CLOUD_TOKEN" "$sonavert_bin" "${headless[@]}" --verbose --cloud "$CLOUD_URL" "$@"
