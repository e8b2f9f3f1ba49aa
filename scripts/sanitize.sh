#!/usr/bin/env bash
# Builds Zendrik with its tests under AddressSanitizer and UndefinedBehaviorSanitizer in
# ./build-asan and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
BUILD_DIR="${ZENDRIK_ASAN_DIR:-build-asan}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DZENDRIK_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -O1" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
# Leaks of Qt WebEngine's own are suppressed by name. Chromium inside it also deletes some
# objects through a base of another size, which ASan reports as new-delete-type-mismatch and
# which no suppression file can name: that one check is off, every other one stays on.
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="new_delete_type_mismatch=0:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$BUILD_DIR"
ctest --output-on-failure -j2 "$@"
