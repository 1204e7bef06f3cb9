#!/usr/bin/env bash
# Builds the Debian packages sonavert and sonavert-cloud with CPack: configures and builds the
# release preset (or the preset given), then writes both .deb files to build/packages/ (or
# OUT_DIR) and lists what each holds.
#   scripts/package.sh [PRESET [OUT_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-release}
out=$(realpath -m "${2:-build/packages}")
./scripts/install-deps.sh

cmake --preset "$preset" >/dev/null
# Every preset builds in build/PRESET.
build=build/$preset
cmake --build --preset "$preset" -j "$(nproc)"
mkdir -p "$out"
rm -f "$out"/sonavert*.deb
cpack --config "$build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
for deb in "$out"/*.deb; do
    echo "== $deb"
    dpkg-deb -f "$deb" Package Version Architecture Depends
    dpkg-deb -c "$deb" | awk '{print $6}'
done
