#!/usr/bin/env bash
# The programs of an installation, run from it: their versions, a round trip through the
# installed sonavert-cloud, a headless device on it that finds the bundled Shortcut in the
# installation's data folder (not the build tree's), and the installed sonavert-shortcuts
# approving and running that Shortcut.
set -uo pipefail
prefix=$1 version=$2
source "$(dirname "$0")/dist_lib.sh"
bin=$prefix/bin
shortcut=$prefix/share/sonavert/SonavertReceiver.shortcut

for program in sonavert sonavertctl sonavert-cloud sonavert-shortcuts; do
    out=$("$bin/$program" --version 2>&1) || fail "$program --version: $out"
    [[ $out == *"$version"* ]] || fail "$program --version printed '$out', not $version"
done
"$bin/sonavert-cloud" --help >/dev/null 2>&1 || fail "sonavert-cloud --help"
"$bin/sonavert-shortcuts" --help >/dev/null 2>&1 || fail "sonavert-shortcuts --help"

start_cloud "$bin"
cloud_round_trip

# A user's session with nothing approved yet and no session bus: the device's start-up check
# finds the Shortcut missing and offers the bundled file, naming where it found it.
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/home/.local/share
export SONAVERT_SHORTCUTS_DIR=$scratch/shortcuts SONAVERT_CLOUD_TOKEN=$cloud_token
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/sonavert-test-session-bus
mkdir -p "$HOME" "$scratch/music"
"$bin/sonavert" --headless --verbose --profile "$scratch/profile" --cloud "$cloud_url" \
    --name Installed --player simulated --library "$scratch/music" >"$scratch/device.out" 2>&1 &
device=$!
started+=("$device")
wait_for_line "$scratch/device.out" "first presence pass done" "$device"
wait_for_line "$scratch/device.out" "TessaryReceiverInstaller: opening " "$device"
grep -qF "TessaryReceiverInstaller: opening $shortcut" "$scratch/device.out" ||
    fail "the device offered $(grep -o 'opening .*' "$scratch/device.out"), not $shortcut"
kill -TERM "$device"
wait "$device"; status=$?
[ "$status" -eq 0 ] || { cat "$scratch/device.out" >&2; fail "sonavert exited $status on SIGTERM"; }
echo "device: found the bundled Shortcut at $shortcut, stopped with 0"

# The installed tool approves the bundled Shortcut, lists it, and runs it; the Shortcut calls
# the tool back from PATH, whose play-song answers (the song is in no catalog here: not 0).
"$bin/sonavert-shortcuts" import --yes "$shortcut" >/dev/null || fail "import of $shortcut"
listed=$("$bin/sonavert-shortcuts" list) || fail "sonavert-shortcuts list"
[ "$listed" = SonavertReceiver ] || fail "list printed '$listed'"
PATH=$bin:/usr/bin:/bin "$bin/sonavert-shortcuts" run SonavertReceiver --input 1440857781 \
    >"$scratch/run.out" 2>&1 && fail "play-song succeeded without a player"
grep -q "^sonavert-shortcuts: song 1440857781 " "$scratch/run.out" ||
    { cat "$scratch/run.out" >&2; fail "run did not reach play-song"; }
echo "shortcuts: imported, listed and ran SonavertReceiver from $bin"
