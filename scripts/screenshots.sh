#!/usr/bin/env bash
# Renders every screen of the window, light and dark, into docs/screenshots/: the real views
# and bridge over fake services on virtual time, drawn offscreen at twice the size, with the
# bundled icons and the fonts of the machine (fonts-dejavu-core on a bare one).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target sonavert_ui_screenshots >/dev/null
out=docs/screenshots
mkdir -p "$out"
rm -f "$out"/*.png
# No icon theme: the pictures show our own drawings whatever the machine has installed.
QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=2 QT_QPA_PLATFORMTHEME= XDG_DATA_DIRS=/nonexistent \
  SONAVERT_LOG_TARGET=stderr build/dev/tests/ui/sonavert_ui_screenshots "$out" 2>/dev/null
echo "screenshots: $(ls "$out"/*.png | wc -l) pictures in $out"
