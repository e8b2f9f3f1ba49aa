#!/usr/bin/env bash
# Installs what is missing, builds Zendrik with its tests and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
scripts/build.sh -DZENDRIK_BUILD_TESTS=ON
# The web engine refuses to run its sandbox as root.
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
cd "${ZENDRIK_BUILD_DIR:-build}"
ctest --output-on-failure -j2 "$@"
