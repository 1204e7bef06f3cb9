#!/usr/bin/env bash
# Runs a command against a real, throwaway Secret Service: a private session bus with a
# headless GNOME Keyring whose files live in a scratch folder (never the user's own keyring).
# Exits 77, which CTest reports as skipped, with the reason printed, when that cannot start.
set -u

skip() { echo "SKIP: $*"; exit 77; }

if [ "${1:-}" != "--inside-bus" ]; then
  for tool in dbus-run-session gnome-keyring-daemon dbus-send; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch/data" "$scratch/run" "$scratch/config"
  chmod 700 "$scratch/run"
  HOME="$scratch" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch/run" dbus-run-session -- "$0" --inside-bus "$@"
  exit $?
fi
shift

printf 'throwaway-password' | gnome-keyring-daemon --unlock --components=secrets --foreground \
  >"$HOME/keyring.log" 2>&1 &
daemon=$!
trap 'kill $daemon 2>/dev/null; wait $daemon 2>/dev/null' EXIT

has_owner() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'
}
# Readiness probe of the daemon we just started (up to 10 s), not a wait on the code under test.
for _ in $(seq 1 100); do
  has_owner && break
  kill -0 $daemon 2>/dev/null || skip "gnome-keyring-daemon exited: $(tr '\n' ' ' <"$HOME/keyring.log")"
  sleep 0.1
done
has_owner || skip "org.freedesktop.secrets did not appear on the session bus"

SONAVERT_SECRET_SERVICE_READY=1 "$@"
