#!/usr/bin/env bash
# Test fixture: installs the build tree BUILD_DIR into PREFIX (emptied first), as a user would
# with `cmake --install BUILD_DIR --prefix PREFIX`.
set -euo pipefail
build=$1 prefix=$2
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed into $prefix: $(find "$prefix" -type f | wc -l) files"
