#!/usr/bin/env bash
# Runs Sonavert on this machine with no prior configuration: installs what is missing, builds,
# and starts a headless device on a throwaway profile that prints its presence loop.
# Stop it with Ctrl-C; it marks itself offline and exits.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target sonavert >/dev/null

profile=$(mktemp -d -t sonavert-profile.XXXXXX)
trap 'rm -rf "$profile"' EXIT
echo "Sonavert device profile: $profile"
build/dev/src/app/sonavert --headless --verbose --profile "$profile" "$@"
