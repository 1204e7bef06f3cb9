#!/usr/bin/env bash
# Shortcut files on a desktop that has nothing but the installed files (run on an X server of
# its own by with-xvfb.sh, as a GNOME session would route files, through gio): the file's type
# is ours and its default application is ours; opening it shows the confirmation dialog, which
# adds nothing on Escape and adds the Shortcut on Return. Then the installed sonavert offers
# its receiver by itself, and its banner goes once the dialog is answered.
set -uo pipefail
prefix=$1
source "$(dirname "$0")/dist_lib.sh"
bin=$prefix/bin

for tool in xdg-mime xdg-open gio xdotool update-mime-database update-desktop-database; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/home/.local/share
export XDG_DATA_DIRS=$prefix/share:/usr/share XDG_CURRENT_DESKTOP=GNOME PATH=$bin:$PATH
export SONAVERT_SHORTCUTS_DIR=$scratch/shortcuts
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/sonavert-test-session-bus
mkdir -p "$HOME" "$XDG_DATA_HOME"
# What a package's triggers do on installation: the type and handler caches of the prefix.
update-mime-database "$prefix/share/mime" || fail "update-mime-database failed"
update-desktop-database "$prefix/share/applications" || fail "update-desktop-database failed"

receiver=$prefix/share/sonavert/SonavertReceiver.shortcut
type=$(xdg-mime query filetype "$receiver")
[ "$type" = application/x-sonavert-shortcut ] || fail "the receiver's type is '$type'"
handler=$(xdg-mime query default application/x-sonavert-shortcut)
[ "$handler" = io.sonavert.SonavertShortcuts.desktop ] || fail "its default application is '$handler'"
echo "routing: $type opens with $handler"

# dialog_window: the confirmation's window, once mapped (30 s bound, only against a hang).
dialog_window() {
    local window
    for _ in $(seq 1 300); do
        window=$(xdotool search --onlyvisible --name '^Add Shortcut$' 2>/dev/null | head -n 1)
        [ -n "$window" ] && { echo "$window"; return 0; }
        sleep 0.1
    done
    return 1
}
# answer KEY: presses KEY in the dialog and waits until its window is gone.
answer() {
    local window
    window=$(dialog_window) || fail "no confirmation dialog within 30 s"
    xdotool windowfocus --sync "$window" key "$1"
    for _ in $(seq 1 300); do
        xdotool search --onlyvisible --name '^Add Shortcut$' >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    fail "the dialog stayed after $1"
}

xdg-open "$receiver" || fail "xdg-open did not open the receiver"
answer Escape
[ -z "$("$bin/sonavert-shortcuts" list)" ] || fail "Escape added the Shortcut"
xdg-open "$receiver" || fail "xdg-open did not open the receiver"
answer Return
for _ in $(seq 1 100); do
    [ "$("$bin/sonavert-shortcuts" list)" = SonavertReceiver ] && break
    sleep 0.1
done
[ "$("$bin/sonavert-shortcuts" list)" = SonavertReceiver ] || fail "Return did not add the Shortcut"
echo "dialog: Escape adds nothing, Return adds SonavertReceiver"

# The app's own offer: a returning user without the receiver, the window showing at start.
rm -rf "$SONAVERT_SHORTCUTS_DIR"
start_cloud "$bin"
mkdir -p "$scratch/profile" "$scratch/music"
printf '{"Tessary.hideWelcome": true, "Sonavert.music.allowed": true}\n' >"$scratch/profile/defaults.json"
SONAVERT_CLOUD_TOKEN=$cloud_token "$bin/sonavert" --profile "$scratch/profile" --cloud "$cloud_url" \
    --name Desk --player simulated --library "$scratch/music" >"$scratch/app.out" 2>&1 &
app=$!
started+=("$app")
wait_for_line "$scratch/app.out" "receiver Shortcut is missing" "$app"
answer Return
wait_for_line "$scratch/app.out" "receiver Shortcut is there" "$app"
[ "$("$bin/sonavert-shortcuts" list)" = SonavertReceiver ] || fail "the app's offer added nothing"
echo "app: offered the receiver by itself; the banner went once the dialog said yes"
