#!/usr/bin/env bash
# Builds Zendrik (Release, without tests) and installs it under a prefix, ~/.local by default:
#   scripts/install.sh [PREFIX]
# The program goes to PREFIX/bin/zendrik, the launcher entry and icon under PREFIX/share.
set -euo pipefail
cd "$(dirname "$0")/.."
PREFIX="${1:-$HOME/.local}"
BUILD_DIR="${ZENDRIK_BUILD_DIR:-build-release}"
scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZENDRIK_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
cmake --install "$BUILD_DIR" --strip

# Let the desktop see the new entry and icon now rather than at the next log-in.
if command -v update-desktop-database >/dev/null; then
  update-desktop-database -q "$PREFIX/share/applications" || true
fi
# An icon cache that is already there would hide the new icon until it is rebuilt.
ICONS="$PREFIX/share/icons/hicolor"
if command -v gtk-update-icon-cache >/dev/null && [ -f "$ICONS/icon-theme.cache" -o -f "$ICONS/index.theme" ]; then
  gtk-update-icon-cache -q -t -f "$ICONS" || true
fi
echo "Installed in $PREFIX; start it with $PREFIX/bin/zendrik"
