#!/usr/bin/env bash
# Runs a command on a throwaway X server of its own (Xvfb, no window manager), with Qt on its
# xcb platform. Exits 77, which CTest reports as skipped, with the reason printed, when there
# is no Xvfb or it cannot start.
set -u

skip() { echo "SKIP: $*"; exit 77; }

command -v Xvfb >/dev/null 2>&1 || skip "Xvfb is not installed (Debian package xvfb)"
scratch=$(mktemp -d)
# Xvfb picks a free display itself and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$scratch"' EXIT
# Readiness probe of the server we just started (up to 10 s), not a wait on the code under test.
for _ in $(seq 1 100); do
  [ -s "$scratch/display" ] && break
  kill -0 $server 2>/dev/null || skip "Xvfb exited: $(tr '\n' ' ' <"$scratch/xvfb.log")"
  sleep 0.1
done
[ -s "$scratch/display" ] || skip "Xvfb did not start within 10 s"

DISPLAY=":$(tr -d '\n' <"$scratch/display")" QT_QPA_PLATFORM=xcb WAYLAND_DISPLAY= "$@"
