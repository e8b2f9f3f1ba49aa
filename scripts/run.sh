#!/usr/bin/env bash
# Installs what is missing, builds Zendrik and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh -DZENDRIK_BUILD_TESTS=OFF
# The web engine refuses to run its sandbox as root.
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
exec "${ZENDRIK_BUILD_DIR:-build}/zendrik" "$@"
