#!/usr/bin/env bash
# The installed sonavert opens its window (run on an X server of its own by with-xvfb.sh): the
# QML views compiled into the program load and the first frame is drawn. Without a session bus
# there is no tray, so the window shows at start.
set -uo pipefail
prefix=$1
source "$(dirname "$0")/dist_lib.sh"
bin=$prefix/bin

start_cloud "$bin"
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/home/.local/share
export SONAVERT_SHORTCUTS_DIR=$scratch/shortcuts SONAVERT_CLOUD_TOKEN=$cloud_token
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/sonavert-test-session-bus
mkdir -p "$HOME" "$scratch/music"
"$bin/sonavert" --profile "$scratch/profile" --cloud "$cloud_url" --name Window \
    --player simulated --library "$scratch/music" >"$scratch/window.out" 2>&1 &
app=$!
started+=("$app")
wait_for_line "$scratch/window.out" "window: presented" "$app"
if grep -E "window: the views did not load|qrc:/Sonavert/Ui/.*(Error|error|not installed)" \
    "$scratch/window.out" >&2; then
    fail "the installed program's views did not load"
fi
kill -TERM "$app"
wait "$app"; status=$?
[ "$status" -eq 0 ] || { cat "$scratch/window.out" >&2; fail "sonavert exited $status on SIGTERM"; }
echo "window: the installed sonavert loaded its views and drew them"
